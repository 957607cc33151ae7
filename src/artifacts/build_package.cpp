// Build packages and the file digest. Plain packing copies the IPA behind the manifest and computes
// nothing (the caller put the digest into the manifest); packing with the digest hashes each piece
// as it copies it and then fills the digest into the manifest already written, and unpacking
// hashes each piece as it copies it, so either way the IPA is read once. The file digest hashes
// each piece on a thread of its own while the next one is read.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "artifacts/byte_io.h"
#include "artifacts/record_format.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/sha256.h"

namespace vek {

using artifacts::packageHeaderSize;

std::string ArtifactCrypto::sha256(const std::filesystem::path& file) {
  UniqueFd in = openFile(file, O_RDONLY);
  artifacts::adviseSequential(in.get());
  Sha256 digest;
  artifacts::copyRest(in.get(), file, -1, file, &digest);
  return digest.hexDigest();
}

std::string artifacts::packageHead(const JSON& manifest) {
  std::string text = manifest.data();
  if (text.size() > ArtifactCrypto::maxManifestSize) throw VEKError("Manifest too large");
  std::string head(ArtifactCrypto::packageMagic);
  head.resize(packageHeaderSize);
  storeBigEndian32(
      reinterpret_cast<unsigned char*>(head.data()) + ArtifactCrypto::packageMagic.size(),
      static_cast<std::uint32_t>(text.size()));
  return head + text;
}

void ArtifactCrypto::package(const std::filesystem::path& ipa, const JSON& manifest,
                             const std::filesystem::path& to) {
  const std::string head = artifacts::packageHead(manifest);
  // The IPA is opened before the package is created, so a missing IPA leaves no stray package.
  UniqueFd in = openFile(ipa, O_RDONLY);
  artifacts::adviseSequential(in.get());
  UniqueFd out = artifacts::createOutput(to, in.get());
  writeFully(out.get(), head, to);
  artifacts::copyRest(in.get(), ipa, out.get(), to, nullptr);
}

JSON ArtifactCrypto::unpack(const std::filesystem::path& input, const std::filesystem::path& ipa) {
  UniqueFd in = openFile(input, O_RDONLY);
  artifacts::adviseSequential(in.get());
  unsigned char header[packageHeaderSize];
  if (artifacts::readBytes(in.get(), header, packageHeaderSize, input) != packageHeaderSize ||
      std::memcmp(header, packageMagic.data(), packageMagic.size()) != 0) {
    throw VEKError("Invalid build package");
  }
  std::uint32_t length = artifacts::loadBigEndian32(header + packageMagic.size());
  if (length == 0 || length > maxManifestSize) throw VEKError("Invalid build manifest");
  std::string text(length, '\0');
  if (readFully(in.get(), text.data(), length, input) != length) {
    throw VEKError("Invalid build manifest");
  }
  JSON manifest = JSON::decode(text);

  UniqueFd out = artifacts::createOutput(ipa, in.get());
  Sha256 digest;
  artifacts::copyRest(in.get(), input, out.get(), ipa, &digest);
  // A missing or non-string digest compares as the empty text, which never matches.
  if (digest.hexDigest() != manifest["ipa_sha256"].text()) {
    throw VEKError("Package checksum mismatch");
  }
  return manifest;
}

}  // namespace vek
