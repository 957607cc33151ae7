#include "mac.h"

#include <gtest/gtest.h>

#include "foundation/secret_store.h"

namespace vek::testing {

namespace fs = std::filesystem;

Mac::Mac(Tools tools) : tools_(tools) {
  fs::create_directories(home_ / "tmp");
  if (tools == Tools::simulated) vekSim({"init", toolRoot().string()});
}

std::map<std::string, std::optional<std::string>> Mac::environment() const {
  std::map<std::string, std::optional<std::string>> environment{
      {"HOME", home().string()},
      {"XDG_DATA_HOME", std::nullopt},
      {"XDG_CONFIG_HOME", std::nullopt},
      {"VEK_STATE_DIR", stateDirectory().string()},
      {"TMPDIR", (home_ / "tmp").string()},
      {"VEK_TOOL_ROOT", std::nullopt}};
  if (tools_ == Tools::simulated) environment["VEK_TOOL_ROOT"] = toolRoot().string();
  return environment;
}

ProgramResult Mac::vek(const std::vector<std::string>& arguments, const fs::path& cwd) const {
  return runProgram(programDirectory() / "vek", arguments, environment(),
                    cwd.empty() ? home() : cwd);
}

JSON Mac::ok(const std::vector<std::string>& arguments, const fs::path& cwd) const {
  ProgramResult result = vek(arguments, cwd);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  return result.status == 0 ? JSON::decode(result.out) : JSON();
}

std::string Mac::error(const std::vector<std::string>& arguments, const fs::path& cwd) const {
  ProgramResult result = vek(arguments, cwd);
  EXPECT_EQ(result.status, 1) << result.out;
  EXPECT_EQ(result.out, "");
  return JSON::decode(result.err)["error"].text();
}

std::optional<Credentials> Mac::credentials() const {
  FileSecretStore store(home_ / ".local/share/vek-keychain");
  return CredentialStore::load(store);
}

void Mac::enrolAt(const std::string& server) const {
  FileSecretStore store(home_ / ".local/share/vek-keychain");
  CredentialStore::save({server, "d", "t", "g", "G", "Mac", "key"}, store);
}

std::string vekSim(const std::vector<std::string>& arguments) {
  ProgramResult result = runProgram(sourceDirectory() / "sim/vek-sim", arguments);
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

}  // namespace vek::testing
