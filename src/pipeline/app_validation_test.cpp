// App validation: the version order, every profile rule on the real decoded-profile and
// entitlement samples, and whole bundles on disk checked through codesign and security
// stand-ins that print what the real tools print.
#include "pipeline/app_validation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

const std::string phone = "00008110-0000000000000001";

fs::path testdata(const std::string& name) {
  return testing::sourceDirectory() / "src/pipeline/testdata" / name;
}

TEST(CompareVersions, ReadsNumbersAsNumbers) {
  for (auto [lower, higher] :
       {std::pair{"17.9", "17.10"}, std::pair{"9", "10"}, std::pair{"16.7.2", "17.0"},
        std::pair{"17.0", "17.0.1"}, std::pair{"17", "17.1"}, std::pair{"0", "1"},
        std::pair{"17.0a", "17.0b"}, std::pair{"", "1"},
        std::pair{"99999999999999999999.1", "99999999999999999999.2"}}) {
    EXPECT_TRUE(BuildPipeline::compareVersions(lower, higher) < 0) << lower << " < " << higher;
    EXPECT_TRUE(BuildPipeline::compareVersions(higher, lower) > 0) << higher << " > " << lower;
  }
  for (auto [a, b] : {std::pair{"17.0", "17"}, std::pair{"17.0.0", "17"},
                      std::pair{"17.05", "17.5"}, std::pair{"18.2", "18.2"}, std::pair{"", ""}}) {
    EXPECT_TRUE(BuildPipeline::compareVersions(a, b) == 0) << a << " == " << b;
  }
  // A trailing component that is not a zero still counts.
  EXPECT_TRUE(BuildPipeline::compareVersions("17", "17.0.0.1") < 0);
  EXPECT_TRUE(BuildPipeline::compareVersions("17", "17.0b") < 0);
}

// The reference development profile (expires 2026-01-15T10:20:30Z) and the matching signed
// entitlements (development push, debuggable).
struct ProfileCase : ::testing::Test {
  Plist profile = Plist::readFile(testdata("security-cms-profile-development.plist"));
  Plist entitlements = Plist::readFile(testdata("codesign-entitlements-colon.stdout.xml"));
  system_clock::time_point now = sys_days(year(2025) / 6 / 1);

  std::string failure(std::string_view mode = "debug",
                      std::string_view bundleID = "com.example.test") {
    return testing::failureOf(
        [&] { BuildPipeline::validateProfile(profile, entitlements, phone, mode, bundleID, now); });
  }
  Plist& profileEntitlement(std::string_view key, Plist value) {
    Plist members = profile["Entitlements"];
    members.set(key, std::move(value));
    return profile.set("Entitlements", std::move(members));
  }
};

TEST_F(ProfileCase, AcceptsTheMatchingDebugSigning) {
  EXPECT_EQ(failure(), "(no failure)");
}

TEST_F(ProfileCase, ExpiryIsComparedAsTime) {
  const system_clock::time_point expiry = sys_days(year(2026) / 1 / 15) + 37230s;
  now = expiry - 1s;
  EXPECT_EQ(failure(), "(no failure)");
  for (system_clock::time_point late : {expiry, expiry + 1s}) {
    now = late;
    EXPECT_EQ(failure(), "Provisioning profile is expired");
  }
  now = sys_days(year(2025) / 6 / 1);
  for (Plist bad : {Plist(), Plist("2099-01-01T00:00:00Z"), Plist(std::int64_t{4102444800})}) {
    profile.set("ExpirationDate", bad);
    EXPECT_EQ(failure(), "Provisioning profile is expired");
  }
}

TEST_F(ProfileCase, TheDeviceMustBeProvisioned) {
  const std::string message =
      "The selected iPhone UDID is missing from the provisioning profile for com.example.test. "
      "Register it in the Apple Developer team and regenerate the profile.";
  for (Plist devices :
       {Plist(), Plist(Plist::Array{}), Plist(phone),
        Plist(Plist::Array{"00008110-0000000000000001 "}), Plist(Plist::Array{phone, 1})}) {
    profile.set("ProvisionedDevices", devices);
    EXPECT_EQ(failure(), message);
  }
  // Enterprise profiles provision every device, which these deployments do not use.
  profile = Plist::readFile(testdata("security-cms-profile-development.plist"));
  profile.set("ProvisionedDevices", Plist()).set("ProvisionsAllDevices", true);
  EXPECT_EQ(failure(), message);
}

TEST_F(ProfileCase, TheProfileMustCoverTheSignedIdentifier) {
  const std::string mismatch = "Bundle ID and signing profile do not match";
  profileEntitlement("application-identifier", "ABCDE12345.*");
  EXPECT_EQ(failure(), "(no failure)");
  entitlements.set("application-identifier", "ZZZZZ99999.com.example.test");
  EXPECT_EQ(failure(), mismatch);
  // A wildcard needs the dot after the team: "ABCDE12345x..." is another team.
  entitlements.set("application-identifier", "ABCDE123456.com.example.test");
  EXPECT_EQ(failure(), mismatch);

  // An exact profile covers only its own identifier: an extension needs its own profile.
  profile = Plist::readFile(testdata("security-cms-profile-development.plist"));
  entitlements.set("application-identifier", "ABCDE12345.com.example.test.share");
  EXPECT_EQ(failure("debug", "com.example.test.share"), mismatch);
  profileEntitlement("application-identifier", "ABCDE12345.com.example.test.share");
  EXPECT_EQ(failure("debug", "com.example.test.share"), "(no failure)");
  // The signature must be for the bundle being checked.
  EXPECT_EQ(failure("debug", "com.example.test"), mismatch);
  EXPECT_EQ(failure("debug", ""), mismatch);
  entitlements.set("application-identifier", Plist());
  profileEntitlement("application-identifier", Plist());
  EXPECT_EQ(failure("debug", ""), mismatch);
}

TEST_F(ProfileCase, DebuggabilityFollowsTheMode) {
  for (Plist notTrue : {Plist(), Plist(false), Plist("true"), Plist(1)}) {
    entitlements.set("get-task-allow", notTrue);
    EXPECT_EQ(failure(), "Debug export is not development signed");
  }
  // Ad Hoc: neither the signature nor the profile may allow a debugger.
  entitlements.set("aps-environment", Plist());
  entitlements.set("get-task-allow", true);
  profileEntitlement("get-task-allow", false);
  EXPECT_EQ(failure("adhoc"), "Ad Hoc export still has development debugger entitlements");
  entitlements.set("get-task-allow", false);
  profileEntitlement("get-task-allow", true);
  EXPECT_EQ(failure("adhoc"), "Ad Hoc export still has development debugger entitlements");
  profileEntitlement("get-task-allow", Plist());
  EXPECT_EQ(failure("adhoc"), "(no failure)");
}

TEST_F(ProfileCase, PushEnvironmentFollowsTheMode) {
  entitlements.set("get-task-allow", false);
  profileEntitlement("get-task-allow", false);
  EXPECT_EQ(failure("adhoc"),
            "APNs entitlement must be production for adhoc. Check signing and export profiles.");
  entitlements.set("aps-environment", "production");
  EXPECT_EQ(failure("adhoc"),
            "APNs entitlement must be production for adhoc. Check signing and export profiles.");
  profileEntitlement("aps-environment", "production");
  EXPECT_EQ(failure("adhoc"), "(no failure)");

  // Debug (any mode but adhoc): development in the signature and in the profile.
  entitlements.set("get-task-allow", true);
  profileEntitlement("aps-environment", Plist());
  entitlements.set("aps-environment", "development");
  EXPECT_EQ(failure("debug"),
            "APNs entitlement must be development for debug. Check signing and export profiles.");
  EXPECT_EQ(failure("other"),
            "APNs entitlement must be development for other. Check signing and export profiles.");
  // Without push in the signature the profile's push setting does not matter.
  entitlements.set("aps-environment", Plist());
  EXPECT_EQ(failure("debug"), "(no failure)");
  entitlements.set("aps-environment", 1);
  EXPECT_EQ(failure("debug"), "(no failure)");
}

// An app bundle on disk with stand-in codesign and security: the profile is stored as the plain
// property list security would decode it to, and each bundle's signed entitlements lie in a file
// "entitlements.test" inside it, which the codesign stand-in prints.
class ValidateApp : public ::testing::Test {
 protected:
  void SetUp() override {
    writeTool(
        "codesign",
        "if [ \"$1\" = --verify ]; then\n"
        "  for last; do :; done\n"
        "  if [ -e \"$last/BROKEN\" ]; then echo \"$last: invalid signature\" >&2; exit 1; fi\n"
        "  exit 0\nfi\n"
        "[ \"$1 $2 $3\" = '-d --entitlements :-' ] || exit 64\n"
        "echo \"Executable=$4/Test\" >&2\n"
        "cat \"$4/entitlements.test\" 2>/dev/null\nexit 0\n");
    writeTool("security", "[ \"$1 $2 $3\" = 'cms -D -i' ] || exit 64\nexec cat \"$4\"\n");
    ::setenv("VEK_TOOL_ROOT", tools_.path().c_str(), 1);
    app_ = bundles_ / "Payload/Test.app";
    writeBundle(app_, "com.example.test");
    info_ = Plist::readFile(app_ / "Info.plist");
  }
  void TearDown() override { ::unsetenv("VEK_TOOL_ROOT"); }

  void writeTool(const std::string& name, const std::string& body) {
    const fs::path tool = tools_ / "usr/bin" / name;
    testing::writeText(tool, "#!/bin/sh\n" + body);
    ::chmod(tool.c_str(), 0755);
  }

  // A bundle signed and provisioned for Debug on `phone`, with development push.
  void writeBundle(const fs::path& bundle, const std::string& bundleID) {
    const std::string appID = "ABCDE12345." + bundleID;
    Plist info = Plist::Dictionary{{"CFBundleIdentifier", bundleID},
                                   {"CFBundleSupportedPlatforms", Plist::Array{"iPhoneOS"}},
                                   {"MinimumOSVersion", "17.0"},
                                   {"CFBundleShortVersionString", "1.2"},
                                   {"CFBundleVersion", "42"}};
    Plist profile = Plist::readFile(testdata("security-cms-profile-development.plist"));
    Plist profileEntitlements = profile["Entitlements"];
    profileEntitlements.set("application-identifier", appID);
    profile.set("Entitlements", profileEntitlements)
        .set("ExpirationDate", Plist::Date(floor<microseconds>(system_clock::now()) + 24h));
    Plist entitlements = Plist::readFile(testdata("codesign-entitlements-colon.stdout.xml"));
    entitlements.set("application-identifier", appID);
    testing::writeText(bundle / "Info.plist", info.xml());
    testing::writeText(bundle / "embedded.mobileprovision", profile.xml());
    testing::writeText(bundle / "entitlements.test", entitlements.xml());
  }

  void setInfo(std::string_view key, Plist value) {
    info_.set(key, std::move(value));
    testing::writeText(app_ / "Info.plist", info_.xml());
  }

  JSON validate(std::string_view phoneOS = "18.2", std::string_view mode = "debug") {
    return BuildPipeline::validateApp(app_, phone, mode, phoneOS, log_, "j1");
  }
  std::string failure(std::string_view phoneOS = "18.2") {
    return testing::failureOf([&] { validate(phoneOS); });
  }

  testing::TempDir tools_, bundles_;
  fs::path app_;
  fs::path log_ = bundles_ / "build.log";
  Plist info_;
};

TEST_F(ValidateApp, SummarisesAnAppWhoseEveryBundlePasses) {
  writeBundle(app_ / "PlugIns/Share.appex", "com.example.test.share");
  writeBundle(app_ / "PlugIns/Share.appex/PlugIns/Inner.appex", "com.example.test.share.inner");
  EXPECT_EQ(validate(), JSON::object({{"bundle_id", "com.example.test"},
                                      {"version", "1.2"},
                                      {"build", "42"},
                                      {"minimum_os", "17.0"},
                                      {"aps_environment", "development"}}));
  // Only the signature verification is logged.
  const std::string transcript = testing::readText(log_);
  EXPECT_NE(transcript.find("$ codesign --verify --deep --strict " + app_.string()),
            std::string::npos);
  EXPECT_EQ(transcript.find("security"), std::string::npos) << transcript;

  EXPECT_EQ(BuildPipeline::extensionBundles(app_),
            (std::vector<fs::path>{app_ / "PlugIns/Share.appex",
                                   app_ / "PlugIns/Share.appex/PlugIns/Inner.appex"}));
}

TEST_F(ValidateApp, SummaryDefaultsAndAbsentPush) {
  info_ =
      Plist::Dictionary{{"CFBundleIdentifier", "com.example.test"},
                        {"CFBundleSupportedPlatforms", Plist::Array{"iPhoneSimulator", "iPhoneOS"}},
                        {"CFBundleVersion", 42}};
  testing::writeText(app_ / "Info.plist", info_.xml());
  Plist::Dictionary entitlements = Plist::readFile(app_ / "entitlements.test").fields();
  entitlements.erase("aps-environment");
  testing::writeText(app_ / "entitlements.test", Plist(entitlements).xml());
  EXPECT_EQ(validate("1"), JSON::object({{"bundle_id", "com.example.test"},
                                         {"version", ""},
                                         {"build", ""},
                                         {"minimum_os", "0"},
                                         {"aps_environment", "none"}}));
}

TEST_F(ValidateApp, RefusesWhatCannotRunOnTheDevice) {
  const std::string notDevice = "The build is not a physical-device iOS app";
  setInfo("CFBundleSupportedPlatforms", Plist::Array{"iPhoneSimulator"});
  EXPECT_EQ(failure(), notDevice);
  setInfo("CFBundleSupportedPlatforms", Plist::Array{"iPhoneOS", 1});
  EXPECT_EQ(failure(), notDevice);
  setInfo("CFBundleSupportedPlatforms", "iPhoneOS");
  EXPECT_EQ(failure(), notDevice);
  setInfo("CFBundleSupportedPlatforms", Plist::Array{"iPhoneOS"});
  setInfo("CFBundleIdentifier", "");
  EXPECT_EQ(failure(), notDevice);
  setInfo("CFBundleIdentifier", "com.example.test");

  EXPECT_EQ(failure("16.7.2"), "App requires iOS 17.0; selected device has 16.7.2");
  EXPECT_EQ(failure(""), "(no failure)");
  EXPECT_EQ(failure("17"), "(no failure)");
  setInfo("MinimumOSVersion", "17.10");
  EXPECT_EQ(failure("17.9"), "App requires iOS 17.10; selected device has 17.9");

  fs::create_directories(app_ / "Watch/TestWatch.app");
  EXPECT_EQ(failure(),
            "Apps with embedded Watch apps need companion-device provisioning, which this VEK "
            "version does not yet support.");
}

TEST_F(ValidateApp, EachBundleNeedsItsOwnReadableProvisioning) {
  writeBundle(app_ / "PlugIns/Share.appex", "com.example.test.share");
  fs::remove(app_ / "PlugIns/Share.appex/embedded.mobileprovision");
  EXPECT_EQ(failure(), "Missing provisioning profile in Share.appex");

  // The extension signed with the app's identifier under the app's profile.
  writeBundle(app_ / "PlugIns/Share.appex", "com.example.test.share");
  fs::copy_file(app_ / "embedded.mobileprovision",
                app_ / "PlugIns/Share.appex/embedded.mobileprovision",
                fs::copy_options::overwrite_existing);
  EXPECT_EQ(failure(), "Bundle ID and signing profile do not match");
  fs::remove_all(app_ / "PlugIns");

  testing::writeText(app_ / "entitlements.test", Plist(Plist::Array{}).xml());
  EXPECT_EQ(failure(), "Cannot read provisioning or signed entitlements");
  // codesign prints nothing for a bundle signed without entitlements.
  fs::remove(app_ / "entitlements.test");
  EXPECT_THROW(validate(), DecodingError);

  testing::writeText(app_ / "Info.plist", Plist("not a dictionary").xml());
  EXPECT_EQ(failure(), "Invalid plist: Info.plist");
  fs::remove(app_ / "Info.plist");
  EXPECT_THROW(validate(), SystemError);
}

TEST_F(ValidateApp, ABrokenSignatureStopsEverything) {
  testing::writeText(app_ / "BROKEN", "");
  fs::create_directories(app_ / "Watch");
  EXPECT_EQ(failure(), "codesign failed (1): " + app_.string() +
                           ": invalid signature\n\nFull log: " + log_.string());
}

}  // namespace
}  // namespace vek
