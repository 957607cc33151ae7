#include "agent/worker.h"

#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <utility>

#include "agent/agent_status.h"
#include "agent/job_cleanup.h"
#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/process_runner.h"
#include "foundation/random.h"
#include "foundation/text.h"
#include "pipeline/devices.h"
#include "projects/project_store.h"
#include "relay_client/group_cache.h"

namespace vek {

namespace {

// With less of the cycle left than this, the claim asks for no wait at all.
constexpr std::chrono::milliseconds shortestClaimWait{50};

// One line to standard output or standard error, written whole. The agent's logs are files under
// a service manager, so a line must not interleave with another thread's.
void writeLine(std::string_view line, bool error) {
  static std::mutex output;
  std::string bytes(line);
  bytes += '\n';
  std::lock_guard guard(output);
  const int fd = error ? 2 : 1;
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

// A line of the agent's log about job `id` (or, with no id, about the agent): the message comes
// from tools, the relay and other Macs, so it is escaped to stay one line that a terminal showing
// the log only prints.
std::string logLine(std::string_view id, std::string_view message) {
  return "VEK " + std::string(id.empty() ? "agent" : id) + ": " + text::escapeControls(message);
}

Worker::Settings completed(Worker::Settings settings) {
  if (!settings.listDevices) settings.listDevices = [] { return Devices::list(); };
  if (!settings.build) settings.build = BuildPipeline::build;
  if (!settings.install) settings.install = BuildPipeline::install;
  if (!settings.keepAwake) settings.keepAwake = [] { return KeepAwake::forThisProcess(); };
  if (!settings.log) settings.log = writeLine;
  return settings;
}

}  // namespace

Worker::Worker(Credentials credentials) : Worker(std::move(credentials), Settings{}) {}

Worker::Worker(Credentials credentials, Settings settings)
    : credentials_(std::move(credentials)),
      api_(credentials_),
      loopAPI_(api_.withAnswerLimit(Heartbeat::answerLimit)),
      settings_(completed(std::move(settings))) {}

Worker::~Worker() {
  stop();
  std::unique_ptr<task::Task> work, retired;
  {
    std::lock_guard guard(mutex_);
    work = std::move(work_);
    retired = std::move(retired_);
  }
}

void Worker::run() {
  agentLock_ = std::make_unique<AgentLock>();
  // Whatever way the loop ends, the job's tools and thread end first and the lock is freed last,
  // so a new agent never starts beside tools of this one.
  struct Ending {
    Worker& worker;
    ~Ending() {
      worker.cancelJob();
      std::unique_ptr<task::Task> work, retired;
      std::unique_ptr<KeepAwake> awake;
      {
        std::lock_guard guard(worker.mutex_);
        work = std::move(worker.work_);
        retired = std::move(worker.retired_);
        awake = std::move(worker.sleepAssertion_);
      }
      work.reset();
      retired.reset();
      awake.reset();
      ProcessRunner::recordJobTools(std::nullopt);
      worker.agentLock_.reset();
    }
  } ending{*this};

  JobCleanup::cleanup();
  try {
    ProcessRunner::recordJobTools(JobCleanup::toolRecord());
  } catch (const std::exception&) {
    // Without a state directory there is no record; the tools still die with this process.
  }

  // Cancelling the caller's task reaches the loop's requests and pauses too.
  const std::stop_token caller = task::current();
  std::stop_callback propagate(caller, [this] { loopStop_.request_stop(); });
  task::Scope scope(loopStop_.get_token());

  auto isStopped = [this] {
    std::lock_guard guard(mutex_);
    return stopped_;
  };

  int failures = 0;
  for (;;) {
    if (isStopped() || caller.stop_requested()) return;
    joinRetired();
    try {
      const CycleEnd end = cycle();
      failures = 0;
      pause(end);
      continue;
    } catch (const CancellationError&) {
      if (isStopped()) return;
      throw;
    } catch (const std::exception& error) {
      if (isStopped()) return;
      const std::string description = error.what();
      ++failures;
      writeStatus(description);
      if (failures == 1) settings_.log(logLine("", description), true);
      // A revoked credential is the only relay answer that ends the agent.
      if (API::namesRevokedCredential(description)) {
        stop();
        throw;
      }
    }
    try {
      task::sleepFor(
          runningJob() ? settings_.backoffStep
                       : Heartbeat::backoff(failures, settings_.backoffStep, settings_.backoffCap));
    } catch (const CancellationError&) {
      if (isStopped()) return;
      throw;
    }
  }
}

Worker::CycleEnd Worker::cycle() {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  if (!lastInventory_ || now - *lastInventory_ > settings_.inventoryInterval) {
    try {
      JSON listed = settings_.listDevices();
      // Shell completion offers this Mac's phones from the cache, never from the relay.
      if (!lastInventory_ || listed != phones_) {
        GroupCache::rememberPhones(credentials_.deviceID, credentials_.deviceName, listed);
      }
      phones_ = std::move(listed);
      inventoryError_.reset();
    } catch (const CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      phones_ = JSON::array();
      inventoryError_ = error.what();
    }
    lastInventory_ = std::chrono::steady_clock::now();
  }

  const std::vector<Project> projects = ProjectStore::load();
  const std::optional<Heartbeat::Lease> lease = runningJob();
  const auto heartbeatSent = Clock::now();
  const JSON answer = loopAPI_.call("POST", "/v1/heartbeat",
                                    Heartbeat::body(projects, phones_, inventoryError_, lease));
  if (lease) {
    std::optional<std::string> state = Heartbeat::jobState(answer, lease->id);
    std::lock_guard guard(mutex_);
    // The job may have ended on its own while the heartbeat was in flight.
    if (state && runningJob_ && runningJob_->id == lease->id) {
      if (VEK::isTerminal(*state)) {
        ProcessRunner::cancel(lease->id);
        if (work_) work_->requestStop();
      } else {
        leaseRenewed_ = heartbeatSent;
      }
    }
  }
  if (runningJob()) {
    writeStatus(inventoryError_);
    return {settings_.cycle, true};
  }

  const auto rest =
      std::chrono::ceil<std::chrono::milliseconds>(now + settings_.cycle - Clock::now());
  const Claim claim = claimNext(rest);
  if (claim == Claim::heldToItsEnd) return {std::chrono::milliseconds(0), false};
  return {settings_.cycle, claim == Claim::job};
}

Worker::Claim Worker::claimNext(std::chrono::milliseconds rest) {
  using Clock = std::chrono::steady_clock;
  const bool held = rest >= shortestClaimWait;
  // A held claim may take the rest of the cycle; the status tells now that the relay answered.
  if (held) writeStatus(inventoryError_);
  const auto claimSent = Clock::now();
  const JSON claim = loopAPI_.call("POST", held ? "/v1/claim?" + API::waitQuery(rest) : "/v1/claim",
                                   JSON::object());
  const bool claimed = claim.isObject() && !claim["job"].isNull();
  if (claimed) start(claim["job"], claim["lease"].text(), Heartbeat::leaseLifetime(claim));
  if (claimed || !held) writeStatus(inventoryError_);
  if (claimed) return runningJob() ? Claim::job : Claim::nothing;
  if (!held) return Claim::nothing;
  relayHoldsClaims_ = Clock::now() - claimSent >= rest;
  return relayHoldsClaims_ ? Claim::heldToItsEnd : Claim::nothing;
}

void Worker::pause(CycleEnd end) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + end.pause;
  const std::stop_token stop = task::current();
  bool jobRunning = end.jobRunning;
  while (jobRunning && relayHoldsClaims_) {
    bool ended;
    {
      std::unique_lock lock(mutex_);
      ended = jobEnded_.wait_until(lock, stop, deadline, [this] { return !runningJob_; });
    }
    if (stop.stop_requested()) throw CancellationError();
    const auto rest = std::chrono::floor<std::chrono::milliseconds>(deadline - Clock::now());
    if (!ended || rest < shortestClaimWait) break;
    // The ended job's thread is joined before another job may start.
    joinRetired();
    const Claim claim = claimNext(rest);
    if (claim == Claim::heldToItsEnd) return;
    jobRunning = claim == Claim::job;
  }
  task::sleepUntil(deadline);
}

void Worker::start(const JSON& job, const std::string& lease, std::chrono::seconds leaseLifetime) {
  std::string id = job["id"].text();
  if (!isCanonicalUUID(id)) return;
  const std::string& state = job["state"].text();
  const char* role = state == "building" ? "builder_id" : "receiver_id";
  if (job[role].text() != credentials_.deviceID) return;

  std::lock_guard guard(mutex_);
  if (runningJob_ || stopped_) return;
  runningJob_ = Heartbeat::Lease{id, lease};
  leaseRenewed_ = std::chrono::steady_clock::now();
  leaseLifetime_ = leaseLifetime;
  sleepAssertion_ = settings_.keepAwake();
  // The thread may reach `finished` before this assignment; it waits for the mutex, so it always
  // finds `work_` set.
  work_ = std::make_unique<task::Task>(
      [this, job, id = std::move(id), lease] { execute(job, id, lease); });
}

void Worker::execute(JSON job, std::string id, std::string lease) {
  std::optional<std::string> failure;
  try {
    auto progress = [this, &id, &lease](const std::string& message) { report(id, lease, message); };
    if (job["state"].text() == "building") {
      settings_.build(job, lease, credentials_, api_, progress);
    } else {
      settings_.install(job, lease, credentials_, api_, progress);
    }
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "The job ended with an unexpected error.";
  }
  if (failure) {
    const std::string text = JobCleanup::failureText(*failure);
    reportFailure(id, lease, text);
    settings_.log(logLine(id, text), true);
  }
  finished();
}

void Worker::reportFailure(const std::string& id, const std::string& lease,
                           const std::string& text) {
  for (;;) {
    try {
      api_.call("POST", "/v1/jobs/" + id + "/fail", JSON::object({{"error", text}}), lease);
      return;
    } catch (const std::exception& error) {
      // Any answer is final, and so is the job's cancellation (the relay ended it, or the agent is
      // stopping). Without a report the relay fails the job itself once the lease lapses; the log
      // line still tells why.
      if (!relayUnreachable(error)) return;
    }
    if (!leaseLiveAt(std::chrono::steady_clock::now() + settings_.backoffStep)) return;
    try {
      task::sleepFor(settings_.backoffStep);
    } catch (const CancellationError&) {
      return;
    }
  }
}

bool Worker::leaseLiveAt(std::chrono::steady_clock::time_point moment) const {
  std::lock_guard guard(mutex_);
  return moment < leaseRenewed_ + leaseLifetime_;
}

void Worker::report(const std::string& id, const std::string& lease, const std::string& message) {
  try {
    api_.call("POST", "/v1/jobs/" + id + "/event", JSON::object({{"message", message}}), lease);
  } catch (const std::exception&) {
    // A lost progress message is only missing from the job's events; it never fails the job.
  }
  settings_.log(logLine(id, message), false);
}

void Worker::finished() {
  std::unique_ptr<KeepAwake> awake;
  {
    std::lock_guard guard(mutex_);
    runningJob_.reset();
    if (work_) retired_ = std::move(work_);
    awake = std::move(sleepAssertion_);
  }
  jobEnded_.notify_all();
  awake.reset();
  writeStatus(std::nullopt);
}

void Worker::stop() noexcept {
  {
    std::lock_guard guard(mutex_);
    stopped_ = true;
  }
  cancelJob();
  loopStop_.request_stop();
}

void Worker::cancelJob() {
  std::unique_ptr<KeepAwake> awake;
  {
    std::lock_guard guard(mutex_);
    if (runningJob_) ProcessRunner::cancel(runningJob_->id);
    if (work_) work_->requestStop();
    awake = std::move(sleepAssertion_);
  }
}

std::optional<Heartbeat::Lease> Worker::runningJob() const {
  std::lock_guard guard(mutex_);
  return runningJob_;
}

void Worker::writeStatus(const std::optional<std::string>& error) {
  std::lock_guard order(statusMutex_);
  try {
    AgentStatus::Record record;
    record.pid = static_cast<long>(::getpid());
    record.updated = AgentStatus::now();
    record.deviceID = credentials_.deviceID;
    if (auto job = runningJob()) record.jobID = job->id;
    record.error = error;
    AgentStatus::write(record);
  } catch (const std::exception&) {
    // A status that cannot be written only makes the agent look stopped to `agent status`.
  }
}

void Worker::joinRetired() {
  std::unique_ptr<task::Task> retired;
  {
    std::lock_guard guard(mutex_);
    retired = std::move(retired_);
  }
  if (retired) {
    try {
      retired->join();
    } catch (...) {
      // The job's body catches its own failures; nothing is left to report here.
    }
    retired.reset();
#ifdef __GLIBC__
    // The job's thread had an allocation arena of its own; what it freed goes back to the system
    // instead of staying resident in an agent that may now idle for days.
    ::malloc_trim(0);
#endif
  }
}

}  // namespace vek
