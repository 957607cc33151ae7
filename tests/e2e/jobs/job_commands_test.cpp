// The run and job commands against a real relay where only the receiver's agent runs, so jobs stay
// where the commands put them: queueing, following, timing out, cancelling, and the checks made
// before any request.
#include <gtest/gtest.h>

#include <chrono>

#include "fleet.h"
#include "foundation/json.h"
#include "mac.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

using namespace std::chrono_literals;
using testing::Fleet;
using testing::Mac;
using Strings = std::vector<std::string>;

const std::string uuid = "0B7F6A5E-8A1C-4C1E-9B5D-2F7C3E4D5A6B";

// A failed command's standard error: the lines it wrote before the error object, and the error.
struct Failure {
  Strings lines;
  std::string error;
};

Failure failure(const testing::ProgramResult& result) {
  EXPECT_EQ(result.status, 1) << result.out;
  Failure failure;
  const std::size_t object = result.err.find("{\n");
  std::string before = result.err.substr(0, object);
  for (std::size_t start = 0, end; (end = before.find('\n', start)) != std::string::npos;
       start = end + 1)
    failure.lines.push_back(before.substr(start, end - start));
  if (object != std::string::npos) {
    failure.error = JSON::decode(result.err.substr(object))["error"].text();
  }
  return failure;
}

TEST(JobCommands, OptionsAreCheckedInOrderBeforeAnyRequest) {
  // Nothing listens at this relay: every answer below comes before a request is made.
  Mac mac;
  mac.enrolAt("http://127.0.0.1:" + std::to_string(testing::unusedPort()));

  EXPECT_EQ(mac.error({"run", "--mode", "Debug"}), "Mode must be adhoc or debug");
  EXPECT_EQ(mac.error({"run", "--scheme", "S"}), "Required option: --receiver");
  EXPECT_EQ(mac.error({"run", "--receiver", "R", "--scheme", "S"}), "Required option: --project");
  EXPECT_EQ(mac.error({"run", "--receiver", "R", "--project", "P"}), "Required option: --scheme");
  EXPECT_EQ(
      mac.error({"run", "--receiver", "R", "--project", "P", "--scheme", "S", "--mode", "debug"}),
      "Required option: --device");

  for (const Strings& arguments :
       {Strings{"job"}, Strings{"job", "not-a-uuid"}, Strings{"job", uuid, "extra"},
        Strings{"cancel", "{" + uuid + "}"}, Strings{"logs", uuid.substr(1)},
        Strings{"job", "0b7f6a5e8a1c4c1e9b5d2f7c3e4d5a6b"}}) {
    EXPECT_EQ(mac.error(arguments), "Provide a valid job UUID") << arguments.back();
  }
  EXPECT_EQ(mac.error({"logs", uuid, "--follow", "--timeout", "0"}),
            "Timeout must be between 1 and 86400 seconds");
}

TEST(JobCommands, QueuedJobsAreFollowedUntilTheyEndOrTheTimeOutPasses) {
  Fleet fleet;
  fleet.installAgent(fleet.receiver());
  fleet.waitForPhone();
  Mac& mac = fleet.builder();

  // --wait queues the job first and says so, then refuses the time-out.
  Strings waiting = fleet.runArguments();
  waiting.insert(waiting.end(), {"--wait", "--timeout", "0", "--mode", "debug"});
  Failure refused = failure(mac.vek(waiting));
  EXPECT_EQ(refused.error, "Timeout must be between 1 and 86400 seconds");
  JSON listed = mac.ok({"jobs"});
  ASSERT_EQ(listed["jobs"].items().size(), 1u) << listed.pretty();
  const JSON& queued = listed["jobs"].items()[0];
  const std::string id = queued["id"].text();
  EXPECT_EQ(refused.lines,
            Strings{"Queued job " + id + "; to follow it again: vek logs " + id + " --follow"});
  EXPECT_EQ(queued["state"].text(), "building");
  EXPECT_EQ(queued["builder_id"].text(), fleet.builderID());
  EXPECT_EQ(queued["spec"]["configuration"].text(), "Debug");
  EXPECT_EQ(queued["spec"]["mode"].text(), "debug");
  EXPECT_EQ(queued["spec"]["udid"].text(), Fleet::udid);

  // No builder runs, so the job stays queued: the relay holds the event read for the whole
  // second, then the time-out.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mac.error({"logs", id, "--follow", "--timeout", "1"}),
            "Timed out waiting for job " + id + ". The job continues; use vek job " + id +
                " to inspect it.");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(fleet.job(id)["state"].text(), "building");

  // Cancelled from the other Mac; following it now ends at once with the state.
  fleet.receiver().ok({"cancel", id});
  testing::ProgramResult followed = mac.vek({"logs", id, "--follow"});
  EXPECT_EQ(followed.status, 1);
  JSON error = JSON::decode(followed.err.substr(followed.err.find('{')));
  EXPECT_EQ(error["error"].text().rfind("Job " + id + " cancelled: ", 0), 0u) << followed.err;
  EXPECT_EQ(fleet.job(id)["state"].text(), "cancelled");
  EXPECT_TRUE(mac.ok({"logs", id})["events"].isArray());
}

TEST(JobCommands, WaitSaysOnceThatTheMacTheJobWaitsForHasGoneQuiet) {
  Fleet fleet;
  fleet.installAgent(fleet.receiver());
  fleet.waitForPhone();
  Mac& builder = fleet.builder();
  // The builder's agent reported and was stopped; the relay last heard of it two minutes ago.
  fleet.installAgent(builder);
  builder.ok({"agent", "uninstall"});
  testing::ProgramResult aged = testing::runProgram(
      "/usr/bin/python3",
      {"-c",
       "import sqlite3, sys\n"
       "with sqlite3.connect(sys.argv[1]) as db:\n"
       "    db.execute('UPDATE devices SET last_seen = last_seen - 120 WHERE id = ?', "
       "(sys.argv[2],))\n",
       (fleet.relay().dataDirectory() / "relay.db").string(), fleet.builderID()});
  ASSERT_EQ(aged.status, 0) << aged.err;

  Strings arguments = fleet.runArguments();
  arguments.insert(arguments.end(), {"--wait", "--timeout", "4"});
  Failure waited = failure(builder.vek(arguments));
  const std::string id = builder.ok({"jobs"})["jobs"].items().at(0)["id"].text();
  EXPECT_EQ(waited.lines,
            (Strings{"Queued job " + id + "; to follow it again: vek logs " + id + " --follow",
                     "Builder has not reported for 2 minutes; the job waits for it"}));
  EXPECT_EQ(waited.error, "Timed out waiting for job " + id + ". The job continues; use vek job " +
                              id + " to inspect it.");
}

}  // namespace
}  // namespace vek
