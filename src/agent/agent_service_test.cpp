// Installs and removes the agent through both service backends, against the simulated Mac's
// launchctl and systemctl, which really start the registered program. The "agent" is a script
// that records how it was started and then sleeps.
#include "agent/agent_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/service_manager.h"
#include "foundation/credentials.h"
#include "foundation/errors.h"
#include "foundation/json.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;

std::vector<std::string> lines(const fs::path& path) {
  std::vector<std::string> result;
  if (!fs::exists(path)) return result;
  std::string text = testing::readText(path), line;
  for (char c : text) {
    if (c == '\n') {
      result.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return result;
}

bool processExists(pid_t pid) {
  return pid > 0 && ::kill(pid, 0) == 0;
}

class AgentServiceTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    testing::ProgramResult init =
        testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", {"init", root_.string()});
    ASSERT_EQ(init.status, 0) << init.err;
    fs::create_directories(home_);
    testing::writeText(tool_, "#!/bin/sh\necho \"$$ $0 $* $PATH\" >> '" + runs_.string() +
                                  "'\nexec /bin/sleep 60\n");
    fs::permissions(tool_, fs::perms::owner_all);
    fs::create_symlink(tool_, scratch_.path() / "vek-link");
  }

  void TearDown() override {
    // Nothing the test registered may outlive it.
    testing::runProgram(testing::sourceDirectory() / "sim/vek-sim",
                        {"services", root_.string(), "--stop-all"});
  }

  void enrol() {
    CredentialStore::save(Credentials{"https://relay", "dev-1", "t", "g", "Group", "Mac", "k"});
  }

  // The runs of the agent, waiting up to 10 seconds for `count` of them.
  std::vector<std::string> runs(std::size_t count) {
    for (int i = 0; i < 500 && lines(runs_).size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return lines(runs_);
  }

  JSON services() {
    auto listed = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim",
                                      {"services", root_.string()});
    EXPECT_EQ(listed.status, 0) << listed.err;
    return JSON::decode(listed.out);
  }

  fs::path definitionPath() const {
    return ServiceManager::make(ServiceManager::current())->definitionPath(AgentService::label);
  }

  std::string installFailure(const fs::path& executable) {
    try {
      AgentService::install(executable);
    } catch (const VEKError& error) {
      return error.message();
    }
    return "";
  }

  testing::TempDir scratch_;
  fs::path root_ = scratch_.path() / "mac";
  fs::path home_ = scratch_.path() / "home dir";
  fs::path tool_ = scratch_.path() / "bin dir" / "vek";
  fs::path runs_ = scratch_.path() / "runs";
  ScopedEnvironment home{"HOME", home_.c_str()};
  ScopedEnvironment data{"XDG_DATA_HOME", nullptr};
  ScopedEnvironment config{"XDG_CONFIG_HOME", nullptr};
  ScopedEnvironment state{"VEK_STATE_DIR", (scratch_.path() / "state").c_str()};
  ScopedEnvironment tools{"VEK_TOOL_ROOT", root_.c_str()};
  ScopedEnvironment manager{"VEK_SERVICE_MANAGER", GetParam()};
};

TEST_P(AgentServiceTest, InstallRunsTheResolvedToolAndReinstallReplacesIt) {
  enrol();
  AgentService::install(scratch_.path() / "vek-link");

  fs::path definition = definitionPath();
  struct stat info {};
  ASSERT_EQ(::stat(definition.c_str(), &info), 0) << definition;
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(fs::is_directory(scratch_.path() / "state" / "Logs"));

  auto first = runs(1);
  ASSERT_EQ(first.size(), 1u);
  // The link's target is what runs, with the agent's arguments and PATH.
  EXPECT_NE(
      first[0].find(" " + tool_.string() +
                    " agent run /opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"),
      std::string::npos)
      << first[0];
  pid_t firstPid = std::stoi(first[0]);
  EXPECT_TRUE(processExists(firstPid));

  AgentService::install(tool_);
  auto both = runs(2);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_FALSE(processExists(firstPid)) << "the old agent is stopped";
  JSON listed = services();
  ASSERT_EQ(listed.items().size(), 1u) << listed.pretty();
  EXPECT_EQ(listed.items()[0]["pid"].integer(), std::stoi(both[1]));

  AgentService::uninstall();
  EXPECT_FALSE(processExists(std::stoi(both[1])));
  EXPECT_FALSE(fs::exists(definition));
  EXPECT_TRUE(services().items().empty());
  AgentService::uninstall();  // nothing installed: still fine
}

TEST_P(AgentServiceTest, RefusesWhatCannotRunOrIsNotEnrolled) {
  EXPECT_EQ(installFailure(tool_),
            "This Mac is not enrolled. Use group create or group join first.");
  enrol();
  // A bare name is looked for in the working directory, not on the search path.
  fs::path previous = fs::current_path();
  fs::current_path(scratch_.path());
  std::string bare = installFailure("vek");
  fs::current_path(previous);
  EXPECT_EQ(bare, "VEK CLI executable not found");
  EXPECT_EQ(installFailure(scratch_.path() / "missing"), "VEK CLI executable not found");
  EXPECT_EQ(installFailure(scratch_.path()), "VEK CLI executable not found");
  testing::writeText(scratch_.path() / "plain", "not executable");
  EXPECT_EQ(installFailure(scratch_.path() / "plain"), "VEK CLI executable not found");
  EXPECT_FALSE(fs::exists(definitionPath()));
  EXPECT_TRUE(services().items().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, AgentServiceTest, ::testing::Values("launchd", "systemd"));

TEST(AgentServiceManagerChoice, EnvironmentOverridesThePlatform) {
  {
    ScopedEnvironment manager("VEK_SERVICE_MANAGER", "launchd");
    EXPECT_EQ(ServiceManager::current(), ServiceManager::Kind::launchd);
  }
  {
    ScopedEnvironment manager("VEK_SERVICE_MANAGER", nullptr);
    EXPECT_EQ(ServiceManager::current(), ServiceManager::Kind::systemd);
  }
  ScopedEnvironment manager("VEK_SERVICE_MANAGER", "upstart");
  EXPECT_THROW(ServiceManager::current(), VEKError);
}

TEST(AgentServiceManagerChoice, DefinitionsLiveWhereEachManagerLooks) {
  ScopedEnvironment home("HOME", "/home/ann");
  ScopedEnvironment config("XDG_CONFIG_HOME", nullptr);
  auto launchd = ServiceManager::make(ServiceManager::Kind::launchd);
  auto systemd = ServiceManager::make(ServiceManager::Kind::systemd);
  EXPECT_EQ(launchd->definitionPath(AgentService::label),
            "/home/ann/Library/LaunchAgents/com.ostrelsoftware.vek.agent.plist");
  EXPECT_EQ(systemd->definitionPath(AgentService::label),
            "/home/ann/.config/systemd/user/com.ostrelsoftware.vek.agent.service");
  ScopedEnvironment custom("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(systemd->definitionPath(AgentService::label),
            "/cfg/systemd/user/com.ostrelsoftware.vek.agent.service");
}

}  // namespace
}  // namespace vek
