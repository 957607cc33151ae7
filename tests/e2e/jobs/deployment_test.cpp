// Whole deployments between two simulated Macs whose agents run under the service manager, with
// the faults a fleet meets: a failing build, a cancel while a tool hangs, an unplugged phone, a
// relay outage, outages shorter than a lease, an agent killed in the middle of a job, a small
// disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fleet.h"
#include "foundation/json.h"
#include "foundation/text.h"
#include "mac.h"
#include "test_support.h"

namespace vek {
namespace {

using namespace std::chrono_literals;
using testing::Fleet;
using testing::Mac;
using Strings = std::vector<std::string>;

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

bool ended(const JSON& job) {
  const std::string& state = job["state"].text();
  return state == "succeeded" || state == "failed" || state == "cancelled";
}

// How many times xcrun ran `tool` with the argument `word` (from the simulated Mac's calls log).
int calls(const Mac& mac, const std::string& tool, const std::string& word) {
  std::ifstream log(mac.toolRoot() / ".vek-sim" / "calls.log");
  int count = 0;
  for (std::string line; std::getline(log, line);) {
    JSON call = JSON::decode(line);
    const auto& argv = call["argv"].items();
    if (call["tool"].text() != "xcrun" || argv.empty() || argv[0].text() != tool) continue;
    for (const JSON& argument : argv) {
      if (argument.text() == word) {
        ++count;
        break;
      }
    }
  }
  return count;
}

int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// The names in `folder`, sorted.
Strings entries(const std::filesystem::path& folder) {
  Strings names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Whether every fault set on `mac` has been used: a tool that dies with its agent may die before
// it took its fault, which would then catch the next run.
bool faultsUsed(const Mac& mac) {
  return JSON::decode(testing::vekSim({"fault", "show", mac.toolRoot().string()})).items().empty();
}

void fault(const Mac& mac, const Strings& arguments) {
  Strings command{"fault", "set", mac.toolRoot().string()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  testing::vekSim(command);
}

TEST(Deployment, TheAppReachesThePhoneWhileRunWaitStreamsItsProgress) {
  Fleet fleet;
  fleet.installAgents();
  Strings arguments = fleet.runArguments();
  arguments.insert(arguments.end(), {"--wait", "--timeout", "300"});
  testing::ProgramResult run = fleet.builder().vek(arguments);
  ASSERT_EQ(run.status, 0) << run.err << Fleet::agentErrors(fleet.builder())
                           << Fleet::agentErrors(fleet.receiver());
  JSON job = JSON::decode(run.out);
  const std::string id = job["id"].text();
  EXPECT_EQ(job["state"].text(), "succeeded");

  // The job is named first; then every event was streamed once, in the relay's order.
  std::string streamed =
      "Queued job " + id + "; to follow it again: vek logs " + id + " --follow\n";
  const JSON log = fleet.builder().ok({"logs", id});
  for (const JSON& event : log["events"].items())
    streamed += event["message"].text() + "\n";
  EXPECT_FALSE(log["events"].items().empty());
  EXPECT_EQ(run.err, streamed);

  JSON phone = JSON::decode(
      testing::vekSim({"device", "show", fleet.receiver().toolRoot().string(), Fleet::udid}));
  EXPECT_NE(phone["installed"].data().find("com.example.demo"), std::string::npos)
      << phone.pretty();
  EXPECT_NE(phone["launched"].data().find("com.example.demo"), std::string::npos) << phone.pretty();

  // Each agent logged its half, and both are idle again.
  EXPECT_NE(Fleet::agentLog(fleet.builder()).find("VEK " + id + ": "), std::string::npos);
  EXPECT_NE(Fleet::agentLog(fleet.receiver()).find("VEK " + id + ": "), std::string::npos);
  EXPECT_TRUE(eventually(
      [&] {
        return fleet.receiver().ok({"agent", "status"})["job_id"].isNull();
      },
      15s));
}

TEST(Deployment, ABuildFailureReachesRunWaitWithThePipelinesMessage) {
  Fleet fleet;
  fault(fleet.builder(), {"xcodebuild-archive", "exit"});
  fleet.installAgents();
  Strings arguments = fleet.runArguments();
  arguments.push_back("--wait");
  testing::ProgramResult run = fleet.builder().vek(arguments);
  ASSERT_EQ(run.status, 1);
  const std::string error = JSON::decode(run.err.substr(run.err.rfind("{\n")))["error"].text();
  JSON jobs = fleet.builder().ok({"jobs"});
  ASSERT_EQ(jobs["jobs"].items().size(), 1u);
  const JSON& job = jobs["jobs"].items()[0];
  const std::string id = job["id"].text();
  EXPECT_EQ(job["state"].text(), "failed");
  EXPECT_FALSE(job["error"].text().empty());
  EXPECT_EQ(error, "Job " + id + " failed: " + job["error"].text());
  EXPECT_NE(error.find("failed (65)"), std::string::npos) << error;
  // The agent's log holds it as one line.
  EXPECT_NE(Fleet::agentErrors(fleet.builder())
                .find("VEK " + id + ": " + text::escapeControls(job["error"].text()) + "\n"),
            std::string::npos);
  // Nothing reached the receiver.
  EXPECT_EQ(Fleet::agentLog(fleet.receiver()), "");
}

// A cancel from the other Mac while one tool of the job hangs: the relay ends the job, and the
// agent that runs it stops every tool of it within seconds and takes the next job.
void cancelWhileHanging(bool duringInstall) {
  Fleet fleet;
  Mac& worker = duringInstall ? fleet.receiver() : fleet.builder();
  Mac& other = duringInstall ? fleet.builder() : fleet.receiver();
  const std::string hanging = duringInstall ? "install" : "archive";
  fault(worker,
        {duringInstall ? "devicectl-install" : "xcodebuild-archive", "hang", "--times", "1"});
  fleet.installAgents();
  const std::string id = fleet.queue();
  ASSERT_TRUE(eventually([&] { return Fleet::toolRunning(worker, hanging); }))
      << fleet.job(id).pretty() << Fleet::agentErrors(worker);

  other.ok({"cancel", id});
  EXPECT_TRUE(eventually([&] { return Fleet::toolProcesses(worker).empty(); }, 12s))
      << Fleet::toolProcesses(worker).front().command;
  EXPECT_EQ(fleet.job(id)["state"].text(), "cancelled");
  EXPECT_TRUE(eventually([&] { return worker.ok({"agent", "status"})["job_id"].isNull(); }, 15s));

  // The agent goes on to the next job normally.
  const std::string next = fleet.queue();
  EXPECT_EQ(fleet.waitForJob(next, ended)["state"].text(), "succeeded");
}

TEST(Deployment, CancelDuringTheArchiveStopsTheBuildersTools) {
  cancelWhileHanging(false);
}

TEST(Deployment, CancelDuringTheInstallStopsTheReceiversTools) {
  cancelWhileHanging(true);
}

TEST(Deployment, APhoneUnpluggedBeforeTheInstallFailsTheJob) {
  Fleet fleet;
  fleet.installAgents();
  const std::string id = fleet.queue();
  testing::vekSim({"device", "remove", fleet.receiver().toolRoot().string(), Fleet::udid});
  JSON job = fleet.waitForJob(id, ended);
  EXPECT_EQ(job["state"].text(), "failed");
  EXPECT_NE(job["error"].text().find("unavailable"), std::string::npos) << job.pretty();
  EXPECT_EQ(calls(fleet.receiver(), "devicectl", "install"), 0);
}

TEST(Deployment, AgentsRideOutARelayOutageAndTheJobRunsOnce) {
  Fleet fleet;
  fleet.installAgent(fleet.receiver());
  const std::string id = fleet.queue();
  fleet.relay().stop();
  // The builder's agent starts while the relay is away, so nobody holds the job yet.
  fleet.installAgent(fleet.builder());
  std::this_thread::sleep_for(8s);
  fleet.relay().start();

  EXPECT_EQ(fleet.waitForJob(id, ended, 120s)["state"].text(), "succeeded");
  // One line per streak of failures, and the build ran once.
  EXPECT_EQ(countOf(Fleet::agentErrors(fleet.builder()), "VEK agent: "), 1)
      << Fleet::agentErrors(fleet.builder());
  EXPECT_EQ(countOf(Fleet::agentErrors(fleet.receiver()), "VEK agent: "), 1)
      << Fleet::agentErrors(fleet.receiver());
  EXPECT_EQ(calls(fleet.builder(), "xcodebuild", "archive"), 1);
}

TEST(Deployment, AKilledAgentsJobFailsByItsLeaseAndTheRestartedAgentWorks) {
  Fleet fleet({"--lease-seconds", "12", "--sweep-seconds", "1"});
  fault(fleet.builder(), {"xcodebuild-archive", "hang", "--times", "1"});
  fleet.installAgents();
  const std::string id = fleet.queue();
  ASSERT_TRUE(eventually([&] { return faultsUsed(fleet.builder()); }));

  JSON before = fleet.builder().ok({"agent", "status"});
  ASSERT_EQ(::kill(static_cast<pid_t>(before["pid"].integer()), SIGKILL), 0);
  JSON job = fleet.waitForJob(id, ended);
  EXPECT_EQ(job["state"].text(), "failed");
  EXPECT_FALSE(job["error"].text().empty());

  // The service manager starts the agent again, and it claims new work normally.
  ASSERT_TRUE(eventually([&] {
    JSON now = fleet.builder().ok({"agent", "status"});
    return now["running"].flag() && now["pid"] != before["pid"];
  }));
  const std::string next = fleet.queue();
  EXPECT_EQ(fleet.waitForJob(next, ended)["state"].text(), "succeeded");
}

TEST(Deployment, OutagesShorterThanTheLeaseLoseNothing) {
  Fleet fleet({"--lease-seconds", "18", "--sweep-seconds", "1"}, Fleet::Network::cuttable);
  fault(fleet.builder(), {"xcodebuild-archive", "slow", "--times", "1"});  // 30 seconds
  fleet.installAgents();
  const std::string id = fleet.queue();
  ASSERT_TRUE(eventually([&] { return Fleet::toolRunning(fleet.builder(), "archive"); }));
  const auto archiving = std::chrono::steady_clock::now();

  // Right after a heartbeat renewed the lease (the agent writes its status then), the relay is
  // out of reach for 12 seconds of the 18 the lease lasts, while only heartbeats can renew it:
  // they must come back within 5 seconds of each other.
  const auto status = fleet.builder().stateDirectory() / "agent-status.json";
  const JSON before = JSON::decode(testing::readText(status))["updated"];
  ASSERT_TRUE(eventually(
      [&] { return JSON::decode(testing::readText(status))["updated"] != before; }, 15s));
  fleet.proxy().cutFor(12s);
  // Then over the archive's end, so that the check after it meets the outage.
  std::this_thread::sleep_until(archiving + 27s);
  fleet.proxy().cutFor(6s);
  std::this_thread::sleep_until(archiving + 33500ms);  // `vek job` goes through the proxy too

  const JSON job = fleet.waitForJob(
      id, [](const JSON& job) { return ended(job) || job["state"].text() == "installing"; });
  EXPECT_NE(job["state"].text(), "failed") << job.pretty() << Fleet::agentErrors(fleet.builder());
  EXPECT_EQ(calls(fleet.builder(), "xcodebuild", "archive"), 1);
}

TEST(Deployment, AnAgentKilledDuringTheInstallLeavesNoToolAndNoDecryptedBuild) {
  Fleet fleet;
  fault(fleet.receiver(), {"devicectl-install", "hang", "--times", "1"});
  fleet.installAgents();
  const std::string id = fleet.queue();
  ASSERT_TRUE(eventually([&] { return Fleet::toolRunning(fleet.receiver(), "install"); }));
  const std::filesystem::path receive = fleet.receiver().stateDirectory() / "Jobs" / id / "Receive";
  ASSERT_TRUE(std::filesystem::exists(receive / "App.ipa"));

  const JSON before = fleet.receiver().ok({"agent", "status"});
  ASSERT_EQ(::kill(static_cast<pid_t>(before["pid"].integer()), SIGKILL), 0);
  EXPECT_TRUE(eventually([&] { return !Fleet::toolRunning(fleet.receiver(), "install"); }, 3s))
      << "the install outlived its agent";
  ASSERT_TRUE(eventually([&] {
    const JSON now = fleet.receiver().ok({"agent", "status"});
    return now["running"].flag() && now["pid"] != before["pid"];
  }));
  EXPECT_EQ(entries(receive), Strings{"install.log"});
}

TEST(Deployment, AFailedBuildKeepsOnlyItsLogAndArchiveSoASmallDiskTakesTheNextJob) {
  Fleet fleet;
  const std::filesystem::path jobs = fleet.builder().stateDirectory() / "Jobs";
  std::filesystem::create_directories(jobs);
  if (::mount("tmpfs", jobs.c_str(), "tmpfs", 0, "size=28m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a small disk here: " << std::strerror(errno);
  struct Unmount {
    const std::filesystem::path& at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{jobs};
  const std::filesystem::path project = fleet.builder().home() / "src" / "Demo.xcodeproj";
  std::filesystem::remove_all(project);
  testing::vekSim({"project", "new", project.string(), "--bundle-id", "com.example.demo",
                   "--schemes", Fleet::scheme, "--pad-bytes", "4M"});
  fault(fleet.builder(), {"codesign-verify", "broken", "--times", "1"});
  fleet.installAgents();
  const std::string failed = fleet.queue();
  EXPECT_EQ(fleet.waitForJob(failed, ended)["state"].text(), "failed");
  EXPECT_EQ(entries(jobs / failed), (Strings{"App.xcarchive", "ExportOptions.plist", "build.log"}));
  const JSON next = fleet.waitForJob(fleet.queue(), ended);
  EXPECT_EQ(next["state"].text(), "succeeded") << next.pretty();
}

}  // namespace
}  // namespace vek
