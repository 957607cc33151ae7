// Every developer-tool command line VEK runs, in one place.
//
// VEK does not build, sign, inspect or install apps itself: it runs Apple's tools as separate
// processes, by the absolute path they have on a Mac, with explicit arguments. Each function below
// spells out one such command line; callers add what varies between uses (time-out, log, job,
// working directory) and hand it to the process runner, which re-roots the path below
// VEK_TOOL_ROOT when that is set. No caller writes a tool path or a tool argument of its own, so
// a stand-in tool only has to accept what this file produces.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/process_runner.h"

namespace vek {

/// One command line: the tool's absolute path as on a Mac and its arguments, in order.
struct ToolCommand {
  std::string executable;
  std::vector<std::string> arguments;

  /// A process-runner invocation of this command line with the given time-out; the caller sets
  /// the log, job, working directory and `allowFailure` it needs.
  ProcessRunner::Invocation invocation(double timeout) const;
};

namespace DeveloperTools {

inline constexpr std::string_view xcrun = "/usr/bin/xcrun";
inline constexpr std::string_view xcodebuild = "/usr/bin/xcodebuild";
inline constexpr std::string_view ditto = "/usr/bin/ditto";
inline constexpr std::string_view codesign = "/usr/bin/codesign";
inline constexpr std::string_view security = "/usr/bin/security";

/// devicectl's list of attached devices, written as JSON to `jsonOutput` (its standard output is
/// only a human table). devicectl itself gives up after 20 seconds.
ToolCommand listDevices(const std::filesystem::path& jsonOutput);

/// xcodebuild's listing (schemes, configurations) of the project or workspace `selection`
/// names: "-workspace" or "-project" followed by the container's path. Prints JSON.
ToolCommand listContainer(const std::vector<std::string>& selection);

/// What an archive run needs beyond the fixed arguments.
struct ArchiveRequest {
  /// "-workspace" or "-project" followed by the container's path.
  std::vector<std::string> selection;
  std::string scheme;
  std::string configuration;
  std::filesystem::path archivePath;
  std::filesystem::path derivedDataPath;
  /// Lets Xcode create and update profiles itself and forces automatic code signing.
  bool automaticSigning = true;
  /// Signs with this team when present and not empty.
  std::optional<std::string> team;
};

/// xcodebuild archive for a generic iOS device; the archive lands at `archivePath`.
ToolCommand archive(const ArchiveRequest& request);

/// xcodebuild -exportArchive: one .ipa into `exportPath`, as the options file says.
ToolCommand exportArchive(const std::filesystem::path& archivePath,
                          const std::filesystem::path& exportPath,
                          const std::filesystem::path& exportOptionsPlist,
                          bool allowProvisioningUpdates);

/// ditto unpacking a zip archive into `destination`.
ToolCommand unzip(const std::filesystem::path& archive, const std::filesystem::path& destination);

/// codesign's deep, strict verification of a bundle: exit 0 exactly when it all verifies.
ToolCommand verifySignature(const std::filesystem::path& bundle);

/// codesign printing a bundle's signed entitlements as a property list on standard output.
ToolCommand signedEntitlements(const std::filesystem::path& bundle);

/// security decoding a provisioning profile's CMS envelope to its property list.
ToolCommand decodeProfile(const std::filesystem::path& profile);

/// devicectl installing an app bundle on the device `udid`.
ToolCommand installApp(std::string_view udid, const std::filesystem::path& app);

/// devicectl launching `bundleID` on the device `udid`, ending a running copy first.
ToolCommand launchApp(std::string_view udid, std::string_view bundleID);

/// xcodebuild's version text.
ToolCommand xcodeVersion();

/// security's list of valid code-signing identities.
ToolCommand codeSigningIdentities();

}  // namespace DeveloperTools

}  // namespace vek
