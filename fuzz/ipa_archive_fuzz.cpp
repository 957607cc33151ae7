// Feeds bytes, as an IPA, to the checks that decide whether it may be unpacked. They either refuse
// it with one of their messages or accept it; an accepted IPA is then read again, and every entry
// is checked independently: its names normalise to a path that neither is absolute nor climbs
// above the destination, its modes are a file's or a folder's, and the totals returned are the
// entries' own, within the expansion bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "foundation/errors.h"
#include "pipeline/ipa_extraction.h"

namespace {

using namespace vek::BuildPipeline;

void requireSafeName(std::string_view name) {
  const std::filesystem::path path(name);
  const std::filesystem::path normal = path.lexically_normal();
  if (name.empty() || path.is_absolute() || name.find('\\') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos || (!normal.empty() && *normal.begin() == "..")) {
    std::abort();
  }
}

void requirePlainMode(std::uint32_t mode) {
  const std::uint32_t type = mode & 0170000;
  if (type != 0 && type != 0100000 && type != 0040000) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteReader read = [&](char* buffer, std::size_t length, std::uint64_t offset) {
    if (offset >= size) return std::size_t{0};
    const std::size_t count = std::min<std::size_t>(length, size - offset);
    std::memcpy(buffer, data + offset, count);
    return count;
  };
  IpaContents contents;
  try {
    contents = inspectIPA(read, size);
  } catch (const vek::VEKError&) {
    return 0;
  } catch (const vek::DecodingError&) {
    return 0;
  }

  std::uint64_t entries = 0;
  std::uint64_t unpacked = 0;
  IpaArchive(read, size).forEachEntry([&](const IpaEntry& entry) {
    requireSafeName(entry.name);
    if (entry.unicodeName) requireSafeName(*entry.unicodeName);
    requirePlainMode(entry.mode);
    requirePlainMode(entry.extraMode.value_or(0));
    if (entry.method != zipStored && entry.method != zipDeflated) std::abort();
    ++entries;
    unpacked += entry.uncompressedSize;
  });
  if (entries != contents.entries || unpacked != contents.unpackedBytes ||
      unpacked > maxIPAExpansion * size || unpacked > maxUnpackedIPABytes) {
    std::abort();
  }
  return 0;
}
