// Storage behind the relay: plain records and the row-level operations the job lifecycle needs,
// grouped into transactions.
//
// The relay's rules (who may see what, which state follows which) live in Relay, not here, so
// each implementation (SQLite for one process, PostgreSQL for several processes sharing one
// database) only has to provide these primitives with the same transactional guarantee:
// everything done inside one `write` call happens atomically, and every row a write looks up is
// seen as of the moment it is changed, so a claim or an invite consumption can never be granted
// twice. SQLite orders every write after every other; PostgreSQL locks the rows a write reads and
// lets writes on other rows run side by side, and `writeExclusively` orders a write after every
// other one on both.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "relay_server/job_state.h"

namespace vek::relay_server {

/// A moment to the millisecond: what the relay's clock tells, and when a lease runs out.
using Instant = std::chrono::sys_time<std::chrono::milliseconds>;
/// A moment to the second: when a record was created or changed.
using Timestamp = std::chrono::sys_seconds;

struct GroupRow {
  std::string id;
  std::string name;
  Timestamp created{};
};

struct DeviceRow {
  std::string id;
  std::string groupId;
  std::string name;
  std::string tokenDigest;  // raw SHA-256 of the device token
  bool revoked = false;
  Timestamp created{};
  Timestamp lastSeen{};          // the epoch until the first heartbeat
  std::string inventory = "{}";  // compact JSON object of the last heartbeat
};

struct InviteRow {
  std::string codeDigest;  // raw SHA-256 of the code
  std::string groupId;
  std::string createdBy;
  Timestamp created{};
  Timestamp expires{};
  std::optional<std::string> usedBy;
};

struct JobRow {
  std::string id;
  std::string groupId;
  JobState state = JobState::building;
  std::string builderId;
  std::string receiverId;
  std::string parameters;  // the job's "spec" member: compact JSON object
  std::optional<std::string> error;
  std::optional<std::string> manifest;  // compact JSON object, after finish-build
  std::optional<std::string> artifactSha;
  std::optional<std::string> artifactFile;  // name under the artifacts folder while it exists
  std::int64_t artifactSize = 0;
  Timestamp artifactUploaded{};
  std::optional<std::string> leaseDigest;  // raw SHA-256 of the live lease token
  std::optional<std::string> leaseHolder;  // device id of the lease's holder
  Instant leaseExpires{};                  // the epoch when no lease is held
  Timestamp created{};
  Timestamp updated{};
};

struct EventRow {
  std::int64_t id = 0;  // grows across the whole relay
  std::string jobId;
  std::string deviceId;
  std::string message;
  Timestamp created{};
};

/// A failure of the database behind a store; `what()` names the database and its reason.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The database cannot be reached (refused, lost or restarting): the request may well succeed
/// when tried again shortly.
class StoreUnavailable : public StoreError {
 public:
  using StoreError::StoreError;
};

/// How a store's connections are used right now, for the metrics.
struct PoolUsage {
  std::size_t open = 0;     // connections open
  std::size_t busy = 0;     // of those, the ones inside a transaction
  std::size_t limit = 0;    // the most the store opens
  std::uint64_t waits = 0;  // calls so far that had to wait for a free connection
};

/// The operations available inside one transaction. Lookups return nothing for unknown keys;
/// they do not filter by group (the caller checks).
class StoreTransaction {
 public:
  virtual ~StoreTransaction() = default;

  /// Takes this process's turn at the periodic sweep for the rest of the transaction. False when
  /// another process sharing the store is sweeping now: the caller then leaves it to that one.
  virtual bool takeSweepTurn() = 0;

  virtual void insertGroup(const GroupRow& group) = 0;
  virtual std::optional<GroupRow> group(const std::string& id) = 0;

  virtual void insertDevice(const DeviceRow& device) = 0;
  virtual std::optional<DeviceRow> device(const std::string& id) = 0;
  /// The group's devices, oldest first, revoked ones included.
  virtual std::vector<DeviceRow> devicesOfGroup(const std::string& groupId) = 0;
  /// Stores a heartbeat; writes nothing when neither value changed.
  virtual void recordHeartbeat(const std::string& deviceId, Timestamp lastSeen,
                               const std::string& inventory) = 0;
  /// Marks the device revoked and forgets its inventory: a revoked Mac's devices and projects are
  /// no longer offered to the group.
  virtual void revokeDevice(const std::string& deviceId) = 0;
  /// Forgets the inventories that revoked devices still hold (kept by earlier versions).
  virtual void forgetRevokedInventories() = 0;

  virtual void insertInvite(const InviteRow& invite) = 0;
  virtual std::optional<InviteRow> invite(const std::string& codeDigest) = 0;
  virtual void markInviteUsed(const std::string& codeDigest, const std::string& deviceId,
                              Timestamp at) = 0;
  /// Forgets invites that expired before `cutoff`.
  virtual void deleteInvitesExpiredBefore(Timestamp cutoff) = 0;

  virtual void insertJob(const JobRow& job) = 0;
  /// Writes every mutable column of `job` (matched by id).
  virtual void updateJob(const JobRow& job) = 0;
  virtual std::optional<JobRow> job(const std::string& id) = 0;
  /// The group's newest jobs, newest first.
  virtual std::vector<JobRow> recentJobs(const std::string& groupId, std::size_t limit) = 0;
  /// The oldest unleased job `deviceId` may work on: "building" with it as builder, or
  /// "installing" with it as receiver and an artifact present.
  virtual std::optional<JobRow> nextClaimable(const std::string& groupId,
                                              const std::string& deviceId) = 0;
  /// Unfinished jobs the device builds or receives.
  virtual std::vector<JobRow> unfinishedJobsOf(const std::string& deviceId) = 0;
  /// Jobs holding a lease (whether live or lapsed).
  virtual std::vector<JobRow> leasedJobs() = 0;
  /// Jobs whose lease expired at or before `now`.
  virtual std::vector<JobRow> jobsWithLeaseExpiredBy(Instant now) = 0;
  /// Jobs with an artifact file uploaded at or before `cutoff`.
  virtual std::vector<JobRow> jobsWithArtifactUploadedBy(Timestamp cutoff) = 0;
  /// Every job that names an artifact file.
  virtual std::vector<JobRow> jobsWithArtifacts() = 0;
  /// Deletes, with their events, the jobs that ended (a terminal state, no artifact file) and were
  /// last changed before `cutoff`. Returns how many jobs went.
  virtual std::size_t deleteJobsEndedBefore(Timestamp cutoff) = 0;

  /// How many jobs there are in each state that has any.
  virtual std::map<std::string, std::uint64_t> jobCountsByState() = 0;

  /// Appends an event and returns it with its id.
  virtual EventRow insertEvent(const std::string& jobId, const std::string& deviceId,
                               const std::string& message, Timestamp created) = 0;
  /// How many events the job has.
  virtual std::size_t eventCount(const std::string& jobId) = 0;
  /// The job's events with ids above `after`, oldest first, at most `limit`.
  virtual std::vector<EventRow> events(const std::string& jobId, std::int64_t after,
                                       std::size_t limit) = 0;
};

/// A store of relay state. Every call may be used from any thread.
///
/// `work` may be run more than once: when a write collides with one of another connection (a
/// deadlock between row locks) or the connection is lost before the commit, the store rolls back
/// and runs it again. It must therefore set its results afresh on each run rather than add to
/// what an earlier run left. A failed call throws StoreError (StoreUnavailable when the database
/// cannot be reached) or whatever `work` threw.
class Store {
 public:
  virtual ~Store() = default;
  /// Runs `work` in one atomic transaction; commits when it returns, rolls back when it throws
  /// (the exception propagates).
  virtual void write(const std::function<void(StoreTransaction&)>& work) = 0;
  /// Like `write`, but ordered after every write that started before it and before every write
  /// that starts after it, whatever rows they touch: for changes whose consequences no row lock
  /// can cover (revoking a device ends the jobs that name it, including one being queued now).
  virtual void writeExclusively(const std::function<void(StoreTransaction&)>& work) = 0;
  /// Runs `work` on a consistent snapshot; it must not modify anything.
  virtual void read(const std::function<void(StoreTransaction&)>& work) = 0;

  /// True when other relay processes may use the same store at the same time.
  virtual bool shared() const = 0;
  /// How many calls may usefully run at once (the size of the thread pool to give the store).
  virtual std::size_t concurrency() const = 0;
  /// The connection pool's use, for a store that has one.
  virtual std::optional<PoolUsage> poolUsage() const = 0;
};

}  // namespace vek::relay_server
