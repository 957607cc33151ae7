// IPA extraction on real zip files unpacked by a ditto stand-in (unzip). A refused IPA must leave
// nothing behind: no destination, and no ditto run at all; what the stand-in plants behind the
// checks' back is refused before the app is returned.
#include "pipeline/ipa_extraction.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;

class ExtractIPA : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tools_ / "usr/bin");
    // ditto -x -k IPA DESTINATION, as far as these tests need it; leaves a mark when it runs, and
    // then runs the commands of the file "plant" in the destination, if there is one.
    const fs::path ditto = tools_ / "usr/bin/ditto";
    testing::writeText(ditto,
                       "#!/bin/sh\n[ \"$1\" = -x ] && [ \"$2\" = -k ] || exit 64\n"
                       "touch \"" +
                           (tools_ / "ditto-ran").string() +
                           "\"\n"
                           "unzip -q -o \"$3\" -d \"$4\" || exit\n"
                           "[ -f \"" +
                           (tools_ / "plant").string() + "\" ] && cd \"$4\" && . \"" +
                           (tools_ / "plant").string() + "\"\nexit 0\n");
    ::chmod(ditto.c_str(), 0755);
    ::setenv("VEK_TOOL_ROOT", tools_.path().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("VEK_TOOL_ROOT"); }

  // A zip of the tree under `files_` made with the zip command (symbolic links stored as links).
  fs::path zipTree() {
    const fs::path ipa = work_ / "Test.ipa";
    auto result = testing::runProgram("/usr/bin/zip", {"-q", "-r", "-y", ipa.string(), "."}, {},
                                      files_.path());
    EXPECT_EQ(result.status, 0) << result.err;
    return ipa;
  }

  // A zip holding empty entries with exactly these names, which the zip command will not write.
  fs::path zipNamed(const std::vector<std::string>& names) {
    const fs::path ipa = work_ / "Named.ipa";
    std::vector<std::string> arguments{
        "-c",
        "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "  for n in sys.argv[2:]: z.writestr(n, 'x')\n",
        ipa.string()};
    arguments.insert(arguments.end(), names.begin(), names.end());
    auto result = testing::runProgram("/usr/bin/python3", arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return ipa;
  }

  std::string refusal(const fs::path& ipa) {
    const fs::path destination = work_ / "Out/Validation";
    std::string message = testing::failureOf(
        [&] { BuildPipeline::extractIPA(ipa, destination, std::nullopt, std::nullopt); });
    return message;
  }

  testing::TempDir tools_, files_, work_;
};

TEST_F(ExtractIPA, UnpacksTheOneApp) {
  testing::writeText(files_ / "Payload/Test.app/Info.plist", "x");
  testing::writeText(files_ / "Payload/Test.app/PlugIns/Share.appex/Info.plist", "x");
  testing::writeText(files_ / "Payload/readme.txt", "x");
  testing::writeText(files_ / "Symbols/a..b", "x");
  const fs::path ipa = zipTree();
  const fs::path destination = work_ / "Jobs/j1/Validation";
  const fs::path log = work_ / "build.log";

  EXPECT_EQ(BuildPipeline::extractIPA(ipa, destination, log, "j1"),
            destination / "Payload/Test.app");
  EXPECT_TRUE(fs::exists(destination / "Payload/Test.app/PlugIns/Share.appex/Info.plist"));
  struct stat status {};
  ASSERT_EQ(::stat((work_ / "Jobs").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  const std::string transcript = testing::readText(log);
  EXPECT_NE(transcript.find("$ ditto -x -k " + ipa.string() + " " + destination.string()),
            std::string::npos)
      << transcript;
}

TEST_F(ExtractIPA, RefusesUnsafeEntriesBeforeUnpacking) {
  for (const std::vector<std::string>& names :
       {std::vector<std::string>{"Payload/Test.app/Info.plist", "../escaped"},
        std::vector<std::string>{"Payload/Test.app/../../../escaped"},
        std::vector<std::string>{"/tmp/escaped"},
        std::vector<std::string>{"Payload\\Test.app\\Info.plist"}}) {
    EXPECT_EQ(refusal(zipNamed(names)), "Unsafe IPA archive path") << names.back();
  }
  EXPECT_FALSE(fs::exists(work_ / "Out"));
  EXPECT_FALSE(fs::exists(tools_ / "ditto-ran"));
  EXPECT_FALSE(fs::exists(work_.path().parent_path() / "escaped"));
}

TEST_F(ExtractIPA, RefusesSymbolicLinksBeforeUnpacking) {
  testing::writeText(files_ / "Payload/Test.app/Info.plist", "x");
  fs::create_symlink("/etc", files_ / "Payload/Test.app/Resources");
  EXPECT_EQ(refusal(zipTree()),
            "IPAs containing symbolic links are not supported by this VEK version.");
  EXPECT_FALSE(fs::exists(work_ / "Out"));
  EXPECT_FALSE(fs::exists(tools_ / "ditto-ran"));
}

TEST_F(ExtractIPA, WantsExactlyOneApp) {
  const std::string message = "IPA must contain exactly one iOS app";
  EXPECT_EQ(refusal(zipNamed({"Payload/One.app/Info.plist", "Payload/Two.app/Info.plist"})),
            message);
  fs::remove_all(work_ / "Out");
  EXPECT_EQ(refusal(zipNamed({"Payload/One.APP/Info.plist", "Payload/.app/x"})), message);
  fs::remove_all(work_ / "Out");
  EXPECT_EQ(refusal(zipNamed({"Other/One.app/Info.plist"})), message);
  EXPECT_TRUE(fs::exists(tools_ / "ditto-ran"));
}

TEST_F(ExtractIPA, RefusesWhatTheUnpackingToolPlants) {
  testing::writeText(files_ / "Payload/Test.app/Info.plist", "x");
  const fs::path ipa = zipTree();
  testing::writeText(work_ / "secret", "x");
  for (const auto& [plant, message] : std::vector<std::pair<std::string, std::string>>{
           {"ln -s " + (work_ / "secret").string() + " Payload/Test.app/leak",
            "IPAs containing symbolic links are not supported by this VEK version."},
           {"mkfifo Payload/Test.app/pipe",
            "IPAs containing special files (devices, pipes or sockets) are not supported by this "
            "VEK version."},
           {"ln " + (work_ / "secret").string() + " Payload/Test.app/shared",
            "Unsafe IPA archive path"}}) {
    testing::writeText(tools_ / "plant", plant);
    EXPECT_EQ(refusal(ipa), message) << plant;
    fs::remove_all(work_ / "Out");
  }
  // A folder left without access is given it back, so it can be checked and removed.
  testing::writeText(tools_ / "plant", "chmod 000 Payload/Test.app");
  const fs::path destination = work_ / "Out/Validation";
  EXPECT_EQ(BuildPipeline::extractIPA(ipa, destination, std::nullopt, std::nullopt),
            destination / "Payload/Test.app");
  EXPECT_GT(fs::remove_all(destination), 0u);
}

TEST_F(ExtractIPA, RefusesWhatDoesNotFitTheFreeSpace) {
  // A file system of 1 MiB, in a mount namespace of this test's own.
  const fs::path small = work_ / "Small";
  fs::create_directories(small);
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
      ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  const fs::path ipa = files_ / "Big.ipa";
  auto made = testing::runProgram(
      "/usr/bin/python3", {"-c",
                           "import os, sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                           "  z.writestr('Payload/Big.app/data', os.urandom(2 << 20))\n",
                           ipa.string()});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(testing::failureOf([&] {
              BuildPipeline::extractIPA(ipa, small / "Out/Validation", std::nullopt, std::nullopt);
            }),
            "The IPA would unpack to 3 MiB, more than the 1 MiB free in " + small.string() + ".");
  EXPECT_FALSE(fs::exists(tools_ / "ditto-ran"));
  ::umount2(small.c_str(), MNT_DETACH);
}

TEST_F(ExtractIPA, PassesOnTheToolsFailures) {
  testing::writeText(work_ / "broken.ipa", "not a zip");
  EXPECT_EQ(refusal(work_ / "broken.ipa"),
            "The IPA is not a zip archive VEK can read: it is too short to be a zip archive.");
  testing::writeText(tools_ / "plant", "exit 3");
  testing::writeText(files_ / "Payload/Test.app/Info.plist", "x");
  EXPECT_TRUE(refusal(zipTree()).starts_with("ditto failed (3)"));
}

}  // namespace
}  // namespace vek
