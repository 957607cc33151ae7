// SHA-256, the one digest of the system: incremental for code that digests a stream as it moves
// (uploads, downloads, unpacking) rather than reading a file twice, and in one call for short texts
// (tokens). Failures of the cryptographic library are thrown as CryptoError.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace vek {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  /// Adds `size` bytes at `data` to the digest.
  void update(const unsigned char* data, std::size_t size);
  void update(std::string_view bytes) {
    update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  }
  /// The 32 bytes of the digest; ends the computation.
  std::string digest();
  /// The digest as 64 lower-case hexadecimal digits; ends the computation.
  std::string hexDigest();
  /// The 32-byte digest of `bytes`.
  static std::string digestOf(std::string_view bytes);
  /// The digest of `bytes` as 64 lower-case hexadecimal digits.
  static std::string hexOf(std::string_view bytes);

 private:
  evp_md_ctx_st* context_;
};

}  // namespace vek
