// `vek` as a user meets it: a process with arguments, an environment, standard output, standard
// error and an exit status.
#include <gtest/gtest.h>

#include "cli/help.h"
#include "foundation/credentials.h"
#include "foundation/json.h"
#include "mac.h"
#include "test_support.h"

namespace vek::cli {
namespace {

using vek::testing::ProgramResult;

class VekProcess : public ::testing::Test {
 protected:
  ProgramResult vek(const std::vector<std::string>& arguments) { return mac_.vek(arguments); }
  void enrol() { mac_.enrolAt("http://127.0.0.1:9"); }
  static std::string errorOf(const ProgramResult& result) {
    return JSON::decode(result.err)["error"].text();
  }
  vek::testing::Mac mac_;
};

TEST_F(VekProcess, HelpForNoCommandHelpFlagOrOnlyFlags) {
  for (auto arguments : std::vector<std::vector<std::string>>{
           {}, {"--help"}, {"--json"}, {"group", "create", "--help"}}) {
    ProgramResult result = vek(arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, helpText() + "\n");
    EXPECT_EQ(result.err, "");
  }
  std::string help = helpText();
  EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 29);
  EXPECT_TRUE(help.starts_with("VEK 0.1.0 \u2014 build on any Mac"));
}

TEST_F(VekProcess, VersionWinsOverEverything) {
  ProgramResult result = vek({"group", "create", "--help", "--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "0.1.0\n");
}

TEST_F(VekProcess, FailuresArePrettyErrorObjectsOnStandardError) {
  ProgramResult result = vek({"-h"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "{\n  \"error\" : \"Unknown option: -h\"\n}\n");
  EXPECT_EQ(errorOf(vek({"--timeout"})), "Missing value for --timeout");
  EXPECT_EQ(errorOf(vek({"run", "--project", "--scheme", "S"})), "Missing value for --project");
}

TEST_F(VekProcess, EnrolmentGateStandsBeforeTheGroupCommands) {
  for (auto arguments : std::vector<std::vector<std::string>>{
           {"bogus"}, {"group", "status"}, {"devices"}, {"agent"}, {"projects", "list"}}) {
    ProgramResult result = vek(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errorOf(result), "This Mac is not enrolled. Use group create or group join first.");
  }
}

TEST_F(VekProcess, UnknownCommandOnAnEnrolledMac) {
  enrol();
  for (auto arguments : std::vector<std::vector<std::string>>{{"bogus"}, {"agent"}, {"group"}}) {
    ProgramResult result = vek(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(errorOf(result), "Unknown command. Run vek --help.");
  }
}

TEST_F(VekProcess, CorruptCredentialsAreReportedNotTreatedAsAbsent) {
  vek::testing::writeText(
      mac_.home() /
          ".local/share/vek-keychain/com.ostrelsoftware.vek.credentials@active-group.item",
      "garbage");
  EXPECT_EQ(errorOf(vek({"group", "status"})),
            "Cannot read VEK credentials from Keychain (-26275). Unlock your login keychain.");
}

}  // namespace
}  // namespace vek::cli
