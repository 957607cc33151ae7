// The run and job commands: queue a deployment, list and inspect jobs, read or follow a job's
// events, cancel a job. They talk only to the relay; the agents do the building and installing.
#include <string>

#include "cli/commands.h"
#include "cli/job_wait.h"
#include "cli/quiet_mac_hint.h"
#include "cli/standard_streams.h"
#include "foundation/errors.h"
#include "foundation/random.h"
#include "foundation/text.h"

namespace vek::cli {

namespace {

// The job id of `job`, `logs` and `cancel`: exactly one after the command, a UUID in canonical
// form, used as typed. Being a UUID, it cannot reach another route of the relay.
std::string jobID(const Arguments& arguments) {
  const auto& positional = arguments.positional();
  if (positional.size() != 2 || !isCanonicalUUID(positional[1])) {
    throw VEKError("Provide a valid job UUID");
  }
  return positional[1];
}

}  // namespace

Result run(const CommandContext& context, const Membership& membership) {
  const Arguments& arguments = context.arguments;
  const std::string mode = arguments.value("--mode").value_or("adhoc");
  if (mode != "adhoc" && mode != "debug") throw VEKError("Mode must be adhoc or debug");
  const std::string receiver = arguments.require("--receiver");
  const std::string project = arguments.require("--project");
  const std::string scheme = arguments.require("--scheme");
  const std::string configuration =
      arguments.value("--configuration").value_or(mode == "adhoc" ? "Release" : "Debug");
  const std::string device = arguments.require("--device");

  JSON request = JSON::object(
      {{"builder_id", arguments.value("--builder").value_or(membership.credentials.deviceID)},
       {"receiver_id", receiver},
       {"project_id", project},
       {"scheme", scheme},
       {"configuration", configuration},
       {"mode", mode},
       {"udid", device}});
  JSON answer = membership.api.call("POST", "/v1/jobs", request);
  if (!arguments.has("--wait")) return answer;

  // The job is queued before the time-out is read, so a bad --timeout still leaves it queued;
  // either way the person learns its id and how to follow it again before anything else.
  const std::string id = answer["id"].text();
  if (!id.empty()) {
    const std::string shown = text::withoutControls(id);
    writeError("Queued job " + shown + "; to follow it again: vek logs " + shown + " --follow");
  }
  const double seconds = timeout(arguments);
  QuietMacHint hint(membership.api, [](std::string_view line) { writeError(line); });
  WaitSettings settings;
  settings.onPass = [&hint](const JSON& job) { hint.observe(job); };
  return waitForJob(membership.api, id, seconds, true, settings);
}

Result jobs(const CommandContext&, const Membership& membership) {
  return membership.api.call("GET", "/v1/jobs");
}

Result jobCommand(const CommandContext& context, const Membership& membership) {
  const Arguments& arguments = context.arguments;
  const std::string command = arguments.positionalAt(0);
  const std::string id = jobID(arguments);
  if (command == "cancel") {
    return membership.api.call("POST", "/v1/jobs/" + id + "/cancel", JSON::object());
  }
  if (command == "logs") {
    if (arguments.has("--follow")) {
      const double seconds = timeout(arguments);
      return waitForJob(membership.api, id, seconds, true);
    }
    return membership.api.call("GET", "/v1/jobs/" + id + "/events");
  }
  return membership.api.call("GET", "/v1/jobs/" + id);
}

}  // namespace vek::cli
