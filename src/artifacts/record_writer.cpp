// A buffer holds a whole record as it sits in the file — length field, nonce, text, tag — so a
// chunk is read straight into place, sealed in place and queued with one call, without copies.
// The writer's threads write and digest one record while the next is read and sealed.
#include "artifacts/record_writer.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "artifacts/artifact_crypto.h"
#include "artifacts/background_writer.h"
#include "artifacts/byte_io.h"
#include "artifacts/gcm_cipher.h"
#include "artifacts/record_format.h"
#include "foundation/sha256.h"

namespace vek::artifacts {

std::string sealRecords(int in, const std::filesystem::path& input, std::string_view prefix,
                        int out, const std::filesystem::path& output, const GroupKey& key,
                        std::string_view job) {
  constexpr std::size_t chunkSize = ArtifactCrypto::chunkSize;
  GcmCipher cipher(key, GcmCipher::Direction::seal);
  // Declared before the writer, so they outlive its threads on every way out.
  std::unique_ptr<unsigned char[]> records[2] = {makeBuffer(lengthSize + maxRecordSize),
                                                 makeBuffer(lengthSize + maxRecordSize)};
  Sha256 digest;
  BackgroundWriter writer(out, output, &digest);
  constexpr std::string_view magic = ArtifactCrypto::artifactMagic;
  writer.write(reinterpret_cast<const unsigned char*>(magic.data()), magic.size());
  for (std::uint64_t index = 0;; ++index) {
    unsigned char* record = records[index % 2].get();
    unsigned char* nonce = record + lengthSize;
    unsigned char* text = nonce + nonceSize;
    std::size_t size = 0;
    if (index == 0 && !prefix.empty()) {
      std::memcpy(text, prefix.data(), prefix.size());
      size = prefix.size();
    }
    size += readBytes(in, text + size, chunkSize - size, input);
    const bool end = size == 0;
    randomFill(nonce, nonceSize);
    cipher.seal(nonce, associatedData(job, index, end), text, size, text + size);
    const std::size_t sealed = nonceSize + size + tagSize;
    storeBigEndian32(record, static_cast<std::uint32_t>(sealed));
    writer.write(record, lengthSize + sealed);
    if (end) break;
  }
  writer.finish();
  return digest.hexDigest();
}

}  // namespace vek::artifacts
