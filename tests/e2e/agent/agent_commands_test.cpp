// The agent as a user's machine runs it: installed with `vek agent install` through the service
// manager of a simulated Mac, talking to a real relay, inspected with `vek agent status` and
// `vek doctor`.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "fleet.h"
#include "foundation/json.h"
#include "mac.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Fleet;
using testing::Mac;

const std::string notEnrolled = "This Mac is not enrolled. Use group create or group join first.";
const std::string alreadyRunning = "The VEK agent is already running on this Mac.";

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

TEST(AgentCommands, StatusNeverFailsAndOnlyInstallAndRunNeedEnrolment) {
  Mac mac(Mac::Tools::simulated);
  EXPECT_EQ(mac.ok({"agent", "status"}), JSON::object({{"running", false}}));
  EXPECT_EQ(mac.ok({"agent", "uninstall"}), JSON::object({{"ok", true}}));
  EXPECT_EQ(mac.error({"agent", "install"}), notEnrolled);
  EXPECT_EQ(mac.error({"agent", "run"}), notEnrolled);

  // Whatever lies where the status file should be, status answers.
  const fs::path file = mac.stateDirectory() / "agent-status.json";
  fs::create_directories(mac.stateDirectory());
  for (const std::string& content :
       {std::string("\xff\xfe garbage"), std::string("[1,2]"),
        std::string(R"({"pid":1e300,"updated":"soon"})"), std::string(R"({"pid":1,"updated":)")}) {
    testing::writeText(file, content);
    EXPECT_FALSE(mac.ok({"agent", "status"})["running"].flag()) << content;
  }
  fs::remove(file);
  fs::create_directory(file);
  EXPECT_EQ(mac.ok({"agent", "status"}), JSON::object({{"running", false}}));
}

TEST(AgentCommands, DoctorReportsTheToolsDevicesAndAgent) {
  Mac mac(Mac::Tools::simulated);
  testing::vekSim(
      {"device", "add", mac.toolRoot().string(), "--udid", "00008110-00000000000000AA"});
  JSON doctor = mac.ok({"doctor"});
  EXPECT_EQ(doctor["version"].text(), "0.1.0");
  EXPECT_NE(doctor["xcode"].text().find("Xcode"), std::string::npos) << doctor.pretty();
  EXPECT_NE(doctor["signing_identities"].text().find("valid identities found"), std::string::npos)
      << doctor.pretty();
  ASSERT_EQ(doctor["devices"].items().size(), 1u);
  EXPECT_EQ(doctor["agent"], JSON::object({{"running", false}}));
}

TEST(AgentCommands, DoctorDiagnosesAMacWithoutXcodeOrAReachableRelay) {
  Mac mac;  // no tool root: xcodebuild, security and xcrun cannot start
  JSON doctor = mac.ok({"doctor"});
  EXPECT_EQ(doctor["xcode"].text(), "Cannot run /usr/bin/xcodebuild: No such file or directory");
  EXPECT_EQ(doctor["signing_identities"].text(),
            "Cannot run /usr/bin/security: No such file or directory");
  EXPECT_EQ(doctor["devices"], JSON::array());
  EXPECT_EQ(doctor["group"], JSON::object({{"enrolled", false}}));
  EXPECT_TRUE(doctor["relay"].isNull());
  const auto& problems = doctor["problems"].items();
  ASSERT_EQ(problems.size(), 4u) << doctor.pretty();
  EXPECT_EQ(problems[0].text().rfind("Xcode cannot be run (Cannot run /usr/bin/xcodebuild", 0), 0u);
  EXPECT_EQ(problems[3].text().rfind("This Mac is not in a group.", 0), 0u);

  const std::string relay = "http://127.0.0.1:" + std::to_string(testing::unusedPort());
  mac.enrolAt(relay);
  doctor = mac.ok({"doctor"});
  EXPECT_TRUE(doctor["group"]["enrolled"].flag()) << doctor.pretty();
  EXPECT_EQ(doctor["relay"]["server"].text(), relay);
  EXPECT_EQ(doctor["relay"]["reachable"], JSON(false));
  const std::string all = doctor["problems"].data();
  EXPECT_NE(all.find("Cannot reach the relay"), std::string::npos) << all;
  EXPECT_NE(all.find("The agent is not running"), std::string::npos) << all;
}

TEST(AgentService, InstalledFromTheSearchPathRunsOnceAndStopsCleanly) {
  Fleet fleet;
  const Mac& mac = fleet.builder();

  // Started as people start it, through PATH, from a folder that holds no "vek".
  auto environment = mac.environment();
  environment["PATH"] = testing::programDirectory().string() + ":/usr/bin:/bin";
  testing::ProgramResult installed =
      testing::runProgram("/bin/sh", {"-c", "exec vek agent install"}, environment, mac.home());
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(JSON::decode(installed.out),
            JSON::object({{"ok", true}, {"label", "com.ostrelsoftware.vek.agent"}}));

  JSON services = Fleet::services(mac);
  ASSERT_EQ(services.items().size(), 1u) << services.pretty();
  const JSON& service = services.items()[0];
  EXPECT_EQ(
      service["argv"],
      JSON::array({fs::canonical(testing::programDirectory() / "vek").string(), "agent", "run"}));
  ASSERT_TRUE(eventually([&] {
    return mac.ok({"agent", "status"})["running"].flag();
  })) << Fleet::agentErrors(mac);
  JSON status = mac.ok({"agent", "status"});
  EXPECT_EQ(status["device_id"].text(), fleet.builderID());
  EXPECT_TRUE(status["job_id"].isNull());
  JSON doctor = mac.ok({"doctor"});
  EXPECT_EQ(doctor["agent"]["running"], JSON(true));
  EXPECT_EQ(doctor["group"]["device_id"].text(), fleet.builderID());
  EXPECT_EQ(doctor["relay"]["reachable"], JSON(true));
  EXPECT_TRUE(doctor["relay"]["latency_ms"].isNumber());
  EXPECT_EQ(doctor["problems"], JSON::array()) << doctor.pretty();

  // The agent published this Mac's project to the group.
  ASSERT_TRUE(eventually([&] {
    return fleet.receiver().ok({"projects", "list"}).data().find(fleet.projectID()) !=
           std::string::npos;
  }));

  // A second agent is refused and the first goes on.
  EXPECT_EQ(mac.error({"agent", "run"}), alreadyRunning);
  const double before = status["updated"].doubleValue();
  ASSERT_TRUE(eventually([&] {
    JSON now = mac.ok({"agent", "status"});
    return now["running"].flag() && now["pid"] == status["pid"] &&
           now["updated"].doubleValue() > before;
  }));

  // The service manager's stop ends the agent at once with success, so it is not restarted.
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(mac.ok({"agent", "uninstall"}), JSON::object({{"ok", true}}));
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 4s);
  EXPECT_FALSE(mac.ok({"agent", "status"})["running"].flag());
  EXPECT_EQ(Fleet::agentErrors(mac), "");
  EXPECT_TRUE(Fleet::services(mac).items().empty());
}

TEST(AgentService, ARevokedMacsAgentStopsWithTheRelaysTextAndFreesItsLock) {
  Fleet fleet;
  fleet.installAgents();
  fleet.builder().ok({"group", "revoke", fleet.receiverID()});

  const Mac& revoked = fleet.receiver();
  ASSERT_TRUE(eventually([&] {
    return Fleet::agentErrors(revoked).find("revoked device credential") != std::string::npos;
  })) << Fleet::agentErrors(revoked);
  // The agent reported the relay's own words and exited unsuccessfully.
  EXPECT_NE(Fleet::agentErrors(revoked).find("VEK agent: "), std::string::npos);
  ASSERT_TRUE(eventually([&] {
    const JSON services = Fleet::services(revoked);
    const JSON& exit = services.items()[0]["last_exit"];
    return exit.isNumber() && exit.integer() != 0;
  }));

  // With the lock free, an agent started by hand gets as far as the relay's refusal.
  testing::ProgramResult again = revoked.vek({"agent", "run"});
  EXPECT_EQ(again.status, 1);
  const std::string message =
      JSON::decode(again.err.substr(again.err.rfind("{\n")))["error"].text();
  EXPECT_NE(message.find("revoked device credential"), std::string::npos) << again.err;
  EXPECT_EQ(again.err.rfind("VEK agent: " + message + "\n", 0), 0u) << again.err;
  // The member that was not revoked goes on.
  EXPECT_TRUE(fleet.builder().ok({"agent", "status"})["running"].flag());
}

}  // namespace
}  // namespace vek
