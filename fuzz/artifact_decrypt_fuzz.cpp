// Feeds bytes to ArtifactCrypto::decrypt under a fixed key and job, in two modes chosen by the
// first byte:
//  - even: the rest is an artifact as it might arrive from the relay. Whatever it holds, decrypt
//    either succeeds or fails with the format's own errors, and a failure leaves no output.
//  - odd: the rest is a plaintext. It must survive encrypt and decrypt unchanged, and changing any
//    one byte of its artifact must make decrypt fail and leave no output.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "artifacts/artifact_crypto.h"
#include "foundation/errors.h"
#include "foundation/file.h"

namespace {

const std::string key = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string job = "fuzz-job";

// Per-process scratch files, removed when the fuzzer exits normally.
struct Scratch {
  std::string base =
      (vek::temporaryDirectory() / ("vek-fuzz-decrypt-" + std::to_string(::getpid()))).string();
  vek::TemporaryFile in{base + "-in"}, out{base + "-out"}, plain{base + "-plain"};
};

void store(const std::filesystem::path& path, std::string_view bytes) {
  vek::UniqueFd fd = vek::createPrivateFile(path);
  vek::writeFully(fd.get(), bytes, path);
}

// Decrypts `in`; true on success. Any failure must be one the format defines, with no output.
bool decrypts(const std::filesystem::path& in, const std::filesystem::path& out) {
  try {
    vek::ArtifactCrypto::decrypt(in, out, key, job);
    return true;
  } catch (const vek::VEKError&) {
  } catch (const vek::CryptoError&) {
  }
  if (std::filesystem::exists(out)) std::abort();
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const Scratch scratch;
  const auto &in = scratch.in.path(), &out = scratch.out.path(), &plain = scratch.plain.path();
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    store(in, rest);
    decrypts(in, out);
  } else {
    store(plain, rest);
    vek::ArtifactCrypto::encrypt(plain, in, key, job);
    if (!decrypts(in, out) || vek::readFile(out) != rest) std::abort();
    vek::removeQuietly(out);  // a bad header leaves an existing output alone
    std::string artifact = vek::readFile(in);
    std::size_t at = (data[0] >> 1) * 2654435761u % artifact.size();
    artifact[at] = static_cast<char>(artifact[at] ^ (size % 255 + 1));
    store(in, artifact);
    if (decrypts(in, out)) std::abort();
  }
  vek::removeQuietly(out);
  return 0;
}
