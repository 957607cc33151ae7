// The project and device commands as a person runs them: `vek` processes with their own home,
// state directory and simulated Mac, and for the group-wide lists a real relay that the Macs of a
// group have reported their inventories to.
#include <gtest/gtest.h>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"
#include "relay/relay_process.h"
#include "relay_client/api.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ProgramResult;
using Strings = std::vector<std::string>;

void sim(const Strings& arguments) {
  ProgramResult result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", arguments);
  ASSERT_EQ(result.status, 0) << result.err;
}

// One Mac: a home of its own (secret store, state, temporary files) and a simulated Mac.
class Mac {
 public:
  Mac() {
    fs::create_directories(home_ / "tmp");
    sim({"init", root().string()});
  }
  fs::path root() const { return home_ / "mac"; }
  fs::path home() const { return home_.path(); }
  fs::path registry() const { return home_ / "state/projects.json"; }

  ProgramResult vek(const Strings& arguments, const fs::path& cwd = "/") const {
    return testing::runProgram(testing::programDirectory() / "vek", arguments,
                               {{"HOME", home().string()},
                                {"XDG_DATA_HOME", std::nullopt},
                                {"VEK_STATE_DIR", (home_ / "state").string()},
                                {"VEK_TOOL_ROOT", root().string()},
                                {"TMPDIR", (home_ / "tmp").string()}},
                               cwd);
  }
  JSON ok(const Strings& arguments, const fs::path& cwd = "/") const {
    ProgramResult result = vek(arguments, cwd);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.status == 0 ? JSON::decode(result.out) : JSON();
  }
  std::string error(const Strings& arguments) const {
    ProgramResult result = vek(arguments);
    EXPECT_EQ(result.status, 1) << result.out;
    return JSON::decode(result.err)["error"].text();
  }
  fs::path project(const std::string& relative, const Strings& options = {}) const {
    Strings arguments{"project", "new", (home_ / relative).string(), "--bundle-id", "com.ex.a"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    sim(arguments);
    return fs::canonical(home_ / relative);
  }
  std::size_t toolRuns() const {
    ProgramResult result =
        testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", {"calls", root().string()});
    return std::count(result.out.begin(), result.out.end(), '\n');
  }
  Credentials credentials() const {
    FileSecretStore store(home_ / ".local/share/vek-keychain");
    return *CredentialStore::load(store);
  }

 private:
  testing::TempDir home_;
};

TEST(ProjectCommands, AddListAndRemove) {
  Mac mac;
  const fs::path shop = mac.project("src/Shop.xcodeproj", {"--configurations", "Release,Debug"});
  JSON added = mac.ok({"projects", "add", shop.string(), "--team", "ABCDE12345"});
  EXPECT_EQ(added, JSON::object({{"id", added["id"]},
                                 {"name", "Shop"},
                                 {"schemes", JSON::array({"Shop"})},
                                 {"configurations", JSON::array({"Debug", "Release"})}}));
  JSON stored = JSON::decode(testing::readText(mac.registry())).items().at(0);
  EXPECT_EQ(stored["teamID"], JSON("ABCDE12345"));
  EXPECT_EQ(stored["automaticSigning"], JSON(true));

  // The same project written differently, from elsewhere, stays one registration; a relative
  // export-options path is kept as the absolute path it named.
  JSON again = mac.ok({"projects", "add", "src/Shop.xcodeproj/", "--manual", "--export-options",
                       "src/../Export.plist"},
                      mac.home());
  EXPECT_EQ(again["id"], added["id"]);
  stored = JSON::decode(testing::readText(mac.registry())).items().at(0);
  EXPECT_EQ(stored["exportOptionsPath"], JSON((mac.home() / "Export.plist").string()));
  EXPECT_EQ(stored["automaticSigning"], JSON(false));

  JSON suite = mac.ok(
      {"projects", "add", mac.project("src/Suite.xcworkspace", {"--projects", "Shop.xcodeproj"})});
  EXPECT_EQ(mac.ok({"projects", "list", "--local"}), JSON::array({again, suite}));
  EXPECT_EQ(mac.ok({"projects", "remove", added["id"].text()}), JSON::object({{"ok", true}}));
  EXPECT_EQ(mac.ok({"projects", "remove", "unknown"}), JSON::object({{"ok", true}}));
  EXPECT_EQ(mac.ok({"projects", "list", "--local"}), JSON::array({suite}));
}

TEST(ProjectCommands, RefusalsComeBeforeAnyToolRuns) {
  Mac mac;
  const std::string app = mac.project("src/App.xcodeproj").string();
  const std::string usage = "Usage: vek projects add /path/App.xcodeproj";
  EXPECT_EQ(mac.error({"projects", "add"}), usage);
  EXPECT_EQ(mac.error({"projects", "add", app, app}), usage);
  EXPECT_EQ(mac.error({"projects", "add", app, "--manual"}),
            "Manual signing requires --export-options");
  EXPECT_EQ(mac.error({"projects", "add", app + "x"}),
            "Select an existing .xcodeproj or .xcworkspace.");
  EXPECT_EQ(mac.error({"projects", "remove"}), "Provide the local project ID");
  EXPECT_EQ(mac.error({"projects", "remove", "a", "b"}), "Provide the local project ID");
  EXPECT_EQ(mac.toolRuns(), 0u);
  EXPECT_FALSE(fs::exists(mac.registry()));
}

TEST(DeviceCommands, LocalListNeedsNoEnrolment) {
  Mac mac;
  EXPECT_EQ(mac.ok({"devices", "--local"}), JSON::array());
  sim({"device", "add", mac.root().string(), "--udid", "00008110-0000000000000001", "--name",
       "Test iPhone", "--os", "18.2"});
  sim({"device", "add", mac.root().string(), "--udid", "00008301-0000000000000003", "--type",
       "Watch"});
  JSON devices = mac.ok({"devices", "anything", "--local"});  // the sub-command is not looked at
  ASSERT_EQ(devices.items().size(), 1u);
  EXPECT_EQ(devices.items()[0]["name"], JSON("Test iPhone"));
  EXPECT_EQ(devices.items()[0]["os"], JSON("18.2"));
  EXPECT_EQ(devices.items()[0]["available"], JSON(true));

  sim({"fault", "set", mac.root().string(), "devicectl-list", "exit"});
  EXPECT_TRUE(mac.error({"devices", "--local"}).starts_with("xcrun failed (1): "));
  EXPECT_TRUE(fs::is_empty(mac.home() / "tmp"));
}

TEST(GroupWideLists, ShowEveryMemberAsItLastReportedAndSkipRevokedMacs) {
  e2e::RelayProcess relay;
  relay.start();
  const std::string origin = "http://127.0.0.1:" + std::to_string(relay.port());
  Mac one, two, three;
  testing::writeText(one.home() / "bootstrap", relay.bootstrapToken());
  one.ok({"group", "create", "--server", origin, "--bootstrap-file",
          (one.home() / "bootstrap").string(), "--device-name", "Mac One"});
  for (auto [mac, name] : {std::pair{&two, "Mac Two"}, std::pair{&three, "Mac Three"}}) {
    testing::writeText(mac->home() / "invite", one.ok({"group", "invite"})["invite"].text());
    mac->ok({"group", "join", "--invite-file", (mac->home() / "invite").string(), "--device-name",
             name});
  }
  auto heartbeat = [](const Mac& mac, JSON inventory) {
    API(mac.credentials())
        .call("POST", "/v1/heartbeat",
              JSON::object({{"inventory", std::move(inventory)}, {"leases", JSON::array()}}));
  };
  const JSON projects = JSON::array({JSON::object({{"id", "p1"}, {"name", "Shop"}})});
  const JSON phones = JSON::array({JSON::object({{"udid", "U1"}, {"available", true}})});
  heartbeat(one, JSON::object({{"projects", projects}, {"phones", phones}}));
  heartbeat(two, JSON::object({{"projects", "not a list"}}));  // and no phones
  heartbeat(three, JSON::object({{"projects", projects}, {"phones", phones}}));
  one.ok({"group", "revoke", three.credentials().deviceID});

  auto entry = [](const Mac& mac, const char* name, const char* member, JSON value) {
    return JSON::object({{"mac_id", mac.credentials().deviceID},
                         {"mac_name", name},
                         {"online", true},
                         {member, std::move(value)}});
  };
  EXPECT_EQ(two.ok({"projects", "list"}),
            JSON::array({entry(one, "Mac One", "projects", projects),
                         entry(two, "Mac Two", "projects", "not a list")}));
  EXPECT_EQ(one.ok({"devices"}), JSON::array({entry(one, "Mac One", "phones", phones),
                                              entry(two, "Mac Two", "phones", JSON())}));
}

}  // namespace
}  // namespace vek
