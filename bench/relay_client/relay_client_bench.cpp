// The relay client's side of an artifact transfer, one step per process so that the `run` script
// can time each step from fork to exit and read its peak memory, and can do the same transfers
// with the `curl` command in between.
//
//   relay_client_bench setup ORIGIN TOKEN DIR   a group of two Macs, a job claimed by the builder
//   relay_client_bench extend DIR builder|receiver   renew that Mac's lease with a heartbeat
//   relay_client_bench upload DIR FILE          API::upload as the builder
//   relay_client_bench resume-upload DIR FILE   the builder's resumable upload: the digest, what
//                                               the relay holds (HEAD), the rest (PATCH)
//   relay_client_bench cut-upload DIR FILE OTHER   FILE whole from zero (PUT), then OTHER cut off
//                                               at 90 % and resumed; prints both times as JSON
//   relay_client_bench finish DIR               finish the build; the receiver claims the job
//   relay_client_bench download DIR DEST        API::download as the receiver
//   relay_client_bench cut-download DIR DEST    DEST whole from zero, then cut off at 90 % and
//                                               resumed; prints both times as JSON
//
// A cut is made by a proxy in this process that breaks the connection once it has carried 90 % of
// the build (tests/support/cutting_proxy.h). The resumed transfer, like the one from zero, goes
// straight to the relay: the proxy copies every byte once more, which a real network does not.
// Each cut upload and its restart from zero run on fresh jobs (see `freshJob`), so `state.json`
// names a new job after a cut-upload.
//
// DIR keeps both Macs' secret stores and state.json, which the script reads for the curl runs:
// {"origin", "job", "builder": {"authorization", "lease"}, "receiver": {...}, "sha"}.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "artifacts/artifact_crypto.h"
#include "cutting_proxy.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"
#include "relay_client/api.h"
#include "relay_client/enrollment.h"

namespace {

using namespace vek;
namespace fs = std::filesystem;

JSON readState(const fs::path& directory) {
  return JSON::decode(readFile(directory / "state.json"));
}

void writeState(const fs::path& directory, const JSON& state) {
  UniqueFd fd = createPrivateFile(directory / "state.json");
  writeFully(fd.get(), state.pretty(), directory / "state.json");
}

Credentials credentialsOf(const fs::path& directory, const std::string& role) {
  FileSecretStore store(directory / role);
  return CredentialStore::require(store);
}

JSON phoneInventory() {
  return JSON::object(
      {{"projects", JSON::array()},
       {"phones", JSON::array({JSON::object({{"udid", "BENCH-UDID"}, {"os", "18.2"}})})}});
}

// Creates a job from the builder to the receiver and claims it as the builder; returns the claim.
JSON createAndClaim(const API& builder, const Credentials& builderCredentials,
                    const std::string& receiverId) {
  builder.call("POST", "/v1/jobs",
               JSON::object({{"builder_id", builderCredentials.deviceID},
                             {"receiver_id", receiverId},
                             {"project_id", "bench"},
                             {"scheme", "Bench"},
                             {"configuration", "Release"},
                             {"mode", "adhoc"},
                             {"udid", "BENCH-UDID"}}));
  return builder.call("POST", "/v1/claim", JSON::object());
}

void setup(const std::string& origin, const std::string& token, const fs::path& directory) {
  FileSecretStore builderStore(directory / "builder"), receiverStore(directory / "receiver");
  Credentials builder = Enrollment::create(origin, "Bench", "Builder", token, builderStore);
  Credentials receiver = Enrollment::join(Enrollment::invite(builder), "Receiver", receiverStore);
  API(receiver).call("POST", "/v1/heartbeat",
                     JSON::object({{"inventory", phoneInventory()}, {"leases", JSON::array()}}));
  JSON claim = createAndClaim(API(builder), builder, receiver.deviceID);
  writeState(
      directory,
      JSON::object({{"origin", origin},
                    {"job", claim["job"]["id"]},
                    {"builder", JSON::object({{"authorization", builder.authorization()},
                                              {"lease", claim["lease"]}})},
                    {"receiver", JSON::object({{"authorization", receiver.authorization()}})}}));
}

// Puts a new job, claimed by the builder, in the place of the state's job, which is cancelled with
// its build. An upload that replaces a job's build deletes the old file before it is answered,
// which for a large file takes a good part of a second; on fresh jobs no timed upload pays for
// that, just as a deployment's one upload never does.
JSON freshJob(const fs::path& directory) {
  JSON state = readState(directory);
  Credentials builder = credentialsOf(directory, "builder");
  API api(builder);
  api.call("POST", "/v1/jobs/" + state["job"].text() + "/cancel", JSON::object());
  JSON claim = createAndClaim(api, builder, credentialsOf(directory, "receiver").deviceID);
  JSON role = state["builder"];
  role.set("lease", claim["lease"]);
  state.set("builder", role);
  state.set("job", claim["job"]["id"]);
  writeState(directory, state);
  return state;
}

void extend(const fs::path& directory, const std::string& role) {
  JSON state = readState(directory);
  API(credentialsOf(directory, role))
      .call("POST", "/v1/heartbeat",
            JSON::object(
                {{"inventory", phoneInventory()},
                 {"leases", JSON::array({JSON::object(
                                {{"id", state["job"]}, {"token", state[role]["lease"]}})})}}));
}

void finish(const fs::path& directory) {
  JSON state = readState(directory);
  std::string job = state["job"].text();
  API(credentialsOf(directory, "builder"))
      .call("POST", "/v1/jobs/" + job + "/finish-build",
            JSON::object({{"manifest", JSON::object()}}), state["builder"]["lease"].text());
  JSON claim = API(credentialsOf(directory, "receiver")).call("POST", "/v1/claim", JSON::object());
  JSON receiver = state["receiver"];
  receiver.set("lease", claim["lease"]);
  state.set("receiver", receiver);
  state.set("sha", claim["job"]["artifact_sha"]);
  writeState(directory, state);
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A proxy to the relay that breaks each connection once it has carried 90 % of `file`, and an
// API that goes through it.
struct CutAtNinetyPercent {
  CutAtNinetyPercent(const JSON& state, Credentials credentials, const fs::path& file)
      : proxy(std::stoi(state["origin"].text().substr(state["origin"].text().rfind(':') + 1)),
              fs::file_size(file) / 10 * 9),
        api([&] {
          credentials.server = proxy.origin();
          return API(credentials);
        }()) {}
  testing::CuttingProxy proxy;
  API api;
};

// Waits for the disk to take what the cut transfer wrote, as the `run` script does before every
// timed command, and for the relay to see the cut: the builder and the receiver pause 5 seconds
// before they try again, which is time enough for both.
void settle() {
  ::sync();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void printTimes(double restart, double resume) {
  std::printf("%s\n", JSON::object({{"restart", restart}, {"resume", resume}}).data().c_str());
}

// The builder's resumable upload of `file`: only what the relay does not hold of it.
void resumeUpload(const API& api, const JSON& state, const fs::path& file, const std::string& sha) {
  std::string job = state["job"].text(), lease = state["builder"]["lease"].text();
  std::optional<HeldUpload> held = api.heldUpload(job, lease);
  if (!held) throw std::runtime_error("the relay does not offer resumable uploads");
  bool ours = held->sha256 == sha && held->length == fs::file_size(file);
  api.uploadFrom(job, lease, file, sha, ours ? held->offset : 0);
}

void cutUpload(const fs::path& directory, const fs::path& whole, const fs::path& cutOff) {
  Credentials credentials = credentialsOf(directory, "builder");
  std::string wholeSha = ArtifactCrypto::sha256(whole), cutSha = ArtifactCrypto::sha256(cutOff);
  JSON state = freshJob(directory);
  auto started = Clock::now();
  API(credentials).upload(state["job"].text(), state["builder"]["lease"].text(), whole, wholeSha);
  double restart = secondsSince(started);

  state = freshJob(directory);
  CutAtNinetyPercent cut(state, credentials, cutOff);
  try {
    resumeUpload(cut.api, state, cutOff, cutSha);
    throw std::runtime_error("the upload was not cut off");
  } catch (const TransportError&) {
  }
  settle();
  started = Clock::now();
  resumeUpload(API(credentials), state, cutOff, cutSha);
  printTimes(restart, secondsSince(started));
}

void cutDownload(const fs::path& directory, const fs::path& destination) {
  JSON state = readState(directory);
  Credentials credentials = credentialsOf(directory, "receiver");
  std::string job = state["job"].text(), lease = state["receiver"]["lease"].text();
  std::string sha = state["sha"].text();
  fs::path partial = destination.string() + ".part";
  auto download = [&](const API& api, API::DownloadDigest& digest) {
    if (api.resumeDownload(job, lease, partial, destination, sha, digest) !=
        API::Download::verified) {
      throw std::runtime_error("the download does not match its digest");
    }
  };
  auto started = Clock::now();
  API::DownloadDigest fromZero;
  download(API(credentials), fromZero);
  double restart = secondsSince(started);

  CutAtNinetyPercent cut(state, credentials, destination);
  fs::remove(destination);
  API::DownloadDigest digest;
  try {
    download(cut.api, digest);
    throw std::runtime_error("the download was not cut off");
  } catch (const TransportError&) {
  }
  settle();
  started = Clock::now();
  download(API(credentials), digest);
  printTimes(restart, secondsSince(started));
}

int run(const std::vector<std::string>& arguments) {
  if (arguments.size() == 4 && arguments[0] == "setup") {
    setup(arguments[1], arguments[2], arguments[3]);
  } else if (arguments.size() == 3 && arguments[0] == "extend") {
    extend(arguments[1], arguments[2]);
  } else if (arguments.size() == 3 && arguments[0] == "upload") {
    JSON state = readState(arguments[1]);
    API(credentialsOf(arguments[1], "builder"))
        .upload(state["job"].text(), state["builder"]["lease"].text(), arguments[2]);
  } else if (arguments.size() == 3 && arguments[0] == "resume-upload") {
    JSON state = readState(arguments[1]);
    resumeUpload(API(credentialsOf(arguments[1], "builder")), state, arguments[2],
                 ArtifactCrypto::sha256(arguments[2]));
  } else if (arguments.size() == 4 && arguments[0] == "cut-upload") {
    cutUpload(arguments[1], arguments[2], arguments[3]);
  } else if (arguments.size() == 3 && arguments[0] == "cut-download") {
    cutDownload(arguments[1], arguments[2]);
  } else if (arguments.size() == 2 && arguments[0] == "finish") {
    finish(arguments[1]);
  } else if (arguments.size() == 3 && arguments[0] == "download") {
    JSON state = readState(arguments[1]);
    API(credentialsOf(arguments[1], "receiver"))
        .download(state["job"].text(), state["receiver"]["lease"].text(), arguments[2],
                  state["sha"].text());
  } else {
    std::fputs(
        "usage: relay_client_bench "
        "setup|extend|upload|resume-upload|cut-upload|finish|download|cut-download ...\n",
        stderr);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "relay_client_bench: %s\n", error.what());
    return 1;
  }
}
