// The relay client's side of an artifact transfer, one step per process so that the `run` script
// can time each step from fork to exit and read its peak memory, and can do the same transfers
// with the `curl` command in between.
//
//   relay_client_bench setup ORIGIN TOKEN DIR   a group of two Macs, a job claimed by the builder
//   relay_client_bench extend DIR builder|receiver   renew that Mac's lease with a heartbeat
//   relay_client_bench upload DIR FILE          API::upload as the builder
//   relay_client_bench finish DIR               finish the build; the receiver claims the job
//   relay_client_bench download DIR DEST        API::download as the receiver
//
// DIR keeps both Macs' secret stores and state.json, which the script reads for the curl runs:
// {"origin", "job", "builder": {"authorization", "lease"}, "receiver": {...}, "sha"}.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

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

void setup(const std::string& origin, const std::string& token, const fs::path& directory) {
  FileSecretStore builderStore(directory / "builder"), receiverStore(directory / "receiver");
  Credentials builder = Enrollment::create(origin, "Bench", "Builder", token, builderStore);
  Credentials receiver = Enrollment::join(Enrollment::invite(builder), "Receiver", receiverStore);
  API(receiver).call("POST", "/v1/heartbeat",
                     JSON::object({{"inventory", phoneInventory()}, {"leases", JSON::array()}}));
  API api(builder);
  JSON job = api.call("POST", "/v1/jobs",
                      JSON::object({{"builder_id", builder.deviceID},
                                    {"receiver_id", receiver.deviceID},
                                    {"project_id", "bench"},
                                    {"scheme", "Bench"},
                                    {"configuration", "Release"},
                                    {"mode", "adhoc"},
                                    {"udid", "BENCH-UDID"}}));
  JSON claim = api.call("POST", "/v1/claim", JSON::object());
  writeState(
      directory,
      JSON::object({{"origin", origin},
                    {"job", job["id"]},
                    {"builder", JSON::object({{"authorization", builder.authorization()},
                                              {"lease", claim["lease"]}})},
                    {"receiver", JSON::object({{"authorization", receiver.authorization()}})}}));
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

int run(const std::vector<std::string>& arguments) {
  if (arguments.size() == 4 && arguments[0] == "setup") {
    setup(arguments[1], arguments[2], arguments[3]);
  } else if (arguments.size() == 3 && arguments[0] == "extend") {
    extend(arguments[1], arguments[2]);
  } else if (arguments.size() == 3 && arguments[0] == "upload") {
    JSON state = readState(arguments[1]);
    API(credentialsOf(arguments[1], "builder"))
        .upload(state["job"].text(), state["builder"]["lease"].text(), arguments[2]);
  } else if (arguments.size() == 2 && arguments[0] == "finish") {
    finish(arguments[1]);
  } else if (arguments.size() == 3 && arguments[0] == "download") {
    JSON state = readState(arguments[1]);
    API(credentialsOf(arguments[1], "receiver"))
        .download(state["job"].text(), state["receiver"]["lease"].text(), arguments[2],
                  state["sha"].text());
  } else {
    std::fputs("usage: relay_client_bench setup|extend|upload|finish|download ...\n", stderr);
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
