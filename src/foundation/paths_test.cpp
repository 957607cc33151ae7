#include "foundation/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;

using testing::ScopedEnvironment;

int modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class PathsTest : public ::testing::Test {
 protected:
  testing::TempDir scratch_;
};

TEST_F(PathsTest, RootFollowsTheEnvironmentAndCreatesNothing) {
  ScopedEnvironment state("VEK_STATE_DIR", (scratch_.path() / "state").c_str());
  EXPECT_EQ(Paths::root(), scratch_.path() / "state");
  EXPECT_FALSE(fs::exists(scratch_.path() / "state"));

  ScopedEnvironment empty("VEK_STATE_DIR", "");
  EXPECT_TRUE(fs::equivalent(Paths::root(), fs::current_path()));

  ScopedEnvironment unset("VEK_STATE_DIR", nullptr);
  ScopedEnvironment data("XDG_DATA_HOME", (scratch_.path() / "data").c_str());
  EXPECT_EQ(Paths::root(), scratch_.path() / "data" / "VEK");
  ScopedEnvironment noData("XDG_DATA_HOME", nullptr);
  ScopedEnvironment home("HOME", scratch_.path().c_str());
  EXPECT_EQ(Paths::root(), scratch_.path() / ".local/share/VEK");
  EXPECT_FALSE(fs::exists(scratch_.path() / ".local"));
}

TEST_F(PathsTest, DirectoryCreatesEveryMissingLevelOwnerOnly) {
  ScopedEnvironment state("VEK_STATE_DIR", (scratch_.path() / "state").c_str());
  // Even a umask that strips the owner's bits must not leave an unusable directory.
  mode_t previous = ::umask(0277);
  fs::path root, nested;
  try {
    root = Paths::directory("");
    nested = Paths::directory("Jobs/1234/Receive");
  } catch (...) {
    ::umask(previous);
    throw;
  }
  ::umask(previous);
  EXPECT_EQ(root, scratch_.path() / "state");
  EXPECT_EQ(nested, scratch_.path() / "state/Jobs/1234/Receive");
  for (const char* level : {"state", "state/Jobs", "state/Jobs/1234", "state/Jobs/1234/Receive"}) {
    EXPECT_EQ(modeOf(scratch_.path() / level), 0700) << level;
  }
}

TEST_F(PathsTest, ExistingDirectoriesAreReusedUntouched) {
  ScopedEnvironment state("VEK_STATE_DIR", (scratch_.path() / "state").c_str());
  fs::create_directories(scratch_.path() / "state/Logs");
  fs::permissions(scratch_.path() / "state/Logs", fs::perms(0755));
  EXPECT_EQ(Paths::directory("Logs"), scratch_.path() / "state/Logs");
  EXPECT_EQ(Paths::directory("Logs"), scratch_.path() / "state/Logs");
  EXPECT_EQ(modeOf(scratch_.path() / "state/Logs"), 0755);

  testing::writeText(scratch_.path() / "state/file", "x");
  EXPECT_THROW(Paths::directory("file"), SystemError);
  EXPECT_THROW(Paths::directory("file/below"), SystemError);
}

TEST_F(PathsTest, NamesStayBelowTheStateDirectory) {
  ScopedEnvironment state("VEK_STATE_DIR", (scratch_.path() / "state").c_str());
  EXPECT_EQ(Paths::directory("/Jobs//x/"), scratch_.path() / "state/Jobs/x");
  for (const char* escape : {"..", "Jobs/../../outside", "Jobs/./x"}) {
    EXPECT_THROW(Paths::directory(escape), SystemError) << escape;
  }
  EXPECT_FALSE(fs::exists(scratch_.path() / "outside"));
}

TEST_F(PathsTest, UncreatableStateDirectoryFails) {
  // A place nobody can create directories in, not even root.
  ScopedEnvironment state("VEK_STATE_DIR", "/proc/self/vek-state");
  EXPECT_THROW(Paths::directory("Jobs"), SystemError);
  ScopedEnvironment belowFile("VEK_STATE_DIR", "/dev/null/vek-state");
  EXPECT_THROW(Paths::directory(""), SystemError);
}

TEST_F(PathsTest, AtomicWriteReplacesContentAndMakesTheFilePrivate) {
  fs::path target = scratch_.path() / "projects.json";
  testing::writeText(target, "old content that is longer than the new");
  fs::permissions(target, fs::perms(0644));
  Paths::atomicWrite("new", target);
  EXPECT_EQ(readFile(target), "new");
  EXPECT_EQ(modeOf(target), 0600);

  Paths::atomicWrite("", scratch_.path() / "fresh");
  EXPECT_EQ(readFile(scratch_.path() / "fresh"), "");
  EXPECT_EQ(modeOf(scratch_.path() / "fresh"), 0600);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), fs::directory_iterator()), 2);
}

TEST_F(PathsTest, FailedAtomicWriteLeavesNoTemporaryFile) {
  fs::create_directory(scratch_.path() / "occupied");
  EXPECT_THROW(Paths::atomicWrite("x", scratch_.path() / "occupied"), SystemError);
  EXPECT_THROW(Paths::atomicWrite("x", scratch_.path() / "missing" / "file"), SystemError);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_empty(scratch_.path() / "occupied"));
}

TEST_F(PathsTest, ReadersSeeTheOldOrTheNewContentNeverAMixture) {
  fs::path target = scratch_.path() / "agent-status.json";
  const std::string first(256 << 10, 'a'), second(128 << 10, 'b');
  Paths::atomicWrite(first, target);
  std::atomic<bool> done = false;
  std::atomic<int> torn = 0;
  std::thread reader([&] {
    while (!done) {
      std::string seen = readFile(target);
      if (seen != first && seen != second) ++torn;
    }
  });
  for (int i = 0; i < 40; ++i)
    Paths::atomicWrite(i % 2 ? first : second, target);
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace vek
