// Writing a file on a second thread, so the kernel's copy into the page cache overlaps the
// hashing or the cipher of the next piece instead of adding to it. The writer can also digest what
// it writes, so the digest of an output costs the producing thread nothing and needs no second
// read of the file. Internal to the library.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "foundation/sha256.h"

namespace vek::artifacts {

/// Writes pieces of a file on a second thread while the caller prepares the next piece. One
/// piece is in flight at a time: `write` first waits for the previous piece to be written, so a
/// caller alternating between two buffers may refill the older one as soon as `write` returns. A
/// write error surfaces from the next `write` or from `finish`.
class BackgroundWriter {
 public:
  /// Writes to `fd`; with a `digest`, each piece is added to it on the writer's thread before it is
  /// written, so the digest covers exactly the bytes queued, in order. `digest` must outlive the
  /// writer.
  BackgroundWriter(int fd, const std::filesystem::path& path, Sha256* digest = nullptr);
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

}  // namespace vek::artifacts
