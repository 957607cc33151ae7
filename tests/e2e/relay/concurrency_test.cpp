// Races the relay must decide one way only.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using ConcurrencyTest = RelayTest;

// Twenty agents of two Macs race for ten jobs (on PostgreSQL through both relay processes):
// every job goes to exactly one of them, and every lease handed out is the job's live lease.
TEST_F(ConcurrencyTest, RacingClaimsNeverHandOneJobToTwoHolders) {
  Member first = createGroup();
  Member second = join(first);
  const Member* members[2] = {&first, &second};
  std::set<std::string> queued[2];
  for (int i = 0; i < 5; ++i) {
    queued[0].insert(queue(first, first, second));
    queued[1].insert(queue(first, second, first));
  }
  std::mutex mutex;
  std::multiset<std::string> claimed[2];
  std::vector<std::pair<int, Claimed>> held;
  race(20, [&](int index) {
    const Member& me = *members[index % 2];
    Connection connection(port());
    while (true) {
      Response answer = connection.request("POST", "/v1/claim", "{}", me.auth());
      ASSERT_EQ(answer.status, 200);
      JSON job = answer.json()["job"];
      if (job.isNull()) break;
      std::lock_guard lock(mutex);
      EXPECT_EQ(job["builder_id"].text(), me.id);
      claimed[index % 2].insert(job["id"].text());
      held.push_back({index % 2, {job["id"].text(), answer.json()["lease"].text()}});
    }
  });
  for (int side = 0; side < 2; ++side) {
    EXPECT_EQ(claimed[side].size(), queued[side].size());
    EXPECT_EQ(std::set<std::string>(claimed[side].begin(), claimed[side].end()), queued[side]);
  }
  for (const auto& [side, claim] : held) {
    EXPECT_EQ(post(*members[side], "/v1/jobs/" + claim.job + "/event",
                   JSON::object({{"message", "Archiving"}}), claim.lease)
                  .status,
              200);
  }
}

TEST_F(ConcurrencyTest, RacingJoinsConsumeOneCodeOnce) {
  Member first = createGroup();
  for (int round = 0; round < 4; ++round) {
    std::string code = invite(first);
    std::atomic<int> joined{0}, refused{0};
    race(6, [&](int index) {
      Response answer = joinWith(code, "Mac " + std::to_string(index));
      if (answer.status == 200) ++joined;
      if (answer.status == 403) ++refused;
    });
    EXPECT_EQ(joined, 1);
    EXPECT_EQ(refused, 5);
  }
  EXPECT_EQ(get(first, "/v1/group").json()["devices"].items().size(), 5u);
}

}  // namespace
}  // namespace vek::e2e
