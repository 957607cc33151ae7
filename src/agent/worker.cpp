#include "agent/worker.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "agent/agent_status.h"
#include "agent/job_cleanup.h"
#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/process_runner.h"
#include "foundation/random.h"
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
      worker.agentLock_.reset();
    }
  } ending{*this};

  JobCleanup::cleanup();

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
      const std::chrono::milliseconds pause = cycle();
      failures = 0;
      task::sleepFor(pause);
      continue;
    } catch (const CancellationError&) {
      if (isStopped()) return;
      throw;
    } catch (const std::exception& error) {
      if (isStopped()) return;
      const std::string description = error.what();
      ++failures;
      writeStatus(description);
      if (failures == 1) settings_.log("VEK agent: " + description, true);
      // A revoked credential is the only relay answer that ends the agent.
      if (API::namesRevokedCredential(description)) {
        stop();
        throw;
      }
    }
    try {
      task::sleepFor(Heartbeat::backoff(failures, settings_.backoffStep, settings_.backoffCap));
    } catch (const CancellationError&) {
      if (isStopped()) return;
      throw;
    }
  }
}

std::chrono::milliseconds Worker::cycle() {
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
  const JSON answer = api_.call("POST", "/v1/heartbeat",
                                Heartbeat::body(projects, phones_, inventoryError_, lease));
  if (lease) {
    std::optional<std::string> state = Heartbeat::jobState(answer, lease->id);
    if (state && VEK::isTerminal(*state)) {
      std::lock_guard guard(mutex_);
      // The job may have ended on its own while the heartbeat was in flight.
      if (runningJob_ && runningJob_->id == lease->id) {
        ProcessRunner::cancel(lease->id);
        if (work_) work_->requestStop();
      }
    }
  }
  if (runningJob()) {
    writeStatus(inventoryError_);
    return settings_.cycle;
  }

  const auto rest =
      std::chrono::duration_cast<std::chrono::milliseconds>(now + settings_.cycle - Clock::now());
  const bool held = rest >= shortestClaimWait;
  // A held claim may take the rest of the cycle; the status tells now that the relay answered.
  if (held) writeStatus(inventoryError_);
  const auto sent = Clock::now();
  const JSON claim =
      api_.call("POST", held ? "/v1/claim?" + API::waitQuery(rest) : "/v1/claim", JSON::object());
  const bool claimed = claim.isObject() && !claim["job"].isNull();
  if (claimed) start(claim["job"], claim["lease"].text());
  if (claimed || !held) writeStatus(inventoryError_);
  if (!claimed && held && Clock::now() - sent >= rest) return std::chrono::milliseconds(0);
  return settings_.cycle;
}

void Worker::start(const JSON& job, const std::string& lease) {
  std::string id = job["id"].text();
  if (!isCanonicalUUID(id)) return;
  const std::string& state = job["state"].text();
  const char* role = state == "building" ? "builder_id" : "receiver_id";
  if (job[role].text() != credentials_.deviceID) return;

  std::lock_guard guard(mutex_);
  if (runningJob_ || stopped_) return;
  runningJob_ = Heartbeat::Lease{id, lease};
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
    try {
      api_.call("POST", "/v1/jobs/" + id + "/fail", JSON::object({{"error", text}}), lease);
    } catch (const std::exception&) {
      // The relay fails the job itself when the lease lapses; the line below still tells why.
    }
    settings_.log("VEK " + id + ": " + text, true);
  }
  finished();
}

void Worker::report(const std::string& id, const std::string& lease, const std::string& message) {
  try {
    api_.call("POST", "/v1/jobs/" + id + "/event", JSON::object({{"message", message}}), lease);
  } catch (const std::exception&) {
    // A lost progress message is only missing from the job's events; it never fails the job.
  }
  settings_.log("VEK " + id + ": " + message, false);
}

void Worker::finished() {
  std::unique_ptr<KeepAwake> awake;
  {
    std::lock_guard guard(mutex_);
    runningJob_.reset();
    if (work_) retired_ = std::move(work_);
    awake = std::move(sleepAssertion_);
  }
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
  }
}

}  // namespace vek
