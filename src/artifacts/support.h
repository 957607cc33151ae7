// Pieces the artifact and package code share: OpenSSL contexts that live for a whole file (so
// the key schedule and the algorithm lookup happen once, not per 4 MiB record), the group key,
// and the file checks every operation makes before it truncates an output. Internal to the
// library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/sha256.h"
#include "foundation/file.h"

struct evp_cipher_ctx_st;

namespace vek::artifacts {

inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;

/// 32 key bytes, wiped from memory when the value goes away.
class GroupKey {
 public:
  /// Decodes strict standard Base64; anything that is not exactly 32 bytes fails with
  /// "Invalid group encryption key".
  static GroupKey decode(std::string_view base64);
  GroupKey(GroupKey&& other) noexcept;
  GroupKey(const GroupKey&) = delete;
  GroupKey& operator=(const GroupKey&) = delete;
  ~GroupKey();
  const unsigned char* bytes() const noexcept { return bytes_; }

 private:
  GroupKey() = default;
  unsigned char bytes_[32] = {};
};

/// AES-256-GCM under one key, for the records of one file. Works in place: `data` is replaced by
/// its ciphertext (seal) or plaintext (open).
class GcmCipher {
 public:
  enum class Direction { seal, open };
  GcmCipher(const GroupKey& key, Direction direction);
  ~GcmCipher();
  GcmCipher(const GcmCipher&) = delete;
  GcmCipher& operator=(const GcmCipher&) = delete;

  /// Encrypts `size` bytes at `data` with `nonce` and `aad`, writing the tag to `tag`.
  void seal(const unsigned char* nonce, std::string_view aad, unsigned char* data, std::size_t size,
            unsigned char* tag);
  /// Decrypts and authenticates; throws CryptoError when the tag does not match.
  void open(const unsigned char* nonce, std::string_view aad, unsigned char* data, std::size_t size,
            const unsigned char* tag);

 private:
  evp_cipher_ctx_st* context_;
};

/// `count` bytes from the cryptographic library's random source.
void randomFill(unsigned char* out, std::size_t count);

/// An uninitialised byte buffer (zeroing 4 MiB per file would be wasted work).
inline std::unique_ptr<unsigned char[]> makeBuffer(std::size_t size) {
  return std::make_unique_for_overwrite<unsigned char[]>(size);
}

inline void storeBigEndian32(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

inline std::uint32_t loadBigEndian32(const unsigned char* in) {
  return std::uint32_t{in[0]} << 24 | std::uint32_t{in[1]} << 16 | std::uint32_t{in[2]} << 8 |
         std::uint32_t{in[3]};
}

/// Tells the kernel that `fd` is read once from start to end (larger read-ahead, early reuse of
/// the pages). Only a hint: failures are ignored.
void adviseSequential(int fd) noexcept;

/// Creates `output` (mode 0600, truncated) for writing what is read from `inputFd`. Refuses, with
/// a VEKError and before anything is truncated, an output that already exists as something other
/// than a regular file (a device or a FIFO must never be re-permissioned or removed on failure)
/// or that is the input itself under any name (truncating it would destroy what is being read).
UniqueFd createOutput(const std::filesystem::path& output, int inputFd);

/// Writes pieces of a file on a second thread while the caller prepares the next piece, so the
/// kernel's copy into the page cache overlaps the hashing or the cipher instead of adding to it.
/// One piece is in flight at a time: `write` first waits for the previous piece to be written,
/// so a caller alternating between two buffers may refill the older one as soon as `write`
/// returns. A write error surfaces from the next `write` or from `finish`.
class BackgroundWriter {
 public:
  BackgroundWriter(int fd, const std::filesystem::path& path);
  /// Stops after the piece in flight; an error of that piece is dropped.
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  /// Queues `size` bytes at `data`, which must stay untouched until the next call returns.
  void write(const unsigned char* data, std::size_t size);
  /// Waits until everything queued is written; throws the first write error.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Copies the rest of `in` to `out` in pieces of up to 4 MiB, showing each piece to `inspect`
/// (when given) before it is written.
void copyRest(int in, const std::filesystem::path& inPath, int out,
              const std::filesystem::path& outPath,
              const std::function<void(const unsigned char*, std::size_t)>& inspect);

/// Reads the whole of `size` bytes or fewer at end of file, like readFully, on unsigned bytes.
std::size_t readBytes(int fd, unsigned char* buffer, std::size_t size,
                      const std::filesystem::path& path);
/// Writes all `size` bytes.
void writeBytes(int fd, const unsigned char* data, std::size_t size,
                const std::filesystem::path& path);

}  // namespace vek::artifacts
