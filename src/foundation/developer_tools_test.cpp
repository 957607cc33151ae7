// The command lines reach the tool exactly as built, through the tool root, and the optional
// parts of the archive command appear only when they apply.
#include "foundation/developer_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "test_support.h"

namespace vek {
namespace {

using Arguments = std::vector<std::string>;

class DeveloperToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A stand-in xcrun that prints each argument it received on a line of its own.
    const auto xcrun = root_ / "usr/bin/xcrun";
    testing::writeText(xcrun, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n");
    ::chmod(xcrun.c_str(), 0755);
    ::setenv("VEK_TOOL_ROOT", root_.path().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("VEK_TOOL_ROOT"); }

  static Arguments received(const ToolCommand& command) {
    std::string output = ProcessRunner::run(command.invocation(60)).output;
    Arguments lines;
    for (std::size_t start = 0; start < output.size();) {
      std::size_t end = output.find('\n', start);
      lines.push_back(output.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  testing::TempDir root_;
};

TEST_F(DeveloperToolsTest, ArchiveAddsSigningArgumentsOnlyWhenTheyApply) {
  DeveloperTools::ArchiveRequest request{{"-project", "/p/My App.xcodeproj"},
                                         "App",
                                         "Release",
                                         "/w/App.xcarchive",
                                         "/w/DerivedData",
                                         true,
                                         "TEAM1"};
  const Arguments fixed{"xcodebuild",           "archive",       "-project",
                        "/p/My App.xcodeproj",  "-scheme",       "App",
                        "-configuration",       "Release",       "-destination",
                        "generic/platform=iOS", "-archivePath",  "/w/App.xcarchive",
                        "-derivedDataPath",     "/w/DerivedData"};
  Arguments automatic = fixed;
  automatic.insert(automatic.end(), {"-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic",
                                     "DEVELOPMENT_TEAM=TEAM1"});
  EXPECT_EQ(received(DeveloperTools::archive(request)), automatic);

  request.automaticSigning = false;
  request.team = "";
  EXPECT_EQ(received(DeveloperTools::archive(request)), fixed);
}

TEST_F(DeveloperToolsTest, ListingsAndExportGoThroughXcrunUnderTheToolRoot) {
  EXPECT_EQ(received(DeveloperTools::listDevices("/tmp/vek-devices-X.json")),
            (Arguments{"devicectl", "list", "devices", "--timeout", "20", "--json-output",
                       "/tmp/vek-devices-X.json"}));
  EXPECT_EQ(received(DeveloperTools::listContainer({"-workspace", "/p/A.xcworkspace"})),
            (Arguments{"xcodebuild", "-list", "-json", "-workspace", "/p/A.xcworkspace"}));
  EXPECT_EQ(
      received(DeveloperTools::exportArchive("/w/A.xcarchive", "/w/Export",
                                             "/w/ExportOptions.plist", false)),
      (Arguments{"xcodebuild", "-exportArchive", "-archivePath", "/w/A.xcarchive", "-exportPath",
                 "/w/Export", "-exportOptionsPlist", "/w/ExportOptions.plist"}));
}

}  // namespace
}  // namespace vek
