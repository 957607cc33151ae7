// The receiver's half of a deployment. Nothing is downloaded before this Mac knows the job is its
// own and the phone is ready, and nothing reaches the phone before the build has proved, step by
// step, that it is the one meant for it: the download matches the digest the relay recorded, every
// record of the artifact authenticates under the group key and this job, the package matches the
// IPA digest it carries, the sealed manifest names this job, this Mac, this phone and this mode,
// and the app passes the same checks as on the builder. A job this Mac has taken before, or a
// build sealed longer ago than a relay keeps one, is refused: both are what a relay replaying an
// old deployment would offer. Whatever happens, the decrypted and unpacked files are removed
// before the stage returns; only the tools' transcript stays.
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/paths.h"
#include "foundation/process_runner.h"
#include "foundation/text.h"
#include "pipeline/app_validation.h"
#include "pipeline/archive_export.h"
#include "pipeline/deployment.h"
#include "pipeline/devices.h"
#include "pipeline/ipa_extraction.h"
#include "pipeline/received_jobs.h"
#include "relay_client/relay_url.h"

namespace vek::BuildPipeline {

namespace fs = std::filesystem;

namespace {

constexpr double installTimeout = 600;
constexpr double launchTimeout = 90;

// Removes the build's files from the receive directory when the stage ends, however it ends, and
// also when it starts: an attempt that was killed outright left its files behind, and unpacking
// into a folder that still holds an older app would check and install a mixture of the two.
class ReceivedFiles {
 public:
  explicit ReceivedFiles(const fs::path& directory)
      : partial(directory / "Build.vek.part"),
        artifact(directory / "Build.vek"),
        package(directory / "Build.vekpkg"),
        ipa(directory / "App.ipa"),
        extracted(directory / "Extracted") {
    removeAll();
  }
  ~ReceivedFiles() { removeAll(); }
  ReceivedFiles(const ReceivedFiles&) = delete;
  ReceivedFiles& operator=(const ReceivedFiles&) = delete;

  const fs::path partial;  // the download so far, kept between its attempts
  const fs::path artifact;
  const fs::path package;
  const fs::path ipa;
  const fs::path extracted;

 private:
  void removeAll() const noexcept {
    for (const fs::path* path : {&partial, &artifact, &package, &ipa, &extracted}) {
      std::error_code ignored;
      fs::remove_all(*path, ignored);
    }
  }
};

// Refuses a build sealed longer ago than a relay keeps one. A manifest without "built_at" comes
// from a builder that did not seal the time yet and is taken as it is.
void requireRecentSeal(const JSON& builtAt) {
  if (builtAt.isNull()) return;
  if (!builtAt.isNumber() || !std::isfinite(builtAt.doubleValue())) {
    throw VEKError("Encrypted manifest does not match this deployment");
  }
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const auto lifetime = std::chrono::duration_cast<std::chrono::seconds>(sealedBuildLifetime);
  if (static_cast<double>(now.count()) - builtAt.doubleValue() >
      static_cast<double>(lifetime.count())) {
    throw VEKError("This build was sealed more than " +
                   text::duration(static_cast<double>(lifetime.count())) +
                   " ago, longer than a relay keeps a build; it may be a replay of an old "
                   "deployment, so it is refused.");
  }
}

void run(ProcessRunner::Invocation invocation, const fs::path& log, const std::string& job) {
  invocation.log = log;
  invocation.job = job;
  ProcessRunner::run(invocation);
}

}  // namespace

void install(const JSON& job, std::string_view lease, const Credentials& credentials,
             const API& api, const ProgressCallback& event) {
  const std::string& id = job["id"].text();
  const JSON& spec = job["spec"];
  const std::string& udid = spec["udid"].text();
  if (job["receiver_id"].text() != credentials.deviceID) {
    throw VEKError("Job is addressed to another Mac");
  }
  admitReceivedJob(id);
  Devices::require(udid);

  jobDirectory(id);
  const fs::path directory = Paths::directory("Jobs/" + id + "/Receive");
  const fs::path log = directory / "install.log";
  const ReceivedFiles files(directory);

  event(std::string(downloadingMessage));
  const std::string leaseText(lease);
  downloadArtifact(api, id, leaseText, files.partial, files.artifact, job["artifact_sha"].text(),
                   event);
  const JSON manifest = ArtifactCrypto::decryptAndUnpack(files.artifact, files.package, files.ipa,
                                                         credentials.encryptionKey, id);
  const bool matches = manifest["job_id"].isString() && manifest["job_id"].text() == id &&
                       manifest["receiver_id"].isString() &&
                       manifest["receiver_id"].text() == credentials.deviceID &&
                       manifest["udid"] == spec["udid"] && manifest["mode"] == spec["mode"];
  if (!matches) throw VEKError("Encrypted manifest does not match this deployment");
  requireRecentSeal(manifest["built_at"]);

  const fs::path app = extractIPA(files.ipa, files.extracted, log, id);
  const JSON device = Devices::require(udid);
  const JSON summary = validateApp(app, udid, spec["mode"].text(), device["os"].text(), log, id);
  if (summary["bundle_id"] != manifest["bundle_id"]) {
    throw VEKError("App bundle ID does not match the encrypted manifest");
  }
  const std::string& bundleID = summary["bundle_id"].text();

  assertActive(api, id, "installing");
  event("Installing on " + device["name"].text() + ". Keep the device unlocked.");
  run(DeveloperTools::installApp(udid, app).invocation(installTimeout), log, id);

  assertActive(api, id, "installing");
  event("Launching " + bundleID);
  run(DeveloperTools::launchApp(udid, bundleID).invocation(launchTimeout), log, id);

  api.call("POST", "/v1/jobs/" + pathSegment(id) + "/finish", JSON::object(), leaseText);
}

}  // namespace vek::BuildPipeline
