#include "cli/job_wait.h"

#include <algorithm>
#include <cstdint>

#include "cli/standard_streams.h"
#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/task.h"
#include "relay_client/relay_url.h"

namespace vek::cli {

JSON waitForJob(const API& api, const std::string& id, double timeoutSeconds, bool follow,
                const WaitSettings& settings) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  const std::string path = "/v1/jobs/" + pathSegment(id);
  std::int64_t cursor = 0;
  bool relayHolds = false;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      throw VEKError("Timed out waiting for job " + id + ". The job continues; use vek job " + id +
                     " to inspect it.");
    }
    if (follow) {
      const auto wait =
          std::min(settings.pause, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
      JSON answer = api.call(
          "GET", path + "/events?after=" + std::to_string(cursor) + "&" + API::waitQuery(wait));
      relayHolds = answer["wait"].isNumber();
      for (const JSON& event : answer["events"].items()) {
        cursor = std::max(cursor, event["id"].integer());
        if (settings.printEvent) {
          settings.printEvent(event["message"].text());
        } else {
          writeError(event["message"].text());
        }
      }
    }
    JSON job = api.call("GET", path);
    const std::string state = job["state"].text();
    if (VEK::isTerminal(state)) {
      if (state == "succeeded") return job;
      throw VEKError("Job " + id + " " + state + ": " + job["error"].text());
    }
    if (settings.onPass) settings.onPass(job);
    if (!relayHolds) task::sleepFor(settings.pause);
  }
}

}  // namespace vek::cli
