// `vek` as a user meets it: a process with arguments, an environment, standard output, standard
// error and an exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/help.h"
#include "foundation/constants.h"
#include "foundation/credentials.h"
#include "foundation/default_relay.h"
#include "foundation/json.h"
#include "mac.h"
#include "test_support.h"

namespace vek::cli {
namespace {

using vek::testing::ProgramResult;

// Where `vek`'s standard output goes in the tests of results that cannot be written.
enum class Output { full, closed, brokenPipe };

// Runs `vek` in `mac`'s environment with standard output `output`; returns its exit status and
// what it wrote on standard error.
ProgramResult vekWritingTo(const vek::testing::Mac& mac, Output output,
                           const std::vector<std::string>& arguments) {
  vek::testing::TempDir captures;
  const std::string program = (vek::testing::programDirectory() / "vek").string();
  const std::string errors = (captures / "err").string();
  vek::testing::CStringArray argv = vek::testing::argumentVector(program, arguments);
  vek::testing::CStringArray environment(
      {"HOME=" + mac.home().string(), "VEK_STATE_DIR=" + mac.stateDirectory().string(),
       "TMPDIR=" + (mac.home() / "tmp").string(), "PATH=/usr/bin:/bin"});

  int pipeEnds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  switch (output) {
    case Output::full:
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
      break;
    case Output::closed:
      posix_spawn_file_actions_addclose(&actions, 1);
      break;
    case Output::brokenPipe:
      // The reading end is closed before the program starts: every write meets EPIPE.
      EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
      ::close(pipeEnds[0]);
      posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
      break;
  }
  pid_t pid = -1;
  int error =
      ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  EXPECT_EQ(error, 0);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProgramResult result;
  result.err = vek::testing::readText(errors);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

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
  EXPECT_NE(help.find(serverLine(VEK::server)), std::string::npos);
}

TEST(HelpText, TheServerLineNamesADefaultOnlyWhenTheBuildHasOne) {
  EXPECT_EQ(serverLine("https://relay.vek.example"),
            "--server URL is required for group creation (this build has no default relay).");
  EXPECT_EQ(serverLine("https://relay.example.com"),
            "--server URL is used only during group creation (default https://relay.example.com).");
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

// A result that did not arrive is a failure, whatever kept it from arriving.
TEST_F(VekProcess, AResultThatCannotBeWrittenIsAFailure) {
  const std::vector<std::pair<Output, std::string>> outputs{
      {Output::full, "No space left on device"},
      {Output::closed, "Bad file descriptor"},
      {Output::brokenPipe, "Broken pipe"}};
  for (const auto& [output, reason] : outputs) {
    for (auto arguments : std::vector<std::vector<std::string>>{
             {"--version"}, {"--help"}, {"projects", "list", "--local"}}) {
      ProgramResult result = vekWritingTo(mac_, output, arguments);
      EXPECT_EQ(result.status, 1) << reason << " " << arguments[0];
      EXPECT_EQ(errorOf(result), "Cannot write standard output: " + reason) << result.err;
    }
  }
}

TEST_F(VekProcess, GroupCreationWithoutServerInAPlaceholderBuildSaysWhatToDo) {
  if (!isPlaceholderRelay(VEK::server)) GTEST_SKIP() << "built with the relay " << VEK::server;
  vek::testing::writeText(mac_.home() / "bootstrap", "token\n");
  EXPECT_EQ(mac_.error({"group", "create", "--bootstrap-file", "bootstrap"}),
            std::string(noDefaultRelayMessage));
  EXPECT_FALSE(mac_.credentials());
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
