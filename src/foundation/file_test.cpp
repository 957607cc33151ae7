#include "foundation/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

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

TEST(ReadFullyAt, ReadsFromTheOffsetUpToEndOfFileAndLeavesTheFileOffsetAlone) {
  TempDir dir;
  vek::testing::writeText(dir / "in", "0123456789");
  UniqueFd fd = openFile(dir / "in", O_RDONLY);
  char buffer[8] = {};
  EXPECT_EQ(readFullyAt(fd.get(), buffer, 4, 3, dir / "in"), 4u);
  EXPECT_EQ(std::string(buffer, 4), "3456");
  EXPECT_EQ(readFullyAt(fd.get(), buffer, sizeof buffer, 7, dir / "in"), 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(readFullyAt(fd.get(), buffer, sizeof buffer, 10, dir / "in"), 0u);
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 0);
}

TEST(TemporaryFile, RemovesItsFileUnlessKeptAndOnlyOnceWhenMoved) {
  TempDir dir;
  vek::testing::writeText(dir / "dropped", "x");
  vek::testing::writeText(dir / "kept", "x");
  vek::testing::writeText(dir / "moved", "x");
  { TemporaryFile dropped(dir / "dropped"); }
  {
    TemporaryFile kept(dir / "kept");
    kept.keep();
  }
  std::optional<TemporaryFile> owner;
  {
    TemporaryFile first(dir / "moved");
    owner.emplace(std::move(first));
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "dropped"));
  EXPECT_TRUE(std::filesystem::exists(dir / "kept"));
  EXPECT_TRUE(std::filesystem::exists(dir / "moved")) << "the moved-from owner removed the file";
  owner.reset();
  EXPECT_FALSE(std::filesystem::exists(dir / "moved"));
}

}  // namespace
}  // namespace vek
