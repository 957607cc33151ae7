// The builder's half of a deployment. Each stage announces itself, runs, and hands the next stage
// a file in the job's work directory; the relay is asked twice whether the job is still wanted,
// after the archive (the long stage) and before the upload (the one that costs the relay). The
// IPA's digest, which the package's manifest must carry before any of the IPA follows it, is taken
// on a thread of its own while the app is extracted and checked; the package and the artifact are
// then written together in one pass over the IPA, the artifact's digest taken as it is written,
// and the upload sends that digest instead of reading the file again.
#include <algorithm>
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
#include "foundation/task.h"
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

fs::path onlyIPA(const fs::path& exportDirectory) {
  std::vector<fs::path> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(exportDirectory)) {
    if (entry.path().extension() == ".ipa") found.push_back(entry.path());
  }
  if (found.size() != 1) throw VEKError("Expected exactly one exported IPA");
  return found.front();
}

// Whether another attempt at an upload that failed with `error` can succeed. The relay's refusal
// of the build's size, of this Mac's credential, of the lease or of a job that is gone or over
// stays the same however often it is asked; an outage, a relay error or a transfer cut short may
// not.
bool worthRetrying(const std::exception& error) {
  const auto* refusal = dynamic_cast<const RelayRefusal*>(&error);
  if (!refusal) return true;
  switch (refusal->status()) {
    case 401:
    case 403:
    case 404:
    case 409:
    case 413:
      return false;
    default:
      return true;
  }
}

// Leftovers of an earlier attempt at the same job would be taken for this attempt's output.
void removeTree(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

}  // namespace

void uploadArtifact(const API& api, std::string_view job, std::string_view lease,
                    const fs::path& file, std::string_view sha256,
                    std::chrono::milliseconds pause) {
  for (int attempt = 1;; ++attempt) {
    task::checkCancelled();
    try {
      api.upload(job, lease, file, sha256);
      return;
    } catch (const CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      if (attempt >= uploadAttempts || !worthRetrying(error)) throw;
    }
    task::sleepFor(pause);
  }
}

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
  // However the build ends, the copies nobody reads again go; after a failure the export too, so
  // a failed job does not hold the disk until its folder expires.
  struct Ending {
    const fs::path& directory;
    bool succeeded = false;
    ~Ending() { removeBuildCopies(directory, succeeded); }
  } ending{directory};
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
  const std::string artifactSHA = ArtifactCrypto::packageAndEncrypt(
      ipa, manifest, packageFile, artifact, credentials.encryptionKey, id);
  assertActive(api, id, "building");

  event("Uploading encrypted build");
  uploadArtifact(api, id, lease, artifact, artifactSHA);
  api.call("POST", "/v1/jobs/" + pathSegment(id) + "/finish-build",
           JSON::object({{"manifest", manifest}}), std::string(lease));
  ending.succeeded = true;
}

}  // namespace vek::BuildPipeline
