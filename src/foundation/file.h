// Thin, throwing wrappers over POSIX file descriptors. Every failure becomes a SystemError that
// names the action and the path, so a user reads "Cannot open /x: Permission denied" rather than
// a bare errno. Large files are moved through these in fixed pieces, never whole.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vek {

/// Owns one open file descriptor and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept;
  void reset() noexcept;

 private:
  int fd_ = -1;
};

/// open(2) with O_CLOEXEC added; throws SystemError("Cannot open", path).
UniqueFd openFile(const std::filesystem::path& path, int flags, mode_t mode = 0600);

/// Opens `path` for writing, creating it with mode 0600 and truncating it to length 0. An existing
/// file keeps its inode but gets mode 0600 too, so no output is ever readable by others. Anything
/// that exists and is not a regular file (a device, a FIFO, a directory) is refused before it is
/// opened, so its permissions are never changed.
UniqueFd createPrivateFile(const std::filesystem::path& path);

/// Reads up to `size` bytes, retrying short reads until `size` bytes or end of file. Returns how
/// many bytes were read (fewer than `size` only at end of file).
std::size_t readFully(int fd, char* buffer, std::size_t size, const std::filesystem::path& path);

/// Writes all of `data`, retrying short writes.
void writeFully(int fd, std::string_view data, const std::filesystem::path& path);

/// The whole content of a (small) file.
std::string readFile(const std::filesystem::path& path);

/// fsync(2), throwing SystemError("Cannot flush", path) on failure.
void syncFile(int fd, const std::filesystem::path& path);

/// Removes a file, ignoring every failure (used on clean-up paths).
void removeQuietly(const std::filesystem::path& path) noexcept;

/// The per-user temporary directory: $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();

}  // namespace vek
