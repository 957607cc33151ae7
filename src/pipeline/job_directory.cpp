// Where a job's files live. The identifier comes from the relay, so it is taken only when it names
// one directory of its own below "Jobs": anything else could share or climb out of another job's
// folder, whose contents the build and install stages remove.
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

}  // namespace vek::BuildPipeline
