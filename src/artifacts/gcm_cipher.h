// The record cipher of encrypted artifacts: AES-256-GCM through one OpenSSL context that lives for
// a whole file, so the key schedule and the algorithm lookup happen once, not per 4 MiB record.
// Also the random source for the records' nonces. Internal to the library.
#pragma once

#include <cstddef>
#include <string_view>

#include "artifacts/group_key.h"

struct evp_cipher_ctx_st;

namespace vek::artifacts {

inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;

/// AES-256-GCM under one key, for the records of one file. Works in place, `data` replaced by its
/// ciphertext (seal) or plaintext (open), or seals from one buffer into another.
class GcmCipher {
 public:
  enum class Direction { seal, open };
  GcmCipher(const GroupKey& key, Direction direction);
  ~GcmCipher();
  GcmCipher(const GcmCipher&) = delete;
  GcmCipher& operator=(const GcmCipher&) = delete;

  /// Encrypts `size` bytes at `data` with `nonce` and `aad`, writing the tag to `tag`.
  void seal(const unsigned char* nonce, std::string_view aad, unsigned char* data, std::size_t size,
            unsigned char* tag) {
    seal(nonce, aad, data, size, data, tag);
  }
  /// Encrypts `size` bytes at `plain` into `sealed`, leaving `plain` as it is, so another thread
  /// may go on reading it. The two ranges are either the same or disjoint.
  void seal(const unsigned char* nonce, std::string_view aad, const unsigned char* plain,
            std::size_t size, unsigned char* sealed, unsigned char* tag);
  /// Decrypts and authenticates; throws CryptoError when the tag does not match.
  void open(const unsigned char* nonce, std::string_view aad, unsigned char* data, std::size_t size,
            const unsigned char* tag);

 private:
  evp_cipher_ctx_st* context_;
};

/// `count` bytes from the cryptographic library's random source.
void randomFill(unsigned char* out, std::size_t count);

}  // namespace vek::artifacts
