#include "agent/agent_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

using testing::ScopedEnvironment;

std::string lockFailure() {
  try {
    AgentLock lock;
  } catch (const VEKError& error) {
    return error.message();
  }
  return "";
}

class AgentLockTest : public ::testing::Test {
 protected:
  testing::TempDir scratch_;
  std::filesystem::path state_ = scratch_.path() / "state";
  ScopedEnvironment environment_{"VEK_STATE_DIR", state_.c_str()};
};

TEST_F(AgentLockTest, OneHolderAtATimeAndTheFileStays) {
  {
    AgentLock first;
    EXPECT_GE(first.descriptor(), 0);
    struct stat info {};
    ASSERT_EQ(::stat((state_ / "agent.lock").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);

    EXPECT_EQ(lockFailure(), "The VEK agent is already running on this Mac.");

    // Another process is refused at once too, and the first holder is undisturbed.
    pid_t child = ::fork();
    if (child == 0)
      ::_exit(lockFailure() == "The VEK agent is already running on this Mac." ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_TRUE(std::filesystem::exists(state_ / "agent.lock"));
  AgentLock again;
  EXPECT_GE(again.descriptor(), 0);
}

TEST_F(AgentLockTest, UnopenableLockFileIsReported) {
  std::filesystem::create_directories(state_ / "agent.lock");
  EXPECT_EQ(lockFailure(), "Cannot open VEK worker lock");
}

}  // namespace
}  // namespace vek
