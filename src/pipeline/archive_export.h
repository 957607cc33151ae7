// The builder's preparations: the argument list of the archive run, the export options handed to
// the export run, and the check, between stages, that the relay still wants the job built.
//
// The archive arguments come only from the registered project and the job's scheme and
// configuration, and only when the project registered both: a job cannot make this Mac build
// anything its owner did not register. The export options start from the project's own options
// file when it has one (manual signing needs its profile names and certificate) and then force
// the few keys that decide what kind of build comes out, so the file can never turn a Debug or
// Ad Hoc deployment into another kind of export.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/plist.h"
#include "projects/project.h"
#include "relay_client/api.h"

namespace vek::BuildPipeline {

/// The arguments of the archive run, after "/usr/bin/xcrun": "xcodebuild" "archive", the project
/// or workspace, scheme, configuration, a generic iOS destination, the archive
/// `directory`/"App.xcarchive" and derived data `directory`/"DerivedData", then the automatic
/// signing and team arguments the project asks for. Throws VEKError "Scheme/configuration is not
/// allowed by this Mac's registered project. Refresh the project registration." when `scheme` is
/// not one of the project's schemes or `configuration` not one of its configurations (exact text).
std::vector<std::string> archiveArguments(const Project& project, std::string_view scheme,
                                          std::string_view configuration,
                                          const std::filesystem::path& directory);

/// The export options for a deployment in `mode` ("debug" or "adhoc"), a dictionary: the
/// project's export-options file (when it names one) with "method", "destination",
/// "signingStyle", "thinning", "manageAppVersionAndBuildNumber" and, with a team, "teamID" set
/// over whatever the file had; every other key of the file passes through unchanged.
/// Throws VEKError "Unsupported deployment mode" for any other mode (before any file is read),
/// SystemError or DecodingError when the file cannot be read or parsed, and VEKError "Invalid
/// export-options plist" when its top level is not a dictionary.
Plist exportOptions(const Project& project, std::string_view mode);

/// Returns when the relay reports the job `id` in `state`, and also when the relay cannot be
/// reached (see relayUnreachable), since that says nothing about the job; otherwise throws
/// VEKError "Job stopped: <the state the relay reports, or nothing when it reports none>".
/// Throws CancellationError at once when the current task is cancelled, and the relay's other
/// refusals.
void assertActive(const API& api, std::string_view id, std::string_view state);

}  // namespace vek::BuildPipeline
