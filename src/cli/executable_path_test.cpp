#include "cli/executable_path.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vek::cli {
namespace {

TEST(AgentExecutable, ABareNameBecomesTheRunningProgramAndAPathIsKept) {
  const std::filesystem::path running = runningExecutable();
  ASSERT_TRUE(running.is_absolute()) << running;
  EXPECT_TRUE(std::filesystem::equivalent(running, "/proc/self/exe"));
  EXPECT_EQ(agentExecutable("vek"), running);
  // A path the user chose, relative or through a link, is the user's to resolve.
  EXPECT_EQ(agentExecutable("./vek"), "./vek");
  EXPECT_EQ(agentExecutable("bin/vek"), "bin/vek");
  EXPECT_EQ(agentExecutable("/usr/local/bin/vek"), "/usr/local/bin/vek");
}

}  // namespace
}  // namespace vek::cli
