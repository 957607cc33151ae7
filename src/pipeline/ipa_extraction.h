// Unpacking an exported IPA, after making sure it cannot write outside the place it is unpacked
// to, plant anything there but files and folders, or fill the disk.
//
// An IPA is a zip archive, and a zip entry is whatever its maker wrote: an absolute path, a path
// that climbs with "..", a Windows path with backslashes, a symbolic link that points elsewhere
// and is then written through, a device or a pipe, or a few bytes that inflate to terabytes. On
// the receiving Mac the maker is another member's Mac. So before ditto runs, every entry of the
// central directory is checked (`inspectIPA`, which reads the archive itself; see ipa_archive.h):
// its names, its file type from its mode bits whatever system it claims to come from, and the
// total it unpacks to, which must stay within 100 times the IPA's size, `maxUnpackedIPABytes`,
// and the free space where it is unpacked. A refused IPA leaves no file behind. After ditto, the
// unpacked tree is walked without following links and must hold only plain files and folders,
// so a way around the checks that only the unpacking tool knows is still caught before the app is
// checked, installed or removed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "pipeline/ipa_archive.h"

namespace vek::BuildPipeline {

/// How many times its own size an IPA may unpack to. Real IPAs unpack to a few times their size.
inline constexpr std::uint64_t maxIPAExpansion = 100;
/// The most an IPA may unpack to: 16 GiB, four times the largest app the App Store accepts.
inline constexpr std::uint64_t maxUnpackedIPABytes = std::uint64_t{16} << 30;

/// What an IPA that passed `inspectIPA` unpacks to.
struct IpaContents {
  std::uint64_t entries = 0;
  /// The sum of the entries' uncompressed sizes.
  std::uint64_t unpackedBytes = 0;
};

/// Checks the IPA whose `size` bytes `read` gives, every entry of its central directory, and
/// returns its totals. Throws, in this order of precedence:
///   - DecodingError "The IPA is not a zip archive VEK can read: ..." for a damaged or ambiguous
///     archive structure (see IpaArchive);
///   - VEKError "Unsafe IPA archive path" when a name (or the Unicode name unzip would prefer) is
///     empty, holds a NUL byte or a backslash, starts with "/", or has ".." as one of its
///     "/"-separated components ("a..b" and "..x" are fine);
///   - VEKError "IPAs containing symbolic links are not supported by this VEK version." for an
///     entry whose mode says symbolic link;
///   - VEKError "IPAs containing special files (devices, pipes or sockets) are not supported by
///     this VEK version." for an entry whose mode says anything but file, folder or link;
///   - VEKError "The IPA would unpack to more than 100 times its own size, which no real app
///     does." and "The IPA would unpack to more than 16 GiB, the most VEK unpacks.";
///   - DecodingError for an encrypted entry, an unknown method, a local header that disagrees
///     with the central directory, or data that does not inflate to exactly its declared size.
IpaContents inspectIPA(const ByteReader& read, std::uint64_t size);

/// Unpacks the IPA at `ipa` into `destination` (created with its missing parents, 0700) and
/// returns the one app bundle in its "Payload" directory. `inspectIPA` runs first, then the
/// total must fit the free space at `destination` (with a 4 KiB block per entry), else VEKError
/// "The IPA would unpack to N MiB, more than the M MiB free in <folder>."; all of this before
/// `destination` is even created. ditto then runs with `log` and `job` for up to 300 seconds.
/// The unpacked tree must hold only regular files (each with one link) and folders: a symbolic
/// link and a special file fail with the messages above, a hard link with "Unsafe IPA archive
/// path". Throws VEKError "IPA must contain exactly one iOS app" when "Payload" holds no entry or
/// several with the extension "app" (or is missing), the process runner's errors, and
/// SystemError for the files and directories.
std::filesystem::path extractIPA(const std::filesystem::path& ipa,
                                 const std::filesystem::path& destination,
                                 const std::optional<std::filesystem::path>& log,
                                 const std::optional<std::string>& job);

}  // namespace vek::BuildPipeline
