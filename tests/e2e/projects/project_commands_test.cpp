// The project and device commands as a person runs them: `vek` processes with their own home,
// state directory and simulated Mac, and for the group-wide lists a real relay that the Macs of a
// group have reported their inventories to.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"
#include "mac.h"
#include "relay_client/api.h"
#include "relay_process.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ProgramResult;
using Strings = std::vector<std::string>;

void sim(const Strings& arguments) {
  testing::vekSim(arguments);
}

// A Mac with a simulated Mac as tool root, which can make Xcode projects and count tool runs.
class Mac : public testing::Mac {
 public:
  Mac() : testing::Mac(Tools::simulated) {}
  fs::path root() const { return toolRoot(); }
  fs::path registry() const { return stateDirectory() / "projects.json"; }

  fs::path project(const std::string& relative, const Strings& options = {}) const {
    Strings arguments{"project", "new", (home() / relative).string(), "--bundle-id", "com.ex.a"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    sim(arguments);
    return fs::canonical(home() / relative);
  }
  std::size_t toolRuns() const {
    std::string calls = testing::vekSim({"calls", root().string()});
    return std::count(calls.begin(), calls.end(), '\n');
  }
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

TEST(ProjectCommands, RegistrationsStartedAtOnceAreAllKept) {
  Mac mac;
  constexpr int count = 8;
  std::vector<fs::path> paths;
  for (int i = 0; i < count; ++i)
    paths.push_back(mac.project("src/App" + std::to_string(i) + ".xcodeproj"));
  std::vector<ProgramResult> results(count);
  std::vector<std::thread> runs;
  for (int i = 0; i < count; ++i) {
    runs.emplace_back([&, i] { results[i] = mac.vek({"projects", "add", paths[i].string()}); });
  }
  for (auto& run : runs)
    run.join();
  std::set<std::string> reported;
  for (const ProgramResult& result : results) {
    ASSERT_EQ(result.status, 0) << result.err;
    reported.insert(JSON::decode(result.out)["id"].text());
  }
  std::set<std::string> stored;
  const JSON listed = mac.ok({"projects", "list", "--local"});
  for (const JSON& project : listed.items())
    stored.insert(project["id"].text());
  EXPECT_EQ(stored, reported);
  EXPECT_EQ(stored.size(), std::size_t{count});
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
  testing::RelayProcess relay;
  relay.start();
  const std::string origin = relay.origin();
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
    API(*mac.credentials())
        .call("POST", "/v1/heartbeat",
              JSON::object({{"inventory", std::move(inventory)}, {"leases", JSON::array()}}));
  };
  const JSON projects = JSON::array({JSON::object({{"id", "p1"}, {"name", "Shop"}})});
  const JSON phones = JSON::array({JSON::object({{"udid", "U1"}, {"available", true}})});
  heartbeat(one, JSON::object({{"projects", projects}, {"phones", phones}}));
  heartbeat(two, JSON::object({{"projects", "not a list"}}));  // and no phones
  heartbeat(three, JSON::object({{"projects", projects}, {"phones", phones}}));
  one.ok({"group", "revoke", three.credentials()->deviceID});

  auto entry = [](const Mac& mac, const char* name, const char* member, JSON value) {
    return JSON::object({{"mac_id", mac.credentials()->deviceID},
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
