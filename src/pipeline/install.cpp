// The receiver's half of a deployment. Nothing is downloaded before this Mac knows the job is its
// own and the phone is ready, and nothing reaches the phone before the build has proved, step by
// step, that it is the one meant for it: the download matches the digest the relay recorded, every
// record of the artifact authenticates under the group key and this job, the package matches the
// IPA digest it carries, the sealed manifest names this job, this Mac, this phone and this mode,
// and the app passes the same checks as on the builder. Whatever happens, the decrypted and
// unpacked files are removed before the stage returns; only the tools' transcript stays.
#include <filesystem>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/paths.h"
#include "foundation/process_runner.h"
#include "pipeline/app_validation.h"
#include "pipeline/archive_export.h"
#include "pipeline/deployment.h"
#include "pipeline/devices.h"
#include "pipeline/ipa_extraction.h"
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
      : artifact(directory / "Build.vek"),
        package(directory / "Build.vekpkg"),
        ipa(directory / "App.ipa"),
        extracted(directory / "Extracted") {
    removeAll();
  }
  ~ReceivedFiles() { removeAll(); }
  ReceivedFiles(const ReceivedFiles&) = delete;
  ReceivedFiles& operator=(const ReceivedFiles&) = delete;

  const fs::path artifact;
  // The decrypted package, which earlier versions wrote beside the IPA: one of their attempts,
  // killed outright, may have left it here.
  const fs::path package;
  const fs::path ipa;
  const fs::path extracted;

 private:
  void removeAll() const noexcept {
    for (const fs::path* path : {&artifact, &package, &ipa, &extracted}) {
      std::error_code ignored;
      fs::remove_all(*path, ignored);
    }
  }
};

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
  Devices::require(udid);

  jobDirectory(id);
  const fs::path directory = Paths::directory("Jobs/" + id + "/Receive");
  const fs::path log = directory / "install.log";
  const ReceivedFiles files(directory);

  event("Downloading and decrypting build");
  const std::string leaseText(lease);
  api.download(id, leaseText, files.artifact, job["artifact_sha"].text());
  const JSON manifest =
      ArtifactCrypto::decryptAndUnpack(files.artifact, files.ipa, credentials.encryptionKey, id);
  const bool matches = manifest["job_id"].isString() && manifest["job_id"].text() == id &&
                       manifest["receiver_id"].isString() &&
                       manifest["receiver_id"].text() == credentials.deviceID &&
                       manifest["udid"] == spec["udid"] && manifest["mode"] == spec["mode"];
  if (!matches) throw VEKError("Encrypted manifest does not match this deployment");

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
