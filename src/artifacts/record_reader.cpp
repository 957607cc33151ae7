#include "artifacts/record_reader.h"

#include <cstdint>
#include <memory>
#include <string_view>

#include "artifacts/artifact_crypto.h"
#include "artifacts/byte_io.h"
#include "artifacts/gcm_cipher.h"
#include "artifacts/record_format.h"
#include "foundation/errors.h"

namespace vek::artifacts {

void readArtifactHeader(int fd, const std::filesystem::path& artifact) {
  constexpr std::string_view magic = ArtifactCrypto::artifactMagic;
  unsigned char header[magic.size()];
  if (readBytes(fd, header, sizeof header, artifact) != sizeof header ||
      std::string_view(reinterpret_cast<char*>(header), sizeof header) != magic) {
    throw VEKError("Invalid VEK artifact header");
  }
}

void openRecords(int fd, const std::filesystem::path& artifact, const GroupKey& key,
                 std::string_view job, RecordBuffers& buffers,
                 const std::function<void(const unsigned char*, std::size_t)>& plaintext) {
  GcmCipher cipher(key, GcmCipher::Direction::open);
  for (std::uint64_t index = 0;; ++index) {
    std::unique_ptr<unsigned char[]>& record = buffers.records[index % 2];
    std::size_t& capacity = buffers.capacities[index % 2];
    unsigned char field[lengthSize];
    if (readBytes(fd, field, lengthSize, artifact) != lengthSize) {
      throw VEKError("Truncated encrypted build");
    }
    std::uint32_t length = loadBigEndian32(field);
    if (length < endRecordSize || length > maxRecordSize) {
      throw VEKError("Invalid encrypted chunk");
    }
    if (length > capacity) {
      record.reset();
      record = makeBuffer(length);
      capacity = length;
    }
    if (readBytes(fd, record.get(), length, artifact) != length) {
      throw VEKError("Invalid encrypted chunk");
    }
    bool end = length == endRecordSize;
    std::size_t size = length - endRecordSize;
    unsigned char* text = record.get() + nonceSize;
    cipher.open(record.get(), associatedData(job, index, end), text, size, text + size);
    if (end) {
      unsigned char extra;
      if (readBytes(fd, &extra, 1, artifact) != 0) {
        throw VEKError("Unexpected data after encrypted build");
      }
      return;
    }
    plaintext(text, size);
  }
}

}  // namespace vek::artifacts
