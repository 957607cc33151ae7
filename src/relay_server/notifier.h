// The one place where the relay's held requests are woken.
//
// A held request (a claim waiting for work, an event read waiting for the job to move) registers
// a Waiter on its topic and suspends its coroutine; it holds no thread and no database
// connection meanwhile. The relay operations that make such work appear call `post` once their
// write has committed; `post` wakes every local waiter of that topic and hands the topic to the
// broadcaster, which tells the other relay processes sharing the database. Their topics come back
// through `deliver`, which wakes local waiters only, so a topic never echoes between processes.
//
// Waking is a hint, never an answer: a woken request asks the store again and decides from what
// it finds. That makes every race harmless. A waiter registers before its request first asks the
// store, and a post that arrives while it is not suspended is remembered until its next wait, so
// a change that commits between the store's answer and the suspension is never missed; a wake
// for work that someone else took leaves the request waiting again.
//
// Threads: `post` and `deliver` may be called from any thread (the store's worker, a database
// listener). Each waiter belongs to one executor, the strand of its connection; a wake reaches
// it by a function posted to that strand, so a waiter's state is only ever touched there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "relay_server/asio.h"
#include "relay_server/topic.h"

namespace vek::relay_server {

class Notifier {
 public:
  using Broadcaster = std::function<void(const Topic&)>;

  Notifier() = default;
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  /// Sets the function that forwards posted topics to other relay processes. Call once, before
  /// the relay serves; without one, posts stay in this process.
  void setBroadcaster(Broadcaster broadcaster);

  /// `topic` happened here, and its write has committed: wakes this process's waiters of it and
  /// broadcasts it.
  void post(const Topic& topic);

  /// `topic` happened in another process: wakes this process's waiters of it only.
  void deliver(const Topic& topic);

  /// How many waiters are registered (suspended or between two waits).
  std::size_t waiters() const;
  /// How many times a waiter has been woken by a post or a delivery, since the start.
  std::uint64_t wakes() const noexcept { return wakes_.load(std::memory_order_relaxed); }

  class Waiter;

 private:
  struct Registration;

  std::shared_ptr<Registration> add(const Topic& topic, asio::any_io_executor executor);
  void remove(const std::shared_ptr<Registration>& registration);

  Broadcaster broadcaster_;
  std::atomic<std::uint64_t> wakes_{0};
  mutable std::mutex mutex_;
  std::unordered_multimap<std::string, std::shared_ptr<Registration>> waiters_;
};

/// One held request's interest in a topic, for as long as the request is held. Create, wait and
/// destroy it on `executor`, the strand of the request's connection.
class Notifier::Waiter {
 public:
  enum class Wake {
    posted,     // the topic was posted since the waiter was created or last woken
    deadline,   // the deadline passed first
    abandoned,  // `abandon` was called: the client is gone or the relay is stopping
  };

  Waiter(Notifier& notifier, const Topic& topic, asio::any_io_executor executor);
  ~Waiter();
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  /// Suspends until the topic is posted (or was, since the last wake), `deadline` passes, or the
  /// wait is abandoned. Abandonment wins over a post, and a post over the deadline.
  asio::awaitable<Wake> wait(std::chrono::steady_clock::time_point deadline);

  /// Ends the current wait, and every later one, with Wake::abandoned. Call on the executor.
  void abandon();

 private:
  Notifier& notifier_;
  std::shared_ptr<Registration> registration_;
};

}  // namespace vek::relay_server
