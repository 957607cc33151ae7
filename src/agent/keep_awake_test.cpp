#include "agent/keep_awake.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace vek {
namespace {

using testing::ScopedEnvironment;

// A child that sleeps until killed; stands for the agent the keep-awake watches.
class Sleeper {
 public:
  Sleeper() {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Sleeper() { end(); }
  void end() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

bool endsWithin(KeepAwake& keepAwake, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (keepAwake.running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class AgentKeepAwake : public ::testing::Test {
 protected:
  void SetUp() override {
    auto init =
        testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", {"init", root_.string()});
    ASSERT_EQ(init.status, 0) << init.err;
  }
  testing::TempDir scratch_;
  std::filesystem::path root_ = scratch_.path() / "mac";
  ScopedEnvironment tools_{"VEK_TOOL_ROOT", root_.c_str()};
};

TEST_F(AgentKeepAwake, EachPlatformsHelperLastsUntilTheWatchedProcessEnds) {
  for (auto platform : {KeepAwake::Platform::mac, KeepAwake::Platform::systemd}) {
    Sleeper agent;
    auto keepAwake = KeepAwake::start(KeepAwake::command(platform, agent.pid()));
    ASSERT_GT(keepAwake->pid(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_TRUE(keepAwake->running()) << "ended while the agent lives";
    agent.end();
    EXPECT_TRUE(endsWithin(*keepAwake, std::chrono::seconds(10)));
  }
  auto calls = testing::readText(root_ / ".vek-sim" / "calls.log");
  EXPECT_NE(calls.find("\"caffeinate\", \"argv\": [\"-i\", \"-w\""), std::string::npos) << calls;
  EXPECT_NE(calls.find("\"systemd-inhibit\", \"argv\": [\"--what=idle:sleep\""), std::string::npos)
      << calls;
}

TEST_F(AgentKeepAwake, EndingTheJobStopsTheHelperAndWhatItStarted) {
  Sleeper agent;
  pid_t helper = -1;
  {
    auto keepAwake =
        KeepAwake::start(KeepAwake::command(KeepAwake::Platform::systemd, agent.pid()));
    helper = keepAwake->pid();
    ASSERT_GT(helper, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_TRUE(keepAwake->running());
  }
  // The whole group goes: no waiting command is left behind.
  for (int i = 0; i < 200 && ::kill(-helper, 0) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(::kill(-helper, 0), 0);
}

TEST_F(AgentKeepAwake, AMissingToolIsSkippedQuietly) {
  ScopedEnvironment elsewhere("VEK_TOOL_ROOT", (scratch_.path() / "nothing").c_str());
  auto keepAwake = KeepAwake::forThisProcess();
  EXPECT_EQ(keepAwake->pid(), -1);
  EXPECT_FALSE(keepAwake->running());
}

}  // namespace
}  // namespace vek
