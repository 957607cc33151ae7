// IPA extraction: the two listing checks on their own, then real zip files checked with the real
// zipinfo and unpacked by a ditto stand-in. A refused IPA must leave nothing behind: no
// destination, and no ditto run at all.
#include "pipeline/ipa_extraction.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;

TEST(IpaEntryNames, RefuseEveryWayOut) {
  for (const char* safe :
       {"", "\n\n", "Payload/\nPayload/A.app/Info.plist\n", "Payload/a..b/c", "Payload/..x",
        "Payload/x../y", "...", "Payload/.../z", "Payload//x", "./Payload/A.app"}) {
    EXPECT_TRUE(BuildPipeline::ipaEntryNamesAreSafe(safe)) << safe;
  }
  for (const char* unsafe : {"..", "../evil", "Payload/../../etc/passwd", "Payload/A.app/..",
                             "Payload/A.app/Info.plist\n/etc/passwd\n", "Payload\\..\\evil",
                             "Payload/a\\b", "ok\r\n..\r\n", "Payload/\n\n../x"}) {
    EXPECT_FALSE(BuildPipeline::ipaEntryNamesAreSafe(unsafe)) << unsafe;
  }
}

TEST(IpaListing, FindsSymbolicLinksOnly) {
  const std::string header =
      "Archive:  Test.ipa\nZip file size: 1234 bytes, number of entries: 3\n";
  const std::string plain =
      "drwxr-xr-x  3.0 unx        0 bx stor 24-Jan-15 10:20 Payload/\n"
      "-rw-r--r--  3.0 unx      120 tx defN 24-Jan-15 10:20 Payload/A.app/Info.plist\n";
  const std::string footer = "2 files, 120 bytes uncompressed, 90 bytes compressed:  25.0%\n";
  EXPECT_FALSE(BuildPipeline::ipaListingHasSymbolicLink(header + plain + footer));
  EXPECT_FALSE(BuildPipeline::ipaListingHasSymbolicLink("-rw-r--r-- link l\n"));
  EXPECT_TRUE(BuildPipeline::ipaListingHasSymbolicLink(
      header + plain + "lrwxrwxrwx  3.0 unx       11 bx stor 24-Jan-15 10:20 Payload/A.app/x\n" +
      footer));
  EXPECT_TRUE(BuildPipeline::ipaListingHasSymbolicLink("lrwx"));
}

class ExtractIPA : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tools_ / "usr/bin");
    fs::create_symlink("/usr/bin/zipinfo", tools_ / "usr/bin/zipinfo");
    // ditto -x -k IPA DESTINATION, as far as these tests need it; leaves a mark when it runs.
    const fs::path ditto = tools_ / "usr/bin/ditto";
    testing::writeText(ditto,
                       "#!/bin/sh\n[ \"$1\" = -x ] && [ \"$2\" = -k ] || exit 64\n"
                       "touch \"" +
                           (tools_ / "ditto-ran").string() +
                           "\"\n"
                           "exec unzip -q -o \"$3\" -d \"$4\"\n");
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
  // Only the unpacking run goes into the log.
  const std::string transcript = testing::readText(log);
  EXPECT_EQ(transcript.find("zipinfo"), std::string::npos) << transcript;
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

TEST_F(ExtractIPA, PassesOnTheToolsFailures) {
  testing::writeText(work_ / "broken.ipa", "not a zip");
  EXPECT_TRUE(refusal(work_ / "broken.ipa").starts_with("zipinfo failed ("))
      << refusal(work_ / "broken.ipa");
}

}  // namespace
}  // namespace vek
