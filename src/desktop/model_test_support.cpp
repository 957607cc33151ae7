#include "desktop/model_test_support.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "foundation/secret_store.h"
#include "relay_client/api.h"

namespace vek::desktop::testing {

void ManualUiThread::post(std::function<void()> function) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(function));
  posted_.notify_all();
}

bool ManualUiThread::runUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    std::function<void()> next;
    {
      // Some conditions (a worker ending) come true without a post, so look again now and then.
      std::unique_lock lock(mutex_);
      auto slice =
          std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
      if (!posted_.wait_until(lock, slice, [&] { return !queue_.empty(); })) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        continue;
      }
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    next();
  }
  return true;
}

PrivateHome::PrivateHome()
    : homeVariable_("HOME", home_.path().c_str()),
      dataVariable_("XDG_DATA_HOME", nullptr),
      stateVariable_("VEK_STATE_DIR", (home_.path() / "state").c_str()),
      managerVariable_("VEK_SERVICE_MANAGER", nullptr),
      toolVariable_("VEK_TOOL_ROOT", (home_.path() / "no-tools").c_str()) {}

void PrivateHome::enrol(const Credentials& credentials) const {
  FileSecretStore store(home_.path() / ".local/share/vek-keychain");
  CredentialStore::save(credentials, store);
}

Credentials sampleCredentials(const std::string& server, const std::string& deviceID) {
  return {server, deviceID, "token", "group-1", "Studio", "Ada's Mac", "key"};
}

JSON inventory(JSON projects, JSON phones) {
  return JSON::object({{"projects", std::move(projects)}, {"phones", std::move(phones)}});
}

JSON projectSummary(const std::string& id, const std::string& name,
                    std::initializer_list<JSON> schemes,
                    std::initializer_list<JSON> configurations) {
  return JSON::object({{"id", id},
                       {"name", name},
                       {"schemes", JSON::array(schemes)},
                       {"configurations", JSON::array(configurations)}});
}

JSON phone(const std::string& udid, const std::string& name, JSON available) {
  return JSON::object({{"udid", udid},
                       {"name", name},
                       {"model", "iPhone 15"},
                       {"os", "17.4"},
                       {"available", std::move(available)}});
}

void heartbeat(const Credentials& credentials, const JSON& inventory) {
  API(credentials)
      .call("POST", "/v1/heartbeat",
            JSON::object({{"inventory", inventory}, {"leases", JSON::array()}}));
}

namespace {

// Claims the caller's next job; returns its id and lease.
std::pair<std::string, std::string> claim(const API& api) {
  JSON answer = api.call("POST", "/v1/claim", JSON::object());
  if (!answer["job"].isObject()) throw std::runtime_error("no job to claim");
  return {answer["job"]["id"].text(), answer["lease"].text()};
}

}  // namespace

void playJob(const Credentials& builder, const Credentials& receiver, const JSON& builderInventory,
             const JSON& receiverInventory, const std::string& builderMessage,
             const std::string& receiverMessage) {
  API builderAPI(builder);
  heartbeat(builder, builderInventory);
  auto [job, lease] = claim(builderAPI);
  builderAPI.call("POST", "/v1/jobs/" + job + "/event", JSON::object({{"message", builderMessage}}),
                  lease);
  vek::testing::TempDir folder;
  vek::testing::writeText(folder / "build.vekenc", "stand-in build");
  builderAPI.upload(job, lease, folder / "build.vekenc");
  builderAPI.call("POST", "/v1/jobs/" + job + "/finish-build",
                  JSON::object({{"manifest", JSON::object({{"scheme", "App"}})}}), lease);

  API receiverAPI(receiver);
  heartbeat(receiver, receiverInventory);
  auto [installing, receiverLease] = claim(receiverAPI);
  receiverAPI.call("POST", "/v1/jobs/" + installing + "/event",
                   JSON::object({{"message", receiverMessage}}), receiverLease);
  receiverAPI.call("POST", "/v1/jobs/" + installing + "/finish", JSON::object(), receiverLease);
}

}  // namespace vek::desktop::testing
