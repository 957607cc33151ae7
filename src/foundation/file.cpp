#include "foundation/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "foundation/errors.h"

namespace vek {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

UniqueFd openFile(const std::filesystem::path& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw SystemError("Cannot open", path, errno);
  return UniqueFd(fd);
}

UniqueFd createPrivateFile(const std::filesystem::path& path) {
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    throw SystemError("Cannot write", path, "it is not a regular file", EINVAL);
  }
  UniqueFd fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
    throw SystemError("Cannot write", path, "it is not a regular file", EINVAL);
  }
  if (::fchmod(fd.get(), 0600) != 0) throw SystemError("Cannot set permissions of", path, errno);
  return fd;
}

namespace {

// Calls `readSome(at, want)` (a read(2)-like call) until `size` bytes are in `buffer` or it reports
// the end of the data, retrying when a signal interrupts it. Returns how many bytes arrived.
template <typename ReadSome>
std::size_t fill(char* buffer, std::size_t size, const std::filesystem::path& path,
                 ReadSome readSome) {
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t got = readSome(buffer + filled, size - filled, filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw SystemError("Cannot read", path, errno);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

}  // namespace

std::size_t readFully(int fd, char* buffer, std::size_t size, const std::filesystem::path& path) {
  return fill(buffer, size, path,
              [fd](char* at, std::size_t want, std::size_t) { return ::read(fd, at, want); });
}

std::size_t readFullyAt(int fd, char* buffer, std::size_t size, off_t offset,
                        const std::filesystem::path& path) {
  return fill(buffer, size, path, [fd, offset](char* at, std::size_t want, std::size_t filled) {
    return ::pread(fd, at, want, offset + static_cast<off_t>(filled));
  });
}

void writeFully(int fd, std::string_view data, const std::filesystem::path& path) {
  while (!data.empty()) {
    ssize_t wrote = ::write(fd, data.data(), data.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      throw SystemError("Cannot write", path, errno);
    }
    data.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

std::string readFile(const std::filesystem::path& path) {
  UniqueFd fd = openFile(path, O_RDONLY);
  std::string content;
  char buffer[65536];
  for (;;) {
    std::size_t got = readFully(fd.get(), buffer, sizeof buffer, path);
    content.append(buffer, got);
    if (got < sizeof buffer) return content;
  }
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         std::size_t limit) noexcept {
  try {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string bytes(limit + 1, '\0');
    std::size_t used = readFully(fd.get(), bytes.data(), bytes.size(), path);
    if (used > limit) return std::nullopt;
    bytes.resize(used);
    return bytes;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void syncFile(int fd, const std::filesystem::path& path) {
  if (::fsync(fd) != 0) throw SystemError("Cannot flush", path, errno);
}

void removeQuietly(const std::filesystem::path& path) noexcept {
  if (!path.empty()) ::unlink(path.c_str());
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : path_(std::move(other.path_)), kept_(other.kept_) {
  other.path_.clear();
  other.kept_ = true;
}

TemporaryFile::~TemporaryFile() {
  if (!kept_) removeQuietly(path_);
}

std::filesystem::path temporaryDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir && *tmpdir) return tmpdir;
  return "/tmp";
}

}  // namespace vek
