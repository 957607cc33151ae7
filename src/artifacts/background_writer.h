// Writing a file on a second thread, so the kernel's copy into the page cache overlaps the
// hashing or the cipher of the next piece instead of adding to it. The writer can also digest what
// it writes, so the digest of an output costs the producing thread nothing and needs no second
// read of the file; with no file at all it only digests, so a reader's digest overlaps its reads.
//
// The producer queues a piece and goes on with the next one at once; the writing thread and the
// digesting thread each work through the queue at their own pace, so neither waits for the other
// between pieces. A piece reaches the kernel in writes of at most `writeSlice` bytes: one write of
// a whole 4 MiB record costs several times the processor time of the same bytes in smaller writes,
// because the kernel then fills its page cache with large folios, whose memory is the costliest to
// obtain. Internal to the library.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "foundation/sha256.h"

namespace vek::artifacts {

/// Writes and digests pieces of a file on threads of their own while the caller prepares the next
/// piece. At most two pieces are in flight: `write` queues its piece, then waits until every piece
/// queued before it is written and digested, so a caller alternating between two buffers may
/// refill the older one as soon as `write` returns. A write error surfaces from the next `write`
/// or from `finish`.
class BackgroundWriter {
 public:
  /// The largest single write(2) the writer makes.
  static constexpr std::size_t writeSlice = 256 * 1024;

  /// Writes to `fd`, or writes nothing when `fd` is negative; with a `digest`, a third thread adds
  /// each piece to it while the piece is being written, so the digest covers exactly the bytes
  /// queued, in order, and costs the caller nothing. `digest` must outlive the writer.
  BackgroundWriter(int fd, const std::filesystem::path& path, Sha256* digest = nullptr);
  /// Stops after the pieces being worked on; an error of theirs is dropped.
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  /// Queues `size` bytes at `data`, which must stay untouched until the next call returns.
  void write(const unsigned char* data, std::size_t size);
  /// Waits until everything queued is written and digested; throws the first error.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vek::artifacts
