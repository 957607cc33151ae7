#include "relay_server/artifact_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "foundation/errors.h"
#include "foundation/random.h"
#include "foundation/text.h"

namespace vek::relay_server {

namespace {

constexpr std::string_view kTemporaryPrefix = ".upload-";
constexpr std::string_view kPartialPrefix = ".partial-";
constexpr std::string_view kHolderPrefix = ".holder-";
// How much an upload writes before the relay asks the kernel to start writing it to disk.
constexpr std::uint64_t kWritebackStep = 8 << 20;
// The piece in which a partial upload is read back for its digest.
constexpr std::size_t kDigestPiece = 4 << 20;

// Published names are made here only, from a job id and a random suffix; anything else found in
// the directory (or handed in from a damaged database) is not ours to open.
bool isPublishedName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name.front() == '.') return false;
  for (char c : name) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Starts writing to disk what was appended since `started` once that is a few MiB. This only
// starts the writes (it does not wait for them); failures surface at the final fsync.
void startWriteback(int fd, std::uint64_t size, std::uint64_t& started) {
  if (size - started < kWritebackStep) return;
  ::sync_file_range(fd, static_cast<off_t>(started), static_cast<off_t>(size - started),
                    SYNC_FILE_RANGE_WRITE);
  started = size;
}

std::string partialName(const PartialUpload& upload) {
  return std::string(kPartialPrefix) + upload.jobId + "-" +
         std::to_string(upload.started.time_since_epoch().count()) + "-" +
         std::to_string(upload.length) + "-" + upload.sha;
}

// The upload a partial file's name describes (its size still unknown); absent for any other name.
std::optional<PartialUpload> parsePartialName(std::string_view name) {
  constexpr std::size_t kJob = 36, kSha = 64;
  if (!name.starts_with(kPartialPrefix)) return std::nullopt;
  name.remove_prefix(kPartialPrefix.size());
  if (name.size() < kJob + kSha + 5 || name[kJob] != '-' || name[name.size() - kSha - 1] != '-') {
    return std::nullopt;
  }
  PartialUpload upload;
  upload.jobId = std::string(name.substr(0, kJob));
  upload.sha = std::string(name.substr(name.size() - kSha));
  std::string_view numbers = name.substr(kJob + 1, name.size() - kJob - kSha - 2);
  std::size_t dash = numbers.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  std::optional<std::uint64_t> started = text::parseDecimal(numbers.substr(0, dash));
  std::optional<std::uint64_t> length = text::parseDecimal(numbers.substr(dash + 1));
  bool shaOk = upload.sha.find_first_not_of("0123456789abcdef") == std::string::npos;
  if (!isCanonicalUUID(upload.jobId) || !started || !length || !shaOk ||
      *started > static_cast<std::uint64_t>(INT64_MAX)) {
    return std::nullopt;
  }
  upload.started = std::chrono::sys_seconds(std::chrono::seconds(*started));
  upload.length = *length;
  return upload;
}

std::string fileDigest(const std::filesystem::path& path) {
  UniqueFd fd = openFile(path, O_RDONLY);
  auto piece = std::make_unique_for_overwrite<char[]>(kDigestPiece);
  Sha256 digest;
  std::uint64_t offset = 0;
  while (std::size_t got =
             readFullyAt(fd.get(), piece.get(), kDigestPiece, static_cast<off_t>(offset), path)) {
    digest.update(std::string_view(piece.get(), got));
    offset += got;
  }
  return digest.hexDigest();
}

// Locks `path`, the file that says a relay process appends to a job's partial upload (created
// when missing), for as long as the returned descriptor stays open. Empty when another process
// holds it, or deleted it after holding it: the caller then tries again later.
UniqueFd lockHolder(const std::filesystem::path& path) {
  UniqueFd fd = openFile(path, O_RDWR | O_CREAT, 0600);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK || errno == EINTR) return {};
    throw SystemError("Cannot lock", path, errno);
  }
  struct stat locked {
  }, named{};
  if (::fstat(fd.get(), &locked) != 0 || ::stat(path.c_str(), &named) != 0 ||
      locked.st_ino != named.st_ino || locked.st_dev != named.st_dev) {
    return {};
  }
  return fd;
}

// Deletes a holder file nobody holds; one held by a request is left to a later sweep.
void removeHolder(const std::filesystem::path& path) {
  try {
    if (UniqueFd fd = lockHolder(path)) removeQuietly(path);
  } catch (const SystemError&) {
    // Gone already, or the folder cannot be written now: a later sweep tries again.
  }
}

}  // namespace

// Who holds a job's partial upload, and the digest of its bytes carried between requests.
//
// Relay processes that share the artifact folder cannot ask each other's requests to stop, so
// a request also holds the job's holder file (".holder-<job>") locked with flock(2), which NFS
// carries between machines: a request on another process finds it locked and waits, as for a
// request of its own process that will not let go, until the holder's connection ends. A holder
// file is deleted only by whoever holds its lock, and a lock counts only while the file still
// has its name, so two requests never both hold one.
struct PartialSlot {
  bool taken = false;
  UniqueFd holder;  // the locked holder file while taken
  std::function<void()> interrupt;
  std::string file;                // the partial file `digest` belongs to
  std::unique_ptr<Sha256> digest;  // of its first `digested` bytes
  std::uint64_t digested = 0;
};

struct ArtifactStore::Partials {
  std::mutex mutex;
  std::map<std::string, PartialSlot> slots;  // by job id
};

ArtifactWriter::ArtifactWriter(const ArtifactStore& store, std::filesystem::path temporary,
                               UniqueFd fd)
    : store_(store), temporary_(std::move(temporary)), fd_(std::move(fd)) {}

ArtifactWriter::~ArtifactWriter() {
  if (!published_) removeQuietly(temporary_);
}

void ArtifactWriter::append(std::string_view bytes) {
  hash_.update(bytes);
  writeFully(fd_.get(), bytes, temporary_);
  size_ += bytes.size();
  startWriteback(fd_.get(), size_, writebackStarted_);
}

std::string ArtifactWriter::finishDigest() {
  return hash_.hexDigest();
}

std::string ArtifactWriter::publish(const std::string& jobId) {
  std::string name = store_.publishFile(fd_.get(), temporary_, jobId);
  fd_.reset();
  published_ = true;
  return name;
}

PartialWriter::PartialWriter(const ArtifactStore& store, std::string jobId, PartialSlot& slot)
    : store_(store), jobId_(std::move(jobId)), slot_(slot) {
  upload_ = store_.findPartial(jobId_);
  std::string file = upload_ ? partialName(*upload_) : std::string();
  // The carried digest is of no use when the file changed behind it (a restart of the relay
  // makes a new slot; a file written without one has grown past the digest).
  if (!upload_ || slot_.file != file || slot_.digested != upload_->held) {
    slot_.digest.reset();
    slot_.file = file;
  }
}

PartialWriter::~PartialWriter() {
  std::lock_guard lock(store_.partials_->mutex);
  slot_.holder.reset();
  slot_.taken = false;
  slot_.interrupt = nullptr;
  if (!upload_) store_.partials_->slots.erase(jobId_);
}

std::filesystem::path PartialWriter::path() const {
  return store_.directory_ / partialName(*upload_);
}

void PartialWriter::restart(std::uint64_t length, const std::string& sha,
                            std::chrono::sys_seconds now) {
  discard();
  PartialUpload upload{jobId_, now, length, sha, 0};
  std::filesystem::path file = store_.directory_ / partialName(upload);
  fd_ = openFile(file, O_WRONLY | O_CREAT | O_EXCL, 0600);
  upload_ = std::move(upload);
  writebackStarted_ = 0;
  directoryChanged_ = true;
  slot_.file = partialName(*upload_);
  slot_.digest = std::make_unique<Sha256>();
  slot_.digested = 0;
}

void PartialWriter::append(std::string_view bytes) {
  if (!fd_) {
    fd_ = openFile(path(), O_WRONLY | O_APPEND);
    writebackStarted_ = upload_->held;
  }
  if (slot_.digest) {
    slot_.digest->update(bytes);
    slot_.digested += bytes.size();
  }
  writeFully(fd_.get(), bytes, path());
  upload_->held += bytes.size();
  startWriteback(fd_.get(), upload_->held, writebackStarted_);
}

void PartialWriter::sync() {
  if (fd_) syncFile(fd_.get(), path());
  if (directoryChanged_) store_.syncDirectory();
  directoryChanged_ = false;
}

std::optional<std::string> PartialWriter::publish() {
  std::filesystem::path from = path();
  std::string digest = slot_.digest && slot_.digested == upload_->held ? slot_.digest->hexDigest()
                                                                       : fileDigest(from);
  slot_.digest.reset();
  if (digest != upload_->sha) {
    discard();
    return std::nullopt;
  }
  if (!fd_) fd_ = openFile(from, O_WRONLY | O_APPEND);
  std::string name = store_.publishFile(fd_.get(), from, jobId_);
  fd_.reset();
  upload_.reset();
  return name;
}

void PartialWriter::discard() noexcept {
  fd_.reset();
  if (upload_) removeQuietly(path());
  upload_.reset();
  slot_.digest.reset();
  slot_.file.clear();
}

ArtifactStore::ArtifactStore(std::filesystem::path directory)
    : directory_(std::move(directory)), partials_(std::make_unique<Partials>()) {
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    throw SystemError("Cannot create", directory_, errno);
  }
}

ArtifactStore::~ArtifactStore() = default;

std::string ArtifactStore::publishFile(int fd, const std::filesystem::path& from,
                                       const std::string& jobId) const {
  syncFile(fd, from);
  std::string name = jobId + "-" + text::hex(randomBytes(8));
  std::filesystem::path final = pathOf(name);
  if (::rename(from.c_str(), final.c_str()) != 0) throw SystemError("Cannot rename", from, errno);
  syncDirectory();
  return name;
}

std::unique_ptr<PartialWriter> ArtifactStore::takePartial(const std::string& jobId,
                                                          std::function<void()> interrupt) const {
  std::function<void()> holder;
  PartialSlot* slot = nullptr;
  {
    std::lock_guard lock(partials_->mutex);
    PartialSlot& found = partials_->slots[jobId];
    if (!found.taken) {
      found.taken = true;
      found.interrupt = std::move(interrupt);
      slot = &found;
    } else {
      holder = found.interrupt;
    }
  }
  if (holder) holder();
  if (!slot) return nullptr;
  try {
    UniqueFd locked = lockHolder(directory_ / (std::string(kHolderPrefix) + jobId));
    std::lock_guard lock(partials_->mutex);
    if (!locked) {
      slot->taken = false;
      slot->interrupt = nullptr;
      return nullptr;
    }
    slot->holder = std::move(locked);
  } catch (...) {
    std::lock_guard lock(partials_->mutex);
    partials_->slots.erase(jobId);
    throw;
  }
  try {
    return std::unique_ptr<PartialWriter>(new PartialWriter(*this, jobId, *slot));
  } catch (...) {
    std::lock_guard lock(partials_->mutex);
    partials_->slots.erase(jobId);
    throw;
  }
}

std::optional<PartialUpload> ArtifactStore::findPartial(const std::string& jobId) const {
  std::string prefix = std::string(kPartialPrefix) + jobId + "-";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    std::optional<PartialUpload> upload = parsePartialName(name);
    std::error_code sizeError;
    std::uintmax_t size = entry.file_size(sizeError);
    if (!upload || upload->jobId != jobId || sizeError) continue;
    upload->held = size;
    return upload;
  }
  if (error) throw SystemError("Cannot list", directory_, error.value());
  return std::nullopt;
}

std::vector<PartialUpload> ArtifactStore::partials() const {
  std::vector<PartialUpload> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    std::optional<PartialUpload> upload = parsePartialName(entry.path().filename().string());
    std::error_code sizeError;
    std::uintmax_t size = entry.file_size(sizeError);
    if (!upload || sizeError) continue;
    upload->held = size;
    found.push_back(std::move(*upload));
  }
  if (error) throw SystemError("Cannot list", directory_, error.value());
  return found;
}

void ArtifactStore::removePartial(const std::string& jobId) const noexcept {
  try {
    std::lock_guard lock(partials_->mutex);
    auto slot = partials_->slots.find(jobId);
    if (slot != partials_->slots.end()) {
      if (slot->second.taken) return;
      partials_->slots.erase(slot);
    }
    if (std::optional<PartialUpload> upload = findPartial(jobId)) {
      removeQuietly(directory_ / partialName(*upload));
    }
    removeHolder(directory_ / (std::string(kHolderPrefix) + jobId));
  } catch (const std::exception&) {
    // The directory cannot be listed now; the next sweep tries again.
  }
}

std::unique_ptr<ArtifactWriter> ArtifactStore::beginUpload() const {
  std::filesystem::path temporary =
      directory_ / (std::string(kTemporaryPrefix) + text::hex(randomBytes(12)) + ".tmp");
  UniqueFd fd = openFile(temporary, O_WRONLY | O_CREAT | O_EXCL, 0600);
  return std::unique_ptr<ArtifactWriter>(new ArtifactWriter(*this, temporary, std::move(fd)));
}

std::filesystem::path ArtifactStore::pathOf(const std::string& name) const {
  if (!isPublishedName(name)) {
    throw std::invalid_argument("\"" + name + "\" is not an artifact name.");
  }
  return directory_ / name;
}

UniqueFd ArtifactStore::open(const std::string& name, std::uint64_t& size) const {
  std::filesystem::path path = pathOf(name);
  UniqueFd fd = openFile(path, O_RDONLY);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throw SystemError("Cannot inspect", path, errno);
  size = static_cast<std::uint64_t>(status.st_size);
  return fd;
}

bool ArtifactStore::exists(const std::string& name) const {
  if (!isPublishedName(name)) return false;
  struct stat status {};
  return ::stat(pathOf(name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void ArtifactStore::remove(const std::string& name) const noexcept {
  if (isPublishedName(name)) removeQuietly(directory_ / name);
}

std::size_t ArtifactStore::removeLeftovers(const std::set<std::string>& keep,
                                           const std::set<std::string>& uploading,
                                           std::chrono::seconds minimumAge) const {
  std::size_t removed = 0;
  std::error_code error;
  auto written = std::filesystem::file_time_type::clock::now() - minimumAge;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    std::string name = entry.path().filename().string();
    bool temporary = name.starts_with(kTemporaryPrefix);
    bool orphan = isPublishedName(name) && !keep.contains(name);
    if (name.starts_with(kPartialPrefix)) {
      std::optional<PartialUpload> upload = parsePartialName(name);
      orphan = !upload || !uploading.contains(upload->jobId);
      // What survived the last run (in the page cache, if the machine stayed up) is the offset
      // from now on, so it must survive a crash as well.
      if (!orphan) {
        try {
          syncFile(openFile(entry.path(), O_RDONLY).get(), entry.path());
        } catch (const SystemError&) {
          // Another relay process sharing the folder may have finished or dropped it meanwhile.
          std::error_code gone;
          if (std::filesystem::exists(entry.path(), gone)) throw;
        }
      }
    }
    if (name.starts_with(kHolderPrefix)) {
      if (!uploading.contains(name.substr(kHolderPrefix.size()))) removeHolder(entry.path());
      continue;
    }
    if (!temporary && !orphan) continue;
    std::error_code timeError;
    auto modified = entry.last_write_time(timeError);
    if (timeError) continue;  // deleted while we looked
    if (minimumAge.count() == 0 || modified <= written) {
      removeQuietly(entry.path());
      ++removed;
    }
  }
  if (error) throw SystemError("Cannot list", directory_, error.value());
  return removed;
}

ArtifactStore::Usage ArtifactStore::usage() const {
  Usage usage;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    if (!isPublishedName(entry.path().filename().string())) continue;
    std::error_code sizeError;
    std::uintmax_t size = entry.file_size(sizeError);
    if (sizeError) continue;  // deleted while we looked
    ++usage.files;
    usage.bytes += size;
  }
  if (error) throw SystemError("Cannot list", directory_, error.value());
  return usage;
}

void ArtifactStore::syncDirectory() const {
  UniqueFd fd = openFile(directory_, O_RDONLY | O_DIRECTORY);
  syncFile(fd.get(), directory_);
}

}  // namespace vek::relay_server
