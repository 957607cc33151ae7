#include "foundation/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "foundation/errors.h"

namespace vek {

ExclusiveFileLock::ExclusiveFileLock(const std::filesystem::path& path)
    : fd_(openFile(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600)) {
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw SystemError("Cannot lock", path, errno);
  }
}

}  // namespace vek
