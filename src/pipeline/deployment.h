// The two halves of a deployment, as the agent runs them for a job it holds a lease on.
//
// `build` runs on the Mac that has the project: archive, export, check the app against the target
// phone, seal it in a build package, encrypt it with the group key, upload it and tell the relay
// the build is done. `install` runs on the Mac beside the phone: download, decrypt, unpack, check
// that the sealed manifest belongs to exactly this deployment, check the app again, install and
// launch it, and tell the relay the job is finished. Both report each stage through `event` before
// starting it, ask the relay between stages whether the job is still wanted, and throw on any
// failure; the caller reports a failure to the relay.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "relay_client/api.h"

namespace vek::BuildPipeline {

/// Receives the progress message of the stage that is about to start. The pipeline waits for it
/// to return before going on, so messages arrive in order.
using ProgressCallback = std::function<void(const std::string& message)>;

/// Builds the job (a relay job record in state "building") under `lease` and finishes it on the
/// relay. Throws the message of the stage that failed; a job the relay no longer has in state
/// "building" stops with "Job stopped: <state>".
void build(const JSON& job, std::string_view lease, const Credentials& credentials, const API& api,
           const ProgressCallback& event);

/// Installs and launches the job's build (a relay job record in state "installing") on the phone
/// attached to this Mac under `lease` and finishes the job on the relay. Throws the message of the
/// stage that failed; the job's receive folder is left holding only "install.log" either way.
void install(const JSON& job, std::string_view lease, const Credentials& credentials,
             const API& api, const ProgressCallback& event);

/// How often `uploadArtifact` tries, and how long it waits after a failed attempt.
inline constexpr int uploadAttempts = 4;
inline constexpr std::chrono::seconds uploadPause{5};

/// Uploads the encrypted build `file`, whose SHA-256 is `sha256`, as the artifact of `job` under
/// `lease`, trying again after `pause` when an attempt fails, `uploadAttempts` times in all; then
/// throws the last attempt's error. A refusal no retry can change (HTTP 401, 403, 404, 409, 413)
/// is thrown at once. A cancelled task stops at once with CancellationError (also during a
/// pause) and is never retried.
void uploadArtifact(const API& api, std::string_view job, std::string_view lease,
                    const std::filesystem::path& file, std::string_view sha256,
                    std::chrono::milliseconds pause = uploadPause);

/// Removes from a build's work directory `directory` the copies nobody reads once the build has
/// ended: the package, the encrypted build, the validation copy, the derived data and, unless
/// `keepExport`, the export. The log, the export options and the archive stay. Never throws.
void removeBuildCopies(const std::filesystem::path& directory, bool keepExport) noexcept;

/// The work directory of the job `id` ("Jobs/<id>" in the state directory), created (0700) when
/// missing. Throws VEKError "Invalid job identifier" for an id that is empty or is not one plain
/// path component, and SystemError when the directory cannot be made.
std::filesystem::path jobDirectory(std::string_view id);

}  // namespace vek::BuildPipeline
