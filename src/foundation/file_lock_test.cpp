#include "foundation/file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

using vek::testing::TempDir;

TEST(ExclusiveFileLock, ASecondHolderWaitsUntilTheFirstLetsGo) {
  TempDir dir;
  const auto path = dir / "registry.lock";
  std::optional<ExclusiveFileLock> first(std::in_place, path);
  std::atomic<bool> acquired = false;
  std::thread second([&] {
    ExclusiveFileLock lock(path);
    acquired = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(acquired);
  first.reset();
  second.join();
  EXPECT_TRUE(acquired);

  // The file stays, private, for the next holder; locking again works at once.
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ExclusiveFileLock again(path);
}

TEST(ExclusiveFileLock, AMissingDirectoryOrALinkIsAFailureNamingThePath) {
  TempDir dir;
  EXPECT_EQ(testing::failureOf<SystemError>([&] { ExclusiveFileLock(dir / "missing/x.lock"); }),
            "Cannot open " + (dir / "missing/x.lock").string() + ": No such file or directory");
  std::filesystem::create_symlink(dir / "elsewhere", dir / "link.lock");
  EXPECT_THROW(ExclusiveFileLock(dir / "link.lock"), SystemError);
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

}  // namespace
}  // namespace vek
