// An exclusive advisory lock on a file, held across processes.
//
// The lock is flock(2)'s, which belongs to one open file description: two holders in one process
// exclude each other just as two processes do, and the kernel drops the lock when the descriptor
// closes, also when its process dies, so a crash never leaves it held. The lock file carries no
// content and is never removed: removing it while another process waits on the old inode would
// let a third process lock a new file at the same path, and both would think they hold the lock.
#pragma once

#include <filesystem>

#include "foundation/file.h"

namespace vek {

class ExclusiveFileLock {
 public:
  /// Opens `path` (creating it with mode 0600 when missing; the directory must exist) and waits
  /// until this holder has the exclusive lock. Throws SystemError naming the path when the file
  /// cannot be opened or locked.
  explicit ExclusiveFileLock(const std::filesystem::path& path);
  /// Releases the lock.
  ~ExclusiveFileLock() = default;
  ExclusiveFileLock(ExclusiveFileLock&&) noexcept = default;
  ExclusiveFileLock& operator=(ExclusiveFileLock&&) noexcept = default;

 private:
  UniqueFd fd_;
};

}  // namespace vek
