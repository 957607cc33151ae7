// The receiver's memory of the jobs it took: a job is taken once, the memory outlives a month of
// jobs but not much more, and a memory file that cannot be read does not block every install.
#include "pipeline/received_jobs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(ReceivedJobs, AJobIsTakenOnceForAsLongAsItIsRemembered) {
  testing::TempDir state;
  testing::ScopedEnvironment stateDirectory("VEK_STATE_DIR", state.path().c_str());
  const fs::path memory = state / "received-jobs.json";
  const std::string refusal =
      "This Mac already received this job once; a relay that offers it again may be replaying "
      "an old build, so it is refused.";
  const auto admit = [](const std::string& id, std::chrono::system_clock::time_point at) {
    return testing::failureOf([&] { BuildPipeline::admitReceivedJob(id, at); });
  };
  const std::chrono::system_clock::time_point start{std::chrono::seconds(1'700'000'000)};

  EXPECT_EQ(admit("j1", start), "(no failure)");
  EXPECT_EQ(admit("j1", start + 29 * 24h), refusal);
  EXPECT_EQ(testing::readText(memory), R"({"j1":1700000000})");
  struct stat status {};
  ASSERT_EQ(::stat(memory.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // Taking another job a month later forgets the first one.
  EXPECT_EQ(admit("j2", start + BuildPipeline::receivedJobMemory + 1s), "(no failure)");
  EXPECT_EQ(admit("j1", start + BuildPipeline::receivedJobMemory + 2s), "(no failure)");
  EXPECT_EQ(admit("j2", start + BuildPipeline::receivedJobMemory + 3s), refusal);

  testing::writeText(memory, "{\"j3\": 1700000000");
  EXPECT_EQ(admit("j3", start), "(no failure)");
  EXPECT_EQ(admit("j3", start), refusal);
}

}  // namespace
}  // namespace vek
