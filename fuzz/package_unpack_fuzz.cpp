// Feeds bytes to ArtifactCrypto::unpack as a package file. A package either fails with the
// format's own errors or yields a manifest whose "ipa_sha256" is the digest of the IPA written,
// and that IPA is exactly the bytes after the manifest. The same bytes sealed into an artifact
// go through the receiver's decryptAndUnpack, which must agree with unpack: the same manifest and
// IPA, or the same failure with no IPA left behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "foundation/errors.h"
#include "foundation/file.h"

namespace {

const std::string key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string job = "fuzz-job";

// Per-process scratch files, removed when the fuzzer exits normally.
struct Scratch {
  std::string base =
      (vek::temporaryDirectory() / ("vek-fuzz-unpack-" + std::to_string(::getpid()))).string();
  vek::TemporaryFile in{base + "-pkg"}, ipa{base + "-ipa"}, artifact{base + "-vek"},
      sealedIpa{base + "-sealed-ipa"};
};

// What an unpacking gave: the manifest and IPA, or the failure's message.
struct Outcome {
  bool succeeded = false;
  std::string text;
  std::string ipa;
};

template <typename Unpack>
Outcome outcome(const std::filesystem::path& ipa, Unpack unpack) {
  Outcome result;
  try {
    result.text = unpack().data();
    result.succeeded = true;
    result.ipa = vek::readFile(ipa);
  } catch (const vek::VEKError& error) {
    result.text = error.what();
  } catch (const vek::DecodingError& error) {
    result.text = error.what();
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch scratch;
  const auto &in = scratch.in.path(), &ipa = scratch.ipa.path();
  std::string package(reinterpret_cast<const char*>(data), size);
  {
    vek::UniqueFd fd = vek::createPrivateFile(in);
    vek::writeFully(fd.get(), package, in);
  }
  const Outcome unpacked = outcome(ipa, [&] {
    vek::JSON manifest = vek::ArtifactCrypto::unpack(in, ipa);
    std::size_t length =
        static_cast<std::uint8_t>(package[8]) << 24 | static_cast<std::uint8_t>(package[9]) << 16 |
        static_cast<std::uint8_t>(package[10]) << 8 | static_cast<std::uint8_t>(package[11]);
    if (vek::readFile(ipa) != package.substr(12 + length)) std::abort();
    if (manifest["ipa_sha256"].text() != vek::ArtifactCrypto::sha256(ipa)) std::abort();
    return manifest;
  });
  vek::removeQuietly(ipa);

  const auto &artifact = scratch.artifact.path(), &sealedIpa = scratch.sealedIpa.path();
  vek::ArtifactCrypto::encrypt(in, artifact, key, job);
  const Outcome opened = outcome(sealedIpa, [&] {
    return vek::ArtifactCrypto::decryptAndUnpack(artifact, sealedIpa, key, job);
  });
  if (opened.succeeded != unpacked.succeeded || opened.text != unpacked.text ||
      opened.ipa != unpacked.ipa) {
    std::abort();
  }
  if (!opened.succeeded && std::filesystem::exists(sealedIpa)) std::abort();
  vek::removeQuietly(sealedIpa);
  return 0;
}
