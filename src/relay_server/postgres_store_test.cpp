// What relay processes sharing one PostgreSQL database agree on through it: the schema, whose
// turn the sweep is, and wake-up topics. Two stores on one database stand for two processes.
#include "relay_server/postgres_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "postgres_server.h"
#include "relay_server/postgres.h"
#include "relay_server/postgres_broadcast.h"
#include "relay_server/sqlite_store.h"

namespace vek::relay_server {
namespace {

using namespace std::chrono_literals;

// A migration added to one store and not mirrored in the other would give one version number
// two meanings.
TEST(PostgresStore, KnowsTheSameSchemaVersionAsTheSQLiteStore) {
  EXPECT_EQ(PostgresStore::schemaVersion(), SqliteStore::schemaVersion());
}

class SharedDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::requirePostgres();
    if (IsSkipped() || HasFailure()) return;
    database_ = std::make_unique<testing::PostgresDatabase>(*testing::testPostgres());
  }
  const std::string& conninfo() const { return database_->conninfo(); }

  std::unique_ptr<testing::PostgresDatabase> database_;
};

// Deferred statements go out, in order, with the next statement that is answered; the first
// failure among them is that call's, nothing after it runs (a statement first prepared there
// included), and the connection stays usable. Discarded ones never reach the server.
TEST_F(SharedDatabase, DeferredStatementsRunWithTheNextAnsweredOneAndFailWithIt) {
  PgConnection db(conninfo());
  db.exec("CREATE TABLE numbers (n BIGINT PRIMARY KEY)");
  const std::string insert = "INSERT INTO numbers VALUES ($1)";
  const std::string count = "SELECT count(*) FROM numbers";
  db.defer("BEGIN");
  db.defer(insert, PgParams().add(std::int64_t{1}));
  EXPECT_EQ(db.query(count).integer(0, 0), 1);

  db.defer(insert, PgParams().add(std::int64_t{1}));  // a duplicate
  db.defer(insert, PgParams().add(std::int64_t{2}));
  const std::string sum = "SELECT $1::bigint + 1";
  try {
    db.query(sum, PgParams().add(std::int64_t{41}));
    ADD_FAILURE() << "the duplicate went unnoticed";
  } catch (const PostgresError& failure) {
    EXPECT_EQ(failure.sqlState(), "23505");
  }
  ASSERT_TRUE(db.healthy());
  db.exec("ROLLBACK");
  EXPECT_EQ(db.query(count).integer(0, 0), 0);
  EXPECT_EQ(db.query(sum, PgParams().add(std::int64_t{41})).integer(0, 0), 42);

  db.defer(insert, PgParams().add(std::int64_t{3}));
  db.discardDeferred();
  EXPECT_EQ(db.query(count).integer(0, 0), 0);
}

TEST_F(SharedDatabase, OneProcessAtATimeGetsTheSweep) {
  PostgresStore first(conninfo(), 2), second(conninfo(), 2);
  bool mine = false, theirs = true;
  first.write([&](StoreTransaction& tx) {
    mine = tx.takeSweepTurn();
    std::thread other(
        [&] { second.write([&](StoreTransaction& rx) { theirs = rx.takeSweepTurn(); }); });
    other.join();
  });
  EXPECT_TRUE(mine);
  EXPECT_FALSE(theirs);
  second.write([&](StoreTransaction& tx) { theirs = tx.takeSweepTurn(); });
  EXPECT_TRUE(theirs) << "the turn ends with the transaction that took it";
}

TEST_F(SharedDatabase, TopicsReachTheOtherProcessesButNotTheSender) {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> received[2];
  auto receiver = [&](int index) {
    return [&, index](const Topic& topic) {
      std::lock_guard lock(mutex);
      received[index].push_back(topic.text());
      arrived.notify_all();
    };
  };
  PostgresBroadcast first(conninfo(), receiver(0)), second(conninfo(), receiver(1));
  Topic job = Topic::jobChanged("5f0c3a52-6d4e-4b0e-9a39-8f3b1f3b7a10");
  Topic device = Topic::claimable("0b6f3c1e-2d1f-4a4e-8c5d-6e7f8a9b0c1d");
  // The listeners connect on their own threads: send until the other side hears.
  std::unique_lock lock(mutex);
  for (int attempt = 0; attempt < 100 && received[1].empty(); ++attempt) {
    lock.unlock();
    first.send(job);
    lock.lock();
    arrived.wait_for(lock, 100ms, [&] { return !received[1].empty(); });
  }
  ASSERT_FALSE(received[1].empty());
  EXPECT_EQ(received[1].front(), job.text());
  lock.unlock();
  second.send(device);
  lock.lock();
  ASSERT_TRUE(arrived.wait_for(lock, 10s, [&] {
    return std::find(received[0].begin(), received[0].end(), device.text()) != received[0].end();
  }));
  for (const std::string& topic : received[0])
    EXPECT_NE(topic, job.text()) << "a sender hears its own topic";
}

}  // namespace
}  // namespace vek::relay_server
