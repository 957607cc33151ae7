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

/// How many attempts in a row without progress a transfer of the build makes, and how long it
/// waits after such an attempt.
inline constexpr int transferAttempts = 4;
inline constexpr std::chrono::seconds transferPause{5};

/// The stage messages of the two transfers; their progress lines start with them.
inline constexpr std::string_view uploadingMessage = "Uploading encrypted build";
inline constexpr std::string_view downloadingMessage = "Downloading and decrypting build";

/// Uploads the encrypted build `file`, whose SHA-256 is `sha256`, as the artifact of `job` under
/// `lease`. Each attempt sends only what the relay does not hold yet (a relay without resumable
/// uploads gets the whole file). A failed attempt that moved the relay's offset is followed by
/// the next at once, one that did not by a wait of `pause`; after `transferAttempts` attempts in
/// a row that moved nothing, the last attempt's error is thrown. While bytes move, `event` gets a
/// progress line now and then ("Uploading encrypted build · 1.2 of 3.8 GB"). A cancelled task
/// stops at once with CancellationError (also during a pause) and is never retried.
void uploadArtifact(const API& api, std::string_view job, std::string_view lease,
                    const std::filesystem::path& file, std::string_view sha256,
                    const ProgressCallback& event, std::chrono::milliseconds pause = transferPause);

/// Downloads the artifact of `job` under `lease` to `to`, expecting the SHA-256 `sha256`, through
/// the partial file `partial`. An attempt that fails in transit keeps what arrived, and the next
/// one continues from there, with the same waits and limit as `uploadArtifact` (only failures of
/// the transfer itself are tried again). A build that does not match `sha256` after a resumed
/// download is fetched once more from the start before the download fails with "Downloaded
/// build checksum mismatch". Progress lines and cancellation as for `uploadArtifact`.
void downloadArtifact(const API& api, std::string_view job, std::string_view lease,
                      const std::filesystem::path& partial, const std::filesystem::path& to,
                      std::string_view sha256, const ProgressCallback& event,
                      std::chrono::milliseconds pause = transferPause);

/// The work directory of the job `id` ("Jobs/<id>" in the state directory), created (0700) when
/// missing. Throws VEKError "Invalid job identifier" for an id that is empty or is not one plain
/// path component, and SystemError when the directory cannot be made.
std::filesystem::path jobDirectory(std::string_view id);

}  // namespace vek::BuildPipeline
