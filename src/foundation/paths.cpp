#include "foundation/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/random.h"
#include "foundation/text.h"

namespace vek::Paths {

namespace {

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// Creates `path` and its missing ancestors, each new one with mode 0700 exactly (whatever the
// umask). Existing levels are left as they are; a symbolic link to a directory counts as one.
void createLevels(const std::filesystem::path& path) {
  std::filesystem::path level;
  for (const auto& component : path) {
    level /= component;
    if (component.empty()) continue;  // the empty last element of a path ending in "/"
    struct stat status;
    if (::stat(level.c_str(), &status) == 0) {
      if (!S_ISDIR(status.st_mode)) throw SystemError("Cannot create directory", level, ENOTDIR);
      continue;
    }
    if (errno != ENOENT) throw SystemError("Cannot create directory", level, errno);
    if (::mkdir(level.c_str(), 0700) != 0) {
      int error = errno;
      // Another process may have made it in between; that is as good.
      if (error == EEXIST && ::stat(level.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        continue;
      }
      throw SystemError("Cannot create directory", level, error);
    }
    if (::chmod(level.c_str(), 0700) != 0) {
      throw SystemError("Cannot set permissions of", level, errno);
    }
  }
}

}  // namespace

std::filesystem::path home() {
  if (const char* home = environment("HOME")) return home;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
  if (rc == 0 && found && found->pw_dir && *found->pw_dir) return found->pw_dir;
  throw SystemError("Cannot find the home directory", rc ? rc : ENOENT);
}

std::filesystem::path root() {
  if (const char* state = std::getenv("VEK_STATE_DIR")) {
    return *state ? std::filesystem::path(state) : std::filesystem::path(".");
  }
  return dataHome() / "VEK";
}

std::filesystem::path dataHome() {
  // A relative XDG_DATA_HOME is invalid by the XDG rules and ignored like an unset one.
  const char* data = environment("XDG_DATA_HOME");
  if (data && *data == '/') return data;
  return home() / ".local" / "share";
}

std::filesystem::path directory(std::string_view name) {
  std::filesystem::path path = root();
  // Appended component by component: std::filesystem's `/` would let an absolute name replace
  // the state directory instead of going below it.
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = std::min(name.find('/', start), name.size());
    std::string_view component = name.substr(start, end - start);
    if (component == "." || component == "..") {
      throw SystemError("Cannot create directory", path / std::string(name), EINVAL);
    }
    if (!component.empty()) path /= std::string(component);
    start = end + 1;
  }
  createLevels(path);
  return path;
}

void atomicWrite(std::string_view bytes, const std::filesystem::path& path) {
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  // Hidden, unique, and recognisably ours should a crash ever leave one behind.
  std::filesystem::path temporary = folder / ("." + path.filename().string().substr(0, 100) + "." +
                                              text::hex(randomBytes(6)) + ".tmp");
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw SystemError("Cannot write", path, errno);
  UniqueFd file(fd);
  TemporaryFile owner(temporary);

  // The mode is set before the rename, so the new content is never visible with other bits.
  if (::fchmod(fd, 0600) != 0) throw SystemError("Cannot set permissions of", path, errno);
  writeFully(fd, bytes, path);
  syncFile(fd, path);
  if (::close(file.release()) != 0) throw SystemError("Cannot write", path, errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    throw SystemError("Cannot replace", path, errno);
  }
  owner.keep();

  // Makes the rename itself durable. Some file systems cannot flush a directory (EINVAL); the
  // replacement has still happened there.
  UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory && ::fsync(directory.get()) != 0 && errno != EINVAL && errno != ENOTSUP) {
    throw SystemError("Cannot flush", folder, errno);
  }
}

}  // namespace vek::Paths
