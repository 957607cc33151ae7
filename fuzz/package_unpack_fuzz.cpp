// Feeds bytes to ArtifactCrypto::unpack as a package file. A package either fails with the
// format's own errors or yields a manifest whose "ipa_sha256" is the digest of the IPA written,
// and that IPA is exactly the bytes after the manifest.
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

// Per-process scratch files, removed when the fuzzer exits normally.
struct Scratch {
  std::string base =
      (vek::temporaryDirectory() / ("vek-fuzz-unpack-" + std::to_string(::getpid()))).string();
  vek::TemporaryFile in{base + "-pkg"}, ipa{base + "-ipa"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch scratch;
  const auto &in = scratch.in.path(), &ipa = scratch.ipa.path();
  std::string package(reinterpret_cast<const char*>(data), size);
  {
    vek::UniqueFd fd = vek::createPrivateFile(in);
    vek::writeFully(fd.get(), package, in);
  }
  try {
    vek::JSON manifest = vek::ArtifactCrypto::unpack(in, ipa);
    std::size_t length =
        static_cast<std::uint8_t>(package[8]) << 24 | static_cast<std::uint8_t>(package[9]) << 16 |
        static_cast<std::uint8_t>(package[10]) << 8 | static_cast<std::uint8_t>(package[11]);
    if (vek::readFile(ipa) != package.substr(12 + length)) std::abort();
    if (manifest["ipa_sha256"].text() != vek::ArtifactCrypto::sha256(ipa)) std::abort();
  } catch (const vek::VEKError&) {
  } catch (const vek::DecodingError&) {
  }
  vek::removeQuietly(ipa);
  return 0;
}
