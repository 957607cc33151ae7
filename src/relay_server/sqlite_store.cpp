// SQLite implementation of the relay's store.
//
// Schema changes are a list of migrations applied in order; `PRAGMA user_version` holds how many
// have run, each migration runs in its own transaction together with the version bump, so a
// crash mid-upgrade leaves the previous version intact. The database runs in WAL mode with
// synchronous=NORMAL: a killed process loses nothing it committed, and commits need no fsync
// (only checkpoints do). Every write transaction starts with BEGIN IMMEDIATE, taking the write
// lock up front, so read-check-update sequences such as claiming a job are atomic.
#include "relay_server/sqlite_store.h"

#include <array>

#include "foundation/errors.h"
#include "relay_server/sqlite.h"
#include "relay_server/stored_values.h"

namespace vek::relay_server {

namespace {

constexpr std::array<const char*, 1> kMigrations = {
    R"sql(
CREATE TABLE groups (
  id TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  created INTEGER NOT NULL
);
CREATE TABLE devices (
  id TEXT PRIMARY KEY,
  group_id TEXT NOT NULL REFERENCES groups(id),
  name TEXT NOT NULL,
  token_digest BLOB NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL,
  last_seen INTEGER NOT NULL DEFAULT 0,
  inventory TEXT NOT NULL DEFAULT '{}'
);
CREATE INDEX devices_by_group ON devices(group_id, created);
CREATE TABLE invites (
  code_digest BLOB PRIMARY KEY,
  group_id TEXT NOT NULL REFERENCES groups(id),
  created_by TEXT NOT NULL REFERENCES devices(id),
  created INTEGER NOT NULL,
  expires INTEGER NOT NULL,
  used_by TEXT REFERENCES devices(id),
  used_at INTEGER
);
CREATE INDEX invites_by_expiry ON invites(expires);
CREATE TABLE jobs (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT NOT NULL UNIQUE,
  group_id TEXT NOT NULL REFERENCES groups(id),
  state TEXT NOT NULL
    CHECK (state IN ('building', 'installing', 'succeeded', 'failed', 'cancelled')),
  builder_id TEXT NOT NULL REFERENCES devices(id),
  receiver_id TEXT NOT NULL REFERENCES devices(id),
  parameters TEXT NOT NULL,
  error TEXT,
  manifest TEXT,
  artifact_sha TEXT,
  artifact_file TEXT,
  artifact_size INTEGER NOT NULL DEFAULT 0,
  artifact_uploaded INTEGER NOT NULL DEFAULT 0,
  lease_digest BLOB,
  lease_holder TEXT REFERENCES devices(id),
  lease_expires_ms INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL,
  updated INTEGER NOT NULL
);
CREATE INDEX jobs_by_group ON jobs(group_id, seq);
CREATE INDEX jobs_claimable ON jobs(group_id, seq)
  WHERE state IN ('building', 'installing') AND lease_digest IS NULL;
CREATE INDEX jobs_leased ON jobs(lease_expires_ms) WHERE lease_digest IS NOT NULL;
CREATE INDEX jobs_with_artifact ON jobs(artifact_uploaded) WHERE artifact_file IS NOT NULL;
CREATE INDEX jobs_unfinished_by_builder ON jobs(builder_id)
  WHERE state IN ('building', 'installing');
CREATE INDEX jobs_unfinished_by_receiver ON jobs(receiver_id)
  WHERE state IN ('building', 'installing');
CREATE TABLE events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id TEXT NOT NULL REFERENCES jobs(id),
  device_id TEXT NOT NULL,
  message TEXT NOT NULL,
  created INTEGER NOT NULL
);
CREATE INDEX events_by_job ON events(job_id, id);
)sql",
};

const std::string kJobColumns =
    "id, group_id, state, builder_id, receiver_id, parameters, error, manifest, artifact_sha, "
    "artifact_file, artifact_size, artifact_uploaded, lease_digest, lease_holder, "
    "lease_expires_ms, created, updated";

JobRow readJob(const Statement& row) {
  JobRow job;
  job.id = row.text(0);
  job.groupId = row.text(1);
  job.state = storedState(row.text(2));
  job.builderId = row.text(3);
  job.receiverId = row.text(4);
  job.parameters = row.text(5);
  job.error = row.optionalText(6);
  job.manifest = row.optionalText(7);
  job.artifactSha = row.optionalText(8);
  job.artifactFile = row.optionalText(9);
  job.artifactSize = row.integer(10);
  job.artifactUploaded = timestampOf(row.integer(11));
  job.leaseDigest = row.optionalText(12);
  job.leaseHolder = row.optionalText(13);
  job.leaseExpires = instantOf(row.integer(14));
  job.created = timestampOf(row.integer(15));
  job.updated = timestampOf(row.integer(16));
  return job;
}

const std::string kDeviceColumns =
    "id, group_id, name, token_digest, revoked, created, last_seen, inventory";

DeviceRow readDevice(const Statement& row) {
  DeviceRow device;
  device.id = row.text(0);
  device.groupId = row.text(1);
  device.name = row.text(2);
  device.tokenDigest = row.text(3);
  device.revoked = row.integer(4) != 0;
  device.created = timestampOf(row.integer(5));
  device.lastSeen = timestampOf(row.integer(6));
  device.inventory = row.text(7);
  return device;
}

std::vector<JobRow> allJobs(Statement& statement) {
  std::vector<JobRow> jobs;
  while (statement.step())
    jobs.push_back(readJob(statement));
  return jobs;
}

std::optional<JobRow> firstJob(Statement& statement) {
  if (!statement.step()) return std::nullopt;
  JobRow job = readJob(statement);
  statement.reset();
  return job;
}

class SqliteTransaction : public StoreTransaction {
 public:
  explicit SqliteTransaction(Database& db) : db_(db) {}

  // Only one process opens the database.
  bool takeSweepTurn() override { return true; }

  void insertGroup(const GroupRow& group) override {
    db_.prepare("INSERT INTO groups (id, name, created) VALUES (?1, ?2, ?3)")
        .bind(1, group.id)
        .bind(2, group.name)
        .bind(3, stored(group.created))
        .run();
  }

  std::optional<GroupRow> group(const std::string& id) override {
    Statement& s = db_.prepare("SELECT id, name, created FROM groups WHERE id = ?1");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    GroupRow group{s.text(0), s.text(1), timestampOf(s.integer(2))};
    s.reset();
    return group;
  }

  void insertDevice(const DeviceRow& device) override {
    db_.prepare(
           "INSERT INTO devices (id, group_id, name, token_digest, revoked, created, last_seen, "
           "inventory) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")
        .bind(1, device.id)
        .bind(2, device.groupId)
        .bind(3, device.name)
        .bindBlob(4, device.tokenDigest)
        .bind(5, std::int64_t{device.revoked})
        .bind(6, stored(device.created))
        .bind(7, stored(device.lastSeen))
        .bind(8, device.inventory)
        .run();
  }

  std::optional<DeviceRow> device(const std::string& id) override {
    Statement& s = db_.prepare("SELECT " + kDeviceColumns + " FROM devices WHERE id = ?1");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    DeviceRow device = readDevice(s);
    s.reset();
    return device;
  }

  std::vector<DeviceRow> devicesOfGroup(const std::string& groupId) override {
    Statement& s = db_.prepare("SELECT " + kDeviceColumns +
                               " FROM devices WHERE group_id = ?1 ORDER BY created, rowid");
    s.bind(1, groupId);
    std::vector<DeviceRow> devices;
    while (s.step())
      devices.push_back(readDevice(s));
    return devices;
  }

  void recordHeartbeat(const std::string& deviceId, Timestamp lastSeen,
                       const std::string& inventory) override {
    db_.prepare(
           "UPDATE devices SET last_seen = ?2, inventory = ?3 "
           "WHERE id = ?1 AND (last_seen <> ?2 OR inventory <> ?3)")
        .bind(1, deviceId)
        .bind(2, stored(lastSeen))
        .bind(3, inventory)
        .run();
  }

  void revokeDevice(const std::string& deviceId) override {
    db_.prepare("UPDATE devices SET revoked = 1, inventory = '{}' WHERE id = ?1")
        .bind(1, deviceId)
        .run();
  }

  void forgetRevokedInventories() override {
    db_.prepare("UPDATE devices SET inventory = '{}' WHERE revoked = 1 AND inventory <> '{}'")
        .run();
  }

  void insertInvite(const InviteRow& invite) override {
    db_.prepare(
           "INSERT INTO invites (code_digest, group_id, created_by, created, expires) "
           "VALUES (?1, ?2, ?3, ?4, ?5)")
        .bindBlob(1, invite.codeDigest)
        .bind(2, invite.groupId)
        .bind(3, invite.createdBy)
        .bind(4, stored(invite.created))
        .bind(5, stored(invite.expires))
        .run();
  }

  std::optional<InviteRow> invite(const std::string& codeDigest) override {
    Statement& s = db_.prepare(
        "SELECT code_digest, group_id, created_by, created, expires, used_by FROM invites "
        "WHERE code_digest = ?1");
    s.bindBlob(1, codeDigest);
    if (!s.step()) return std::nullopt;
    InviteRow invite{s.text(0),
                     s.text(1),
                     s.text(2),
                     timestampOf(s.integer(3)),
                     timestampOf(s.integer(4)),
                     s.optionalText(5)};
    s.reset();
    return invite;
  }

  void markInviteUsed(const std::string& codeDigest, const std::string& deviceId,
                      Timestamp at) override {
    db_.prepare("UPDATE invites SET used_by = ?2, used_at = ?3 WHERE code_digest = ?1")
        .bindBlob(1, codeDigest)
        .bind(2, deviceId)
        .bind(3, stored(at))
        .run();
  }

  void deleteInvitesExpiredBefore(Timestamp cutoff) override {
    db_.prepare("DELETE FROM invites WHERE expires < ?1").bind(1, stored(cutoff)).run();
  }

  void insertJob(const JobRow& job) override {
    db_.prepare("INSERT INTO jobs (" + kJobColumns +
                ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                "?16, ?17)")
        .bind(1, job.id)
        .bind(2, job.groupId)
        .bind(3, nameOf(job.state))
        .bind(4, job.builderId)
        .bind(5, job.receiverId)
        .bind(6, job.parameters)
        .bind(7, job.error)
        .bind(8, job.manifest)
        .bind(9, job.artifactSha)
        .bind(10, job.artifactFile)
        .bind(11, job.artifactSize)
        .bind(12, stored(job.artifactUploaded))
        .bindBlob(13, job.leaseDigest)
        .bind(14, job.leaseHolder)
        .bind(15, stored(job.leaseExpires))
        .bind(16, stored(job.created))
        .bind(17, stored(job.updated))
        .run();
  }

  void updateJob(const JobRow& job) override {
    db_.prepare(
           "UPDATE jobs SET state = ?2, error = ?3, manifest = ?4, artifact_sha = ?5, "
           "artifact_file = ?6, artifact_size = ?7, artifact_uploaded = ?8, lease_digest = ?9, "
           "lease_holder = ?10, lease_expires_ms = ?11, updated = ?12 WHERE id = ?1")
        .bind(1, job.id)
        .bind(2, nameOf(job.state))
        .bind(3, job.error)
        .bind(4, job.manifest)
        .bind(5, job.artifactSha)
        .bind(6, job.artifactFile)
        .bind(7, job.artifactSize)
        .bind(8, stored(job.artifactUploaded))
        .bindBlob(9, job.leaseDigest)
        .bind(10, job.leaseHolder)
        .bind(11, stored(job.leaseExpires))
        .bind(12, stored(job.updated))
        .run();
  }

  std::optional<JobRow> job(const std::string& id) override {
    Statement& s = db_.prepare("SELECT " + kJobColumns + " FROM jobs WHERE id = ?1");
    s.bind(1, id);
    return firstJob(s);
  }

  std::vector<JobRow> recentJobs(const std::string& groupId, std::size_t limit) override {
    Statement& s = db_.prepare("SELECT " + kJobColumns +
                               " FROM jobs WHERE group_id = ?1 ORDER BY seq DESC LIMIT ?2");
    s.bind(1, groupId).bind(2, static_cast<std::int64_t>(limit));
    return allJobs(s);
  }

  std::optional<JobRow> nextClaimable(const std::string& groupId,
                                      const std::string& deviceId) override {
    Statement& s =
        db_.prepare("SELECT " + kJobColumns +
                    " FROM jobs WHERE group_id = ?1 AND state IN ('building', 'installing') "
                    "AND lease_digest IS NULL AND ((state = 'building' AND builder_id = ?2) OR "
                    "(state = 'installing' AND receiver_id = ?2 AND artifact_file IS NOT NULL)) "
                    "ORDER BY seq LIMIT 1");
    s.bind(1, groupId).bind(2, deviceId);
    return firstJob(s);
  }

  std::vector<JobRow> unfinishedJobsOf(const std::string& deviceId) override {
    Statement& s = db_.prepare(
        "SELECT " + kJobColumns +
        " FROM jobs WHERE state IN ('building', 'installing') AND builder_id = ?1 UNION SELECT " +
        kJobColumns + " FROM jobs WHERE state IN ('building', 'installing') AND receiver_id = ?1");
    s.bind(1, deviceId);
    return allJobs(s);
  }

  std::vector<JobRow> leasedJobs() override {
    Statement& s =
        db_.prepare("SELECT " + kJobColumns + " FROM jobs WHERE lease_digest IS NOT NULL");
    return allJobs(s);
  }

  std::vector<JobRow> jobsWithLeaseExpiredBy(Instant now) override {
    Statement& s = db_.prepare("SELECT " + kJobColumns +
                               " FROM jobs WHERE lease_digest IS NOT NULL AND "
                               "lease_expires_ms <= ?1");
    s.bind(1, stored(now));
    return allJobs(s);
  }

  std::vector<JobRow> jobsWithArtifactUploadedBy(Timestamp cutoff) override {
    Statement& s = db_.prepare("SELECT " + kJobColumns +
                               " FROM jobs WHERE artifact_file IS NOT NULL AND "
                               "artifact_uploaded <= ?1");
    s.bind(1, stored(cutoff));
    return allJobs(s);
  }

  std::vector<JobRow> jobsWithArtifacts() override {
    Statement& s =
        db_.prepare("SELECT " + kJobColumns + " FROM jobs WHERE artifact_file IS NOT NULL");
    return allJobs(s);
  }

  std::size_t deleteJobsEndedBefore(Timestamp cutoff) override {
    const std::string ended =
        "SELECT id FROM jobs WHERE state IN ('succeeded', 'failed', 'cancelled') AND "
        "artifact_file IS NULL AND updated < ?1";
    db_.prepare("DELETE FROM events WHERE job_id IN (" + ended + ")").bind(1, stored(cutoff)).run();
    Statement& jobs = db_.prepare("DELETE FROM jobs WHERE id IN (" + ended + ")");
    jobs.bind(1, stored(cutoff)).run();
    return static_cast<std::size_t>(db_.changes());
  }

  EventRow insertEvent(const std::string& jobId, const std::string& deviceId,
                       const std::string& message, Timestamp created) override {
    db_.prepare("INSERT INTO events (job_id, device_id, message, created) VALUES (?1, ?2, ?3, ?4)")
        .bind(1, jobId)
        .bind(2, deviceId)
        .bind(3, message)
        .bind(4, stored(created))
        .run();
    return {db_.lastInsertRowId(), jobId, deviceId, message, created};
  }

  std::map<std::string, std::uint64_t> jobCountsByState() override {
    Statement& s = db_.prepare("SELECT state, count(*) FROM jobs GROUP BY state");
    std::map<std::string, std::uint64_t> counts;
    while (s.step())
      counts[s.text(0)] = static_cast<std::uint64_t>(s.integer(1));
    s.reset();
    return counts;
  }

  std::size_t eventCount(const std::string& jobId) override {
    Statement& s = db_.prepare("SELECT count(*) FROM events WHERE job_id = ?1");
    s.bind(1, jobId);
    s.step();
    auto count = static_cast<std::size_t>(s.integer(0));
    s.reset();
    return count;
  }

  std::vector<EventRow> events(const std::string& jobId, std::int64_t after,
                               std::size_t limit) override {
    Statement& s = db_.prepare(
        "SELECT id, job_id, device_id, message, created FROM events "
        "WHERE job_id = ?1 AND id > ?2 ORDER BY id LIMIT ?3");
    s.bind(1, jobId).bind(2, after).bind(3, static_cast<std::int64_t>(limit));
    std::vector<EventRow> events;
    while (s.step()) {
      events.push_back({s.integer(0), s.text(1), s.text(2), s.text(3), timestampOf(s.integer(4))});
    }
    return events;
  }

 private:
  Database& db_;
};

}  // namespace

SqliteStore::SqliteStore(const std::filesystem::path& file)
    : db_(std::make_unique<Database>(file)) {
  db_->exec("PRAGMA busy_timeout = 5000");
  db_->exec("PRAGMA journal_mode = WAL");
  db_->exec("PRAGMA synchronous = NORMAL");
  db_->exec("PRAGMA foreign_keys = ON");
  db_->exec("PRAGMA temp_store = MEMORY");

  Statement& version = db_->prepare("PRAGMA user_version");
  version.step();
  std::int64_t current = version.integer(0);
  version.reset();
  if (current > schemaVersion()) {
    throw VEKError("The relay database " + file.string() + " has schema version " +
                   std::to_string(current) +
                   ", written by a newer vek-relay; this one knows up "
                   "to version " +
                   std::to_string(schemaVersion()) + ".");
  }
  for (auto step = current; step < schemaVersion(); ++step) {
    db_->exec("BEGIN IMMEDIATE");
    try {
      db_->exec(kMigrations[static_cast<std::size_t>(step)]);
      db_->exec("PRAGMA user_version = " + std::to_string(step + 1));
      db_->exec("COMMIT");
    } catch (...) {
      db_->exec("ROLLBACK");
      throw;
    }
  }
}

SqliteStore::~SqliteStore() = default;

int SqliteStore::schemaVersion() {
  return static_cast<int>(kMigrations.size());
}

void SqliteStore::write(const std::function<void(StoreTransaction&)>& work) {
  transact("BEGIN IMMEDIATE", work);
}

void SqliteStore::writeExclusively(const std::function<void(StoreTransaction&)>& work) {
  transact("BEGIN IMMEDIATE", work);
}

void SqliteStore::read(const std::function<void(StoreTransaction&)>& work) {
  transact("BEGIN", work);
}

void SqliteStore::transact(const char* begin, const std::function<void(StoreTransaction&)>& work) {
  std::lock_guard lock(mutex_);
  db_->exec(begin);
  try {
    SqliteTransaction transaction(*db_);
    work(transaction);
    db_->resetAll();
    db_->exec("COMMIT");
  } catch (...) {
    db_->resetAll();
    try {
      db_->exec("ROLLBACK");
    } catch (const SqliteError&) {
      // SQLite already rolled back (it does so itself after some errors).
    }
    throw;
  }
}

}  // namespace vek::relay_server
