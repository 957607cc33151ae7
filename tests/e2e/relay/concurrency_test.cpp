// Races the relay must decide one way only.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using ConcurrencyTest = RelayTest;

// Starts `count` threads that wait for one another before running `work(index)`.
void race(int count, const std::function<void(int)>& work) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready < count)
        std::this_thread::yield();
      work(i);
    });
  }
  for (auto& thread : threads)
    thread.join();
}

TEST_F(ConcurrencyTest, RacingClaimsNeverHandOneJobToTwoHolders) {
  Member first = createGroup();
  Member second = join(first);
  std::set<std::string> queued[2];
  for (int i = 0; i < 12; ++i) {
    queued[0].insert(queue(first, first, second));
    queued[1].insert(queue(first, second, first));
  }
  std::mutex mutex;
  std::multiset<std::string> claimed[2];
  std::set<std::string> leases;
  race(8, [&](int index) {
    const Member& me = index % 2 == 0 ? first : second;
    Connection connection(port());
    while (true) {
      Response answer = connection.request("POST", "/v1/claim", "{}", me.auth());
      ASSERT_EQ(answer.status, 200);
      JSON job = answer.json()["job"];
      if (job.isNull()) break;
      std::lock_guard lock(mutex);
      EXPECT_EQ(job["builder_id"].text(), me.id);
      claimed[index % 2].insert(job["id"].text());
      EXPECT_TRUE(leases.insert(answer.json()["lease"].text()).second);
    }
  });
  for (int side = 0; side < 2; ++side) {
    EXPECT_EQ(claimed[side].size(), queued[side].size());
    EXPECT_EQ(std::set<std::string>(claimed[side].begin(), claimed[side].end()), queued[side]);
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
