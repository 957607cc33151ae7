// Stopping `vek` from outside while a developer tool runs for it: the tool must end with it and
// leave nothing behind, however the stop was asked for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "foundation/json.h"
#include "mac.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The processes whose command line mentions `text`.
std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  for (const testing::ProcessEntry& process : testing::runningProcesses()) {
    if (process.command.find(text) != std::string::npos) found.push_back(process.pid);
  }
  return found;
}

// A `vek` process started in the background with a simulated Mac whose devicectl never finishes.
class StoppedCommand : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    testing::vekSim({"fault", "set", mac_.toolRoot().string(), "devicectl-list", "hang"});
  }
  void TearDown() override {
    // Whatever a failed expectation left running.
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (pid_t tool : processesMentioning(mac_.toolRoot().string()))
      ::kill(tool, SIGKILL);
  }

  void start(const std::vector<std::string>& arguments) {
    const std::string program = (testing::programDirectory() / "vek").string();
    testing::CStringArray argv = testing::argumentVector(program, arguments);
    testing::CStringArray environment(
        {"HOME=" + mac_.home().string(), "VEK_STATE_DIR=" + mac_.stateDirectory().string(),
         "TMPDIR=" + (mac_.home() / "tmp").string(), "VEK_TOOL_ROOT=" + mac_.toolRoot().string(),
         "PATH=/usr/bin:/bin"});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    ASSERT_EQ(
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environment.data()),
        0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Waits up to `limit` for the tool to be running; true when it is.
  bool toolRunning(std::chrono::seconds limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end;) {
      if (!processesMentioning(mac_.toolRoot().string()).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Waits up to `limit` for `vek` to end; its exit status, or 128 + signal, or -1 when it did not.
  int exitStatus(std::chrono::seconds limit) {
    for (auto end = Clock::now() + limit; Clock::now() < end;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  testing::Mac mac_{testing::Mac::Tools::simulated};
  testing::TempDir captures_;
  const fs::path errors_ = captures_ / "err";
  pid_t pid_ = -1;
};

TEST_P(StoppedCommand, EndsItsToolRemovesItsFilesAndReportsTheCancellation) {
  start({"devices", "--local"});
  ASSERT_TRUE(toolRunning(std::chrono::seconds(30)));
  ::kill(pid_, GetParam());
  EXPECT_EQ(exitStatus(std::chrono::seconds(30)), 1);
  EXPECT_EQ(JSON::decode(testing::readText(errors_))["error"].text(),
            "The operation was cancelled.");
  // The tool is reaped before vek ends, and its capture files are gone with it.
  EXPECT_TRUE(processesMentioning(mac_.toolRoot().string()).empty());
  EXPECT_TRUE(fs::is_empty(mac_.home() / "tmp"));
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedCommand, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                           return info.param == SIGINT ? "SIGINT" : "SIGTERM";
                         });

}  // namespace
}  // namespace vek
