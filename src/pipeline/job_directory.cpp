// Where a job's files live, and which of them outlive the job. The identifier comes from the
// relay, so it is taken only when it names one directory of its own below "Jobs": anything else
// could share or climb out of another job's folder, whose contents the build and install stages
// remove.
#include <system_error>

#include "foundation/errors.h"
#include "foundation/paths.h"
#include "pipeline/deployment.h"

namespace vek::BuildPipeline {

std::filesystem::path jobDirectory(std::string_view id) {
  if (id.empty() || id == "." || id == ".." || id.find('/') != std::string_view::npos ||
      id.find('\0') != std::string_view::npos) {
    throw VEKError("Invalid job identifier");
  }
  return Paths::directory("Jobs/" + std::string(id));
}

void removeBuildCopies(const std::filesystem::path& directory, bool keepExport) noexcept {
  for (const char* name : {"Build.vekpkg", "Build.vek", "Validation", "DerivedData", "Export"}) {
    if (keepExport && std::string_view(name) == "Export") continue;
    std::error_code ignored;
    std::filesystem::remove_all(directory / name, ignored);
  }
}

}  // namespace vek::BuildPipeline
