// Relay processes sharing one PostgreSQL database in trouble: one killed mid-upload, the
// database restarted under load, a newer schema, and a relay moved over from SQLite.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using namespace std::chrono_literals;

// Requests the test does not send to a process of its choice go to the first one, whose metrics
// it reads.
class ClusterTest : public MetricsRelayTest {
 protected:
  bool onPostgres() const override { return true; }
  int portOf(std::size_t process) { return relays()[process]->port(); }
};

TEST_F(ClusterTest, HeldRequestsOnOneProcessWakeForChangesMadeThroughTheOther) {
  constexpr const char* kHeld = "vek_relay_held_requests";
  Member builder = createGroup();
  Member receiver = join(builder);
  ASSERT_EQ(heartbeat(receiver, {"PHONE-1"}).status, 200);
  auto hold = [&](const std::string& method, const std::string& target) {
    std::string body = method == "POST" ? "{}" : "";
    Connection connection(portOf(0));
    connection.send(method + " " + target +
                    " HTTP/1.1\r\nHost: relay\r\nAuthorization: " + builder.bearer() +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return connection;
  };

  Connection claiming = hold("POST", "/v1/claim?wait=20");
  ASSERT_TRUE(awaitValue(kHeld, 1));
  auto queued = std::chrono::steady_clock::now();
  Response created =
      call(portOf(1), "POST", "/v1/jobs", deployment(builder, receiver).data(), builder.auth());
  ASSERT_EQ(created.status, 200) << created.body;
  Response granted = claiming.readResponse();
  std::string job = created.json()["id"].text();
  ASSERT_EQ(granted.json()["job"]["id"].text(), job);
  EXPECT_LT(std::chrono::steady_clock::now() - queued, 20s) << "answered at the end of its wait";

  Connection reading = hold("GET", "/v1/jobs/" + job + "/events?after=0&wait=20");
  ASSERT_TRUE(awaitValue(kHeld, 1));
  auto posted = std::chrono::steady_clock::now();
  ASSERT_EQ(call(portOf(1), "POST", "/v1/jobs/" + job + "/event", R"({"message":"Archiving"})",
                 builder.auth(granted.json()["lease"].text()))
                .status,
            200);
  ASSERT_EQ(reading.readResponse().json()["events"].items().size(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - posted, 20s) << "answered at the end of its wait";
}

TEST_F(ClusterTest, AProcessKilledMidUploadLeavesNothingVisibleAndTheOtherServesTheRetry) {
  Member builder = createGroup();
  Member receiver = join(builder);
  std::string job = queue(builder, builder, receiver);
  Claimed held = claim(builder);
  ASSERT_EQ(held.job, job);

  std::string build = randomData(8 << 20);
  Connection doomed(portOf(0));
  doomed.send(uploadHead(builder, held, build.size(), sha256(build)) + build.substr(0, 4 << 20));
  for (int wait = 0; wait < 3000 && artifactFiles().empty(); ++wait)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(artifactFiles().size(), 1u);
  relays()[0]->kill();

  // The half-written file is nobody's: the job names no build and no build is published.
  Response seen = call(portOf(1), "GET", "/v1/jobs/" + job, "", builder.auth());
  EXPECT_TRUE(seen.json()["artifact_sha"].isNull());
  for (const std::string& name : artifactFiles())
    EXPECT_TRUE(name.starts_with(".upload-")) << name;

  // The builder's retry reaches the surviving process and the deployment goes on there.
  Headers headers = builder.auth(held.lease);
  headers.emplace_back("X-VEK-SHA256", sha256(build));
  ASSERT_EQ(call(portOf(1), "PUT", "/v1/jobs/" + job + "/artifact", build, headers).status, 200);
  ASSERT_EQ(call(portOf(1), "POST", "/v1/jobs/" + job + "/finish-build",
                 JSON::object({{"manifest", JSON::object()}}).data(), builder.auth(held.lease))
                .status,
            200);
  Response claimed = call(portOf(1), "POST", "/v1/claim", "{}", receiver.auth());
  std::string lease = claimed.json()["lease"].text();
  Response download =
      call(portOf(1), "GET", "/v1/jobs/" + job + "/artifact", "", receiver.auth(lease));
  ASSERT_EQ(download.status, 200);
  EXPECT_TRUE(download.body == build);

  // The killed process comes back into a running cluster and serves the end of the job.
  relays()[0]->start();
  Response finished =
      call(portOf(0), "POST", "/v1/jobs/" + job + "/finish", "{}", receiver.auth(lease));
  ASSERT_EQ(finished.status, 200) << finished.body;
  EXPECT_EQ(finished.json()["state"].text(), "succeeded");
}

TEST_F(ClusterTest, ARelayRefusesADatabaseWrittenByANewerOne) {
  testing::runSql(database_->conninfo(), "UPDATE relay_schema SET version = version + 1");
  testing::RelayProcess newer({"--database", database_->conninfo()});
  std::string failure = testing::failureOf<std::runtime_error>([&] { newer.start(); });
  EXPECT_NE(failure.find("written by a newer vek-relay"), std::string::npos) << failure;
}

// The run's own server cannot be stopped under the other tests, so this one starts its own.
TEST(PostgresRestart, RequestsFailClearlyWhileTheDatabaseIsDownAndRecoverWithoutARestart) {
  testing::requirePostgres();
  if (::testing::Test::IsSkipped() || ::testing::Test::HasFailure()) return;
  testing::PostgresServer server;
  testing::PostgresDatabase database(server.conninfo());
  std::vector<std::unique_ptr<testing::RelayProcess>> relays;
  for (int i = 0; i < 2; ++i) {
    relays.push_back(std::make_unique<testing::RelayProcess>(
        std::vector<std::string>{"--database", database.conninfo()}));
    relays.back()->start();
  }
  Response created = call(relays[0]->port(), "POST", "/v1/groups",
                          JSON::object({{"name", "Team"}, {"device_name", "Mac"}}).data(),
                          {{"X-VEK-Bootstrap", relays[0]->bootstrapToken()}});
  ASSERT_EQ(created.status, 200);
  Headers auth = {{"Authorization", "Bearer " + created.json()["device_id"].text() + "." +
                                        created.json()["token"].text()}};

  // Heartbeats through both processes all along; every answer is a success or a clear 503.
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::map<int, int> statuses;
  std::string unavailable;
  std::thread load([&] {
    for (int n = 0; !stop; ++n) {
      Response answer = call(relays[n % 2]->port(), "POST", "/v1/heartbeat",
                             R"({"inventory":{},"leases":[]})", auth);
      std::lock_guard lock(mutex);
      ++statuses[answer.status];
      if (answer.status == 503) unavailable = answer.error();
      std::this_thread::sleep_for(5ms);
    }
  });
  auto waitFor = [&](int port, int status) {
    for (int attempt = 0; attempt < 600; ++attempt) {
      if (call(port, "GET", "/healthz").status == status) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };

  std::this_thread::sleep_for(300ms);
  server.stop();
  for (const auto& relay : relays)
    EXPECT_TRUE(waitFor(relay->port(), 503));
  std::this_thread::sleep_for(300ms);
  server.start();
  for (const auto& relay : relays)
    EXPECT_TRUE(waitFor(relay->port(), 200));
  std::this_thread::sleep_for(300ms);
  stop = true;
  load.join();

  EXPECT_GT(statuses[200], 0);
  EXPECT_GT(statuses[503], 0);
  EXPECT_EQ(statuses[200] + statuses[503], [&] {
    int all = 0;
    for (const auto& [status, count] : statuses)
      all += count;
    return all;
  }()) << "only successes and 503s";
  EXPECT_EQ(unavailable, "The relay cannot reach its database right now; try again shortly.");
  for (const auto& relay : relays) {
    EXPECT_EQ(call(relay->port(), "POST", "/v1/heartbeat", R"({"inventory":{},"leases":[]})", auth)
                  .status,
              200);
  }
}

// Moving up: a relay's SQLite database, with a build in flight, copied into PostgreSQL, where a
// relay on the old artifact folder carries on with it.
TEST(CopyDatabase, MovesARelayFromSQLiteWithItsJobsAndRefusesTwiceOrWhileRunning) {
  testing::requirePostgres();
  if (::testing::Test::IsSkipped() || ::testing::Test::HasFailure()) return;
  testing::RelayProcess old;
  old.start();
  Response created = call(old.port(), "POST", "/v1/groups",
                          JSON::object({{"name", "Team"}, {"device_name", "Mac"}}).data(),
                          {{"X-VEK-Bootstrap", old.bootstrapToken()}});
  Member mac{created.json()["device_id"].text(), created.json()["token"].text(), ""};
  ASSERT_EQ(call(old.port(), "POST", "/v1/heartbeat",
                 R"({"inventory":{"phones":[{"udid":"PHONE-1"}]},"leases":[]})", mac.auth())
                .status,
            200);
  std::string job = call(old.port(), "POST", "/v1/jobs", deployment(mac, mac).data(), mac.auth())
                        .json()["id"]
                        .text();
  Response claimed = call(old.port(), "POST", "/v1/claim", "{}", mac.auth());
  std::string lease = claimed.json()["lease"].text();
  std::string build = randomData(100000);
  Headers upload = mac.auth(lease);
  upload.emplace_back("X-VEK-SHA256", sha256(build));
  ASSERT_EQ(call(old.port(), "PUT", "/v1/jobs/" + job + "/artifact", build, upload).status, 200);
  ASSERT_EQ(call(old.port(), "POST", "/v1/jobs/" + job + "/event", R"({"message":"Uploaded"})",
                 mac.auth(lease))
                .status,
            200);

  testing::PostgresDatabase database(*testing::testPostgres());
  std::filesystem::path file = old.dataDirectory() / "relay.db";
  auto copy = [&] {
    return testing::runProgram(
        testing::programDirectory() / "vek-relay",
        {"copy-database", "--from", file.string(), "--to", database.conninfo()});
  };
  testing::ProgramResult running = copy();
  EXPECT_EQ(running.status, 1);
  EXPECT_NE(running.err.find("stop it before copying"), std::string::npos) << running.err;
  EXPECT_EQ(old.stop(), 0);
  testing::ProgramResult copied = copy();
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_NE(copied.out.find("jobs: 1 rows"), std::string::npos) << copied.out;
  EXPECT_NE(copied.out.find("events: 1 rows"), std::string::npos) << copied.out;
  testing::ProgramResult again = copy();
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already holds relay data"), std::string::npos) << again.err;

  testing::RelayProcess moved({"--database", database.conninfo(), "--artifacts",
                               (old.dataDirectory() / "artifacts").string()});
  moved.start();
  ASSERT_EQ(call(moved.port(), "POST", "/v1/jobs/" + job + "/finish-build", R"({"manifest":{}})",
                 mac.auth(lease))
                .status,
            200);
  JSON events = call(moved.port(), "GET", "/v1/jobs/" + job + "/events", "", mac.auth()).json();
  ASSERT_EQ(events["events"].items().size(), 1u);
  Response posted = call(moved.port(), "POST", "/v1/claim", "{}", mac.auth());
  std::string receiving = posted.json()["lease"].text();
  Response download =
      call(moved.port(), "GET", "/v1/jobs/" + job + "/artifact", "", mac.auth(receiving));
  EXPECT_TRUE(download.body == build);
  // Event ids go on above the copied ones.
  Response next = call(moved.port(), "POST", "/v1/jobs/" + job + "/event",
                       R"({"message":"Installing"})", mac.auth(receiving));
  ASSERT_EQ(next.status, 200) << next.body;
  EXPECT_GT(next.json()["id"].integer(), events["events"].items()[0]["id"].integer());
}

}  // namespace
}  // namespace vek::e2e
