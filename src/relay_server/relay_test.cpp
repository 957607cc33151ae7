// The lifecycle rules against a real SQLite store and real files, with a clock the tests move.
#include "relay_server/relay.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/random.h"
#include "relay_server/notifier.h"
#include "relay_server/sqlite_store.h"
#include "test_support.h"

namespace vek::relay_server {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBootstrap = "bootstrap-token-for-tests";

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override { open(); }
  void TearDown() override {
    relay_.reset();
    store_.reset();
  }

  void open() {
    relay_.reset();
    store_ = std::make_unique<SqliteStore>(directory_ / "relay.db");
    artifacts_ = std::make_unique<ArtifactStore>(directory_ / "artifacts");
    relay_ = std::make_unique<Relay>(*store_, *artifacts_,
                                     BootstrapTokens::of({std::string(kBootstrap)}), config_,
                                     notifier_, [this] { return now_; });
  }

  void advance(std::chrono::milliseconds by) { now_ += by; }

  struct Member {
    PresentedCredentials credentials;
    std::string id;
    std::string groupId;
  };

  static Member memberFrom(const JSON& answer) {
    std::string id = answer["device_id"].text();
    return {{id, secretDigest(answer["token"].text())}, id, answer["group_id"].text()};
  }

  Member createGroup(const std::string& name = "Team") {
    return memberFrom(relay_->createGroup(std::string(kBootstrap), {name, "First Mac"}));
  }

  Member join(const Member& inviter, const std::string& name) {
    JSON invite = relay_->createInvite(inviter.credentials);
    return memberFrom(relay_->join({invite["code"].text(), name}));
  }

  void reportPhone(const Member& member, const std::string& udid) {
    HeartbeatRequest beat;
    beat.inventory =
        JSON::object({{"phones", JSON::array({JSON::object({{"udid", udid}, {"os", "17.4"}})})}});
    beat.inventoryText = beat.inventory.data();
    relay_->heartbeat(member.credentials, beat);
  }

  std::string queue(const Member& caller, const Member& builder, const Member& receiver) {
    reportPhone(receiver, "PHONE-1");
    return relay_
        ->queueJob(caller.credentials,
                   {builder.id, receiver.id, "project", "App", "Release", "adhoc", "PHONE-1"})["id"]
        .text();
  }

  // Claims the member's next job and returns its lease.
  std::string claimLease(const Member& member) {
    return relay_->claim(member.credentials)["lease"].text();
  }

  // Uploads `bytes` as the job's artifact under `lease`.
  JSON upload(const Member& builder, const std::string& job, const std::string& lease,
              const std::string& bytes) {
    relay_->authorizeUpload(builder.credentials, job, lease);
    auto writer = artifacts_->beginUpload();
    writer->append(bytes);
    std::string sha = writer->finishDigest();
    std::string file = writer->publish(job);
    return relay_->commitUpload(builder.credentials, job, lease, {file, sha, bytes.size()});
  }

  std::size_t artifactFiles() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(directory_ / "artifacts"), fs::directory_iterator()));
  }

  static void expectRefusal(int status, std::string_view fragment,
                            const std::function<void()>& request) {
    try {
      request();
      ADD_FAILURE() << "expected HTTP " << status;
    } catch (const HttpError& error) {
      EXPECT_EQ(error.status(), status) << error.message();
      EXPECT_NE(error.message().find(fragment), std::string::npos) << error.message();
    }
  }

  testing::TempDir directory_;
  Config config_;
  Notifier notifier_;
  Instant now_{std::chrono::milliseconds(1'700'000'000'000)};
  std::unique_ptr<SqliteStore> store_;
  std::unique_ptr<ArtifactStore> artifacts_;
  std::unique_ptr<Relay> relay_;
};

TEST_F(RelayTest, InvitesAreSingleUseExpireAndDieWithTheirIssuer) {
  Member first = createGroup();
  JSON invite = relay_->createInvite(first.credentials);
  EXPECT_EQ(invite["expires_in_seconds"].integer(), 900);
  std::string code = invite["code"].text();
  Member second = memberFrom(relay_->join({code, "Second"}));
  EXPECT_EQ(second.groupId, first.groupId);
  expectRefusal(403, "already been used", [&] { relay_->join({code, "Third"}); });

  std::string late = relay_->createInvite(first.credentials)["code"].text();
  advance(std::chrono::seconds(900));
  expectRefusal(403, "expired", [&] { relay_->join({late, "Late"}); });

  std::string orphan = relay_->createInvite(second.credentials)["code"].text();
  relay_->revokeDevice(first.credentials, second.id);
  expectRefusal(403, "revoked", [&] { relay_->join({orphan, "Orphan"}); });
  expectRefusal(403, "not valid", [&] { relay_->join({"no-such-code", "X"}); });
  expectRefusal(403, "no valid invite code", [&] { relay_->join({std::nullopt, "X"}); });
}

TEST_F(RelayTest, ClaimsTakeTheOldestJobAndUploadsReplaceOrVanish) {
  Member builder = createGroup();
  std::string older = queue(builder, builder, builder);
  std::string newer = queue(builder, builder, builder);
  JSON first = relay_->claim(builder.credentials);
  EXPECT_EQ(first["job"]["id"].text(), older);
  std::string lease = first["lease"].text();
  upload(builder, older, lease, "first");
  JSON second = upload(builder, older, lease, "second");
  EXPECT_EQ(artifactFiles(), 1u);
  EXPECT_EQ(relay_->job(builder.credentials, older)["artifact_sha"].text(),
            second["artifact_sha"].text());

  // An upload whose job is cancelled while it streams is refused at commit, and its file goes.
  JSON other = relay_->claim(builder.credentials);
  EXPECT_EQ(other["job"]["id"].text(), newer);
  std::string otherLease = other["lease"].text();
  relay_->authorizeUpload(builder.credentials, newer, otherLease);
  auto writer = artifacts_->beginUpload();
  writer->append("bytes");
  std::string sha = writer->finishDigest();
  std::string file = writer->publish(newer);
  relay_->cancel(builder.credentials, newer);
  expectRefusal(409, "already ended", [&] {
    relay_->commitUpload(builder.credentials, newer, otherLease, {file, sha, 5});
  });
  EXPECT_EQ(artifactFiles(), 1u);
}

TEST_F(RelayTest, ChangesThatHeldRequestsWaitForAreAnnouncedOnceCommitted) {
  std::vector<std::string> posted;
  notifier_.setBroadcaster([&](const Topic& topic) { posted.push_back(topic.text()); });
  auto announced = [&] { return std::exchange(posted, {}); };
  using Topics = std::vector<std::string>;
  Member builder = createGroup();
  Member receiver = join(builder, "Receiver");

  std::string job = queue(builder, builder, receiver);
  EXPECT_EQ(announced(), Topics{"device:" + builder.id});
  std::string lease = claimLease(builder);
  relay_->postEvent(builder.credentials, job, lease, {"Archiving"});
  EXPECT_EQ(announced(), Topics{"job:" + job});
  upload(builder, job, lease, "build");
  EXPECT_EQ(announced(), Topics{});
  relay_->finishBuild(builder.credentials, job, lease, {"{}"});
  EXPECT_EQ(announced(), (Topics{"device:" + receiver.id, "job:" + job}));
  relay_->finish(receiver.credentials, job, claimLease(receiver));
  EXPECT_EQ(announced(), Topics{"job:" + job});
  // A refused change announces nothing.
  expectRefusal(409, "already ended", [&] { relay_->cancel(builder.credentials, job); });
  EXPECT_EQ(announced(), Topics{});

  std::string cancelled = queue(builder, builder, receiver);
  std::string lapsing = queue(builder, builder, receiver);
  announced();
  relay_->cancel(receiver.credentials, cancelled);
  EXPECT_EQ(announced(), Topics{"job:" + cancelled});
  relay_->postEvent(builder.credentials, lapsing, claimLease(builder), {"Archiving"});
  announced();
  advance(config_.leaseDuration);
  relay_->sweep();
  EXPECT_EQ(announced(), Topics{"job:" + lapsing});
}

TEST_F(RelayTest, LapsedLeasesFailTheJobAndHeartbeatsKeepThemAlive) {
  Member builder = createGroup();
  std::string kept = queue(builder, builder, builder);
  std::string dropped = queue(builder, builder, builder);
  std::string keptLease = claimLease(builder);
  std::string droppedLease = claimLease(builder);

  for (int beat = 0; beat < 3; ++beat) {
    advance(std::chrono::seconds(40));
    HeartbeatRequest request;
    request.inventory = JSON::object();
    request.inventoryText = "{}";
    request.leases = {{kept, keptLease}, {dropped, droppedLease}};
    JSON answer = relay_->heartbeat(builder.credentials, request);
    ASSERT_EQ(answer["jobs"].items().size(), 2u);
    relay_->sweep();
    if (beat == 0) {
      // Extended in time: both survive the first 40 seconds.
      EXPECT_EQ(relay_->job(builder.credentials, dropped)["state"].text(), "building");
      droppedLease = "not-the-lease";
    }
  }
  EXPECT_EQ(relay_->job(builder.credentials, kept)["state"].text(), "building");
  JSON failed = relay_->job(builder.credentials, dropped);
  EXPECT_EQ(failed["state"].text(), "failed");
  EXPECT_EQ(failed["error"].text(), kStoppedResponding);

  // Once lapsed, nothing is accepted under the lease, not even when the sweep has not run yet.
  advance(std::chrono::seconds(61));
  expectRefusal(409, "lapsed",
                [&] { relay_->postEvent(builder.credentials, kept, keptLease, {"late"}); });
  relay_->sweep();
  expectRefusal(409, "already ended",
                [&] { relay_->postEvent(builder.credentials, kept, keptLease, {"late"}); });
}

TEST_F(RelayTest, RevokingAMacCancelsItsJobs) {
  Member first = createGroup();
  Member second = join(first, "Second");
  std::string builds = queue(first, second, first);
  std::string receives = queue(first, first, second);
  std::string unrelated = queue(first, first, first);
  relay_->revokeDevice(first.credentials, second.id);
  EXPECT_EQ(relay_->job(first.credentials, builds)["state"].text(), "cancelled");
  EXPECT_EQ(relay_->job(first.credentials, receives)["state"].text(), "cancelled");
  EXPECT_EQ(relay_->job(first.credentials, unrelated)["state"].text(), "building");
}

TEST_F(RelayTest, OldBuildsExpire) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  std::string lease = claimLease(builder);
  upload(builder, job, lease, "bytes");
  relay_->finishBuild(builder.credentials, job, lease, {"{}"});
  advance(std::chrono::hours(24));
  SweepReport report = relay_->sweep();
  EXPECT_EQ(report.expired, 1u);
  JSON expired = relay_->job(builder.credentials, job);
  EXPECT_EQ(expired["state"].text(), "failed");
  EXPECT_NE(expired["error"].text().find("expired"), std::string::npos);
  EXPECT_EQ(artifactFiles(), 0u);
}

TEST_F(RelayTest, RestartKeepsStateRenewsLeasesAndCleansUpFiles) {
  Member builder = createGroup();
  std::string installing = queue(builder, builder, builder);
  std::string lease = claimLease(builder);
  upload(builder, installing, lease, "bytes");
  relay_->finishBuild(builder.credentials, installing, lease, {"{}"});
  std::string receiverLease = claimLease(builder);
  std::string installingFile =
      relay_->authorizeDownload(builder.credentials, installing, receiverLease).file;
  std::string held = queue(builder, builder, builder);
  std::string heldLease = claimLease(builder);

  // Leftovers of an interrupted upload and a file no job names, then the relay is down for
  // longer than a lease and its installing job's file has vanished.
  std::ofstream(directory_ / "artifacts" / ".upload-0123.tmp") << "half";
  std::ofstream(directory_ / "artifacts" / "orphan-file") << "x";
  fs::remove(directory_ / "artifacts" / installingFile);
  advance(std::chrono::seconds(120));
  open();
  RecoveryReport report = relay_->recover();
  EXPECT_EQ(report.leftoversDeleted, 2u);
  EXPECT_EQ(report.artifactsMissing, 1u);
  EXPECT_EQ(artifactFiles(), 0u);
  EXPECT_EQ(relay_->job(builder.credentials, installing)["state"].text(), "failed");

  relay_->sweep();
  EXPECT_EQ(relay_->job(builder.credentials, held)["state"].text(), "building");
  relay_->postEvent(builder.credentials, held, heldLease, {"still here"});
}

TEST_F(RelayTest, PartialUploadsLiveOnlyWhileTheirJobBuildsUnderALiveLease) {
  Member builder = createGroup();
  std::string building = queue(builder, builder, builder);
  claimLease(builder);
  std::string old = queue(builder, builder, builder);
  claimLease(builder);
  auto begin = [&](const std::string& job, Timestamp started) {
    auto writer = artifacts_->takePartial(job, [] {});
    writer->restart(10, std::string(64, 'a'), started);
    writer->append("12345");
  };
  Timestamp now = std::chrono::floor<std::chrono::seconds>(now_);
  begin(building, now);
  begin(old, now - config_.artifactMaxAge);  // as old as a build may get
  begin(randomUUID(), now);                  // no such job
  relay_->sweep();
  std::vector<PartialUpload> left = artifacts_->partials();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].jobId, building);

  // A restart keeps it with what it held; once the lease lapses, it goes with the job.
  open();
  relay_->recover();
  left = artifacts_->partials();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].held, 5u);
  advance(config_.leaseDuration + std::chrono::seconds(1));
  relay_->sweep();
  EXPECT_EQ(relay_->job(builder.credentials, building)["state"].text(), "failed");
  EXPECT_TRUE(artifacts_->partials().empty());
}

// The database keeps the layout older relays wrote: states by name, seconds in the time columns
// and milliseconds in lease_expires_ms.
TEST_F(RelayTest, TimesAndStatesAreStoredInTheirColumnsUnits) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  advance(std::chrono::milliseconds(1500));
  relay_->claim(builder.credentials);
  relay_.reset();
  store_.reset();

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((directory_ / "relay.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* row = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT state, created, updated, lease_expires_ms FROM jobs "
                               "WHERE id = ?1",
                               -1, &row, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(row, 1, job.c_str(), -1, SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(row), SQLITE_ROW);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(row, 0))), "building");
  EXPECT_EQ(sqlite3_column_int64(row, 1), 1'700'000'000);
  EXPECT_EQ(sqlite3_column_int64(row, 2), 1'700'000'000);
  EXPECT_EQ(sqlite3_column_int64(row, 3), 1'700'000'001'500 + 60'000);
  sqlite3_finalize(row);
  sqlite3_close(db);
}

// The jobs table's CHECK admits exactly the states JobState names.
TEST(SqliteStoreTest, TheStateCheckMatchesTheJobStates) {
  testing::TempDir directory;
  fs::path file = directory / "relay.db";
  { SqliteStore store(file); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* row = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE name = 'jobs'", -1, &row,
                               nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(row), SQLITE_ROW);
  std::string schema(reinterpret_cast<const char*>(sqlite3_column_text(row, 0)));
  sqlite3_finalize(row);
  sqlite3_close(db);

  std::size_t open = schema.find("CHECK (state IN (");
  ASSERT_NE(open, std::string::npos) << schema;
  std::size_t close = schema.find(')', open + 17);
  std::set<std::string> checked;
  std::string list = schema.substr(open + 17, close - open - 17);
  for (std::size_t quote = list.find('\''); quote != std::string::npos;) {
    std::size_t end = list.find('\'', quote + 1);
    if (end == std::string::npos) break;
    checked.insert(list.substr(quote + 1, end - quote - 1));
    quote = list.find('\'', end + 1);
  }
  std::set<std::string> named;
  for (JobState state : kJobStates) {
    named.insert(std::string(nameOf(state)));
    EXPECT_EQ(jobStateNamed(nameOf(state)), state);
    EXPECT_EQ(isTerminal(state), VEK::isTerminal(nameOf(state)));
  }
  EXPECT_EQ(checked, named);
  EXPECT_FALSE(jobStateNamed("queued").has_value());
}

TEST_F(RelayTest, AJobKeepsAtMostOneAnswerOfEvents) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  std::string lease = relay_->claim(builder.credentials)["lease"].text();
  for (std::size_t i = 0; i < kMaxEventsPerJob; ++i)
    relay_->postEvent(builder.credentials, job, lease, {"step " + std::to_string(i)});
  expectRefusal(409, "1000 progress messages",
                [&] { relay_->postEvent(builder.credentials, job, lease, {"one too many"}); });
  JSON log = relay_->events(builder.credentials, job, std::nullopt)["events"];
  ASSERT_EQ(log.items().size(), kMaxEventsPerJob);
  EXPECT_EQ(log.items().back()["message"].text(), "step 999");
  // The refusal is the job's own limit: the job itself goes on.
  upload(builder, job, lease, "bytes");
  EXPECT_EQ(relay_->finishBuild(builder.credentials, job, lease, {"{}"})["state"].text(),
            "installing");
}

TEST_F(RelayTest, EndedJobsAndTheirEventsGoAfterTheRetentionPeriod) {
  Member builder = createGroup();
  std::string ended = queue(builder, builder, builder);
  std::string endedLease = relay_->claim(builder.credentials)["lease"].text();
  relay_->postEvent(builder.credentials, ended, endedLease, {"archiving"});
  relay_->fail(builder.credentials, ended, endedLease, {"broken"});
  std::string open = queue(builder, builder, builder);
  advance(std::chrono::hours(24 * 15));
  std::string later = queue(builder, builder, builder);
  relay_->cancel(builder.credentials, later);

  advance(std::chrono::hours(24 * 15) - std::chrono::seconds(1));
  EXPECT_EQ(relay_->sweep().removed, 0u);
  advance(std::chrono::seconds(2));
  EXPECT_EQ(relay_->sweep().removed, 1u);
  expectRefusal(404, "No job", [&] { relay_->job(builder.credentials, ended); });
  // A job still open is never removed, however old; one ended later waits for its own period.
  EXPECT_EQ(relay_->job(builder.credentials, open)["state"].text(), "building");
  EXPECT_EQ(relay_->job(builder.credentials, later)["state"].text(), "cancelled");
  EXPECT_EQ(relay_->listJobs(builder.credentials)["jobs"].items().size(), 2u);
  std::int64_t events = -1;
  store_->read(
      [&](StoreTransaction& tx) { events = static_cast<std::int64_t>(tx.eventCount(ended)); });
  EXPECT_EQ(events, 0);
}

TEST_F(RelayTest, ARevokedMacsInventoryIsForgotten) {
  Member first = createGroup();
  Member second = join(first, "Second");
  reportPhone(second, "PHONE-2");
  relay_->revokeDevice(first.credentials, second.id);
  JSON devices = relay_->group(first.credentials)["devices"];
  ASSERT_EQ(devices.items().size(), 2u);
  EXPECT_EQ(devices.items()[1]["inventory"].data(), "{}");

  // A Mac revoked by an earlier version kept its inventory; a restart forgets it.
  Member third = join(first, "Third");
  reportPhone(third, "PHONE-3");
  store_->write([&](StoreTransaction& tx) {
    DeviceRow row = tx.device(third.id).value();
    row.id = randomUUID();
    row.revoked = true;
    tx.insertDevice(row);
  });
  open();
  relay_->recover();
  JSON group = relay_->group(first.credentials);
  for (const JSON& device : group["devices"].items()) {
    if (device["revoked"].integer() == 1) {
      EXPECT_EQ(device["inventory"].data(), "{}");
    }
  }
}

// Values stored before nesting was bounded must not make the answers that carry them unreadable
// for every member.
TEST_F(RelayTest, TooDeeplyNestedStoredValuesAreServedAsNull) {
  Member member = createGroup();
  reportPhone(member, "PHONE-1");
  std::string job = queue(member, member, member);
  JSON deep = JSON(1);
  for (int level = 0; level < 600; ++level)
    deep = JSON::array({deep});
  HeartbeatRequest beat;
  beat.inventory = JSON::object({{"deep", deep}});
  beat.inventoryText = beat.inventory.data();
  relay_->heartbeat(member.credentials, beat);
  std::string lease = relay_->claim(member.credentials)["lease"].text();
  upload(member, job, lease, "bytes");
  relay_->finishBuild(member.credentials, job, lease, {beat.inventoryText});

  JSON group = relay_->group(member.credentials);
  EXPECT_TRUE(group["devices"].items()[0]["inventory"].isNull());
  EXPECT_NO_THROW(JSON::decode(group.data()));
  JSON jobs = relay_->listJobs(member.credentials);
  EXPECT_TRUE(jobs["jobs"].items()[0]["manifest"].isNull());
  EXPECT_EQ(jobs["jobs"].items()[0]["state"].text(), "installing");
  EXPECT_NO_THROW(JSON::decode(jobs.data()));
}

TEST(SqliteStoreTest, RefusesADatabaseFromANewerRelay) {
  testing::TempDir directory;
  fs::path file = directory / "relay.db";
  { SqliteStore store(file); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_THROW(SqliteStore{file}, VEKError);
}

}  // namespace
}  // namespace vek::relay_server
