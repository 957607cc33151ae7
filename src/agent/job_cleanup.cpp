#include "agent/job_cleanup.h"

#include <sys/stat.h>

#include <system_error>

#include "foundation/paths.h"
#include "foundation/text.h"

namespace vek::JobCleanup {

namespace fs = std::filesystem;

std::string failureText(std::string_view description) {
  return text::prefixCharacters(text::decodeUTF8Lossy(std::string(description)), failureTextLimit);
}

void removeOldEntries(const fs::path& jobs, fs::file_time_type now) {
  std::error_code error;
  fs::directory_iterator entries(jobs, error);
  if (error) return;
  const auto cutoff = now - retention;
  for (auto it = entries; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return;
    // The entry's own time, never that of what a symbolic link points to; the link alone goes.
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) != 0) continue;
    auto modified = fs::file_time_type::clock::from_sys(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(info.st_mtim.tv_sec) +
            std::chrono::nanoseconds(info.st_mtim.tv_nsec))));
    if (modified >= cutoff) continue;
    std::error_code removal;
    fs::remove_all(it->path(), removal);
  }
}

void cleanup() noexcept {
  try {
    removeOldEntries(Paths::directory("Jobs"), fs::file_time_type::clock::now());
  } catch (...) {
    // A state directory that cannot be made leaves nothing to clean.
  }
}

}  // namespace vek::JobCleanup
