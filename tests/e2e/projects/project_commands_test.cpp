// The project and device commands as a person runs them: `vek` processes with their own home,
// state directory and simulated Mac, and for the group-wide lists a real relay on loopback that
// the Macs of a group have reported their inventories to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"
#include "relay_client/api.h"
#include "test_support.h"

extern char** environ;

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ProgramResult;
using testing::TempDir;
using Strings = std::vector<std::string>;

fs::path simTool() {
  return testing::sourceDirectory() / "sim/vek-sim";
}

void sim(const Strings& arguments) {
  ProgramResult result = testing::runProgram(simTool(), arguments);
  ASSERT_EQ(result.status, 0) << result.err;
}

// One Mac: a home of its own (secret store, state directory, temporary files) and a simulated
// Mac as its tool root.
class Mac {
 public:
  Mac() {
    fs::create_directories(home_ / "tmp");
    sim({"init", root().string()});
  }
  fs::path root() const { return home_ / "mac"; }
  fs::path home() const { return home_.path(); }
  fs::path state() const { return home_ / "state"; }
  fs::path temporary() const { return home_ / "tmp"; }

  ProgramResult vek(const Strings& arguments, const std::optional<fs::path>& cwd = {}) const {
    return testing::runProgram(testing::programDirectory() / "vek", arguments,
                               {{"HOME", home_.path().string()},
                                {"XDG_DATA_HOME", std::nullopt},
                                {"VEK_STATE_DIR", state().string()},
                                {"VEK_TOOL_ROOT", root().string()},
                                {"TMPDIR", temporary().string()}},
                               cwd);
  }
  // The JSON a successful command printed.
  JSON ok(const Strings& arguments, const std::optional<fs::path>& cwd = {}) const {
    ProgramResult result = vek(arguments, cwd);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.status == 0 ? JSON::decode(result.out) : JSON();
  }
  // The message of a failed command.
  std::string error(const Strings& arguments) const {
    ProgramResult result = vek(arguments);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_EQ(result.out, "");
    return JSON::decode(result.err)["error"].text();
  }
  Credentials credentials() const {
    FileSecretStore store(home_ / ".local/share/vek-keychain");
    return *CredentialStore::load(store);
  }
  std::size_t toolRuns() const {
    ProgramResult result = testing::runProgram(simTool(), {"calls", root().string()});
    return std::count(result.out.begin(), result.out.end(), '\n');
  }

 private:
  TempDir home_;
};

class LocalCommands : public ::testing::Test {
 protected:
  fs::path newProject(const std::string& relative, const Strings& options = {}) {
    Strings arguments{"project", "new", (mac_.home() / relative).string(), "--bundle-id",
                      "com.example.app"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    sim(arguments);
    return fs::canonical(mac_.home() / relative);
  }
  JSON registry() const { return JSON::decode(testing::readText(mac_.state() / "projects.json")); }

  Mac mac_;
};

TEST_F(LocalCommands, AddListAndRemoveProjects) {
  const fs::path shop = newProject(
      "src/Shop.xcodeproj", {"--schemes", "Shop,Admin", "--configurations", "Release,Debug,Beta"});
  JSON added = mac_.ok({"projects", "add", shop.string(), "--team", "ABCDE12345"});
  const std::string id = added["id"].text();
  EXPECT_EQ(added, JSON::object({{"id", id},
                                 {"name", "Shop"},
                                 {"schemes", JSON::array({"Admin", "Shop"})},
                                 {"configurations", JSON::array({"Beta", "Debug", "Release"})}}));
  JSON stored = registry().items().at(0);
  EXPECT_EQ(stored["path"], JSON(shop.string()));
  EXPECT_EQ(stored["teamID"], JSON("ABCDE12345"));
  EXPECT_EQ(stored["automaticSigning"], JSON(true));

  // The same project written differently, from another directory, stays one registration.
  JSON again = mac_.ok({"projects", "add", "../src/Shop.xcodeproj/", "--name", "Shop Again"},
                       mac_.temporary());
  EXPECT_EQ(again["id"], JSON(id));

  newProject("src/Suite.xcworkspace", {"--projects", "Shop.xcodeproj"});
  JSON suite = mac_.ok({"projects", "add", "~/src/Suite.xcworkspace"});
  EXPECT_EQ(suite["configurations"], JSON::array({"Beta", "Debug", "Release"}));

  JSON list = mac_.ok({"projects", "list", "--local"});
  ASSERT_EQ(list.items().size(), 2u);
  EXPECT_EQ(list.items()[0]["name"], JSON("Shop Again"));
  EXPECT_EQ(list.items()[1], suite);
  EXPECT_EQ(list.items()[0].fields().size(), 4u);  // never the path or signing

  EXPECT_EQ(mac_.ok({"projects", "remove", id}), JSON::object({{"ok", true}}));
  EXPECT_EQ(mac_.ok({"projects", "remove", id}), JSON::object({{"ok", true}}));
  EXPECT_EQ(mac_.ok({"projects", "list", "--local"}), JSON::array({suite}));
}

TEST_F(LocalCommands, AddRefusesBadCommandLinesBeforeInspecting) {
  const fs::path app = newProject("src/App.xcodeproj");
  const std::string usage = "Usage: vek projects add /path/App.xcodeproj";
  EXPECT_EQ(mac_.error({"projects", "add"}), usage);
  EXPECT_EQ(mac_.error({"projects", "add", app.string(), app.string()}), usage);
  EXPECT_EQ(mac_.error({"projects", "add", app.string(), "--manual"}),
            "Manual signing requires --export-options");
  EXPECT_EQ(mac_.error({"projects", "add", (mac_.home() / "src/Nope.xcodeproj").string()}),
            "Select an existing .xcodeproj or .xcworkspace.");
  EXPECT_EQ(mac_.error({"projects", "add", (mac_.home() / "src/App").string()}),
            "Select an existing .xcodeproj or .xcworkspace.");
  EXPECT_EQ(mac_.toolRuns(), 0u);
  EXPECT_FALSE(fs::exists(mac_.state() / "projects.json"));
}

TEST_F(LocalCommands, ManualSigningKeepsAnAbsoluteExportOptionsPath) {
  const fs::path app = newProject("src/App.xcodeproj");
  mac_.ok({"projects", "add", app.string(), "--manual", "--export-options",
           "config/../ExportOptions.plist"},
          mac_.home());
  JSON stored = registry().items().at(0);
  EXPECT_EQ(stored["automaticSigning"], JSON(false));
  EXPECT_EQ(stored["exportOptionsPath"], JSON((mac_.home() / "ExportOptions.plist").string()));
  EXPECT_EQ(stored["teamID"], JSON());
}

TEST_F(LocalCommands, RemoveNeedsExactlyOneIdAndNoEnrolment) {
  for (const Strings& arguments :
       {Strings{"projects", "remove"}, Strings{"projects", "remove", "a", "b"}}) {
    EXPECT_EQ(mac_.error(arguments), "Provide the local project ID");
  }
}

TEST_F(LocalCommands, AnInvalidRegistryIsReportedAndKept) {
  testing::writeText(mac_.state() / "projects.json", "[{\"id\":\"x\"}]");
  const fs::path app = newProject("src/App.xcodeproj");
  for (const Strings& arguments :
       {Strings{"projects", "list", "--local"}, Strings{"projects", "add", app.string()},
        Strings{"projects", "remove", "x"}}) {
    std::string message = mac_.error(arguments);
    EXPECT_NE(message.find("projects.json"), std::string::npos) << message;
  }
  EXPECT_EQ(testing::readText(mac_.state() / "projects.json"), "[{\"id\":\"x\"}]");
}

TEST_F(LocalCommands, DevicesLocalListsTheAttachedDevicesWithoutEnrolment) {
  EXPECT_EQ(mac_.ok({"devices", "--local"}), JSON::array());
  sim({"device", "add", mac_.root().string(), "--udid", "00008110-0000000000000001", "--name",
       "Test iPhone", "--model", "iPhone 15 Pro", "--os", "18.2"});
  sim({"device", "add", mac_.root().string(), "--udid", "00008027-0000000000000002", "--type",
       "iPad", "--shape", "nested", "--state", "disconnected"});
  sim({"device", "add", mac_.root().string(), "--udid", "00008301-0000000000000003", "--type",
       "Watch"});

  // The second positional is not looked at.
  JSON devices = mac_.ok({"devices", "whatever", "--local"});
  ASSERT_EQ(devices.items().size(), 2u);
  const JSON& phone = devices.items()[0];
  EXPECT_EQ(phone["udid"], JSON("00008110-0000000000000001"));
  EXPECT_EQ(phone["name"], JSON("Test iPhone"));
  EXPECT_EQ(phone["model"], JSON("iPhone 15 Pro"));
  EXPECT_EQ(phone["os"], JSON("18.2"));
  EXPECT_EQ(phone["available"], JSON(true));
  EXPECT_EQ(devices.items()[1]["available"], JSON(false));
  EXPECT_EQ(phone.fields().size(), 10u);

  sim({"fault", "set", mac_.root().string(), "devicectl-list", "garbage"});
  EXPECT_FALSE(mac_.error({"devices", "--local"}).empty());
  sim({"fault", "set", mac_.root().string(), "devicectl-list", "exit"});
  EXPECT_TRUE(mac_.error({"devices", "--local"}).starts_with("xcrun failed (1): "));
  EXPECT_TRUE(fs::is_empty(mac_.temporary()));
}

// ---- Group-wide lists against a real relay ---------------------------------------------------

// vek-relay on a free loopback port, stopped with the object.
class Relay {
 public:
  Relay() {
    testing::writeText(data_ / "tokens", "e2e-bootstrap-token\n");
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = (testing::programDirectory() / "vek-relay").string();
    Strings arguments{program,
                      "--listen",
                      "127.0.0.1:0",
                      "--data",
                      (data_ / "relay").string(),
                      "--bootstrap-token-file",
                      (data_ / "tokens").string()};
    std::vector<char*> argv;
    for (auto& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
      ::close(out[0]);
      throw std::runtime_error("cannot start vek-relay");
    }
    // The relay names its origin on standard output once it listens.
    FILE* stream = ::fdopen(out[0], "r");
    char line[4096];
    const std::string marker = "listening on ";
    while (std::fgets(line, sizeof line, stream)) {
      std::string text(line);
      if (auto at = text.find(marker); at != std::string::npos) {
        origin_ = text.substr(at + marker.size());
        origin_ = origin_.substr(0, origin_.find_first_of(" \n"));
        break;
      }
    }
    output_ = stream;  // kept open so the relay never writes into a closed pipe
    if (origin_.empty()) throw std::runtime_error("vek-relay did not start");
  }
  ~Relay() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    if (output_) std::fclose(output_);
  }
  const std::string& origin() const { return origin_; }
  fs::path bootstrapFile() const { return data_ / "tokens"; }

 private:
  TempDir data_;
  pid_t pid_ = -1;
  std::string origin_;
  FILE* output_ = nullptr;
};

void heartbeat(const Mac& mac, JSON inventory) {
  API(mac.credentials())
      .call("POST", "/v1/heartbeat",
            JSON::object({{"inventory", std::move(inventory)}, {"leases", JSON::array()}}));
}

TEST(GroupWideLists, ShowEveryMemberAsItLastReportedAndSkipRevokedMacs) {
  Relay relay;
  Mac one, two, three;
  JSON created =
      one.ok({"group", "create", "--server", relay.origin(), "--bootstrap-file",
              relay.bootstrapFile().string(), "--name", "Studio", "--device-name", "Mac One"});
  ASSERT_TRUE(created.isObject());
  for (auto [mac, name] : {std::pair{&two, "Mac Two"}, std::pair{&three, "Mac Three"}}) {
    JSON invite = one.ok({"group", "invite"});
    const fs::path file = mac->home() / "invite.txt";
    testing::writeText(file, invite["invite"].text());
    ASSERT_EQ(
        mac->vek({"group", "join", "--invite-file", file.string(), "--device-name", name}).status,
        0);
  }

  const JSON projects = JSON::array({JSON::object({{"id", "p1"},
                                                   {"name", "Shop"},
                                                   {"schemes", JSON::array({"Shop"})},
                                                   {"configurations", JSON::array({"Debug"})}})});
  const JSON phones = JSON::array({JSON::object(
      {{"udid", "00008110-0000000000000001"}, {"name", "Test iPhone"}, {"available", true}})});
  heartbeat(one, JSON::object({{"projects", projects},
                               {"phones", phones},
                               {"client_version", "0.1.0"},
                               {"platform", "macOS"}}));
  heartbeat(two, JSON::object({{"projects", "not a list"}}));  // reported without phones
  heartbeat(three, JSON::object({{"projects", JSON::array()}, {"phones", JSON::array()}}));
  ASSERT_EQ(one.vek({"group", "revoke", three.credentials().deviceID}).status, 0);

  const std::string oneID = one.credentials().deviceID, twoID = two.credentials().deviceID;
  EXPECT_EQ(two.ok({"projects", "list"}),
            JSON::array({JSON::object({{"mac_id", oneID},
                                       {"mac_name", "Mac One"},
                                       {"online", true},
                                       {"projects", projects}}),
                         JSON::object({{"mac_id", twoID},
                                       {"mac_name", "Mac Two"},
                                       {"online", true},
                                       {"projects", "not a list"}})}));
  EXPECT_EQ(
      one.ok({"devices"}),
      JSON::array(
          {JSON::object(
               {{"mac_id", oneID}, {"mac_name", "Mac One"}, {"online", true}, {"phones", phones}}),
           JSON::object({{"mac_id", twoID},
                         {"mac_name", "Mac Two"},
                         {"online", true},
                         {"phones", JSON()}})}));
}

}  // namespace
}  // namespace vek
