// The data work of the two deployment stages, one step per process so that the `run` script can
// time each step from fork to exit and read its peak memory.
//
//   pipeline_bench seal IPA DIR KEY JOB     the builder's work after the export: the IPA's
//                                           digest, the package and the encryption with its
//                                           digest, into DIR/Build.vekpkg and DIR/Build.vek;
//                                           prints the artifact's digest
//   pipeline_bench open DIR KEY JOB         the receiver's: decrypt DIR/Build.vek and unpack it
//                                           into DIR/App.ipa
//   pipeline_bench upload STATE FILE SHA    the upload with the digest the encryption gave, as
//                                           the builder of relay_client_bench's STATE directory
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "artifacts/artifact_crypto.h"
#include "foundation/file.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"
#include "relay_client/api.h"

namespace {

using namespace vek;
namespace fs = std::filesystem;

JSON manifest(const std::string& job) {
  return JSON::object({{"bundle_id", "com.example.bench"},
                       {"version", "1.0"},
                       {"build", "1"},
                       {"minimum_os", "16.0"},
                       {"aps_environment", "none"},
                       {"job_id", job},
                       {"receiver_id", "receiver"},
                       {"udid", "BENCH-UDID"},
                       {"mode", "adhoc"}});
}

int run(const std::vector<std::string>& arguments) {
  if (arguments.size() == 5 && arguments[0] == "seal") {
    const fs::path directory = arguments[2];
    ArtifactCrypto::packageWithDigest(arguments[1], manifest(arguments[4]),
                                      directory / "Build.vekpkg");
    std::string digest = ArtifactCrypto::encrypt(
        directory / "Build.vekpkg", directory / "Build.vek", arguments[3], arguments[4]);
    std::printf("%s\n", digest.c_str());
  } else if (arguments.size() == 4 && arguments[0] == "open") {
    const fs::path directory = arguments[1];
    ArtifactCrypto::decrypt(directory / "Build.vek", directory / "Build.vekpkg", arguments[2],
                            arguments[3]);
    ArtifactCrypto::unpack(directory / "Build.vekpkg", directory / "App.ipa");
  } else if (arguments.size() == 4 && arguments[0] == "upload") {
    const fs::path state = arguments[1];
    JSON record = JSON::decode(readFile(state / "state.json"));
    FileSecretStore store(state / "builder");
    API(CredentialStore::require(store))
        .upload(record["job"].text(), record["builder"]["lease"].text(), arguments[2],
                arguments[3]);
  } else {
    std::fputs("usage: pipeline_bench seal|open|upload ...\n", stderr);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "pipeline_bench: %s\n", error.what());
    return 1;
  }
}
