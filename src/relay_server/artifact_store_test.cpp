#include "relay_server/artifact_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/sha256.h"
#include "test_support.h"

namespace vek::relay_server {
namespace {

// Two stores on one folder stand for two relay processes sharing it: neither can ask the
// other's request to let go of a partial upload, so the lock on the job's holder file is all that
// keeps them from appending at once.
TEST(ArtifactStore, OneRequestAcrossProcessesSharingTheFolderHoldsAPartialUpload) {
  testing::TempDir directory;
  std::filesystem::path folder = directory.path() / "artifacts";
  ArtifactStore first(folder), second(folder);
  // Job ids as the relay makes them (UUIDs).
  const std::string job1 = "6f1c2a3e-0b4d-4e5f-8a9b-0c1d2e3f4a5b";
  const std::string job2 = "7a2b3c4d-1e2f-4a3b-9c4d-5e6f7a8b9c0d";
  bool interrupted = false;
  std::unique_ptr<PartialWriter> writer = first.takePartial(job1, [&] { interrupted = true; });
  ASSERT_TRUE(writer);
  writer->restart(6, Sha256::hexOf("abcdef"),
                  std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
  writer->append("abc");
  EXPECT_EQ(second.takePartial(job1, [] {}), nullptr);
  EXPECT_FALSE(interrupted);
  EXPECT_NE(second.takePartial(job2, [] {}), nullptr);

  writer.reset();
  std::unique_ptr<PartialWriter> next = second.takePartial(job1, [] {});
  ASSERT_TRUE(next);
  ASSERT_TRUE(next->upload());
  EXPECT_EQ(next->upload()->held, 3u);
  EXPECT_EQ(first.takePartial(job1, [] {}), nullptr);
  next.reset();

  // The job's upload ended: neither its partial upload nor its holder file stays.
  first.removePartial(job1);
  first.removePartial(job2);
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

}  // namespace
}  // namespace vek::relay_server
