// The checks an exported app passes before it leaves the builder and again before the receiver
// installs it.
//
// Each check stands for a reason an install would fail or an app would misbehave on the device,
// and fails with a message that says what to fix: a signature that does not verify, a build for
// the simulator or another platform, an app that needs a newer iOS than the device runs, an
// embedded Watch app, a bundle without its provisioning profile or with an expired one, a device
// the profile does not list, a bundle identifier the profile does not cover, a Debug build that
// cannot be debugged or an Ad Hoc build that still can, and a push environment that does not
// match the mode. The app and every app extension inside it are checked, each against its own
// profile and signed entitlements.
#pragma once

#include <chrono>
#include <compare>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/json.h"
#include "foundation/plist.h"

namespace vek::BuildPipeline {

/// Compares two version texts as people read them: runs of digits as numbers (so "17.10" is above
/// "17.9" and "9" below "10", leading zeros aside), everything else character by character, and
/// trailing ".0" components as absent (so "17" and "17.0.0" are the same version).
std::strong_ordering compareVersions(std::string_view a, std::string_view b) noexcept;

/// Every item with the extension "appex" inside the bundle `app`, found by a depth-first walk
/// that visits each directory's entries in name order and does not follow symbolic links.
/// Throws SystemError when a directory cannot be listed.
std::vector<std::filesystem::path> extensionBundles(const std::filesystem::path& app);

/// Checks one bundle's decoded provisioning `profile` and signed `entitlements` against the
/// device `udid`, the deployment `mode` ("adhoc", or anything else for Debug), the bundle's
/// identifier `bundleID` and the time `now`. Throws VEKError with the first failing check's
/// message: "Provisioning profile is expired", "The selected iPhone UDID is missing from the
/// provisioning profile for <bundleID>. Register it in the Apple Developer team and regenerate
/// the profile.", "Bundle ID and signing profile do not match", "Debug export is not development
/// signed", "Ad Hoc export still has development debugger entitlements", "APNs entitlement must
/// be <production|development> for <mode>. Check signing and export profiles."
void validateProfile(const Plist& profile, const Plist& entitlements, std::string_view udid,
                     std::string_view mode, std::string_view bundleID,
                     std::chrono::system_clock::time_point now);

/// Checks the app bundle `app` for the device `udid` running iOS `phoneOS` ("" when unknown,
/// which skips the version check) and the deployment `mode`, running codesign and security with
/// `log` and `job`. Returns the app summary, a JSON object of texts: "bundle_id", "version" and
/// "build" ("" when absent), "minimum_os" ("0" when absent), "aps_environment" ("none" when the
/// app's signature has none). Throws VEKError "The build is not a physical-device iOS app",
/// "App requires iOS <minimum>; selected device has <phoneOS>", "Apps with embedded Watch apps
/// need companion-device provisioning, which this VEK version does not yet support.",
/// "Invalid plist: Info.plist", "Missing provisioning profile in <bundle directory name>",
/// "Cannot read provisioning or signed entitlements", or `validateProfile`'s messages; and
/// passes on the process runner's errors (a signature that does not verify among them),
/// SystemError for unreadable files and DecodingError for text that is not a property list.
JSON validateApp(const std::filesystem::path& app, std::string_view udid, std::string_view mode,
                 std::string_view phoneOS, const std::optional<std::filesystem::path>& log,
                 const std::optional<std::string>& job);

}  // namespace vek::BuildPipeline
