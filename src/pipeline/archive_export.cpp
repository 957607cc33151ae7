#include "pipeline/archive_export.h"

#include <algorithm>

#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/task.h"
#include "relay_client/relay_url.h"

namespace vek::BuildPipeline {

namespace {

bool contains(const std::vector<std::string>& values, std::string_view value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

bool hasTeam(const Project& project) {
  return project.teamID && !project.teamID->empty();
}

}  // namespace

std::vector<std::string> archiveArguments(const Project& project, std::string_view scheme,
                                          std::string_view configuration,
                                          const std::filesystem::path& directory) {
  if (!contains(project.schemes, scheme) || !contains(project.configurations, configuration)) {
    throw VEKError(
        "Scheme/configuration is not allowed by this Mac's registered project. Refresh the project "
        "registration.");
  }
  DeveloperTools::ArchiveRequest request;
  request.selection = project.selection();
  request.scheme = std::string(scheme);
  request.configuration = std::string(configuration);
  request.archivePath = directory / "App.xcarchive";
  request.derivedDataPath = directory / "DerivedData";
  request.automaticSigning = project.automaticSigning;
  request.team = project.teamID;
  return DeveloperTools::archive(request).arguments;
}

Plist exportOptions(const Project& project, std::string_view mode) {
  if (mode != "debug" && mode != "adhoc") throw VEKError("Unsupported deployment mode");
  Plist options = Plist::Dictionary{};
  if (project.exportOptionsPath) {
    options = Plist::readFile(*project.exportOptionsPath);
    if (!options.isDictionary()) throw VEKError("Invalid export-options plist");
  }
  options.set("method", mode == "adhoc" ? "release-testing" : "debugging")
      .set("destination", "export")
      .set("signingStyle", project.automaticSigning ? "automatic" : "manual")
      .set("thinning", "<none>")
      .set("manageAppVersionAndBuildNumber", false);
  if (hasTeam(project)) options.set("teamID", *project.teamID);
  return options;
}

void assertActive(const API& api, std::string_view id, std::string_view state) {
  task::checkCancelled();
  JSON job;
  try {
    job = api.call("GET", "/v1/jobs/" + pathSegment(id));
  } catch (const CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    // An outage is no answer: the job goes on, and the heartbeat, once it gets through, still
    // stops a job the relay has ended meanwhile.
    if (relayUnreachable(error)) return;
    throw;
  }
  const JSON& reported = job["state"];
  if (reported.isString() && reported.text() == state) return;
  throw VEKError("Job stopped: " + reported.text());
}

}  // namespace vek::BuildPipeline
