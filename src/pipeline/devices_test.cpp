// Devices: the reduction of devicectl's answer to device records (both entry shapes, the real
// sample, every filter, the Developer Mode rule) and the listing run against a simulated Mac,
// including its failures and the scratch file they must not leave behind.
#include "pipeline/devices.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;

JSON referenceSample(const std::string& name) {
  // Samples of what the real devicectl writes, with made-up values.
  return JSON::decode(
      testing::readText(testing::sourceDirectory() / "src/pipeline/testdata" / name));
}

JSON listing(std::initializer_list<JSON> entries) {
  return JSON::object({{"result", JSON::object({{"devices", JSON::array(entries)}})}});
}

// A flat-shaped entry of a ready iPhone; tests change what they are about.
JSON flatEntry(const std::string& udid = "00008110-000A") {
  return JSON::object({
      {"identifier", "CORE-" + udid},
      {"hardwareProperties", JSON::object({{"reality", "physical"},
                                           {"deviceType", "iPhone"},
                                           {"udid", udid},
                                           {"marketingName", "iPhone 15"},
                                           {"productType", "iPhone16,1"}})},
      {"deviceProperties",
       JSON::object(
           {{"name", "Flat"}, {"osVersionNumber", "17.5"}, {"developerModeStatus", "enabled"}})},
      {"connectionProperties",
       JSON::object({{"tunnelState", "connected"}, {"transportType", "wired"}})},
  });
}

JSON nestedEntry(const std::string& udid = "00008110-000B") {
  return JSON::object({
      {"identifier", "CORE-" + udid},
      {"properties",
       JSON::object({
           {"hardware", JSON::object({{"reality", "physical"},
                                      {"deviceType", "iPad"},
                                      {"udid", udid},
                                      {"marketingName", "iPad Air"},
                                      {"productType", "iPad13,16"}})},
           {"state",
            JSON::object({{"name", "Nested"},
                          {"developerModeStatus", JSON::object({{"enabled", JSON::object()}})}})},
           {"connection",
            JSON::object({{"state", "available"}, {"transportType", "localNetwork"}})},
           {"software",
            JSON::object({{"osVersionNumber", JSON::object({{"stringValue", "18.1"}})}})},
       })},
  });
}

JSON with(JSON entry, std::initializer_list<std::string> path, JSON value) {
  // Sets entry[path...] = value, creating objects on the way.
  std::vector<std::string> keys(path);
  std::function<void(JSON&, std::size_t)> set = [&](JSON& node, std::size_t index) {
    if (index + 1 == keys.size()) {
      node.set(keys[index], value);
      return;
    }
    JSON child = node[keys[index]];
    if (!child.isObject()) child = JSON::object();
    set(child, index + 1);
    node.set(keys[index], child);
  };
  set(entry, 0);
  return entry;
}

JSON only(const JSON& entry) {
  JSON records = Devices::parse(listing({entry}));
  EXPECT_EQ(records.items().size(), 1u) << entry.pretty();
  return records.items().empty() ? JSON() : records.items()[0];
}

TEST(DevicesParse, ReadsTheRealFlatSample) {
  JSON records = Devices::parse(referenceSample("devicectl-list-devices.json"));
  ASSERT_EQ(records.items().size(), 4u);  // the Watch is left out
  EXPECT_EQ(records.items()[0], JSON::object({{"udid", "00008110-0000000000000001"},
                                              {"core_id", "11111111-1111-4111-8111-111111111111"},
                                              {"name", "Test iPhone"},
                                              {"model", "iPhone 13 Pro"},
                                              {"product_type", "iPhone14,2"},
                                              {"os", "18.2"},
                                              {"state", "connected"},
                                              {"developer_mode", true},
                                              {"available", true},
                                              {"transport", "wired"}}));
  const JSON& iPad = records.items()[1];
  EXPECT_EQ(iPad["state"], JSON("disconnected"));
  EXPECT_EQ(iPad["available"], JSON(false));
  EXPECT_EQ(records.items()[2]["developer_mode"], JSON(false));
  // The offline iPhone reports no Developer Mode status and no transport.
  const JSON& offline = records.items()[3];
  EXPECT_EQ(offline["state"], JSON("unavailable"));
  EXPECT_EQ(offline["developer_mode"], JSON(false));
  EXPECT_EQ(offline["transport"], JSON(""));
  EXPECT_EQ(offline["os"], JSON("26.1"));

  EXPECT_EQ(Devices::parse(referenceSample("devicectl-list-devices-empty.json")), JSON::array());
}

TEST(DevicesParse, ReadsTheNestedShape) {
  EXPECT_EQ(only(nestedEntry()), JSON::object({{"udid", "00008110-000B"},
                                               {"core_id", "CORE-00008110-000B"},
                                               {"name", "Nested"},
                                               {"model", "iPad Air"},
                                               {"product_type", "iPad13,16"},
                                               {"os", "18.1"},
                                               {"state", "available"},
                                               {"developer_mode", true},
                                               {"available", true},
                                               {"transport", "localNetwork"}}));
}

TEST(DevicesParse, UnexpectedDocumentsGiveNoRecords) {
  for (const JSON& document :
       {JSON(), JSON::array({flatEntry()}), JSON::object({{"devices", JSON::array({flatEntry()})}}),
        JSON::object({{"result", "devices"}}),
        JSON::object({{"result", JSON::object({{"devices", JSON::object()}})}}),
        listing({JSON("iPhone"), JSON(), JSON::array()})}) {
    EXPECT_EQ(Devices::parse(document), JSON::array()) << document.pretty();
  }
}

TEST(DevicesParse, KeepsOnlyPhysicalPhonesAndPadsWithAUdid) {
  auto hardware = [&](const char* key, JSON value) {
    return with(flatEntry(), {"hardwareProperties", key}, std::move(value));
  };
  for (const JSON& dropped : {
           hardware("reality", "virtual"),
           hardware("reality", JSON()),
           hardware("deviceType", "appleWatch"),
           hardware("deviceType", "appleTV"),
           hardware("deviceType", "mac"),
           hardware("deviceType", "iphone"),
           hardware("udid", ""),
           hardware("udid", JSON()),
           hardware("udid", 8110),
           with(flatEntry(), {"hardwareProperties"}, JSON()),
       }) {
    EXPECT_EQ(Devices::parse(listing({dropped})), JSON::array()) << dropped.pretty();
  }
  // Order is devicectl's and twins stay: the list is neither sorted nor de-duplicated.
  JSON records = Devices::parse(
      listing({flatEntry("B"), hardware("reality", "virtual"), flatEntry("A"), flatEntry("B")}));
  ASSERT_EQ(records.items().size(), 3u);
  EXPECT_EQ(records.items()[0]["udid"], JSON("B"));
  EXPECT_EQ(records.items()[1]["udid"], JSON("A"));
  EXPECT_EQ(records.items()[2]["udid"], JSON("B"));
}

TEST(DevicesParse, HardwareBlockFallsBackOnlyWhenTheNestedOneIsNullOrMissing) {
  JSON fallback = with(flatEntry(), {"properties", "hardware"}, JSON());
  EXPECT_EQ(only(fallback)["model"], JSON("iPhone 15"));
  // A nested hardware block that is present wins, even when it disqualifies the device.
  JSON virtualNested =
      with(flatEntry(), {"properties", "hardware"}, JSON::object({{"reality", "virtual"}}));
  EXPECT_EQ(Devices::parse(listing({virtualNested})), JSON::array());
}

TEST(DevicesParse, MissingMembersBecomeNullOrEmptyAndAsFoundValuesKeepTheirKind) {
  JSON bare = JSON::object(
      {{"hardwareProperties",
        JSON::object({{"reality", "physical"}, {"deviceType", "iPhone"}, {"udid", "U"}})}});
  EXPECT_EQ(only(bare), JSON::object({{"udid", "U"},
                                      {"core_id", JSON()},
                                      {"name", ""},
                                      {"model", JSON()},
                                      {"product_type", JSON()},
                                      {"os", ""},
                                      {"state", ""},
                                      {"developer_mode", false},
                                      {"available", false},
                                      {"transport", ""}}));
  JSON odd = with(with(flatEntry(), {"identifier"}, 42), {"hardwareProperties", "marketingName"},
                  JSON::array({"x"}));
  EXPECT_EQ(only(odd)["core_id"], JSON(42));
  EXPECT_EQ(only(odd)["model"], JSON::array({"x"}));
  // Coerced members treat a value of the wrong kind as absent and look further.
  JSON wrongKinds = with(with(flatEntry(), {"properties", "state", "name"}, 7),
                         {"properties", "software", "osVersionNumber"}, "18.0");
  EXPECT_EQ(only(wrongKinds)["name"], JSON("Flat"));
  EXPECT_EQ(only(wrongKinds)["os"], JSON("17.5"));
  JSON nestedWins = with(flatEntry(), {"properties", "connection", "state"}, "disconnected");
  EXPECT_EQ(only(nestedWins)["state"], JSON("disconnected"));
  EXPECT_EQ(only(nestedWins)["available"], JSON(false));
}

TEST(DevicesParse, DeveloperModeRule) {
  const std::initializer_list<std::string> nested{"properties", "state", "developerModeStatus"};
  const std::initializer_list<std::string> flat{"deviceProperties", "developerModeStatus"};
  struct Case {
    JSON entry;
    bool expected;
  };
  for (const Case& c : {
           // The nested status names its case by the member present, whatever its value.
           Case{with(flatEntry(), nested, JSON::object({{"enabled", false}})), true},
           Case{with(flatEntry(), nested, JSON::object({{"enabled", true}})), true},
           // Present but null, or another case, falls through to the flat status.
           Case{with(with(flatEntry(), nested, JSON::object({{"enabled", JSON()}})), flat,
                     "disabled"),
                false},
           Case{with(flatEntry(), nested, JSON::object({{"disabled", JSON::object()}})), true},
           Case{with(with(flatEntry(), nested, JSON::object({{"disabled", true}})), flat, "off"),
                false},
           Case{with(flatEntry(), nested, "enabled"), true},
           Case{with(flatEntry(), flat, "Enabled"), false},
           Case{with(flatEntry(), flat, true), false},
       }) {
    JSON record = only(c.entry);
    EXPECT_EQ(record["developer_mode"], JSON(c.expected)) << c.entry.pretty();
    EXPECT_EQ(record["available"], JSON(c.expected)) << c.entry.pretty();  // state is connected
  }
}

TEST(DevicesParse, OnlyConnectedOrAvailableStatesAreReady) {
  const std::initializer_list<std::string> tunnel{"connectionProperties", "tunnelState"};
  for (const char* state : {"connected", "available"}) {
    EXPECT_EQ(only(with(flatEntry(), tunnel, state))["available"], JSON(true)) << state;
  }
  for (JSON state : {JSON("disconnected"), JSON(""), JSON("Connected"), JSON()}) {
    EXPECT_EQ(only(with(flatEntry(), tunnel, state))["available"], JSON(false)) << state.pretty();
  }
}

// ---- Listing through a simulated Mac --------------------------------------------------------

class DevicesOnASimulatedMac : public ::testing::Test {
 protected:
  void SetUp() override {
    sim({"init", root_.path().string()});
    ::setenv("VEK_TOOL_ROOT", root_.path().c_str(), 1);
    ::setenv("TMPDIR", scratch_.path().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VEK_TOOL_ROOT");
    ::unsetenv("TMPDIR");
  }

  void sim(const std::vector<std::string>& arguments) {
    auto result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", arguments);
    ASSERT_EQ(result.status, 0) << result.err;
  }
  void addDevice(const std::string& udid, std::vector<std::string> options = {}) {
    std::vector<std::string> arguments{"device", "add", root_.path().string(), "--udid", udid};
    arguments.insert(arguments.end(), options.begin(), options.end());
    sim(arguments);
  }
  void fault(const std::string& mode) {
    sim({"fault", "set", root_.path().string(), "devicectl-list", mode});
  }
  // The temporary directory holds neither the scratch file nor the runner's capture files.
  void expectNothingLeftBehind() {
    EXPECT_TRUE(fs::is_empty(scratch_.path())) << fs::directory_iterator(scratch_.path())->path();
  }

  testing::TempDir root_;
  testing::TempDir scratch_;
  testing::TempDir tools_;  // made before TMPDIR points into scratch_
};

TEST_F(DevicesOnASimulatedMac, ListsBothShapesInOrderAndRemovesTheScratchFile) {
  addDevice("00008110-0000000000000A01", {"--name", "Flat Phone", "--shape", "flat"});
  addDevice("00008110-0000000000000A02",
            {"--name", "Nested Pad", "--type", "iPad", "--shape", "nested", "--os", "18.1"});
  addDevice("00008110-0000000000000A03", {"--type", "Watch"});
  addDevice("00008110-0000000000000A04", {"--developer-mode", "off", "--shape", "nested"});

  JSON records = Devices::list();
  ASSERT_EQ(records.items().size(), 3u);
  EXPECT_EQ(records.items()[0]["name"], JSON("Flat Phone"));
  EXPECT_EQ(records.items()[1]["name"], JSON("Nested Pad"));
  EXPECT_EQ(records.items()[1]["os"], JSON("18.1"));
  EXPECT_EQ(records.items()[1]["available"], JSON(true));
  EXPECT_EQ(records.items()[2]["developer_mode"], JSON(false));
  expectNothingLeftBehind();
}

TEST_F(DevicesOnASimulatedMac, FailuresAreReportedAndLeaveNoScratchFile) {
  fault("exit");
  try {
    Devices::list();
    FAIL() << "a failing devicectl gave a list";
  } catch (const VEKError& error) {
    EXPECT_TRUE(error.message().starts_with("xcrun failed (1): ")) << error.message();
  }
  expectNothingLeftBehind();

  fault("nofile");
  EXPECT_THROW(Devices::list(), SystemError);
  expectNothingLeftBehind();

  fault("garbage");
  EXPECT_THROW(Devices::list(), DecodingError);
  expectNothingLeftBehind();
}

TEST_F(DevicesOnASimulatedMac, ATimeOutStopsDevicectlAndRemovesWhatItWrote) {
  // devicectl that writes its file and then never finishes: stopped after 30 seconds.
  const fs::path xcrun = tools_ / "usr/bin/xcrun";
  testing::writeText(xcrun,
                     "#!/bin/sh\nfor last; do :; done\necho '{\"result\":{}}' > \"$last\"\n"
                     "exec sleep 600\n");
  ::chmod(xcrun.c_str(), 0755);
  ::setenv("VEK_TOOL_ROOT", tools_.path().c_str(), 1);
  try {
    Devices::list();
    FAIL() << "a hanging devicectl gave a list";
  } catch (const VEKError& error) {
    EXPECT_TRUE(error.message().starts_with("xcrun failed (15)")) << error.message();
  }
  expectNothingLeftBehind();
}

TEST_F(DevicesOnASimulatedMac, RequireFindsTheFirstAvailableMatch) {
  const std::string udid = "00008110-0000000000000B01";
  EXPECT_THROW(
      {
        try {
          Devices::require(udid);
        } catch (const VEKError& error) {
          EXPECT_EQ(error.message(),
                    "The selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable "
                    "Developer Mode, and unlock it.");
          throw;
        }
      },
      VEKError);

  addDevice(udid, {"--state", "disconnected"});
  EXPECT_THROW(Devices::require(udid), VEKError);
  EXPECT_THROW(Devices::require(udid.substr(1)), VEKError);  // exact match only

  // A later record with the same UDID can still match.
  JSON unavailable = with(flatEntry(udid), {"connectionProperties", "tunnelState"}, "disconnected");
  JSON ready = with(flatEntry(udid), {"deviceProperties", "name"}, "Second");
  testing::writeText(root_ / "listing.json", listing({unavailable, ready}).data());
  sim({"device", "listing", root_.path().string(), "--json", (root_ / "listing.json").string()});
  EXPECT_EQ(Devices::require(udid)["name"], JSON("Second"));

  // A listing that fails is reported as itself, not as an unavailable device.
  fault("exit");
  try {
    Devices::require(udid);
    FAIL();
  } catch (const VEKError& error) {
    EXPECT_TRUE(error.message().starts_with("xcrun failed")) << error.message();
  }
  expectNothingLeftBehind();
}

}  // namespace
}  // namespace vek
