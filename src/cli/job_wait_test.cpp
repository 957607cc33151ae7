#include "cli/job_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/errors.h"
#include "foundation/task.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek::cli {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedAnswer;
using testing::ScriptedHttpServer;

const std::string id = "0b7f6a5e-8a1c-4c1e-9b5d-2f7c3e4d5a6b";

struct Followed {
  std::vector<std::string> printed;
  std::vector<std::string> targets;
  std::string outcome;
};

// Follows the job through `script`; each pass that does not end the wait takes `passTakes` on top
// of its requests.
Followed follow(std::vector<ScriptedAnswer> script, double timeout = 60, bool stream = true,
                std::chrono::milliseconds pause = 1ms, std::chrono::milliseconds passTakes = 0ms) {
  ScriptedHttpServer server(std::move(script));
  API api(server.origin(), Credentials{server.origin(), "d", "t", "g", "G", "Mac", "key"});
  Followed result;
  WaitSettings settings;
  settings.pause = pause;
  settings.onPass = [passTakes](const JSON&) { std::this_thread::sleep_for(passTakes); };
  settings.printEvent = [&](std::string_view message) { result.printed.emplace_back(message); };
  try {
    result.outcome = waitForJob(api, id, timeout, stream, settings)["state"].text();
  } catch (const std::exception& error) {
    result.outcome = error.what();
  }
  for (const auto& request : server.requests())
    result.targets.push_back(request.target);
  return result;
}

ScriptedAnswer events(const std::string& json) {
  return ScriptedAnswer::json(200, R"({"events":)" + json + "}");
}

ScriptedAnswer job(const std::string& state, const std::string& extra = "") {
  return ScriptedAnswer::json(200, R"({"state":")" + state + "\"" + extra + "}");
}

TEST(JobWait, EveryEventTheRelayReturnsIsPrintedAsOneLineAndTheCursorNeverGoesBack) {
  Followed followed = follow({
      events(R"([{"id":1,"message":"Archiving"},{"id":3,"message":"Exporting"}])"),
      job("building"),
      // A relay that repeats an old event, sends one without message and one with a huge id.
      events(R"([{"id":2,"message":"late"},{"id":4},{"id":1e300,"message":"far\u001b[2K\nok"}])"),
      job("installing"),
      events("[]"),
      job("succeeded"),
  });
  EXPECT_EQ(followed.outcome, "succeeded");
  EXPECT_EQ(followed.printed,
            (std::vector<std::string>{"Archiving", "Exporting", "late", "", "far\\x1B[2K\\nok"}));
  const std::string base = "/v1/jobs/" + id;
  EXPECT_EQ(followed.targets,
            (std::vector<std::string>{
                base + "/events?after=0&wait=0.001", base, base + "/events?after=3&wait=0.001",
                base, base + "/events?after=9223372036854775807&wait=0.001", base}));
}

// A relay that names the wait it held each read for needs no pause between passes: with a
// 10-second pause and a 5-second time-out the job is still followed to its end.
TEST(JobWait, ARelayThatHoldsReadsIsAskedAgainAtOnce) {
  auto held = [](const std::string& json) {
    return ScriptedAnswer::json(200, R"({"wait":3,"events":)" + json + "}");
  };
  Followed followed =
      follow({held(R"([{"id":1,"message":"Archiving"}])"), job("building"), held("[]"),
              job("installing"), held(R"([{"id":2,"message":"Launched"}])"), job("succeeded")},
             5, true, 10s, 20ms);
  EXPECT_EQ(followed.outcome, "succeeded");
  EXPECT_EQ(followed.printed, (std::vector<std::string>{"Archiving", "Launched"}));
  // Each read waits at most the pause, and never beyond the time-out, which the 20 ms passes
  // have brought below 5 s by the third read.
  EXPECT_EQ(followed.targets[0], "/v1/jobs/" + id + "/events?after=0&wait=5");
  EXPECT_TRUE(followed.targets[4].starts_with("/v1/jobs/" + id + "/events?after=1&wait=4."));
}

TEST(JobWait, EndedJobsFailWithTheirStateAndErrorText) {
  EXPECT_EQ(follow({events("[]"), job("failed", R"x(,"error":"xcodebuild failed (65)")x")}).outcome,
            "Job " + id + " failed: xcodebuild failed (65)");
  EXPECT_EQ(follow({events("[]"), job("cancelled")}).outcome, "Job " + id + " cancelled: ");
  // A relay error ends the wait at once, without retrying.
  Followed refused = follow({ScriptedAnswer::json(404, R"({"error":"Job not found"})")});
  EXPECT_EQ(refused.outcome, "Job not found");
  EXPECT_EQ(refused.targets.size(), 1u);
}

TEST(JobWait, StoppingTheWaitLeavesTheJobRunningAndSaysHowToFindIt) {
  ScriptedHttpServer server({job("building")});
  API api(server.origin(), Credentials{server.origin(), "d", "t", "g", "G", "Mac", "key"});
  std::stop_source stop;
  stop.request_stop();
  task::Scope scope(stop.get_token());
  EXPECT_EQ(
      testing::failureOf([&] { waitForJob(api, id, 60, false); }),
      "Stopped following job " + id + ". The job continues; use vek job " + id + " to inspect it.");
}

TEST(JobWait, TimeOutLeavesAfterTheLastPass) {
  // Passes at 0 and 0.3 seconds; the deadline has passed before the third.
  Followed followed =
      follow({job("building"), job("building"), job("building")}, 0.5, false, 300ms);
  EXPECT_EQ(followed.outcome, "Timed out waiting for job " + id +
                                  ". The job continues; use vek job " + id + " to inspect it.");
  EXPECT_EQ(followed.targets.size(), 2u);
  for (const auto& target : followed.targets)
    EXPECT_EQ(target, "/v1/jobs/" + id);
}

}  // namespace
}  // namespace vek::cli
