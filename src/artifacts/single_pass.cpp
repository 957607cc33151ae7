// The package and its encryption, and the decryption and its unpacking, each done in one pass over
// the data. The deployment stages write both files of each pair, but neither needs to read back
// what it has just written: the builder packs the IPA straight into the plaintext of the records
// it seals, and the receiver parses the package out of the plaintext it decrypts. Every piece of
// plaintext goes to two writers at once, each on a thread of its own, while the next record is
// read and sealed or opened; a piece's buffer is refilled only after both writers are done with it.
//
// The receiver keeps the order of failures that decrypting and then unpacking would give: a fault
// in the package (a bad header, a manifest that is not JSON, an IPA that cannot be created) is put
// aside while the rest of the artifact is decrypted and checked, and only reported if the artifact
// itself is sound.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "artifacts/background_writer.h"
#include "artifacts/byte_io.h"
#include "artifacts/gcm_cipher.h"
#include "artifacts/group_key.h"
#include "artifacts/record_format.h"
#include "artifacts/record_reader.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/sha256.h"

namespace vek {

namespace {

using namespace artifacts;

// The receiving end of a package's bytes as they are decrypted: the header and manifest are
// collected, then the IPA is written to its file and digested on the writer's threads. The first
// fault stops it; the fault is kept for `finish` to report.
class PackageReader {
 public:
  // The IPA goes to `out`, created at `ipa` once the manifest is known; it must be neither the
  // artifact (`inputFd`) nor the package (`packageFd`).
  PackageReader(const std::filesystem::path& ipa, int inputFd, int packageFd, UniqueFd& out)
      : ipa_(ipa), inputFd_(inputFd), packageFd_(packageFd), out_(out) {}

  // Takes the next `size` plaintext bytes. Once the IPA has begun, every call but the last hands
  // the IPA writer a piece, which the caller must leave untouched until its next call returns.
  void take(const unsigned char* data, std::size_t size) {
    if (fault_) return;
    try {
      consume(data, size);
    } catch (...) {
      fault_ = std::current_exception();
      // Nothing may still be reading a buffer the caller is about to refill.
      if (writer_) {
        try {
          writer_->finish();
        } catch (...) {
        }
      }
    }
  }

  // Called once the whole package has been taken: reports the first fault, or checks the IPA's
  // digest against the manifest and returns the manifest.
  JSON finish() {
    if (fault_) std::rethrow_exception(fault_);
    if (headerFill_ < packageHeaderSize) throw VEKError("Invalid build package");
    if (manifestText_.size() < manifestLength_) throw VEKError("Invalid build manifest");
    writer_->finish();
    // A missing or non-string digest compares as the empty text, which never matches.
    if (digest_.hexDigest() != manifest_["ipa_sha256"].text()) {
      throw VEKError("Package checksum mismatch");
    }
    return std::move(manifest_);
  }

 private:
  void consume(const unsigned char* data, std::size_t size) {
    if (headerFill_ < packageHeaderSize) {
      std::size_t part = std::min(size, packageHeaderSize - headerFill_);
      std::memcpy(header_ + headerFill_, data, part);
      headerFill_ += part;
      data += part;
      size -= part;
      std::size_t magic = ArtifactCrypto::packageMagic.size();
      if (std::memcmp(header_, ArtifactCrypto::packageMagic.data(), std::min(headerFill_, magic)) !=
          0) {
        throw VEKError("Invalid build package");
      }
      if (headerFill_ < packageHeaderSize) return;
      manifestLength_ = loadBigEndian32(header_ + magic);
      if (manifestLength_ == 0 || manifestLength_ > ArtifactCrypto::maxManifestSize) {
        throw VEKError("Invalid build manifest");
      }
      manifestText_.reserve(manifestLength_);
    }
    if (!writer_) {
      std::size_t part = std::min(size, manifestLength_ - manifestText_.size());
      manifestText_.append(reinterpret_cast<const char*>(data), part);
      data += part;
      size -= part;
      if (manifestText_.size() < manifestLength_) return;
      manifest_ = JSON::decode(manifestText_);
      out_ = createOutput(ipa_, {inputFd_, packageFd_});
      writer_.emplace(out_.get(), ipa_, &digest_);
    }
    if (size > 0) writer_->write(data, size);
  }

  const std::filesystem::path& ipa_;
  int inputFd_;
  int packageFd_;
  UniqueFd& out_;
  unsigned char header_[packageHeaderSize];
  std::size_t headerFill_ = 0;
  std::size_t manifestLength_ = 0;
  std::string manifestText_;
  JSON manifest_;
  Sha256 digest_;
  std::optional<BackgroundWriter> writer_;
  std::exception_ptr fault_;
};

// Empties and removes a decrypted output, so no partial plaintext stays reachable through another
// link to the file. An output never created is left alone.
void discard(UniqueFd& out, const std::filesystem::path& path) noexcept {
  if (!out) return;
  (void)::ftruncate(out.get(), 0);
  out.reset();
  removeQuietly(path);
}

}  // namespace

std::string ArtifactCrypto::packageAndEncrypt(const std::filesystem::path& ipa,
                                              const JSON& manifest,
                                              const std::filesystem::path& package,
                                              const std::filesystem::path& artifact,
                                              std::string_view key, std::string_view job) {
  GroupKey groupKey = GroupKey::decode(key);
  std::string text = manifest.data();
  if (text.size() > maxManifestSize) throw VEKError("Manifest too large");
  // The IPA is opened before the outputs are created, so a missing IPA leaves no stray file.
  UniqueFd in = openFile(ipa, O_RDONLY);
  adviseSequential(in.get());
  UniqueFd packageOut = createOutput(package, {in.get()});
  UniqueFd artifactOut = createOutput(artifact, {in.get(), packageOut.get()});
  GcmCipher cipher(groupKey, GcmCipher::Direction::seal);

  // Two plaintext buffers and two record buffers: while one pair is being written (the plaintext
  // to the package, the record to the artifact), the other is filled and sealed.
  std::unique_ptr<unsigned char[]> plains[2] = {makeBuffer(chunkSize), makeBuffer(chunkSize)};
  std::unique_ptr<unsigned char[]> records[2] = {makeBuffer(lengthSize + maxRecordSize),
                                                 makeBuffer(lengthSize + maxRecordSize)};
  Sha256 digest;
  BackgroundWriter packageWriter(packageOut.get(), package);
  BackgroundWriter artifactWriter(artifactOut.get(), artifact, &digest);
  artifactWriter.write(reinterpret_cast<const unsigned char*>(artifactMagic.data()),
                       artifactMagic.size());

  // The first chunk starts with the package's header, so the records fall where encrypting the
  // finished package would put them.
  unsigned char* first = plains[0].get();
  std::memcpy(first, packageMagic.data(), packageMagic.size());
  storeBigEndian32(first + packageMagic.size(), static_cast<std::uint32_t>(text.size()));
  std::memcpy(first + packageHeaderSize, text.data(), text.size());
  std::size_t filled = packageHeaderSize + text.size();

  for (std::uint64_t index = 0;; ++index, filled = 0) {
    unsigned char* plain = plains[index % 2].get();
    unsigned char* record = records[index % 2].get();
    unsigned char* nonce = record + lengthSize;
    unsigned char* sealed = nonce + nonceSize;
    std::size_t size = filled + readBytes(in.get(), plain + filled, chunkSize - filled, ipa);
    bool end = size == 0;
    if (!end) packageWriter.write(plain, size);
    randomFill(nonce, nonceSize);
    cipher.seal(nonce, associatedData(job, index, end), plain, size, sealed, sealed + size);
    std::size_t length = nonceSize + size + tagSize;
    storeBigEndian32(record, static_cast<std::uint32_t>(length));
    artifactWriter.write(record, lengthSize + length);
    if (end) break;
  }
  packageWriter.finish();
  artifactWriter.finish();
  return digest.hexDigest();
}

JSON ArtifactCrypto::decryptAndUnpack(const std::filesystem::path& artifact,
                                      const std::filesystem::path& package,
                                      const std::filesystem::path& ipa, std::string_view key,
                                      std::string_view job) {
  GroupKey groupKey = GroupKey::decode(key);
  UniqueFd in = openFile(artifact, O_RDONLY);
  adviseSequential(in.get());
  readArtifactHeader(in.get(), artifact);
  UniqueFd packageOut = createOutput(package, {in.get()});
  UniqueFd ipaOut;
  try {
    RecordBuffers buffers;
    BackgroundWriter packageWriter(packageOut.get(), package);
    PackageReader reader(ipa, in.get(), packageOut.get(), ipaOut);
    openRecords(in.get(), artifact, groupKey, job, buffers,
                [&](const unsigned char* text, std::size_t size) {
                  packageWriter.write(text, size);
                  reader.take(text, size);
                });
    packageWriter.finish();
    return reader.finish();
  } catch (...) {
    discard(packageOut, package);
    discard(ipaOut, ipa);
    throw;
  }
}

}  // namespace vek
