// The framing shared by the operations that write or read encrypted artifacts and build packages:
// sizes of the record and header fields and the associated data that binds a record to its job,
// position and kind. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "artifacts/artifact_crypto.h"
#include "artifacts/gcm_cipher.h"

namespace vek::artifacts {

/// A record's length field.
inline constexpr std::size_t lengthSize = 4;
/// The sealed form of an empty plaintext, which closes the stream: 28 bytes.
inline constexpr std::size_t endRecordSize = nonceSize + tagSize;
/// The sealed form of a full 4 MiB chunk: 4,194,332 bytes.
inline constexpr std::size_t maxRecordSize = ArtifactCrypto::chunkSize + endRecordSize;
/// A package's magic and manifest length field.
inline constexpr std::size_t packageHeaderSize = ArtifactCrypto::packageMagic.size() + 4;

/// The start of a package: magic, manifest length and `manifest` rendered compactly. A manifest of
/// 1 MiB or more fails with "Manifest too large".
std::string packageHead(const JSON& manifest);

/// "<job>:<index>:data" or "<job>:<index>:end".
inline std::string associatedData(std::string_view job, std::uint64_t index, bool end) {
  std::string aad(job);
  aad += ':';
  aad += std::to_string(index);
  aad += end ? ":end" : ":data";
  return aad;
}

}  // namespace vek::artifacts
