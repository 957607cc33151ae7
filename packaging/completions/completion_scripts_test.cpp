#include "completion_scripts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/command_table.h"
#include "test_support.h"

namespace vek::completions {
namespace {

using testing::runProgram;
using testing::TempDir;
using testing::writeText;

std::optional<std::filesystem::path> shell(const std::string& name) {
  for (const char* directory : {"/usr/bin", "/bin"}) {
    std::filesystem::path path = std::filesystem::path(directory) / name;
    if (std::filesystem::exists(path)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  return result;
}

// Drives the bash completion as bash-completion would: the words of the command line and the
// index of the word under the cursor; returns the candidates offered.
class BashCompletion : public ::testing::Test {
 protected:
  void SetUp() override {
    bash_ = shell("bash");
    if (!bash_) GTEST_SKIP() << "bash is not installed";
    writeText(directory_ / "vek", bashScript());
  }

  std::vector<std::string> complete(const std::vector<std::string>& words) {
    std::string array;
    for (const auto& word : words)
      array += " '" + word + "'";
    std::string program = "source '" + (directory_ / "vek").string() + "'; COMP_WORDS=(" + array +
                          "); COMP_CWORD=" + std::to_string(words.size() - 1) +
                          "; _vek; printf '%s\\n' \"${COMPREPLY[@]}\"";
    auto result = runProgram(*bash_, {"--norc", "--noprofile", "-c", program},
                             {{"VEK_STATE_DIR", (directory_ / "state").string()}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    auto found = lines(result.out);
    if (found.size() == 1 && found[0].empty()) found.clear();
    return found;
  }

  TempDir directory_;
  std::optional<std::filesystem::path> bash_;
};

TEST_F(BashCompletion, CompletesCommandsAndSubCommands) {
  EXPECT_EQ(complete({"vek", "pro"}), std::vector<std::string>{"projects"});
  EXPECT_EQ(complete({"vek", "j"}), (std::vector<std::string>{"jobs", "job"}));
  EXPECT_EQ(complete({"vek", "group", ""}),
            (std::vector<std::string>{"create", "join", "invite", "status", "revoke"}));
  EXPECT_EQ(complete({"vek", "--json", "agent", "u"}), std::vector<std::string>{"uninstall"});
  EXPECT_EQ(complete({"vek", "--v"}), std::vector<std::string>{"--version"});
}

TEST_F(BashCompletion, OffersTheOptionsOfTheCommandTyped) {
  EXPECT_EQ(
      complete({"vek", "run", "--"}),
      (std::vector<std::string>{"--project", "--scheme", "--receiver", "--device", "--builder",
                                "--mode", "--configuration", "--wait", "--timeout"}));
  EXPECT_EQ(complete({"vek", "group", "create", "--n"}), std::vector<std::string>{"--name"});
  EXPECT_EQ(complete({"vek", "logs", "0f8fad5b-d9cb-469f-a165-70867728950e", "--f"}),
            std::vector<std::string>{"--follow"});
  EXPECT_TRUE(complete({"vek", "jobs", "--"}).empty());
}

TEST_F(BashCompletion, AnOptionsValueIsNotTakenForACommand) {
  // "--name projects" names the group; the word after it is still group create's.
  EXPECT_EQ(complete({"vek", "group", "create", "--name", "projects", "--b"}),
            std::vector<std::string>{"--bootstrap-file"});
  EXPECT_TRUE(complete({"vek", "group", "create", "--name", "pro"}).empty());
  EXPECT_EQ(complete({"vek", "run", "--mode", ""}), (std::vector<std::string>{"adhoc", "debug"}));
}

TEST_F(BashCompletion, CompletesIdsFromTheStateDirectoryOnly) {
  const std::string first = "6e1f7c52-3b4d-4a5e-9f60-718293a4b5c6";
  const std::string second = "A0B1C2D3-E4F5-4617-8899-AABBCCDDEEFF";
  writeText(directory_ / "state/projects.json",
            "[{\"id\":\"" + first + "\",\"name\":\"say \\\"id\\\":\\\"" + second +
                "\\\"\",\"path\":\"/p\"},{\"id\" : \"" + second + "\",\"name\":\"B\"}]");
  EXPECT_EQ(complete({"vek", "run", "--project", ""}), (std::vector<std::string>{first, second}));
  EXPECT_EQ(complete({"vek", "projects", "remove", "6"}), std::vector<std::string>{first});

  std::filesystem::create_directories(directory_ / "state/Jobs" / first);
  std::filesystem::create_directories(directory_ / "state/Jobs/not-a-job");
  writeText(directory_ / "state/Jobs" / second, "a file, not a job folder");
  EXPECT_EQ(complete({"vek", "cancel", ""}), std::vector<std::string>{first});
  // Once the operand is there, only options remain.
  EXPECT_EQ(complete({"vek", "logs", first, ""}),
            (std::vector<std::string>{"--follow", "--timeout"}));
}

TEST_F(BashCompletion, CompletesMacsAndPhonesFromWhatThisMacLastSawOfItsGroup) {
  const std::string macA = "6e1f7c52-3b4d-4a5e-9f60-718293a4b5c6";
  const std::string macB = "0b7f6a5e-8a1c-4c1e-9b5d-2f7c3e4d5a6b";
  const std::string phone = "00008110-000A1B2C3D4E5F60";
  writeText(directory_ / "state/group-ids.tsv",
            "mac\t" + macA + "\tMac A\n" + "mac\t" + macB + "\tMac B\n" +
                "mac\t$(touch x)\tevil\n" + "phone\t" + phone + "\tDemo iPhone\t" + macB + "\n");
  EXPECT_EQ(complete({"vek", "run", "--receiver", ""}), (std::vector<std::string>{macA, macB}));
  EXPECT_EQ(complete({"vek", "run", "--builder", "0"}), std::vector<std::string>{macB});
  EXPECT_EQ(complete({"vek", "group", "revoke", "6"}), std::vector<std::string>{macA});
  EXPECT_EQ(complete({"vek", "run", "--device", ""}), std::vector<std::string>{phone});
  EXPECT_FALSE(std::filesystem::exists(directory_ / "x"));
}

TEST_F(BashCompletion, NoStateDirectoryMeansNoIds) {
  EXPECT_TRUE(complete({"vek", "job", ""}).empty());
  EXPECT_TRUE(complete({"vek", "run", "--project", ""}).empty());
  EXPECT_TRUE(complete({"vek", "run", "--receiver", ""}).empty());
}

TEST(CompletionScripts, EveryShellAcceptsItsScript) {
  TempDir directory;
  const std::pair<const char*, std::string> scripts[] = {
      {"bash", bashScript()}, {"zsh", zshScript()}, {"fish", fishScript()}};
  for (const auto& [name, text] : scripts) {
    auto program = shell(name);
    if (!program) {
      ADD_FAILURE() << name << " is not installed (scripts/install-deps installs it)";
      continue;
    }
    writeText(directory / name, text);
    auto result = runProgram(*program, {"-n", (directory / name).string()});
    EXPECT_EQ(result.status, 0) << name << ": " << result.err;
  }
}

TEST(CompletionScripts, EveryCommandAndOptionIsInEveryScript) {
  for (const auto& script : {bashScript(), zshScript(), fishScript()}) {
    for (const auto& command : cli::commands()) {
      std::string last(command.words.substr(command.words.rfind(' ') + 1));
      EXPECT_NE(script.find(last), std::string::npos) << command.words;
    }
    for (const auto& option : cli::options()) {
      EXPECT_NE(script.find(option.name.substr(2)), std::string::npos) << option.name;
    }
  }
}

}  // namespace
}  // namespace vek::completions
