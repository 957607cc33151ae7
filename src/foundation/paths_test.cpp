#include "foundation/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "foundation/errors.h"
#include "foundation/file.h"

namespace vek {
namespace {

namespace fs = std::filesystem;

class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

int modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/vek-paths-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
  }
  void TearDown() override { fs::remove_all(scratch_); }
  fs::path scratch_;
};

TEST_F(PathsTest, RootFollowsTheEnvironmentAndCreatesNothing) {
  ScopedVariable state("VEK_STATE_DIR", (scratch_ / "state").c_str());
  EXPECT_EQ(Paths::root(), scratch_ / "state");
  EXPECT_FALSE(fs::exists(scratch_ / "state"));

  ScopedVariable empty("VEK_STATE_DIR", "");
  EXPECT_TRUE(fs::equivalent(Paths::root(), fs::current_path()));

  ScopedVariable unset("VEK_STATE_DIR", nullptr);
  ScopedVariable data("XDG_DATA_HOME", (scratch_ / "data").c_str());
  EXPECT_EQ(Paths::root(), scratch_ / "data" / "VEK");
  ScopedVariable noData("XDG_DATA_HOME", nullptr);
  ScopedVariable home("HOME", scratch_.c_str());
  EXPECT_EQ(Paths::root(), scratch_ / ".local/share/VEK");
  EXPECT_FALSE(fs::exists(scratch_ / ".local"));
}

TEST_F(PathsTest, DirectoryCreatesEveryMissingLevelOwnerOnly) {
  ScopedVariable state("VEK_STATE_DIR", (scratch_ / "state").c_str());
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
  EXPECT_EQ(root, scratch_ / "state");
  EXPECT_EQ(nested, scratch_ / "state/Jobs/1234/Receive");
  for (const char* level : {"state", "state/Jobs", "state/Jobs/1234", "state/Jobs/1234/Receive"}) {
    EXPECT_EQ(modeOf(scratch_ / level), 0700) << level;
  }
}

TEST_F(PathsTest, ExistingDirectoriesAreReusedUntouched) {
  ScopedVariable state("VEK_STATE_DIR", (scratch_ / "state").c_str());
  fs::create_directories(scratch_ / "state/Logs");
  fs::permissions(scratch_ / "state/Logs", fs::perms(0755));
  EXPECT_EQ(Paths::directory("Logs"), scratch_ / "state/Logs");
  EXPECT_EQ(Paths::directory("Logs"), scratch_ / "state/Logs");
  EXPECT_EQ(modeOf(scratch_ / "state/Logs"), 0755);

  std::ofstream(scratch_ / "state/file") << "x";
  EXPECT_THROW(Paths::directory("file"), SystemError);
  EXPECT_THROW(Paths::directory("file/below"), SystemError);
}

TEST_F(PathsTest, NamesStayBelowTheStateDirectory) {
  ScopedVariable state("VEK_STATE_DIR", (scratch_ / "state").c_str());
  EXPECT_EQ(Paths::directory("/Jobs//x/"), scratch_ / "state/Jobs/x");
  for (const char* escape : {"..", "Jobs/../../outside", "Jobs/./x"}) {
    EXPECT_THROW(Paths::directory(escape), SystemError) << escape;
  }
  EXPECT_FALSE(fs::exists(scratch_ / "outside"));
}

TEST_F(PathsTest, UncreatableStateDirectoryFails) {
  // A place nobody can create directories in, not even root.
  ScopedVariable state("VEK_STATE_DIR", "/proc/self/vek-state");
  EXPECT_THROW(Paths::directory("Jobs"), SystemError);
  ScopedVariable belowFile("VEK_STATE_DIR", "/dev/null/vek-state");
  EXPECT_THROW(Paths::directory(""), SystemError);
}

TEST_F(PathsTest, AtomicWriteReplacesContentAndMakesTheFilePrivate) {
  fs::path target = scratch_ / "projects.json";
  std::ofstream(target) << "old content that is longer than the new";
  fs::permissions(target, fs::perms(0644));
  Paths::atomicWrite("new", target);
  EXPECT_EQ(readFile(target), "new");
  EXPECT_EQ(modeOf(target), 0600);

  Paths::atomicWrite("", scratch_ / "fresh");
  EXPECT_EQ(readFile(scratch_ / "fresh"), "");
  EXPECT_EQ(modeOf(scratch_ / "fresh"), 0600);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()), 2);
}

TEST_F(PathsTest, FailedAtomicWriteLeavesNoTemporaryFile) {
  fs::create_directory(scratch_ / "occupied");
  EXPECT_THROW(Paths::atomicWrite("x", scratch_ / "occupied"), SystemError);
  EXPECT_THROW(Paths::atomicWrite("x", scratch_ / "missing" / "file"), SystemError);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_empty(scratch_ / "occupied"));
}

TEST_F(PathsTest, ReadersSeeTheOldOrTheNewContentNeverAMixture) {
  fs::path target = scratch_ / "agent-status.json";
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
