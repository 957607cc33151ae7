// The relay killed at awkward moments comes back with its state intact and consistent.
#include <atomic>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using DurabilityTest = RelayTest;

TEST_F(DurabilityTest, AKillMidUploadLosesNothingCommittedAndShowsNoHalfBuild) {
  // Relays sharing a folder leave a fresh temporary file to its writer; ClusterTest covers a
  // kill mid-upload there.
  if (onPostgres()) GTEST_SKIP() << "a relay on SQLite only";
  Member builder = createGroup();
  Member receiver = join(builder);
  std::string done = queue(builder, builder, receiver);
  Claimed first = claim(builder);
  std::string build = randomData(1 << 20);
  ASSERT_EQ(upload(builder, first, build).status, 200);
  ASSERT_EQ(post(builder, "/v1/jobs/" + done + "/finish-build",
                 JSON::object({{"manifest", JSON::object()}}), first.lease)
                .status,
            200);
  std::string interrupted = queue(builder, builder, receiver);
  Claimed second = claim(builder);

  // Half of an 8 MiB upload is on its way when the relay dies.
  Connection connection(port());
  std::string big = randomData(8 << 20);
  ASSERT_EQ(second.job, interrupted);
  connection.send(uploadHead(builder, second, big.size(), sha256(big)) + big.substr(0, 4 << 20));
  // Wait until the relay holds part of it in a temporary file, then kill it.
  for (int wait = 0; wait < 3000 && artifactFiles().size() < 2; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(artifactFiles().size(), 2u);
  relay().kill();
  relay().start();

  ASSERT_EQ(artifactFiles().size(), 1u);
  EXPECT_FALSE(artifactFiles()[0].starts_with("."));
  JSON waiting = get(builder, "/v1/jobs/" + interrupted).json();
  EXPECT_EQ(waiting["state"].text(), "building");
  EXPECT_TRUE(waiting["artifact_sha"].isNull());
  // The builder's lease survived the outage and the upload can be sent again.
  ASSERT_EQ(upload(builder, second, big).status, 200);

  Claimed installing = claim(receiver);
  ASSERT_EQ(installing.job, done);
  Response download =
      call(port(), "GET", "/v1/jobs/" + done + "/artifact", "", receiver.auth(installing.lease));
  ASSERT_EQ(download.status, 200);
  EXPECT_TRUE(download.body == build);
}

TEST_F(DurabilityTest, EveryAcknowledgedWriteSurvivesAKill) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  Claimed held = claim(builder);
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> count{0};
  std::vector<std::int64_t> acknowledged;  // the writer's until it is joined
  std::thread writer([&] {
    try {
      Connection connection(port());
      while (!stop) {
        Response answer = connection.request(
            "POST", "/v1/jobs/" + job + "/event",
            JSON::object({{"message", "step " + std::to_string(acknowledged.size())}}).data(),
            builder.auth(held.lease));
        if (answer.status != 200) break;
        acknowledged.push_back(answer.json()["id"].integer());
        ++count;
      }
    } catch (const std::exception&) {
      // The relay died under us: expected.
    }
  });
  while (count < 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  relay().kill();
  stop = true;
  writer.join();
  relay().start();

  JSON events = get(builder, "/v1/jobs/" + job + "/events").json()["events"];
  ASSERT_GE(events.items().size(), acknowledged.size());
  for (std::size_t i = 0; i < acknowledged.size(); ++i) {
    EXPECT_EQ(events.items()[i]["id"].integer(), acknowledged[i]);
  }
  // New events continue above every id handed out before.
  Response next = post(builder, "/v1/jobs/" + job + "/event",
                       JSON::object({{"message", "after restart"}}), held.lease);
  ASSERT_EQ(next.status, 200);
  EXPECT_GT(next.json()["id"].integer(), events.items().back()["id"].integer());
}

TEST_F(DurabilityTest, ATermSignalStopsCleanlyAndASecondRelayCannotShareTheData) {
  RelayProcess intruder({"--data", relay().dataDirectory().string()});
  EXPECT_THROW(intruder.start(), std::runtime_error);
  Member member = createGroup();
  EXPECT_EQ(relay().stop(), 0);
  EXPECT_NE(relay().errors().find("stopped"), std::string::npos);
  relay().start();
  EXPECT_EQ(get(member, "/v1/group").status, 200);
}

}  // namespace
}  // namespace vek::e2e
