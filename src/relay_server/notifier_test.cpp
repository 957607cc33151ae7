// Wake-ups of held requests: topics, posts from other threads, deadlines and abandonment, with
// waiters on strands of an io_context served by two threads, as the relay runs them.
#include "relay_server/notifier.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace vek::relay_server {
namespace {

using namespace std::chrono_literals;
using Wake = Notifier::Waiter::Wake;
using SteadyClock = std::chrono::steady_clock;

TEST(Topic, TextFormRoundTripsAndRefusesAnythingElse) {
  const std::string device = "3f1c2b7a-0000-4e5f-8a9b-000000000001";
  EXPECT_EQ(Topic::claimable(device).text(), "device:" + device);
  EXPECT_EQ(Topic::jobChanged(device).text(), "job:" + device);
  EXPECT_EQ(Topic::parse("device:" + device), Topic::claimable(device));
  EXPECT_EQ(Topic::parse("job:" + device), Topic::jobChanged(device));
  for (std::string bad :
       std::vector<std::string>{"", "device:", "job", "jobs:ab", "device:AB", "job:a b", "job:x",
                                "device:" + std::string(65, 'a')}) {
    EXPECT_FALSE(Topic::parse(bad)) << bad;
  }
}

class NotifierTest : public ::testing::Test {
 protected:
  NotifierTest() : work_(asio::make_work_guard(io_)) {
    for (int i = 0; i < 2; ++i)
      threads_.emplace_back([this] { io_.run(); });
  }
  ~NotifierTest() override {
    work_.reset();
    for (auto& thread : threads_)
      thread.join();
  }

  using Step = std::function<asio::awaitable<void>(Notifier::Waiter&)>;

  // Starts a held wait on a strand of its own: registers, runs `beforeWait` (the request asking
  // the store, say), then waits until `deadline` from then. Returns once the waiter is registered.
  std::future<Wake> hold(const Topic& topic, SteadyClock::duration deadline, Step beforeWait = {}) {
    auto result = std::make_shared<std::promise<Wake>>();
    auto registered = std::make_shared<std::promise<void>>();
    std::future<void> ready = registered->get_future();
    auto strand = asio::make_strand(io_);
    asio::co_spawn(
        strand,
        [this, topic, deadline, beforeWait, result, registered, strand]() -> asio::awaitable<void> {
          Notifier::Waiter waiter(notifier_, topic, strand);
          registered->set_value();
          if (beforeWait) co_await beforeWait(waiter);
          result->set_value(co_await waiter.wait(SteadyClock::now() + deadline));
        },
        asio::detached);
    ready.wait();
    return result->get_future();
  }

  Notifier notifier_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

TEST_F(NotifierTest, PostWakesOnlyTheWaitersOfItsTopic) {
  const Topic mine = Topic::claimable("aaaa"), theirs = Topic::claimable("bbbb");
  std::future<Wake> first = hold(mine, 30s), second = hold(mine, 30s);
  std::future<Wake> other = hold(theirs, 300ms);
  std::future<Wake> job = hold(Topic::jobChanged("aaaa"), 300ms);
  EXPECT_EQ(notifier_.waiters(), 4u);

  notifier_.post(mine);
  EXPECT_EQ(first.get(), Wake::posted);
  EXPECT_EQ(second.get(), Wake::posted);
  EXPECT_EQ(other.get(), Wake::deadline);
  EXPECT_EQ(job.get(), Wake::deadline);
  while (notifier_.waiters() > 0)
    std::this_thread::sleep_for(1ms);
}

TEST_F(NotifierTest, PostBetweenRegistrationAndWaitIsNotLost) {
  const Topic topic = Topic::jobChanged("cccc");
  std::future<Wake> woken =
      hold(topic, 30s, [this, topic](Notifier::Waiter&) -> asio::awaitable<void> {
        notifier_.post(topic);
        // Suspended elsewhere (as on a store query), the waiter receives the wake before it waits.
        asio::steady_timer pause(co_await asio::this_coro::executor, 50ms);
        co_await pause.async_wait(asio::use_awaitable);
      });
  EXPECT_EQ(woken.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(woken.get(), Wake::posted);
}

TEST_F(NotifierTest, AbandonEndsTheWaitAndWinsOverAPost) {
  const Topic topic = Topic::claimable("dddd");
  std::future<Wake> abandoned =
      hold(topic, 30s, [this, topic](Notifier::Waiter& waiter) -> asio::awaitable<void> {
        notifier_.post(topic);
        waiter.abandon();
        co_return;
      });
  EXPECT_EQ(abandoned.get(), Wake::abandoned);
}

TEST_F(NotifierTest, PostBroadcastsAndDeliverStaysLocal) {
  std::vector<std::string> broadcast;
  notifier_.setBroadcaster([&](const Topic& topic) { broadcast.push_back(topic.text()); });
  std::future<Wake> delivered = hold(Topic::claimable("eeee"), 30s);
  notifier_.deliver(Topic::claimable("eeee"));
  EXPECT_EQ(delivered.get(), Wake::posted);
  notifier_.post(Topic::jobChanged("ffff"));
  EXPECT_EQ(broadcast, std::vector<std::string>{"job:ffff"});
}

}  // namespace
}  // namespace vek::relay_server
