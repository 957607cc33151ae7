// Housekeeping around jobs: bounding the failure text a job reports, and removing job directories
// nobody needs any more.
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

/// removeOldEntries on the state directory's "Jobs" folder (created when missing) at the current
/// time. Never throws. Run once when the agent starts.
void cleanup() noexcept;

}  // namespace vek::JobCleanup
