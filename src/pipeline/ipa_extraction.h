// Unpacking an exported IPA, after making sure it cannot write outside the place it is unpacked
// to.
//
// An IPA is a zip archive, and a zip entry's name is whatever its maker wrote: an absolute path,
// a path that climbs with "..", a Windows path with backslashes, or a symbolic link that points
// elsewhere and is then written through. Every name and every entry type is therefore checked on
// zipinfo's listings before ditto unpacks anything, so a refused IPA leaves no file behind. The
// two listing checks are plain functions of zipinfo's text, so they can be tested and fuzzed on
// their own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vek::BuildPipeline {

/// True when no line of `names` (zipinfo -1: one entry name per line; empty lines are skipped)
/// starts with "/", contains a backslash, or has ".." as one of its "/"-separated components.
/// Names that merely contain two dots among other characters ("a..b", "..x") are safe.
bool ipaEntryNamesAreSafe(std::string_view names) noexcept;

/// True when a line of `listing` (zipinfo -l) starts with "l": a symbolic-link entry.
bool ipaListingHasSymbolicLink(std::string_view listing) noexcept;

/// Unpacks the IPA at `ipa` into `destination` (created with its missing parents, 0700) and
/// returns the one app bundle in its "Payload" directory. Both zipinfo listings (60 seconds each)
/// are checked before anything is unpacked; ditto then runs with `log` and `job` for up to 300
/// seconds. Throws VEKError "Unsafe IPA archive path" or "IPAs containing symbolic links are not
/// supported by this VEK version." before `destination` is even created, VEKError "IPA must
/// contain exactly one iOS app" when "Payload" holds no entry or several with the extension
/// "app" (or is missing), the process runner's errors, and SystemError for the directories.
std::filesystem::path extractIPA(const std::filesystem::path& ipa,
                                 const std::filesystem::path& destination,
                                 const std::optional<std::filesystem::path>& log,
                                 const std::optional<std::string>& job);

}  // namespace vek::BuildPipeline
