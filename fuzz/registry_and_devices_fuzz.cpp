// Feeds arbitrary bytes, as JSON, to the two readers of documents VEK does not write itself:
// devicectl's device listing and the project registry (which people may edit by hand). The device
// reader must never fail and must only emit well-formed records; a project that decodes must
// encode and decode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/errors.h"
#include "foundation/json.h"
#include "pipeline/devices.h"
#include "projects/project.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vek::JSON value;
  try {
    value = vek::JSON::decode(input);
  } catch (const vek::DecodingError&) {
    return 0;
  }

  const vek::JSON records = vek::Devices::parse(value);
  for (const vek::JSON& record : records.items()) {
    if (record.fields().size() != 10 || record["udid"].text().empty() ||
        !record["developer_mode"].isBool() || !record["available"].isBool()) {
      std::abort();
    }
  }

  for (const vek::JSON& element : value.items()) {
    try {
      vek::Project project = vek::Project::decode(element);
      if (!(vek::Project::decode(vek::JSON::decode(project.encoded().data())) == project)) {
        std::abort();
      }
    } catch (const vek::DecodingError&) {
    }
  }
  return 0;
}
