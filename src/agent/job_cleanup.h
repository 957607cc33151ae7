// Housekeeping around jobs: bounding the failure text a job reports, and removing job directories
// nobody needs any more.
//
// When the agent starts no job runs, so whatever a job's folder holds beyond its record is left
// over from an agent that ended in the middle of a job (killed, crashed, the Mac switched off):
// the decrypted build of an install, the package, the encrypted build and the copies of a build.
// The decrypted files must not stay on disk, and the copies would fill a small disk job after
// job; only the logs, the export options and the archive are kept until the folder expires. A
// tool such an agent left running is ended first, from the agent's record of its job tools, so it
// writes nothing more into the folders being cleared.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace vek::JobCleanup {

/// Most user-perceived characters of a failure text the relay receives.
inline constexpr std::size_t failureTextLimit = 1950;

/// How long a job directory is kept after its last modification: 7 days.
inline constexpr std::chrono::seconds retention{604800};

/// The first 1950 grapheme clusters of `description`, never splitting an emoji sequence or a
/// letter from its combining marks; ill-formed UTF-8 comes back repaired.
std::string failureText(std::string_view description);

/// Removes every entry of `jobs` (hidden ones too, directories with their contents) whose
/// modification time is earlier than `now` minus the retention. Never throws: a folder that
/// cannot be listed, an entry whose time cannot be read and a removal that fails are skipped.
void removeOldEntries(const std::filesystem::path& jobs, std::filesystem::file_time_type now);

/// Removes from every job folder in `jobs` what no finished job needs: the build's copies
/// (BuildPipeline::removeBuildCopies, the export included) and every entry of its "Receive"
/// folder but "install.log". Entries that are not real folders (a symbolic link) are passed
/// over. Never throws.
void removeLeftovers(const std::filesystem::path& jobs) noexcept;

/// Where the agent records its job tools: "agent-tools.json" in the state directory.
std::filesystem::path toolRecord();

/// Ends the tools of the record (ToolRecord::endLeftovers), then removeOldEntries and
/// removeLeftovers on the state directory's "Jobs" folder (created when missing) at the current
/// time. Never throws. Run once when the agent starts, before any job.
void cleanup() noexcept;

}  // namespace vek::JobCleanup
