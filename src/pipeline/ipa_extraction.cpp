#include "pipeline/ipa_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <vector>

#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/process_runner.h"

namespace vek::BuildPipeline {

namespace {

namespace fs = std::filesystem;

constexpr double unpackTimeout = 300;
// What a file system needs for each entry beyond its bytes, at the least: one block.
constexpr std::uint64_t blockPerEntry = 4096;

const char* const unsafePath = "Unsafe IPA archive path";
const char* const symbolicLinks =
    "IPAs containing symbolic links are not supported by this VEK version.";
const char* const specialFiles =
    "IPAs containing special files (devices, pipes or sockets) are not supported by this VEK "
    "version.";

bool nameIsUnsafe(std::string_view name) {
  if (name.empty() || name.starts_with('/') || name.find('\\') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return true;
  }
  while (true) {
    const std::size_t slash = name.find('/');
    if (name.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) return false;
    name.remove_prefix(slash + 1);
  }
}

enum class FileType { plain, link, special };

// The file type of a Unix mode as zip stores it: the same bits on every system.
FileType fileType(std::uint32_t mode) {
  switch (mode & 0170000) {
    case 0:  // no type stored: a file, or a folder when the name ends in "/"
    case 0100000:
    case 0040000:
      return FileType::plain;
    case 0120000:
      return FileType::link;
    default:
      return FileType::special;
  }
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::string mebibytes(std::uint64_t bytes) {
  return std::to_string(bytes / (1 << 20) + (bytes % (1 << 20) != 0)) + " MiB";
}

// Creates `directory` and its missing parents, each new level with mode 0700.
void createPrivateDirectories(const fs::path& directory) {
  std::vector<fs::path> missing;
  for (fs::path level = directory; !level.empty(); level = level.parent_path()) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(level, error))) break;
    missing.push_back(level);
    if (level == level.parent_path()) break;
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (::mkdir(level->c_str(), 0700) != 0 && errno != EEXIST) {
      throw SystemError("Cannot create directory", *level, errno);
    }
  }
}

// Refuses an IPA that would not fit where it is unpacked: the free space of the nearest folder of
// `destination` that exists, as this user may fill it.
void requireRoom(const IpaContents& contents, fs::path destination) {
  struct statvfs info {};
  while (::statvfs(destination.c_str(), &info) != 0) {
    if (errno != ENOENT || destination == destination.parent_path()) {
      throw SystemError("Cannot measure the free space of", destination, errno);
    }
    destination = destination.parent_path();
  }
  const std::uint64_t free = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  const std::uint64_t needed =
      saturatingAdd(contents.unpackedBytes, contents.entries * blockPerEntry);
  if (needed > free) {
    throw VEKError("The IPA would unpack to " + mebibytes(needed) + ", more than the " +
                   mebibytes(free) + " free in " + destination.string() + ".");
  }
}

// Walks what ditto made without following a link, and refuses anything but folders and regular
// files of one link each: a second link to a file's data could be a file anywhere on this Mac.
// A folder the archive left without owner access gets it back first, so that it can be walked
// here and removed by the clean-up afterwards.
void requireFilesAndFolders(const fs::path& root) {
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    const fs::path directory = std::move(pending.back());
    pending.pop_back();
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0)
      throw SystemError("Cannot inspect", directory, errno);
    if (!S_ISDIR(status.st_mode))
      throw VEKError(S_ISLNK(status.st_mode) ? symbolicLinks : specialFiles);
    if ((status.st_mode & S_IRWXU) != S_IRWXU &&
        ::chmod(directory.c_str(), (status.st_mode & 07777) | S_IRWXU) != 0) {
      throw SystemError("Cannot set permissions of", directory, errno);
    }
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
      struct stat entryStatus {};
      if (::lstat(entry->path().c_str(), &entryStatus) != 0) {
        throw SystemError("Cannot inspect", entry->path(), errno);
      }
      if (S_ISDIR(entryStatus.st_mode)) {
        pending.push_back(entry->path());
      } else if (S_ISLNK(entryStatus.st_mode)) {
        throw VEKError(symbolicLinks);
      } else if (!S_ISREG(entryStatus.st_mode)) {
        throw VEKError(specialFiles);
      } else if (entryStatus.st_nlink != 1) {
        throw VEKError(unsafePath);
      }
    }
    if (error) throw SystemError("Cannot list", directory, error.value());
  }
}

}  // namespace

IpaContents inspectIPA(const ByteReader& read, std::uint64_t size) {
  const IpaArchive archive(read, size);
  IpaContents contents;
  bool link = false;
  bool special = false;
  archive.forEachEntry([&](const IpaEntry& entry) {
    if (nameIsUnsafe(entry.name) || (entry.unicodeName && nameIsUnsafe(*entry.unicodeName))) {
      throw VEKError(unsafePath);
    }
    for (const FileType type : {fileType(entry.mode), fileType(entry.extraMode.value_or(0))}) {
      link = link || type == FileType::link;
      special = special || type == FileType::special;
    }
    ++contents.entries;
    contents.unpackedBytes = saturatingAdd(contents.unpackedBytes, entry.uncompressedSize);
  });
  if (link) throw VEKError(symbolicLinks);
  if (special) throw VEKError(specialFiles);
  if (size <= UINT64_MAX / maxIPAExpansion && contents.unpackedBytes > size * maxIPAExpansion) {
    throw VEKError(
        "The IPA would unpack to more than 100 times its own size, which no real app does.");
  }
  if (contents.unpackedBytes > maxUnpackedIPABytes) {
    throw VEKError("The IPA would unpack to more than 16 GiB, the most VEK unpacks.");
  }
  // Only now, with the total known to be bounded, is any data inflated.
  archive.forEachEntry([&](const IpaEntry& entry) { archive.verifyData(entry); });
  return contents;
}

fs::path extractIPA(const fs::path& ipa, const fs::path& destination,
                    const std::optional<fs::path>& log, const std::optional<std::string>& job) {
  {
    const UniqueFd file = openFile(ipa, O_RDONLY);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throw SystemError("Cannot inspect", ipa, errno);
    if (!S_ISREG(status.st_mode))
      throw SystemError("Cannot read", ipa, "it is not a regular file", EINVAL);
    const IpaContents contents = inspectIPA(
        [&](char* buffer, std::size_t size, std::uint64_t offset) {
          return readFullyAt(file.get(), buffer, size, static_cast<off_t>(offset), ipa);
        },
        static_cast<std::uint64_t>(status.st_size));
    requireRoom(contents, destination);
  }

  createPrivateDirectories(destination);
  ProcessRunner::Invocation unpack =
      DeveloperTools::unzip(ipa, destination).invocation(unpackTimeout);
  unpack.log = log;
  unpack.job = job;
  ProcessRunner::run(unpack);
  requireFilesAndFolders(destination);

  // A missing Payload holds no app either.
  std::vector<fs::path> apps;
  std::error_code error;
  for (fs::directory_iterator entry(destination / "Payload", error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().extension() == ".app") apps.push_back(entry->path());
  }
  if (error && error != std::errc::no_such_file_or_directory) {
    throw SystemError("Cannot list", destination / "Payload", error.value());
  }
  if (apps.size() != 1) throw VEKError("IPA must contain exactly one iOS app");
  return apps.front();
}

}  // namespace vek::BuildPipeline
