// Bytes and files as the artifact code moves them: uninitialised buffers, big-endian length
// fields, reads and writes on unsigned bytes, and the checks every operation makes before it
// truncates an output. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>

#include "foundation/file.h"
#include "foundation/sha256.h"

namespace vek::artifacts {

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
/// Like the above for an output that must be none of the files open as `openFds`: the input
/// first, then the outputs of the same pass already created.
UniqueFd createOutput(const std::filesystem::path& output, std::initializer_list<int> openFds);

/// Copies the rest of `in` to `out` in pieces of up to 4 MiB, adding each piece to `digest` (when
/// given) on a thread of its own while it is written and the next piece is read. With `out` -1
/// nothing is written: the rest of `in` is only digested.
void copyRest(int in, const std::filesystem::path& inPath, int out,
              const std::filesystem::path& outPath, Sha256* digest);

/// Reads the whole of `size` bytes or fewer at end of file, like readFully, on unsigned bytes.
std::size_t readBytes(int fd, unsigned char* buffer, std::size_t size,
                      const std::filesystem::path& path);
/// Writes all `size` bytes.
void writeBytes(int fd, const unsigned char* data, std::size_t size,
                const std::filesystem::path& path);

}  // namespace vek::artifacts
