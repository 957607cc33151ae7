#include "agent/job_cleanup.h"

#include <sys/stat.h>

#include <system_error>

#include "foundation/paths.h"
#include "foundation/text.h"
#include "foundation/tool_record.h"
#include "pipeline/deployment.h"

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

namespace {

bool isRealDirectory(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void removeLeftovers(const fs::path& jobs) noexcept {
  std::error_code error;
  fs::directory_iterator entries(jobs, error);
  if (error) return;
  for (auto it = entries; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return;
    const fs::path job = it->path();
    if (!isRealDirectory(job)) continue;
    BuildPipeline::removeBuildCopies(job, false);
    const fs::path receive = job / "Receive";
    if (!isRealDirectory(receive)) continue;
    std::error_code listing;
    for (fs::directory_iterator file(receive, listing);
         !listing && file != fs::directory_iterator(); file.increment(listing)) {
      if (file->path().filename() == "install.log") continue;
      std::error_code removal;
      fs::remove_all(file->path(), removal);
    }
  }
}

fs::path toolRecord() {
  return Paths::root() / "agent-tools.json";
}

void cleanup() noexcept {
  try {
    ToolRecord::endLeftovers(toolRecord());
    const fs::path jobs = Paths::directory("Jobs");
    removeOldEntries(jobs, fs::file_time_type::clock::now());
    removeLeftovers(jobs);
  } catch (...) {
    // A state directory that cannot be made leaves nothing to clean.
  }
}

}  // namespace vek::JobCleanup
