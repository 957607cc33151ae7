// The zip structure of an IPA, read from its bytes rather than from a listing tool.
//
// What an IPA becomes once unpacked is written in its central directory: each entry's name, its
// file type and permissions (the upper half of the entry's external attributes, a Unix mode) and
// its sizes. A listing tool renders these for people: it prints the type only for the systems it
// believes have one and keeps only as much of its output as a caller reads. So the central
// directory is read here, entry by entry through a window of fixed size, and nothing about an
// entry depends on the system the archive says it was made on.
//
// The reader is strict wherever two readers of the same bytes could disagree, because the tool
// that unpacks the IPA must see exactly the entries checked here:
//   - the end record is the last "PK\5\6" in the file and its comment reaches exactly to the end
//     (a second end record hidden in a comment is refused, not chosen between);
//   - the central directory ends exactly where the end record (or its zip64 form) begins, so no
//     bytes lie between them and every offset is meant as written;
//   - the entry count, the directory's size and every record agree with one another;
//   - each entry's local header repeats its central name, method and encryption flag (and its
//     sizes, when it carries them), and its data lies before the central directory;
//   - a deflated entry inflates to exactly the size it declares, no more, so the sizes that bound
//     the expansion cannot lie. Only stored and deflated, unencrypted, single-volume archives are
//     read; an IPA is never anything else.
// Every failure is a DecodingError whose text begins "The IPA is not a zip archive VEK can read:".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vek::BuildPipeline {

/// Reads up to `size` bytes at `offset` into `buffer` and returns how many it read: fewer than
/// `size` only at the end of the bytes.
using ByteReader = std::function<std::size_t(char* buffer, std::size_t size, std::uint64_t offset)>;

/// One entry of the central directory, as far as the checks before unpacking need it.
struct IpaEntry {
  /// The name as stored, byte for byte.
  std::string name;
  /// The name of the Info-ZIP Unicode Path extra field, which unzip prefers to `name`.
  std::optional<std::string> unicodeName;
  /// The upper half of the external attributes: the Unix file type and permissions (0 when the
  /// maker stored none).
  std::uint32_t mode = 0;
  /// The mode of the Info-ZIP "Unix" (ASI) extra field, which unzip uses when `mode` is 0.
  std::optional<std::uint32_t> extraMode;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
};

/// The zip methods an IPA may use.
inline constexpr std::uint16_t zipStored = 0;
inline constexpr std::uint16_t zipDeflated = 8;

/// Reads one archive. Not safe to share between threads: `verifyData` reuses its buffers.
class IpaArchive {
 public:
  /// Finds and checks the end records of the `size` bytes that `read` gives. Throws
  /// DecodingError when they are missing, ambiguous or inconsistent, or name several volumes.
  IpaArchive(ByteReader read, std::uint64_t size);

  /// How many entries the central directory holds.
  std::uint64_t entryCount() const noexcept { return entries_; }

  /// Calls `visit` with every entry of the central directory, in order, holding one window of the
  /// directory in memory at a time. Throws DecodingError for a record that is cut short,
  /// malformed or out of place (before `visit` sees it), and whatever `visit` throws.
  void forEachEntry(const std::function<void(const IpaEntry&)>& visit) const;

  /// Checks the entry's local header against `entry` (from `forEachEntry`) and that its data lies
  /// before the central directory and unpacks to exactly `uncompressedSize` bytes, inflating
  /// deflated data into a scratch buffer and stopping as soon as it yields more. Throws
  /// DecodingError for an encrypted entry, a method other than stored or deflated, and any
  /// disagreement.
  void verifyData(const IpaEntry& entry) const;

 private:
  struct Inflater;

  std::size_t readAt(char* buffer, std::size_t size, std::uint64_t offset) const;

  ByteReader read_;
  std::uint64_t size_;
  std::uint64_t entries_ = 0;
  std::uint64_t directoryOffset_ = 0;
  std::uint64_t directorySize_ = 0;
  // One inflater and its buffers for every entry, made on first use.
  mutable std::shared_ptr<Inflater> inflater_;
};

}  // namespace vek::BuildPipeline
