// Placeholder until the build and install stages land: both refuse, so an agent that claims a job
// reports it as failed instead of pretending to deploy it.
#include "pipeline/deployment.h"

#include "foundation/errors.h"

namespace vek::BuildPipeline {

void build(const JSON&, std::string_view, const Credentials&, const API&, const ProgressCallback&) {
  throw VEKError("Building is not available in this build of VEK.");
}

void install(const JSON&, std::string_view, const Credentials&, const API&,
             const ProgressCallback&) {
  throw VEKError("Installing is not available in this build of VEK.");
}

}  // namespace vek::BuildPipeline
