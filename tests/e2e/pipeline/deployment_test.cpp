// One deployment from a registered project to a launched app, and the ways a deployment stops on
// the way: a cancelled job on either side, a phone unplugged halfway, and every refusal of the
// app checks for apps the simulated Xcode really builds, signs and exports.
#include <gtest/gtest.h>

#include "deployment_fixture.h"
#include "pipeline/devices.h"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

const Names leftByTheBuild{"App.xcarchive", "Export", "ExportOptions.plist", "build.log"};

bool lists(const JSON& records, const std::string& bundleID) {
  for (const JSON& record : records.items()) {
    if (record["bundleID"] == JSON(bundleID) || record["bundle_id"] == JSON(bundleID)) return true;
  }
  return false;
}

TEST_F(DeploymentTest, FromProjectToALaunchedApp) {
  const std::string id = queue(registerProject("Demo"), "debug");
  const Claimed building = claim(builder_);
  ASSERT_EQ(building.id(), id);
  // What an earlier attempt at the job, killed halfway, left on either Mac is not taken for this
  // attempt's output.
  writeText(builderJob(id) / "Export/Old.ipa", "stale");
  fs::create_directories(builderJob(id) / "Validation/Payload/Old.app");
  fs::create_directories(receiverJob(id) / "Receive/Extracted/Payload/Old.app");
  writeText(receiverJob(id) / "Receive/App.ipa", "stale");
  ASSERT_EQ(build(building), "(no failure)");
  EXPECT_EQ(builderEvents_, (std::vector<std::string>{
                                "Archiving Demo \u00b7 Release", "Exporting Debug build",
                                "Checking signature, device provisioning, and APNs "
                                "environment",
                                "Encrypting build for your group", "Uploading encrypted build"}));
  EXPECT_EQ(entries(builderJob(id)), leftByTheBuild);
  const JSON built = job(id);
  EXPECT_EQ(built["state"], JSON("installing"));
  EXPECT_EQ(built["artifact_sha"].text().size(), 64u);

  const Claimed installing = claim(receiver_);
  ASSERT_EQ(installing.id(), id);
  ASSERT_EQ(install(installing), "(no failure)");
  EXPECT_EQ(receiverEvents_,
            (std::vector<std::string>{"Downloading and decrypting build",
                                      "Installing on Test iPhone. Keep the device unlocked.",
                                      "Launching com.example.demo"}));
  EXPECT_EQ(job(id)["state"], JSON("succeeded"));
  EXPECT_EQ(entries(receiverJob(id)), Names{"Receive"});
  EXPECT_EQ(entries(receiverJob(id) / "Receive"), Names{"install.log"});

  const JSON device = phone();
  EXPECT_TRUE(lists(device["installed"], "com.example.demo")) << device.pretty();
  EXPECT_TRUE(lists(device["launched"], "com.example.demo")) << device.pretty();
}

TEST_F(DeploymentTest, AnAdHocBuildCarriesItsModeThrough) {
  const std::string id = queue(registerProject("Shop", {"--push", "automatic"}), "adhoc", "Shop");
  ASSERT_EQ(build(claim(builder_)), "(no failure)");
  EXPECT_EQ(builderEvents_.at(1), "Exporting Ad Hoc build");
  ASSERT_EQ(install(claim(receiver_)), "(no failure)");
  EXPECT_EQ(job(id)["state"], JSON("succeeded"));
  EXPECT_TRUE(lists(phone()["launched"], "com.example.shop"));
}

TEST_F(DeploymentTest, AJobCancelledWhileArchivingStopsAtTheNextCheck) {
  const std::string id = queue(registerProject("Demo"), "debug");
  const std::string result = build(claim(builder_), [&](const std::string& message) {
    if (message.starts_with("Archiving")) cancel(id);
  });
  EXPECT_EQ(result, "Job stopped: cancelled");
  EXPECT_EQ(builderEvents_.size(), 1u);
  // Nothing after the archive ran: no export, nothing sealed or sent.
  EXPECT_EQ(entries(builderJob(id)),
            (Names{"App.xcarchive", "DerivedData", "ExportOptions.plist", "build.log"}));
  EXPECT_EQ(job(id)["state"], JSON("cancelled"));
}

TEST_F(DeploymentTest, AJobCancelledDuringTheInstallIsNeverLaunched) {
  const std::string id = queue(registerProject("Demo"), "debug");
  ASSERT_EQ(build(claim(builder_)), "(no failure)");
  const std::string result = install(claim(receiver_), [&](const std::string& message) {
    if (message.starts_with("Installing on")) cancel(id);
  });
  EXPECT_EQ(result, "Job stopped: cancelled");
  const JSON device = phone();
  EXPECT_TRUE(lists(device["installed"], "com.example.demo")) << device.pretty();
  EXPECT_FALSE(lists(device["launched"], "com.example.demo")) << device.pretty();
  EXPECT_EQ(entries(receiverJob(id) / "Receive"), Names{"install.log"});
}

TEST_F(DeploymentTest, APhoneUnpluggedAfterTheDownloadIsCaughtBeforeTheChecks) {
  const std::string id = queue(registerProject("Demo"), "debug");
  ASSERT_EQ(build(claim(builder_)), "(no failure)");
  const std::string result = install(claim(receiver_), [&](const std::string& message) {
    if (message.starts_with("Downloading")) {
      vekSim(
          {"device", "set", receiver_.toolRoot().string(), phoneUDID, "--state", "disconnected"});
    }
  });
  EXPECT_EQ(result, Devices::unavailableMessage);
  EXPECT_EQ(receiverEvents_.size(), 1u);
  EXPECT_FALSE(lists(phone()["installed"], "com.example.demo"));
  // The build was downloaded, decrypted and unpacked, and all of it is gone again.
  EXPECT_EQ(entries(receiverJob(id) / "Receive"), Names{"install.log"});
  EXPECT_EQ(job(id)["state"], JSON("failed"));
  EXPECT_EQ(job(id)["error"], JSON(std::string(Devices::unavailableMessage)));
}

TEST_F(DeploymentTest, ALockedPhoneIsRefusedBeforeAnyDownload) {
  const std::string id = queue(registerProject("Demo"), "debug");
  ASSERT_EQ(build(claim(builder_)), "(no failure)");
  vekSim({"device", "set", receiver_.toolRoot().string(), phoneUDID, "--developer-mode", "off"});
  EXPECT_EQ(install(claim(receiver_)), Devices::unavailableMessage);
  EXPECT_TRUE(receiverEvents_.empty());
  EXPECT_FALSE(fs::exists(receiverJob(id)));
}

// Each case: how to make the project or the team, and the message the builder stops with.
struct Refusal {
  std::vector<std::string> project;
  std::vector<std::string> team;
  std::string mode;
  std::string message;
};

TEST_F(DeploymentTest, AppsTheChecksRefuseNeverLeaveTheBuilder) {
  const std::vector<Refusal> refusals{
      {{"--simulator-only"}, {}, "debug", "The build is not a physical-device iOS app"},
      {{"--min-os", "18.0"}, {}, "debug", "App requires iOS 18.0; selected device has 17.5"},
      {{"--watch-app", "Watch"},
       {},
       "debug",
       "Apps with embedded Watch apps need companion-device provisioning, which this VEK version "
       "does not yet support."},
      {{"--extension", "Widget", "--extension-profile", "none"},
       {},
       "debug",
       "Missing provisioning profile in Widget.appex"},
      {{"--extension", "Widget", "--extension-profile", "app"},
       {},
       "debug",
       "Bundle ID and signing profile do not match"},
      {{}, {"--expired", "on"}, "debug", "Provisioning profile is expired"},
      {{}, {"--prefix", "ZZZZZ99999"}, "debug", "Bundle ID and signing profile do not match"},
      {{"--push", "development"},
       {},
       "adhoc",
       "APNs entitlement must be production for adhoc. Check signing and export profiles."},
      {{"--push", "production"},
       {},
       "debug",
       "APNs entitlement must be development for debug. Check signing and export profiles."},
  };
  int n = 0;
  for (const Refusal& refusal : refusals) {
    const std::string name = "App" + std::to_string(++n);
    if (!refusal.team.empty()) {
      std::vector<std::string> arguments{"team", "set", builder_.toolRoot().string()};
      arguments.insert(arguments.end(), refusal.team.begin(), refusal.team.end());
      vekSim(arguments);
    }
    const std::string id = queue(registerProject(name, refusal.project), refusal.mode, name);
    EXPECT_EQ(build(claim(builder_)), refusal.message) << name;
    EXPECT_EQ(builderEvents_.back(),
              "Checking signature, device provisioning, and APNs environment")
        << name;
    EXPECT_FALSE(fs::exists(builderJob(id) / "Build.vek")) << name;
    EXPECT_EQ(job(id)["state"], JSON("failed")) << name;
    vekSim({"team", "set", builder_.toolRoot().string(), "--expired", "off", "--prefix",
            "ABCDE12345"});
  }

  // A phone the team never registered is not in the profile.
  vekSim({"team", "unregister-device", builder_.toolRoot().string(), phoneUDID});
  queue(registerProject("Unregistered"), "debug", "Unregistered");
  EXPECT_EQ(build(claim(builder_)),
            "The selected iPhone UDID is missing from the provisioning profile for "
            "com.example.unregistered. Register it in the Apple Developer team and regenerate the "
            "profile.");
}

TEST_F(DeploymentTest, ExportsThatCannotBeCheckedStopTheBuild) {
  const std::string project = registerProject("Demo");
  const std::vector<std::pair<std::string, std::string>> faults{
      {"two-ipas", "Expected exactly one exported IPA"},
      {"upper-ipa", "Expected exactly one exported IPA"},
      {"no-ipa", "Expected exactly one exported IPA"},
      {"no-folder", "Expected exactly one exported IPA"},
      {"unsafe-path", "Unsafe IPA archive path"},
      {"symlink", "IPAs containing symbolic links are not supported by this VEK version."},
      {"two-apps", "IPA must contain exactly one iOS app"},
  };
  for (const auto& [fault, message] : faults) {
    vekSim({"fault", "set", builder_.toolRoot().string(), "xcodebuild-export", fault});
    const std::string id = queue(project, "debug");
    EXPECT_EQ(build(claim(builder_)), message) << fault;
    EXPECT_FALSE(fs::exists(builderJob(id) / "Build.vekpkg")) << fault;
  }
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(builder_.home())) {
    EXPECT_NE(entry.path().filename(), "escaped.txt") << entry.path();
  }
  vekSim({"fault", "clear", builder_.toolRoot().string()});

  // A failing tool's own words reach the relay, with the way to its whole transcript.
  vekSim({"fault", "set", builder_.toolRoot().string(), "xcodebuild-archive", "exit"});
  const std::string id = queue(project, "debug");
  const std::string failure = build(claim(builder_));
  EXPECT_TRUE(failure.starts_with("xcrun failed (65): ")) << failure;
  EXPECT_TRUE(failure.ends_with("\nFull log: " + (builderJob(id) / "build.log").string()))
      << failure;
  EXPECT_EQ(job(id)["error"], JSON(failure));
}

}  // namespace
}  // namespace vek::testing
