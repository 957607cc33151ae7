// The relay's rules: groups, membership, invites and the job lifecycle, on top of a Store.
//
// Each operation authenticates the caller and does its work inside one store transaction, so
// every decision (is this lease live? is this job still building? is this code unused?) is taken
// on the same snapshot that the change is written to. Refusals are thrown as HttpError with the
// text clients show their users. Operations block on the store: call them from a worker thread,
// never from an I/O thread.
//
// A job is building until its builder finishes the build, then installing until its receiver
// finishes, and may end failed or cancelled from either (job_state.h). Work on a job is guarded by
// a lease: claim hands one out, heartbeats extend it, finish-build, finish, fail and cancel release
// it, and a sweep fails every job whose lease lapsed. Artifacts live only as long as their job is
// open, and at most the configured maximum age. An ended job is kept, with its events, for the
// retention period after it ended; the sweep then removes both.
//
// Every change a held request may wait for is announced on the notifier once its transaction has
// committed: a job that becomes claimable (queued for its builder, built for its receiver) and a
// job that changes (a progress message, a new state).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "foundation/json.h"
#include "relay_server/artifact_store.h"
#include "relay_server/bootstrap.h"
#include "relay_server/config.h"
#include "relay_server/http_error.h"
#include "relay_server/requests.h"
#include "relay_server/store.h"
#include "relay_server/tokens.h"

namespace vek::relay_server {

class Notifier;

/// The current time; tests pass a clock they move themselves.
using Clock = std::function<Instant()>;
Instant systemClock();

/// Texts clients rely on.
inline constexpr std::string_view kStoppedResponding =
    "The Mac working on this job stopped responding.";
inline constexpr std::string_view kDatabaseUnreachable =
    "The relay cannot reach its database right now; try again shortly.";
inline constexpr std::string_view kRevokedCredential =
    "This Mac's device credential was revoked: the relay refuses every request made with a "
    "revoked device credential. Join the group again with a new invite.";

/// A device whose last heartbeat is at most this old counts as online.
inline constexpr std::chrono::seconds kOnlineWindow{45};
/// How long the relay remembers an invite after it expired.
inline constexpr std::chrono::hours kExpiredInviteMemory{24};
/// Most jobs a job list returns, and most events one events request returns.
inline constexpr std::size_t kJobListLimit = 100;
inline constexpr std::size_t kEventPageLimit = 1000;
/// Most events one job keeps: its whole log always fits one events answer.
inline constexpr std::size_t kMaxEventsPerJob = kEventPageLimit;

/// What a download needs: the file to stream, its length and digest.
struct DownloadTicket {
  std::string file;
  std::uint64_t size = 0;
  std::string sha;
};

/// A complete, verified upload already renamed into the artifact folder.
struct PublishedArtifact {
  std::string file;
  std::string sha;
  std::uint64_t size = 0;
};

struct SweepReport {
  std::size_t lapsed = 0;   // jobs failed because their lease lapsed
  std::size_t expired = 0;  // jobs failed because their build grew too old
  std::size_t deleted = 0;  // artifact files deleted
  std::size_t removed = 0;  // ended jobs removed, with their events, after the retention period
};

struct RecoveryReport {
  std::size_t leasesRenewed = 0;
  std::size_t leftoversDeleted = 0;
  std::size_t artifactsMissing = 0;
};

/// The 401 for a request without usable credentials (missing or malformed header).
HttpError missingCredentials();

class Relay {
 public:
  /// Takes its durations (lease, invite lifetime, artifact age) from `config`, and announces
  /// changes on `notifier`.
  Relay(Store& store, const ArtifactStore& artifacts, BootstrapTokens bootstrap,
        const Config& config, Notifier& notifier, Clock clock = systemClock);

  /// POST /v1/groups, /v1/join and /v1/invites: create a group (needs an accepted bootstrap
  /// token), join it (consumes an invite atomically), issue an invite.
  JSON createGroup(const std::optional<std::string>& bootstrapToken,
                   const CreateGroupRequest& request);
  JSON join(const JoinRequest& request);
  JSON createInvite(const PresentedCredentials& caller);

  /// GET /v1/group and DELETE /v1/devices/{id}: the caller's group with its devices; revoke a
  /// device of it.
  JSON group(const PresentedCredentials& caller);
  JSON revokeDevice(const PresentedCredentials& caller, const std::string& deviceId);

  /// POST /v1/heartbeat (stores the inventory, extends valid leases, reports the named jobs'
  /// states) and POST /v1/claim (the oldest job for the caller, with a fresh lease, or
  /// {"job": null}).
  JSON heartbeat(const PresentedCredentials& caller, const HeartbeatRequest& request);
  JSON claim(const PresentedCredentials& caller);

  /// GET and POST /v1/jobs, GET /v1/jobs/{id} and its /events, POST /v1/jobs/{id}/cancel: job
  /// list, queue, detail, events, cancel.
  JSON listJobs(const PresentedCredentials& caller);
  JSON queueJob(const PresentedCredentials& caller, const QueueJobRequest& request);
  JSON job(const PresentedCredentials& caller, const std::string& jobId);
  JSON events(const PresentedCredentials& caller, const std::string& jobId,
              std::optional<std::int64_t> after);
  /// The events answer together with the job's state, read in the same snapshot (for a held
  /// event read, which waits for either to change).
  struct EventPage {
    JSON answer;
    JobState state = JobState::building;
  };
  EventPage eventPage(const PresentedCredentials& caller, const std::string& jobId,
                      std::optional<std::int64_t> after);
  JSON cancel(const PresentedCredentials& caller, const std::string& jobId);

  /// POST /v1/jobs/{id}/event, /fail, /finish-build and /finish: lease-scoped changes. `lease`
  /// is the X-VEK-Lease header.
  JSON postEvent(const PresentedCredentials& caller, const std::string& jobId,
                 const std::optional<std::string>& lease, const EventRequest& request);
  JSON fail(const PresentedCredentials& caller, const std::string& jobId,
            const std::optional<std::string>& lease, const FailRequest& request);
  JSON finishBuild(const PresentedCredentials& caller, const std::string& jobId,
                   const std::optional<std::string>& lease, const FinishBuildRequest& request);
  JSON finish(const PresentedCredentials& caller, const std::string& jobId,
              const std::optional<std::string>& lease);

  /// PUT /v1/jobs/{id}/artifact, and the resumable upload's HEAD and PATCH, in two steps: before
  /// the body is read (the caller must hold the builder's live lease on a building job; the
  /// answer is the artifact the job has now, if any), and after the body is stored (checked
  /// again, since the job may have changed meanwhile). On refusal `commitUpload` deletes the
  /// published file.
  std::optional<PublishedArtifact> authorizeUpload(const PresentedCredentials& caller,
                                                   const std::string& jobId,
                                                   const std::optional<std::string>& lease);
  JSON commitUpload(const PresentedCredentials& caller, const std::string& jobId,
                    const std::optional<std::string>& lease, const PublishedArtifact& artifact);

  /// GET /v1/jobs/{id}/artifact: the receiver's live lease on an installing job with its build
  /// present.
  DownloadTicket authorizeDownload(const PresentedCredentials& caller, const std::string& jobId,
                                   const std::optional<std::string>& lease);

  /// Fails jobs whose lease lapsed or whose build is older than the maximum age, deletes their
  /// artifacts, deletes partial uploads whose job is no longer building under a live lease or
  /// that began longer ago than the maximum age, removes jobs that ended longer ago than the
  /// retention period with their events, and forgets invites expired for a day. With a shared
  /// store only one process sweeps at a time (the others find nothing to do), and that one also
  /// deletes the files processes that died mid-upload left behind.
  SweepReport sweep();

  /// GET /healthz: {"ok": true} when the store answers; HttpError 503 when it cannot be reached,
  /// so a load balancer sends requests to another relay process meanwhile.
  JSON health();

  /// The number of jobs in each state, every state listed (for the metrics; no group's own).
  std::map<std::string, std::uint64_t> jobCountsByState();
  /// The store's connection pool, when it has one (for the metrics).
  std::optional<PoolUsage> poolUsage() const { return store_.poolUsage(); }

  /// Run once at start, before serving: gives every held lease a full period again (the relay
  /// was down, so holders could not extend them), deletes interrupted uploads and unreferenced
  /// files (with a shared store only those too old to belong to another process's upload), keeps
  /// the partial uploads of jobs still building under a lease (flushed to disk, so their offsets
  /// hold), reconciles jobs whose artifact file is gone, and forgets the inventories revoked Macs
  /// still hold.
  RecoveryReport recover();

 private:
  Instant currentTime() const { return clock_(); }
  /// Deletes temporary and unreferenced files, and partial uploads of jobs no longer building
  /// under a lease, at least `minimumAge` old; returns how many.
  std::size_t removeLeftovers(std::chrono::seconds minimumAge);
  /// When a lease handed out or extended at `now` runs out.
  Instant leaseDeadline(Instant now) const { return now + leaseDuration_; }

  Store& store_;
  const ArtifactStore& artifacts_;
  Notifier& notifier_;
  BootstrapTokens bootstrap_;
  std::chrono::seconds leaseDuration_;
  std::chrono::seconds artifactMaxAge_;
  std::chrono::seconds inviteLifetime_;
  std::chrono::seconds jobRetention_;
  Clock clock_;
};

}  // namespace vek::relay_server
