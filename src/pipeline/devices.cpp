#include "pipeline/devices.h"

#include <string>

#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/process_runner.h"
#include "foundation/random.h"

namespace vek::Devices {

namespace {

// devicectl gives up on its own after 20 seconds (its --timeout); the extra ten cover its start-up
// and writing the file before the runner stops it.
constexpr double listTimeout = 30;

// The string at the first of `candidates` that holds one, else "".
std::string firstString(std::initializer_list<const JSON*> candidates) {
  for (const JSON* candidate : candidates) {
    if (candidate->isString()) return candidate->text();
  }
  return {};
}

bool developerMode(const JSON& entry) {
  // In the nested shape the presence of "enabled" is what counts, whatever its value.
  const JSON& status = entry["properties"]["state"]["developerModeStatus"];
  if (status.isObject() && !status["enabled"].isNull()) return true;
  const JSON& flat = entry["deviceProperties"]["developerModeStatus"];
  return flat.isString() && flat.text() == "enabled";
}

std::string osVersion(const JSON& entry) {
  const JSON& number = entry["properties"]["software"]["osVersionNumber"];
  if (number.isObject() && number["stringValue"].isString()) return number["stringValue"].text();
  return firstString({&entry["deviceProperties"]["osVersionNumber"]});
}

}  // namespace

JSON parse(const JSON& output) {
  JSON records = JSON::array();
  for (const JSON& entry : output["result"]["devices"].items()) {
    const JSON& properties = entry["properties"];
    const JSON& hardware =
        properties["hardware"].isNull() ? entry["hardwareProperties"] : properties["hardware"];
    // text() is "" for anything but a string, so these also drop values of the wrong kind.
    if (hardware["reality"].text() != "physical") continue;
    const std::string& type = hardware["deviceType"].text();
    if (type != "iPhone" && type != "iPad") continue;
    const JSON& udid = hardware["udid"];
    if (udid.text().empty()) continue;

    const JSON& connection = properties["connection"];
    const JSON& flatConnection = entry["connectionProperties"];
    std::string state = firstString({&connection["state"], &flatConnection["tunnelState"]});
    std::string transport =
        firstString({&connection["transportType"], &flatConnection["transportType"]});
    bool developer = developerMode(entry);
    bool available = (state == "connected" || state == "available") && developer;

    records.push(JSON::object({
        {"udid", udid},
        {"core_id", entry["identifier"]},
        {"name", firstString({&properties["state"]["name"], &entry["deviceProperties"]["name"]})},
        {"model", hardware["marketingName"]},
        {"product_type", hardware["productType"]},
        {"os", osVersion(entry)},
        {"state", state},
        {"developer_mode", developer},
        {"available", available},
        {"transport", transport},
    }));
  }
  return records;
}

JSON list() {
  const TemporaryFile scratch(temporaryDirectory() /
                              ("vek-devices-" + randomUpperUUID() + ".json"));
  ProcessRunner::run(DeveloperTools::listDevices(scratch.path()).invocation(listTimeout));
  return parse(JSON::decode(readFile(scratch.path()),
                            "devicectl wrote a device list that is not valid JSON"));
}

JSON require(std::string_view udid) {
  const JSON records = list();
  for (const JSON& record : records.items()) {
    if (record["udid"].text() == udid && record["available"] == JSON(true)) {
      return record;
    }
  }
  throw VEKError(std::string(unavailableMessage));
}

}  // namespace vek::Devices
