// A user's fleet in a test: a real relay and two simulated Macs in one group, each with its agent
// installed through the service manager, as `vek agent install` leaves it on a user's machine.
// The builder has a registered Xcode project; the receiver has an attached iPhone that the
// builder's team has registered, so a deployment from one to the other succeeds unless a test
// switches a fault on. Every service and agent is stopped when the fleet goes away.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cutting_proxy.h"
#include "foundation/json.h"
#include "mac.h"
#include "relay_process.h"

namespace vek::testing {

class Fleet {
 public:
  /// The iPhone attached to the receiver.
  static constexpr const char* udid = "00008110-0000000000000001";
  static constexpr const char* scheme = "Demo";

  /// How the Macs reach the relay: directly, or through a proxy that can cut them off.
  enum class Network { direct, cuttable };

  /// Starts the relay (with `relayArguments` added), forms the group and prepares both Macs.
  /// The agents are not installed yet.
  explicit Fleet(std::vector<std::string> relayArguments = {}, Network network = Network::direct);
  /// Stops both Macs' services and every stand-in tool still running (a tool orphaned by a
  /// killed agent included); a sanitizer finding in an agent's log fails the test.
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  RelayProcess& relay() { return relay_; }
  /// The proxy between the Macs and the relay (only with Network::cuttable).
  CuttingProxy& proxy() { return *proxy_; }
  Mac& builder() { return builder_; }
  Mac& receiver() { return receiver_; }
  const std::string& builderID() const { return builderID_; }
  const std::string& receiverID() const { return receiverID_; }
  const std::string& projectID() const { return projectID_; }

  /// `vek agent install` on `mac`, then waits until its agent reports itself running.
  void installAgent(const Mac& mac);
  void installAgents();

  /// `vek run` arguments that deploy the project to the iPhone.
  std::vector<std::string> runArguments() const;
  /// Waits until the relay knows the receiver's iPhone (the receiver's agent has reported it).
  void waitForPhone();
  /// Queues the deployment, once the relay knows the iPhone, and returns the job id.
  std::string queue();
  /// The job record as `vek job` prints it.
  JSON job(const std::string& id);
  /// Polls `vek job` until `done` holds for the record or `limit` passes; returns the last record.
  JSON waitForJob(const std::string& id, const std::function<bool(const JSON&)>& done,
                  std::chrono::seconds limit = std::chrono::seconds(90));

  /// What the agent of `mac` wrote to standard output / standard error under the service manager.
  static std::string agentLog(const Mac& mac);
  static std::string agentErrors(const Mac& mac);
  /// `vek-sim services` of `mac`'s tool root.
  static JSON services(const Mac& mac);
  /// A process of a stand-in tool: its pid and its command line, arguments joined by spaces.
  using ToolProcess = ProcessEntry;
  /// The running stand-in tools of `mac`'s tool root (the agent itself is not one).
  static std::vector<ToolProcess> toolProcesses(const Mac& mac);
  /// Whether a tool whose command line contains `part` is running on `mac`.
  static bool toolRunning(const Mac& mac, const std::string& part);

 private:
  RelayProcess relay_;
  std::unique_ptr<CuttingProxy> proxy_;
  Mac builder_{Mac::Tools::simulated};
  Mac receiver_{Mac::Tools::simulated};
  std::string builderID_, receiverID_, projectID_;
};

}  // namespace vek::testing
