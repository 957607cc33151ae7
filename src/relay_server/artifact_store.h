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
//
// A resumable upload keeps its bytes in a hidden partial file whose name records the job, the
// second the upload began and the build it declared (".partial-<job>-<started>-<length>-<sha>"),
// so the file alone holds everything the relay must remember across a restart, and its size is
// the upload's offset. Only one request appends to a job's partial file at a time: a newer request
// for the job asks the one holding it to stop (its client has given up on that connection) and
// waits for it to let go. While the relay runs, the SHA-256 of a partial file is carried from one
// request to the next, so the build is read back from disk only when the relay restarted during
// its upload. A complete partial upload is verified, flushed and renamed into place like any
// other upload.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

/// A resumable upload, as its file describes it.
struct PartialUpload {
  std::string jobId;
  std::chrono::sys_seconds started{};
  std::uint64_t length = 0;  // the declared size of the whole build
  std::string sha;           // its declared SHA-256, lower-case hex
  std::uint64_t held = 0;    // bytes on disk: the offset
};

struct PartialSlot;

/// The one request that may change a job's partial upload. Destroying it lets the next one in.
/// Its calls block on the disk at most as long as a write does, except where noted.
class PartialWriter {
 public:
  ~PartialWriter();
  PartialWriter(const PartialWriter&) = delete;
  PartialWriter& operator=(const PartialWriter&) = delete;

  /// The job's partial upload; absent when there is none.
  const std::optional<PartialUpload>& upload() const noexcept { return upload_; }
  /// Discards the job's partial upload, if any, and starts an empty one for a build of `length`
  /// bytes whose SHA-256 is `sha`. Throws SystemError.
  void restart(std::uint64_t length, const std::string& sha, std::chrono::sys_seconds now);
  /// Appends to the partial upload. Precondition: there is one, with room for `bytes`. Throws
  /// SystemError.
  void append(std::string_view bytes);
  /// Flushes what arrived to disk, so that the offset reported from now on survives a crash.
  /// Blocking (fsync): keep it off I/O threads.
  void sync();
  /// Once every declared byte arrived: when the file's SHA-256 is the declared one, flushes it
  /// and renames it into place under a new name for the job, which it returns; otherwise
  /// discards it and returns nothing. Blocking (fsync, and reading the whole file when the relay
  /// restarted during the upload): keep it off I/O threads.
  std::optional<std::string> publish();
  /// Deletes the partial upload.
  void discard() noexcept;

 private:
  friend class ArtifactStore;
  PartialWriter(const ArtifactStore& store, std::string jobId, PartialSlot& slot);
  std::filesystem::path path() const;

  const ArtifactStore& store_;
  std::string jobId_;
  PartialSlot& slot_;
  std::optional<PartialUpload> upload_;
  UniqueFd fd_;
  std::uint64_t writebackStarted_ = 0;
  bool directoryChanged_ = false;
};

class ArtifactStore {
 public:
  /// Uses (creating, mode 0700) the directory `directory`.
  explicit ArtifactStore(std::filesystem::path directory);
  ~ArtifactStore();

  /// Starts an upload into a fresh temporary file.
  std::unique_ptr<ArtifactWriter> beginUpload() const;

  /// The job's partial upload, for the one request that may change it. Null when another request
  /// holds it; that one is then asked to let go by a call of the `interrupt` it registered (from
  /// this thread, at every such attempt), and the caller tries again shortly. Throws SystemError.
  std::unique_ptr<PartialWriter> takePartial(const std::string& jobId,
                                             std::function<void()> interrupt) const;
  /// Every partial upload there is. Throws SystemError.
  std::vector<PartialUpload> partials() const;
  /// Deletes the job's partial upload, unless a request holds it now (whoever deletes it then
  /// comes back later).
  void removePartial(const std::string& jobId) const noexcept;

  /// Opens a published artifact for reading; `size` receives its length. Throws SystemError.
  UniqueFd open(const std::string& name, std::uint64_t& size) const;
  bool exists(const std::string& name) const;
  /// Deletes a published artifact; a missing file is not an error.
  void remove(const std::string& name) const noexcept;

  /// Deletes every temporary file (left by an interrupted upload), every published file not
  /// named in `keep` and every partial upload whose job is not in `uploading`, of those last
  /// written at least `minimumAge` ago, and flushes the partial uploads it keeps to disk. Returns
  /// how many files were deleted.
  std::size_t removeLeftovers(const std::set<std::string>& keep,
                              const std::set<std::string>& uploading,
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
  friend class PartialWriter;
  struct Partials;
  std::filesystem::path pathOf(const std::string& name) const;
  void syncDirectory() const;
  /// Flushes `fd` (the file at `from`), renames it to a new published name for `jobId` and
  /// flushes the directory; returns the name.
  std::string publishFile(int fd, const std::filesystem::path& from,
                          const std::string& jobId) const;
  std::optional<PartialUpload> findPartial(const std::string& jobId) const;

  std::filesystem::path directory_;
  std::unique_ptr<Partials> partials_;  // who holds which job's partial upload
};

}  // namespace vek::relay_server
