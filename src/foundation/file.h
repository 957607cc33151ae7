// Thin, throwing wrappers over POSIX file descriptors. Every failure becomes a SystemError that
// names the action and the path, so a user reads "Cannot open /x: Permission denied" rather than
// a bare errno. Large files are moved through these in fixed pieces, never whole.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

/// Like readFully, from `offset` on and without moving the file offset (pread(2)), so several
/// readers may share one descriptor.
std::size_t readFullyAt(int fd, char* buffer, std::size_t size, off_t offset,
                        const std::filesystem::path& path);

/// Writes all of `data`, retrying short writes.
void writeFully(int fd, std::string_view data, const std::filesystem::path& path);

/// The whole content of a (small) file.
std::string readFile(const std::filesystem::path& path);

/// The whole content of the regular file at `path` when it holds at most `limit` bytes; absent
/// when it is missing, unreadable, not a regular file or larger. Opened without blocking, so a
/// FIFO put in its place cannot hang the caller. For files another process writes, read as
/// untrusted bytes. Never throws.
std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         std::size_t limit) noexcept;

/// fsync(2), throwing SystemError("Cannot flush", path) on failure.
void syncFile(int fd, const std::filesystem::path& path);

/// Removes a file, ignoring every failure (used on clean-up paths).
void removeQuietly(const std::filesystem::path& path) noexcept;

/// Owns the name of a temporary file: removes it, ignoring every failure, when the owner goes
/// away, unless `keep` was called first (the file has been renamed into place or handed on). The
/// owner neither creates nor opens the file; take ownership only of a name this process created.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) noexcept : path_(std::move(path)) {}
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  const std::filesystem::path& path() const noexcept { return path_; }
  /// Leaves the file where it is when the owner goes away.
  void keep() noexcept { kept_ = true; }

 private:
  std::filesystem::path path_;
  bool kept_ = false;
};

/// The per-user temporary directory: $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();

}  // namespace vek
