// The data work of the two deployment stages, one step per process so that the `run` script can
// time each step from fork to exit and read its peak memory.
//
//   pipeline_bench seal IPA DIR KEY JOB [IPA_SHA]
//                                           the builder's work after the export: the IPA's
//                                           digest, then the package sealed straight into
//                                           DIR/Build.vek with the artifact's digest; prints
//                                           that digest. With IPA_SHA the IPA's digest is
//                                           taken as known: the builder takes it while the
//                                           extraction and validation tools run, which this
//                                           program does not run
//   pipeline_bench open DIR KEY JOB         the receiver's: decrypt DIR/Build.vek and unpack
//                                           the package inside into DIR/App.ipa
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
  if ((arguments.size() == 5 || arguments.size() == 6) && arguments[0] == "seal") {
    const fs::path directory = arguments[2];
    JSON record = manifest(arguments[4]);
    record.set("ipa_sha256",
               arguments.size() == 6 ? arguments[5] : ArtifactCrypto::sha256(arguments[1]));
    std::string digest = ArtifactCrypto::packageAndEncrypt(
        arguments[1], record, directory / "Build.vek", arguments[3], arguments[4]);
    std::printf("%s\n", digest.c_str());
  } else if (arguments.size() == 4 && arguments[0] == "open") {
    const fs::path directory = arguments[1];
    ArtifactCrypto::decryptAndUnpack(directory / "Build.vek", directory / "App.ipa", arguments[2],
                                     arguments[3]);
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
