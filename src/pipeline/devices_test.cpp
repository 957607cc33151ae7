// Devices: devicectl's answer reduced to device records (the real sample, both entry shapes, the
// filters, the Developer Mode rule), and the listing run on a simulated Mac, whose failures must
// leave no scratch file behind.
#include "pipeline/devices.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;

JSON listing(const JSON::Array& entries) {
  return JSON::object({{"result", JSON::object({{"devices", entries}})}});
}

// A ready iPhone in the flat shape, with `block`.`key` set to `value` when a block is named.
JSON flat(const std::string& block = "", const std::string& key = "", JSON value = JSON()) {
  JSON entry = JSON::decode(
      R"({"identifier":"CORE","hardwareProperties":{"reality":"physical","deviceType":"iPhone",)"
      R"("udid":"U1","marketingName":"iPhone 15"},"deviceProperties":{"name":"Flat",)"
      R"("osVersionNumber":"17.5","developerModeStatus":"enabled"},)"
      R"("connectionProperties":{"tunnelState":"connected","transportType":"wired"}})");
  if (!block.empty()) entry.set(block, JSON(entry[block]).set(key, std::move(value)));
  return entry;
}

JSON parseOne(const JSON& entry) {
  JSON records = Devices::parse(listing({entry}));
  EXPECT_EQ(records.items().size(), 1u) << entry.data();
  return records.items().empty() ? JSON() : records.items()[0];
}

TEST(DevicesParse, RealSampleAndBothShapes) {
  JSON records = Devices::parse(JSON::decode(testing::readText(
      testing::sourceDirectory() / "src/pipeline/testdata/devicectl-list-devices.json")));
  ASSERT_EQ(records.items().size(), 4u);  // the Watch is left out
  EXPECT_EQ(
      records.items()[0],
      JSON::decode(R"({"udid":"00008110-0000000000000001","name":"Test iPhone",)"
                   R"("core_id":"11111111-1111-4111-8111-111111111111","os":"18.2",)"
                   R"("model":"iPhone 13 Pro","product_type":"iPhone14,2","state":)"
                   R"("connected","developer_mode":true,"available":true,"transport":"wired"})"));
  // The offline iPhone reports neither Developer Mode nor transport.
  EXPECT_EQ(records.items()[3]["developer_mode"], JSON(false));
  EXPECT_EQ(records.items()[3]["transport"], JSON(""));

  // Nested shape; members taken as found keep their kind or are null; Developer Mode from the
  // flat block when the nested one says nothing.
  EXPECT_EQ(
      parseOne(JSON::decode(
          R"({"identifier":7,"deviceProperties":{"developerModeStatus":"enabled"},)"
          R"("properties":{"hardware":{"reality":"physical","deviceType":"iPad","udid":"U2"},)"
          R"("state":{"name":"Pad"},"connection":{"state":"available","transportType":"usb"},)"
          R"("software":{"osVersionNumber":{"stringValue":"18.1"}}}})")),
      JSON::decode(R"({"udid":"U2","core_id":7,"name":"Pad","model":null,"os":"18.1",)"
                   R"("product_type":null,"state":"available","developer_mode":true,)"
                   R"("available":true,"transport":"usb"})"));
}

TEST(DevicesParse, FiltersAndFallbacks) {
  const std::string hw = "hardwareProperties";
  for (const JSON& document :
       {JSON(), JSON::array({flat()}), JSON::object({{"result", "x"}}),
        listing({flat(hw, "reality", "virtual"), flat(hw, "reality", JSON()),
                 flat(hw, "deviceType", "appleWatch"), flat(hw, "deviceType", "iphone"),
                 flat(hw, "udid", ""), flat(hw, "udid", 8110),
                 // A nested hardware block that is present wins over the flat one.
                 JSON(flat()).set("properties", JSON::object({{"hardware", JSON::object()}}))})}) {
    EXPECT_EQ(Devices::parse(document), JSON::array()) << document.data();
  }
  // A null nested block falls back; order and twins are kept; a coerced member of the wrong
  // kind counts as absent.
  JSON fallback = JSON(flat()).set("properties", JSON::object({{"hardware", JSON()}}));
  JSON records = Devices::parse(listing({fallback, flat("deviceProperties", "name", 5), flat()}));
  ASSERT_EQ(records.items().size(), 3u);
  EXPECT_EQ(records.items()[1]["name"], JSON(""));
  EXPECT_EQ(records.items()[0], records.items()[2]);
}

TEST(DevicesParse, DeveloperModeAndReadiness) {
  auto nested = [](const char* status, const char* flatStatus) {
    return JSON(flat("deviceProperties", "developerModeStatus", flatStatus))
        .set("properties",
             JSON::decode(std::string(R"({"state":{"developerModeStatus":)") + status + "}}"));
  };
  const std::string cp = "connectionProperties";
  struct Case {
    JSON entry;
    bool developerMode, available;
  };
  for (const Case& c : {
           // Nested: the member present names the case, whatever its value.
           Case{nested(R"({"enabled":false})", "disabled"), true, true},
           Case{nested(R"({"enabled":null})", "disabled"), false, false},
           Case{nested(R"({"disabled":true})", "enabled"), true, true},
           Case{flat("deviceProperties", "developerModeStatus", "Enabled"), false, false},
           Case{flat(cp, "tunnelState", "available"), true, true},
           Case{flat(cp, "tunnelState", "disconnected"), true, false},
           Case{flat(cp, "tunnelState", JSON()), true, false},
       }) {
    JSON record = parseOne(c.entry);
    EXPECT_EQ(record["developer_mode"], JSON(c.developerMode)) << c.entry.data();
    EXPECT_EQ(record["available"], JSON(c.available)) << c.entry.data();
  }
}

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
  void sim(std::vector<std::string> arguments) {
    auto result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", arguments);
    ASSERT_EQ(result.status, 0) << result.err;
  }
  std::string failure(const std::string& udid = "") {
    try {
      udid.empty() ? Devices::list() : Devices::require(udid);
    } catch (const std::exception& error) {
      // Neither the scratch file nor the runner's capture files are left behind.
      EXPECT_TRUE(fs::is_empty(scratch_.path()));
      return error.what();
    }
    return "(no failure)";
  }

  testing::TempDir root_, scratch_, tools_;  // all made before TMPDIR points into scratch_
};

TEST_F(DevicesOnASimulatedMac, ListAndRequire) {
  const std::string message =
      "The selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable Developer "
      "Mode, and unlock it.";
  EXPECT_EQ(failure("U1"), message);
  sim({"device", "add", root_.path().string(), "--udid", "A1", "--shape", "nested"});
  sim({"device", "add", root_.path().string(), "--udid", "A2", "--type", "Watch"});
  JSON records = Devices::list();
  ASSERT_EQ(records.items().size(), 1u);
  EXPECT_EQ(records.items()[0]["available"], JSON(true));
  EXPECT_TRUE(fs::is_empty(scratch_.path()));

  // A twin that is not ready does not stop the search for a later one that is.
  testing::writeText(root_ / "listing.json",
                     listing({flat("connectionProperties", "tunnelState", "disconnected"),
                              flat("deviceProperties", "name", "Second")})
                         .data());
  sim({"device", "listing", root_.path().string(), "--json", (root_ / "listing.json").string()});
  EXPECT_EQ(Devices::require("U1")["name"], JSON("Second"));
  EXPECT_EQ(failure("u1"), message);

  // devicectl failing, writing no file, or writing garbage: each reported as what it is.
  for (auto [mode, start] :
       {std::pair{"nofile", "Cannot open "},
        std::pair{"garbage", "devicectl wrote a device list that is not valid JSON: "},
        std::pair{"exit", "xcrun failed (1): ERROR: "}}) {
    sim({"fault", "set", root_.path().string(), "devicectl-list", mode});
    EXPECT_TRUE(failure().starts_with(start)) << mode << ": " << failure();
  }
  EXPECT_TRUE(failure("U1").starts_with("xcrun failed")) << failure("U1");
}

TEST_F(DevicesOnASimulatedMac, ATimeOutStopsDevicectlAndRemovesWhatItWrote) {
  // A devicectl that writes its file and never finishes is stopped after 30 seconds.
  const fs::path xcrun = tools_ / "usr/bin/xcrun";
  testing::writeText(xcrun, "#!/bin/sh\nfor f; do :; done\necho '{}' > \"$f\"\nexec sleep 600\n");
  ::chmod(xcrun.c_str(), 0755);
  ::setenv("VEK_TOOL_ROOT", tools_.path().c_str(), 1);
  EXPECT_EQ(failure(), "xcrun timed out after 30 seconds");
}

}  // namespace
}  // namespace vek
