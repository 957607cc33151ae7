#include "agent/job_cleanup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;

TEST(AgentFailureText, CutsAtGraphemeClustersNotBytesOrCodePoints) {
  // Each element is one user-perceived character of several code points.
  const std::vector<std::string> clusters = {
      "e\xCC\x81",  // e + combining acute
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",  // family (ZWJ)
      "a\xCC\xA3\xCC\x88",                 // a + two combining marks
      "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",  // flag: two regional indicators
      "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",  // thumbs up + skin tone
      "x",
  };
  std::string text, expected;
  for (int i = 0; i < 3000; ++i) {
    text += clusters[i % clusters.size()];
    if (i < 1950) expected += clusters[i % clusters.size()];
  }
  EXPECT_EQ(JobCleanup::failureText(text), expected);

  std::string ascii(3000, 'q');
  EXPECT_EQ(JobCleanup::failureText(ascii), std::string(1950, 'q'));
  EXPECT_EQ(JobCleanup::failureText("short"), "short");
  EXPECT_TRUE(text::isValidUTF8(JobCleanup::failureText("bad \xff byte")));
}

void age(const fs::path& path, int days) {
  struct timeval now {};
  ::gettimeofday(&now, nullptr);
  struct timeval times[2] = {now, now};
  times[0].tv_sec -= days * 86400L;
  times[1].tv_sec -= days * 86400L;
  ASSERT_EQ(::lutimes(path.c_str(), times), 0) << path;
}

class AgentJobCleanup : public ::testing::Test {
 protected:
  testing::TempDir scratch_;
  fs::path state_ = scratch_.path() / "state";
  fs::path jobs_ = state_ / "Jobs";
  ScopedEnvironment environment_{"VEK_STATE_DIR", state_.c_str()};
};

TEST_F(AgentJobCleanup, RemovesOnlyEntriesOlderThanSevenDays) {
  testing::writeText(jobs_ / "old" / "Receive" / "App.ipa", "ipa");
  testing::writeText(jobs_ / "recent" / "build.log", "log");
  testing::writeText(jobs_ / ".hidden-old", "x");
  testing::writeText(scratch_.path() / "elsewhere" / "keep", "keep");
  fs::create_directory_symlink(scratch_.path() / "elsewhere", jobs_ / "link-old");
  age(jobs_ / "old", 8);
  age(jobs_ / "recent", 6);
  age(jobs_ / ".hidden-old", 8);
  age(jobs_ / "link-old", 8);
  // What is inside an old directory does not keep it: only the entry's own time counts.
  JobCleanup::cleanup();

  EXPECT_FALSE(fs::exists(jobs_ / "old"));
  EXPECT_TRUE(fs::exists(jobs_ / "recent" / "build.log"));
  EXPECT_FALSE(fs::exists(jobs_ / ".hidden-old"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(jobs_ / "link-old")));
  EXPECT_TRUE(fs::exists(scratch_.path() / "elsewhere" / "keep"))
      << "a link's target is not touched";
}

TEST_F(AgentJobCleanup, LeavesEachJobOnlyItsLogsOptionsAndArchive) {
  for (const char* file :
       {"built/build.log", "built/ExportOptions.plist", "built/App.xcarchive/Info.plist",
        "built/Export/Demo.ipa", "built/Validation/Payload/Demo.app/Demo", "built/DerivedData/x",
        "built/Build.vekpkg", "built/Build.vek", "received/Receive/install.log",
        "received/Receive/Build.vek", "received/Receive/Build.vekpkg", "received/Receive/App.ipa",
        "received/Receive/Extracted/Payload/Demo.app/Demo",
        "received/Receive/.Build.vek.download-1"}) {
    testing::writeText(jobs_ / file, "x");
  }
  testing::writeText(scratch_.path() / "elsewhere" / "Export" / "keep", "keep");
  fs::create_directory_symlink(scratch_.path() / "elsewhere", jobs_ / "link");
  JobCleanup::cleanup();

  std::vector<std::string> left;
  for (auto it = fs::recursive_directory_iterator(jobs_); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_directory() || it->is_symlink())
      left.push_back(it->path().lexically_relative(jobs_));
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::string>{"built/App.xcarchive/Info.plist", "built/ExportOptions.plist",
                                      "built/build.log", "link", "received/Receive/install.log"}));
  EXPECT_TRUE(fs::exists(scratch_.path() / "elsewhere" / "Export" / "keep"));
}

TEST_F(AgentJobCleanup, MissingOrUnusableJobsFolderIsNoError) {
  JobCleanup::cleanup();
  EXPECT_TRUE(fs::is_directory(jobs_)) << "created when missing";
  fs::remove(jobs_);
  testing::writeText(jobs_, "not a folder");
  JobCleanup::cleanup();
  EXPECT_TRUE(fs::is_regular_file(jobs_));
  JobCleanup::removeOldEntries(scratch_.path() / "absent", fs::file_time_type::clock::now());
}

}  // namespace
}  // namespace vek
