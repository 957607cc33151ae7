#include "foundation/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

using vek::testing::TempDir;

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

TEST(CreatePrivateFile, TruncatesAndTightensAnExistingFile) {
  TempDir dir;
  vek::testing::writeText(dir / "out", "old content");
  ::chmod((dir / "out").c_str(), 0644);
  {
    UniqueFd fd = createPrivateFile(dir / "out");
    writeFully(fd.get(), "new", dir / "out");
  }
  EXPECT_EQ(vek::testing::readText(dir / "out"), "new");
  EXPECT_EQ(modeOf(dir / "out") & 0777, 0600u);
}

TEST(CreatePrivateFile, RefusesWhatIsNotARegularFileAndLeavesItAlone) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  std::filesystem::create_directory(dir / "folder");
  for (const char* name : {"fifo", "folder"}) {
    mode_t before = modeOf(dir / name);
    try {
      createPrivateFile(dir / name);
      FAIL() << name;
    } catch (const SystemError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Cannot write " + (dir / name).string() + ": it is not a regular file");
    }
    EXPECT_EQ(modeOf(dir / name), before) << name;
  }
}

TEST(ReadFile, NamesThePathWhenItFails) {
  TempDir dir;
  try {
    readFile(dir / "missing");
    FAIL();
  } catch (const SystemError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot open " + (dir / "missing").string() + ": No such file or directory");
  }
}

}  // namespace
}  // namespace vek
