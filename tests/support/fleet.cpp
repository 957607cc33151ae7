#include "fleet.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <iterator>
#include <thread>

namespace vek::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string readIfThere(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

Fleet::Fleet(std::vector<std::string> relayArguments, Network network)
    : relay_(std::move(relayArguments)) {
  relay_.start();
  if (network == Network::cuttable) proxy_ = std::make_unique<CuttingProxy>(relay_.port());
  writeText(builder_.home() / "bootstrap", relay_.bootstrapToken() + "\n");
  builderID_ = builder_
                   .ok({"group", "create", "--server", proxy_ ? proxy_->origin() : relay_.origin(),
                        "--bootstrap-file", (builder_.home() / "bootstrap").string(),
                        "--device-name", "Builder"})["device_id"]
                   .text();
  ProgramResult invite = builder_.vek({"group", "invite"});
  writeText(receiver_.home() / "invite.json", invite.out);
  receiverID_ =
      receiver_
          .ok({"group", "join", "--invite-file", (receiver_.home() / "invite.json").string(),
               "--device-name", "Receiver"})["device_id"]
          .text();

  const fs::path project = builder_.home() / "src" / "Demo.xcodeproj";
  vekSim(
      {"project", "new", project.string(), "--bundle-id", "com.example.demo", "--schemes", scheme});
  projectID_ = builder_.ok({"projects", "add", project.string()})["id"].text();
  vekSim({"device", "add", receiver_.toolRoot().string(), "--udid", udid, "--name", "Test iPhone",
          "--os", "18.2"});
  vekSim({"team", "register-device", builder_.toolRoot().string(), udid});
}

Fleet::~Fleet() {
  for (const Mac* mac : {&builder_, &receiver_}) {
    runProgram(sourceDirectory() / "sim/vek-sim",
               {"services", mac->toolRoot().string(), "--stop-all"});
    for (const ToolProcess& tool : toolProcesses(*mac))
      ::kill(tool.pid, SIGKILL);
    // An agent's sanitizer finding lands in its log, which nobody else reads.
    const std::string errors = agentErrors(*mac);
    if (errors.find("Sanitizer") != std::string::npos ||
        errors.find("runtime error") != std::string::npos) {
      ADD_FAILURE() << "an agent reported:\n" << errors;
    }
  }
}

void Fleet::installAgent(const Mac& mac) {
  JSON installed = mac.ok({"agent", "install"});
  ASSERT_EQ(installed["label"].text(), "com.ostrelsoftware.vek.agent");
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (mac.ok({"agent", "status"})["running"].flag()) return;
    std::this_thread::sleep_for(100ms);
  }
  FAIL() << "the agent did not start: " << agentErrors(mac);
}

void Fleet::installAgents() {
  installAgent(builder_);
  installAgent(receiver_);
}

std::vector<std::string> Fleet::runArguments() const {
  return {"run",        "--project", projectID_, "--scheme", scheme,
          "--receiver", receiverID_, "--device", udid};
}

void Fleet::waitForPhone() {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (builder_.ok({"devices"}).data().find(udid) == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "the receiver never reported its phone";
    std::this_thread::sleep_for(200ms);
  }
}

std::string Fleet::queue() {
  waitForPhone();
  return builder_.ok(runArguments())["id"].text();
}

JSON Fleet::job(const std::string& id) {
  return builder_.ok({"job", id});
}

JSON Fleet::waitForJob(const std::string& id, const std::function<bool(const JSON&)>& done,
                       std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  JSON record = job(id);
  while (!done(record) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(250ms);
    record = job(id);
  }
  EXPECT_TRUE(done(record)) << record.pretty();
  return record;
}

std::string Fleet::agentLog(const Mac& mac) {
  return readIfThere(mac.stateDirectory() / "Logs" / "agent.log");
}

std::string Fleet::agentErrors(const Mac& mac) {
  return readIfThere(mac.stateDirectory() / "Logs" / "agent-error.log");
}

JSON Fleet::services(const Mac& mac) {
  return JSON::decode(vekSim({"services", mac.toolRoot().string()}));
}

std::vector<Fleet::ToolProcess> Fleet::toolProcesses(const Mac& mac) {
  const std::string tools = (mac.toolRoot() / "usr" / "bin").string() + "/";
  std::vector<ToolProcess> found = runningProcesses();
  std::erase_if(found, [&](const ToolProcess& process) {
    return process.command.find(tools) == std::string::npos;
  });
  return found;
}

bool Fleet::toolRunning(const Mac& mac, const std::string& part) {
  for (const ToolProcess& tool : toolProcesses(mac)) {
    if (tool.command.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace vek::testing
