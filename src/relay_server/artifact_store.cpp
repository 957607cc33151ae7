#include "relay_server/artifact_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "foundation/errors.h"
#include "foundation/random.h"
#include "foundation/text.h"

namespace vek::relay_server {

namespace {

constexpr std::string_view kTemporaryPrefix = ".upload-";
// How much an upload writes before the relay asks the kernel to start writing it to disk.
constexpr std::uint64_t kWritebackStep = 8 << 20;

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

}  // namespace

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
  if (size_ - writebackStarted_ >= kWritebackStep) {
    // Only starts the writes (it does not wait for them); failures surface at the final fsync.
    ::sync_file_range(fd_.get(), static_cast<off_t>(writebackStarted_),
                      static_cast<off_t>(size_ - writebackStarted_), SYNC_FILE_RANGE_WRITE);
    writebackStarted_ = size_;
  }
}

std::string ArtifactWriter::finishDigest() {
  return hash_.hexDigest();
}

std::string ArtifactWriter::publish(const std::string& jobId) {
  syncFile(fd_.get(), temporary_);
  fd_.reset();
  std::string name = jobId + "-" + text::hex(randomBytes(8));
  std::filesystem::path final = store_.pathOf(name);
  if (::rename(temporary_.c_str(), final.c_str()) != 0) {
    throw SystemError("Cannot rename", temporary_, errno);
  }
  published_ = true;
  store_.syncDirectory();
  return name;
}

ArtifactStore::ArtifactStore(std::filesystem::path directory) : directory_(std::move(directory)) {
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    throw SystemError("Cannot create", directory_, errno);
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
                                           std::chrono::seconds minimumAge) const {
  std::size_t removed = 0;
  std::error_code error;
  auto written = std::filesystem::file_time_type::clock::now() - minimumAge;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    std::string name = entry.path().filename().string();
    bool temporary = name.starts_with(kTemporaryPrefix);
    bool orphan = isPublishedName(name) && !keep.contains(name);
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
