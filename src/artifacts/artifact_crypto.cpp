// Encrypted artifacts: the key, and the two directions, whose record loops live in
// record_writer.h and record_reader.h. Writing happens on a second thread while the next record
// is read and sealed or opened, so the cipher's time and the kernel's copy overlap.
#include "artifacts/artifact_crypto.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <string>

#include "artifacts/background_writer.h"
#include "artifacts/byte_io.h"
#include "artifacts/gcm_cipher.h"
#include "artifacts/group_key.h"
#include "artifacts/record_reader.h"
#include "artifacts/record_writer.h"
#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/file.h"

namespace vek {

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
  return artifacts::sealRecords(in.get(), input, {}, out.get(), to, groupKey, job);
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
