// Encrypted builds on disk, one file per upload in DATA/artifacts.
//
// An upload streams into a hidden temporary file in the same directory while its SHA-256 is
// computed; once complete and verified it is flushed to disk and renamed to a fresh final name,
// then the directory is flushed. Writeback of what has arrived is started every few MiB while
// the upload streams, so the final flush waits only for the tail instead of the whole build. A
// name therefore only ever denotes a complete file, and a relay
// killed mid-upload leaves at most a temporary file, which the next start deletes. Final names
// are never reused: a second upload for the same job gets a new name, and the old file is
// deleted only after the database points at the new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "foundation/file.h"
#include "foundation/sha256.h"

namespace vek::relay_server {

class ArtifactStore;

/// One upload in progress. Destroying it without `publish` deletes the temporary file.
class ArtifactWriter {
 public:
  ~ArtifactWriter();
  ArtifactWriter(const ArtifactWriter&) = delete;
  ArtifactWriter& operator=(const ArtifactWriter&) = delete;

  /// Hashes `bytes` and appends them to the temporary file. Throws SystemError.
  void append(std::string_view bytes);
  std::uint64_t size() const noexcept { return size_; }
  /// The lower-case hex SHA-256 of everything appended. Call once, after the last append.
  std::string finishDigest();
  /// Flushes the file to disk and renames it into place under a new name for `jobId`; returns
  /// that name. Blocking (fsync): keep it off I/O threads.
  std::string publish(const std::string& jobId);

 private:
  friend class ArtifactStore;
  ArtifactWriter(const ArtifactStore& store, std::filesystem::path temporary, UniqueFd fd);

  const ArtifactStore& store_;
  std::filesystem::path temporary_;
  UniqueFd fd_;
  Sha256 hash_;
  std::uint64_t size_ = 0;
  std::uint64_t writebackStarted_ = 0;  // bytes already handed to the disk for writing
  bool published_ = false;
};

class ArtifactStore {
 public:
  /// Uses (creating, mode 0700) the directory `directory`.
  explicit ArtifactStore(std::filesystem::path directory);

  /// Starts an upload into a fresh temporary file.
  std::unique_ptr<ArtifactWriter> beginUpload() const;

  /// Opens a published artifact for reading; `size` receives its length. Throws SystemError.
  UniqueFd open(const std::string& name, std::uint64_t& size) const;
  bool exists(const std::string& name) const;
  /// Deletes a published artifact; a missing file is not an error.
  void remove(const std::string& name) const noexcept;

  /// Deletes every temporary file (left by an interrupted upload) and every published file not
  /// named in `keep`, of those last written at least `minimumAge` ago. Returns how many files
  /// were deleted.
  std::size_t removeLeftovers(const std::set<std::string>& keep,
                              std::chrono::seconds minimumAge) const;

  /// How many published artifacts there are and their total size. Throws SystemError.
  struct Usage {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
  };
  Usage usage() const;

  const std::filesystem::path& directory() const noexcept { return directory_; }

 private:
  friend class ArtifactWriter;
  std::filesystem::path pathOf(const std::string& name) const;
  void syncDirectory() const;

  std::filesystem::path directory_;
};

}  // namespace vek::relay_server
