// Test equipment for the app model: a UI thread the test itself drives, a private home for this
// Mac, and the relay requests another member Mac would send.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "desktop/ui_thread.h"
#include "foundation/credentials.h"
#include "foundation/json.h"
#include "test_support.h"

namespace vek::desktop::testing {

/// A UI thread that is the test's own thread: posted functions run inside `runUntil`.
class ManualUiThread : public UiThread {
 public:
  void post(std::function<void()> function) override;
  /// Runs posted functions until `done` holds; false when `timeout` passed first.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

/// A home, data folder and state directory of this process's own, set in the environment for the
/// object's lifetime, so the model's secret store and registry are private to one test. The tool
/// root points at an empty folder, so no service manager of the machine is ever touched.
class PrivateHome {
 public:
  PrivateHome();
  const std::filesystem::path& path() const { return home_.path(); }
  /// Stores credentials in this home's secret store.
  void enrol(const Credentials& credentials) const;

 private:
  vek::testing::TempDir home_;
  vek::testing::ScopedEnvironment homeVariable_;
  vek::testing::ScopedEnvironment dataVariable_;
  vek::testing::ScopedEnvironment stateVariable_;
  vek::testing::ScopedEnvironment managerVariable_;
  vek::testing::ScopedEnvironment toolVariable_;
};

/// Credentials for a relay that has never heard of them.
Credentials sampleCredentials(const std::string& server, const std::string& deviceID = "mac-1");

/// A member Mac's inventory with the given project summaries and phones.
JSON inventory(JSON projects, JSON phones);
/// A project summary as the agent publishes it.
JSON projectSummary(const std::string& id, const std::string& name,
                    std::initializer_list<JSON> schemes,
                    std::initializer_list<JSON> configurations);
/// A phone record.
JSON phone(const std::string& udid, const std::string& name, JSON available);

/// Sends a heartbeat with `inventory` for the Mac of `credentials`.
void heartbeat(const Credentials& credentials, const JSON& inventory);

/// Plays both Macs' part of a queued job through the relay's own routes: the builder claims it,
/// reports `builderMessage`, uploads a small stand-in build and finishes building; the receiver
/// claims it, reports `receiverMessage` and finishes. Each Mac sends a heartbeat with `inventory`
/// first, so both stay online.
void playJob(const Credentials& builder, const Credentials& receiver, const JSON& builderInventory,
             const JSON& receiverInventory, const std::string& builderMessage,
             const std::string& receiverMessage);

}  // namespace vek::desktop::testing
