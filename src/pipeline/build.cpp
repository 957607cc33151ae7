// The builder's half of a deployment. Each stage announces itself, runs, and hands the next stage
// a file in the job's work directory; the relay is asked twice whether the job is still wanted,
// after the archive (the long stage) and before the upload (the one that costs the relay). The
// IPA's digest, which the package's manifest must carry before any of the IPA follows it, is taken
// on a thread of its own while the app is extracted and checked; the package and the artifact are
// then written together in one pass over the IPA, the artifact's digest taken as it is written,
// and the upload sends that digest instead of reading the file again.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "artifacts/artifact_crypto.h"
#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/paths.h"
#include "foundation/process_runner.h"
#include "pipeline/app_validation.h"
#include "pipeline/archive_export.h"
#include "pipeline/deployment.h"
#include "pipeline/ipa_extraction.h"
#include "projects/project_store.h"
#include "relay_client/relay_url.h"

namespace vek::BuildPipeline {

namespace fs = std::filesystem;

namespace {

constexpr double archiveTimeout = 7200;
constexpr double exportTimeout = 1800;

Project registeredProject(const std::string& id) {
  for (Project& project : ProjectStore::load()) {
    if (project.id == id) return std::move(project);
  }
  throw VEKError("Project is no longer registered on this Mac");
}

// An export that made no folder at all exported no IPA either.
fs::path onlyIPA(const fs::path& exportDirectory) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator entry(exportDirectory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->path().extension() == ".ipa") found.push_back(entry->path());
  }
  if (error && error != std::errc::no_such_file_or_directory &&
      error != std::errc::not_a_directory) {
    throw SystemError("Cannot list", exportDirectory, error.value());
  }
  if (found.size() != 1) throw VEKError("Expected exactly one exported IPA");
  return found.front();
}

// Leftovers of an earlier attempt at the same job would be taken for this attempt's output.
void removeTree(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

}  // namespace

void build(const JSON& job, std::string_view lease, const Credentials& credentials, const API& api,
           const ProgressCallback& event) {
  const std::string& id = job["id"].text();
  const JSON& spec = job["spec"];
  const std::string& mode = spec["mode"].text();
  const Project project = registeredProject(spec["project_id"].text());

  const fs::path directory = jobDirectory(id);
  const fs::path log = directory / "build.log";
  const fs::path optionsFile = directory / "ExportOptions.plist";
  const fs::path archive = directory / "App.xcarchive";
  const fs::path exportDirectory = directory / "Export";
  const fs::path validation = directory / "Validation";
  const fs::path packageFile = directory / "Build.vekpkg";
  const fs::path artifact = directory / "Build.vek";
  Paths::atomicWrite(exportOptions(project, mode).xml(), optionsFile);

  event("Archiving " + project.name + " \u00b7 " + spec["configuration"].text());
  ProcessRunner::Invocation archiveRun{
      .executable = std::string(DeveloperTools::xcrun),
      .arguments =
          archiveArguments(project, spec["scheme"].text(), spec["configuration"].text(), directory),
      .cwd = fs::path(project.path).parent_path(),
      .log = log,
      .timeout = archiveTimeout,
      .job = id,
  };
  ProcessRunner::run(archiveRun);
  assertActive(api, id, "building");

  event(mode == "adhoc" ? "Exporting Ad Hoc build" : "Exporting Debug build");
  removeTree(exportDirectory);
  ProcessRunner::Invocation exportRun =
      DeveloperTools::exportArchive(archive, exportDirectory, optionsFile, project.automaticSigning)
          .invocation(exportTimeout);
  exportRun.log = log;
  exportRun.job = id;
  ProcessRunner::run(exportRun);
  const fs::path ipa = onlyIPA(exportDirectory);
  // Whatever way this stage ends, the future's destructor waits for the thread.
  std::future<std::string> ipaSHA =
      std::async(std::launch::async, [ipa] { return ArtifactCrypto::sha256(ipa); });

  event("Checking signature, device provisioning, and APNs environment");
  removeTree(validation);
  const fs::path app = extractIPA(ipa, validation, log, id);
  JSON manifest = validateApp(app, spec["udid"].text(), mode, spec["phone"]["os"].text(), log, id);
  manifest.set("job_id", id);
  manifest.set("receiver_id", job["receiver_id"]);
  manifest.set("udid", spec["udid"]);
  manifest.set("mode", spec["mode"]);

  event("Encrypting build for your group");
  manifest.set("ipa_sha256", ipaSHA.get());
  // The receiver refuses a build sealed longer ago than a relay keeps one: a replayed recording.
  manifest.set("built_at",
               static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count()));
  const std::string artifactSHA = ArtifactCrypto::packageAndEncrypt(
      ipa, manifest, packageFile, artifact, credentials.encryptionKey, id);
  assertActive(api, id, "building");

  event(std::string(uploadingMessage));
  uploadArtifact(api, id, lease, artifact, artifactSHA, event);
  api.call("POST", "/v1/jobs/" + pathSegment(id) + "/finish-build",
           JSON::object({{"manifest", manifest}}), std::string(lease));

  for (const fs::path& path : {packageFile, artifact, validation, directory / "DerivedData"}) {
    removeTree(path);
  }
}

}  // namespace vek::BuildPipeline
