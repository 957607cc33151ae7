// The package and its encryption, and the decryption and its unpacking, each done in one pass over
// the data, with the package itself never written: it exists only as the plaintext inside the
// artifact. The builder packs the IPA straight into the plaintext of the records it seals, and
// the receiver parses the package out of the plaintext it decrypts and writes only the IPA. Each
// record is written and digested on threads of their own while the next is read and sealed or
// opened, so every byte of the build is read once and written once on either side.
//
// The receiver keeps the order of failures that decrypting and then unpacking would give: a fault
// in the package (a bad header, a manifest that is not JSON, an IPA that cannot be created) is put
// aside while the rest of the artifact is decrypted and checked, and only reported if the artifact
// itself is sound.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "artifacts/background_writer.h"
#include "artifacts/byte_io.h"
#include "artifacts/group_key.h"
#include "artifacts/record_format.h"
#include "artifacts/record_reader.h"
#include "artifacts/record_writer.h"
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
  // The IPA goes to `out`, created at `ipa` once the manifest is known; it must not be the
  // artifact (`inputFd`).
  PackageReader(const std::filesystem::path& ipa, int inputFd, UniqueFd& out)
      : ipa_(ipa), inputFd_(inputFd), out_(out) {}

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
      out_ = createOutput(ipa_, inputFd_);
      writer_.emplace(out_.get(), ipa_, &digest_);
    }
    if (size > 0) writer_->write(data, size);
  }

  const std::filesystem::path& ipa_;
  int inputFd_;
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
                                              const std::filesystem::path& artifact,
                                              std::string_view key, std::string_view job) {
  GroupKey groupKey = GroupKey::decode(key);
  // The package's header and manifest come before the IPA in the first record.
  const std::string head = packageHead(manifest);
  // The IPA is opened before the artifact is created, so a missing IPA leaves no stray file.
  UniqueFd in = openFile(ipa, O_RDONLY);
  adviseSequential(in.get());
  UniqueFd out = createOutput(artifact, in.get());
  return sealRecords(in.get(), ipa, head, out.get(), artifact, groupKey, job);
}

JSON ArtifactCrypto::decryptAndUnpack(const std::filesystem::path& artifact,
                                      const std::filesystem::path& ipa, std::string_view key,
                                      std::string_view job) {
  GroupKey groupKey = GroupKey::decode(key);
  UniqueFd in = openFile(artifact, O_RDONLY);
  adviseSequential(in.get());
  readArtifactHeader(in.get(), artifact);
  UniqueFd ipaOut;
  try {
    RecordBuffers buffers;
    PackageReader reader(ipa, in.get(), ipaOut);
    openRecords(in.get(), artifact, groupKey, job, buffers,
                [&](const unsigned char* text, std::size_t size) { reader.take(text, size); });
    return reader.finish();
  } catch (...) {
    discard(ipaOut, ipa);
    throw;
  }
}

}  // namespace vek
