#include "pipeline/ipa_extraction.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/process_runner.h"

namespace vek::BuildPipeline {

namespace {

namespace fs = std::filesystem;

constexpr double listingTimeout = 60;
constexpr double unpackTimeout = 300;

// Calls `visit` with every line of `text`, without its line break.
template <typename Visit>
bool anyLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (visit(line)) return true;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return false;
}

bool nameIsUnsafe(std::string_view name) {
  if (name.starts_with('/') || name.find('\\') != std::string_view::npos) return true;
  while (true) {
    const std::size_t slash = name.find('/');
    if (name.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) return false;
    name.remove_prefix(slash + 1);
  }
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

}  // namespace

bool ipaEntryNamesAreSafe(std::string_view names) noexcept {
  return !anyLine(names, [](std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    return !line.empty() && nameIsUnsafe(line);
  });
}

bool ipaListingHasSymbolicLink(std::string_view listing) noexcept {
  return anyLine(listing, [](std::string_view line) { return line.starts_with('l'); });
}

fs::path extractIPA(const fs::path& ipa, const fs::path& destination,
                    const std::optional<fs::path>& log, const std::optional<std::string>& job) {
  const ProcessResult names =
      ProcessRunner::run(DeveloperTools::zipEntryNames(ipa).invocation(listingTimeout));
  if (!ipaEntryNamesAreSafe(names.output)) throw VEKError("Unsafe IPA archive path");
  const ProcessResult listing =
      ProcessRunner::run(DeveloperTools::zipLongListing(ipa).invocation(listingTimeout));
  if (ipaListingHasSymbolicLink(listing.output)) {
    throw VEKError("IPAs containing symbolic links are not supported by this VEK version.");
  }

  createPrivateDirectories(destination);
  ProcessRunner::Invocation unpack =
      DeveloperTools::unzip(ipa, destination).invocation(unpackTimeout);
  unpack.log = log;
  unpack.job = job;
  ProcessRunner::run(unpack);

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
