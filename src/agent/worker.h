// The agent's worker: the loop that keeps this Mac in touch with its relay, and the one job it
// runs.
//
// Every cycle the loop refreshes the phone inventory when it is more than 15 seconds old, loads
// the registered projects, and sends the heartbeat with the lease of the job it holds. It reads
// the relay's view of that job from the answer and, when the relay has ended it (cancelled by a
// user, failed by a lapsed lease), stops the job's tools and its task. When idle it claims the
// next job; `start` accepts only a job addressed to this Mac and runs its build or install on a
// thread of its own, so a long archive or encryption never delays a heartbeat. After a success
// the loop pauses 5 seconds; after the n-th failure in a row min(5n, 30) seconds, with one line on
// standard error per streak. A relay answer naming a revoked credential ends the agent.
//
// Keeping a job through an outage: while a job is held the pause after a failure stays at 5
// seconds, so an outage at least 5 seconds shorter than the lease is survived and the lease is
// renewed as soon as the relay answers again. The worker keeps the time its lease was last
// renewed (the claim, then every heartbeat that found the job still running); a failure report
// that cannot reach the relay is tried again every 5 seconds for as long as that lease lasts, so
// the job's own reason, not a lapsed lease, is what its user reads. Heartbeat and claim answers
// are read only up to the size a relay can legitimately send.
//
// The idle claim asks the relay to hold it for the rest of the 5-second cycle, so a job queued
// meanwhile is handed over the moment it exists. A claim the relay held to its end has taken the
// place of the pause, and the next heartbeat follows at once; any other answer (a job, or an
// answer that came sooner, as an older relay gives it at once) is followed by the usual pause.
// Either way one heartbeat and one claim go out per cycle. When a job ends during the pause and
// the relay has been seen to hold claims, the claim of the next cycle goes out at once and is held
// for the rest of the pause, so a job queued behind the last one starts without waiting for the
// next heartbeat; once a relay has answered a claim at once, the pause runs to its end as before.
//
// Ownership: one mutex guards every member the loop and the job's thread share (the running job,
// its task, the keep-awake, the stop flag). Neither side holds it across a request, a pipeline or
// a pause, so the two meet only for the moments they read or change that state. The job's thread
// cannot destroy its own task, so `finished` hands the task to the loop, which joins it.
//
// Stopping: `stop` (a signal, a service manager stopping the agent) cuts the loop's pause and any
// request in flight short; the loop then ends normally, after the job's tools are
// stopped and its thread has ended, and releases the agent lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "agent/agent_lock.h"
#include "agent/heartbeat.h"
#include "agent/keep_awake.h"
#include "foundation/credentials.h"
#include "foundation/json.h"
#include "foundation/task.h"
#include "pipeline/deployment.h"
#include "relay_client/api.h"

namespace vek {

class Worker {
 public:
  /// The loop's timing and the operations it calls, with the agent's own values by default.
  /// Tests shorten the pauses or replace the tools; the product never changes them.
  struct Settings {
    std::chrono::milliseconds cycle{5000};
    std::chrono::milliseconds backoffStep{5000};
    std::chrono::milliseconds backoffCap{30000};
    std::chrono::milliseconds inventoryInterval{15000};
    /// Lists the attached phones (Devices::list).
    std::function<JSON()> listDevices;
    /// The two halves of a deployment (BuildPipeline::build and BuildPipeline::install).
    std::function<void(const JSON&, std::string_view, const Credentials&, const API&,
                       const BuildPipeline::ProgressCallback&)>
        build, install;
    /// Starts the keep-awake for a job (KeepAwake::forThisProcess).
    std::function<std::unique_ptr<KeepAwake>()> keepAwake;
    /// Receives each line the agent writes to standard output (`error` false) or standard error
    /// (`error` true), without its line break.
    std::function<void(std::string_view line, bool error)> log;
  };

  /// A worker for this Mac's credentials. Throws VEKError when their server is not an acceptable
  /// relay origin.
  explicit Worker(Credentials credentials);
  Worker(Credentials credentials, Settings settings);
  /// Stops the running job and waits for its thread.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  /// Takes the agent lock, removes old job directories and runs the loop until `stop` or until
  /// the calling task is cancelled at the start of a cycle; returns normally then. Throws the
  /// lock's error (nothing else happens), the relay's error when it names a revoked credential,
  /// and CancellationError when the calling task is cancelled during a pause or a request. The
  /// lock is released and the job's thread has ended whenever it returns or throws.
  void run();

  /// Ends the loop at its next step: stops the running job's tools and task and its keep-awake.
  /// Never blocks; may be called from any thread, also before `run`.
  void stop() noexcept;

  /// Takes on a job the claim returned, unless its "id" is not a UUID or it is not addressed to
  /// this Mac ("builder_id" for a job in "building", "receiver_id" otherwise). `leaseLifetime` is
  /// how long the lease lasts unless a heartbeat renews it. Called by the loop when no job runs;
  /// never throws.
  void start(const JSON& job, const std::string& lease,
             std::chrono::seconds leaseLifetime = Heartbeat::defaultLeaseLifetime);

  /// The job being worked on, if any.
  std::optional<Heartbeat::Lease> runningJob() const;

 private:
  /// The pause that follows a cycle, and whether a job was running when the cycle ended.
  struct CycleEnd {
    std::chrono::milliseconds pause;
    bool jobRunning;
  };
  /// What a claim came to: a job of this Mac's started, a claim the relay held to its end without
  /// work (it has taken the place of the pause), or any other answer.
  enum class Claim { job, heldToItsEnd, nothing };

  /// One cycle, the status written with it.
  CycleEnd cycle();
  /// Claims the next job, asking the relay to hold the claim for `rest` when that is long enough
  /// to be worth it.
  Claim claimNext(std::chrono::milliseconds rest);
  void execute(JSON job, std::string id, std::string lease);
  void report(const std::string& id, const std::string& lease, const std::string& message);
  void reportFailure(const std::string& id, const std::string& lease, const std::string& text);
  bool leaseLiveAt(std::chrono::steady_clock::time_point moment) const;
  void finished();
  void cancelJob();
  void writeStatus(const std::optional<std::string>& error);
  /// The pause after a cycle. While a job runs against a relay that holds claims, it ends early
  /// when the job does, with a claim held for what is left of it.
  void pause(CycleEnd end);
  void joinRetired();

  Credentials credentials_;
  API api_;
  /// The same client for heartbeats and claims, whose answers are small.
  API loopAPI_;
  Settings settings_;

  mutable std::mutex mutex_;
  /// Orders the status writes of the loop and the job, so the last write shows the latest state.
  std::mutex statusMutex_;
  std::optional<Heartbeat::Lease> runningJob_;
  /// When the running job's lease was last given or renewed, and how long it lasts from then.
  std::chrono::steady_clock::time_point leaseRenewed_;
  std::chrono::seconds leaseLifetime_ = Heartbeat::defaultLeaseLifetime;
  std::unique_ptr<task::Task> work_;
  std::unique_ptr<task::Task> retired_;
  std::unique_ptr<KeepAwake> sleepAssertion_;
  bool stopped_ = false;
  /// Told when the running job has ended (`runningJob_` is empty again).
  std::condition_variable_any jobEnded_;
  /// Stops the loop's own requests when the worker is stopped.
  std::stop_source loopStop_;

  // Only the loop's thread touches these.
  std::unique_ptr<AgentLock> agentLock_;
  JSON phones_ = JSON::array();
  std::optional<std::string> inventoryError_;
  std::optional<std::chrono::steady_clock::time_point> lastInventory_;
  /// Whether the last claim that came back without work had been held for the wait it asked for.
  /// Taken to be so until a claim shows otherwise: an agent that starts with jobs queued may never
  /// see an idle claim before its first job ends.
  bool relayHoldsClaims_ = true;
};

}  // namespace vek
