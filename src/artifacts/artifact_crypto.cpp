// Encrypted artifacts. A buffer holds a whole record as it sits in the file — length field,
// nonce, text, tag — so a chunk is read straight into place, sealed or opened in place and
// written with one call, without copies. Writing happens on a second thread while the next
// record is read and sealed or opened, so the cipher's time and the kernel's copy overlap.
#include "artifacts/artifact_crypto.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "artifacts/background_writer.h"
#include "artifacts/byte_io.h"
#include "artifacts/gcm_cipher.h"
#include "artifacts/group_key.h"
#include "artifacts/record_format.h"
#include "artifacts/record_reader.h"
#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/sha256.h"

namespace vek {

using artifacts::associatedData;
using artifacts::endRecordSize;
using artifacts::lengthSize;
using artifacts::maxRecordSize;
using artifacts::nonceSize;
using artifacts::tagSize;

std::string ArtifactCrypto::newKey() {
  unsigned char key[32];
  artifacts::randomFill(key, sizeof key);
  std::string text = base64::encode(std::string_view(reinterpret_cast<char*>(key), sizeof key));
  OPENSSL_cleanse(key, sizeof key);
  return text;
}

std::string ArtifactCrypto::encrypt(const std::filesystem::path& input,
                                    const std::filesystem::path& to, std::string_view key,
                                    std::string_view job) {
  artifacts::GroupKey groupKey = artifacts::GroupKey::decode(key);
  UniqueFd in = openFile(input, O_RDONLY);
  artifacts::adviseSequential(in.get());
  UniqueFd out = artifacts::createOutput(to, in.get());
  artifacts::GcmCipher cipher(groupKey, artifacts::GcmCipher::Direction::seal);
  // Two record buffers: one is sealed while the other is being written.
  std::unique_ptr<unsigned char[]> records[2] = {artifacts::makeBuffer(lengthSize + maxRecordSize),
                                                 artifacts::makeBuffer(lengthSize + maxRecordSize)};
  Sha256 digest;
  artifacts::BackgroundWriter writer(out.get(), to, &digest);
  writer.write(reinterpret_cast<const unsigned char*>(artifactMagic.data()), artifactMagic.size());
  for (std::uint64_t index = 0;; ++index) {
    unsigned char* record = records[index % 2].get();
    unsigned char* nonce = record + lengthSize;
    unsigned char* text = nonce + nonceSize;
    std::size_t size = artifacts::readBytes(in.get(), text, chunkSize, input);
    bool end = size == 0;
    artifacts::randomFill(nonce, nonceSize);
    cipher.seal(nonce, associatedData(job, index, end), text, size, text + size);
    std::size_t sealed = nonceSize + size + tagSize;
    artifacts::storeBigEndian32(record, static_cast<std::uint32_t>(sealed));
    writer.write(record, lengthSize + sealed);
    if (end) break;
  }
  writer.finish();
  return digest.hexDigest();
}

void ArtifactCrypto::decrypt(const std::filesystem::path& input, const std::filesystem::path& to,
                             std::string_view key, std::string_view job) {
  artifacts::GroupKey groupKey = artifacts::GroupKey::decode(key);
  UniqueFd in = openFile(input, O_RDONLY);
  artifacts::adviseSequential(in.get());
  artifacts::readArtifactHeader(in.get(), input);
  UniqueFd out = artifacts::createOutput(to, in.get());
  try {
    artifacts::RecordBuffers buffers;
    artifacts::BackgroundWriter writer(out.get(), to);
    artifacts::openRecords(
        in.get(), input, groupKey, job, buffers,
        [&](const unsigned char* text, std::size_t size) { writer.write(text, size); });
    writer.finish();
  } catch (...) {
    // Emptied first, so no partial plaintext stays reachable through another link to the file.
    (void)::ftruncate(out.get(), 0);
    out.reset();
    removeQuietly(to);
    throw;
  }
}

}  // namespace vek
