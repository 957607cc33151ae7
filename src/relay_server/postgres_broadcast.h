// Wake-up topics between relay processes that share one PostgreSQL database.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/file.h"
#include "relay_server/topic.h"

namespace vek::relay_server {

class PgConnection;

/// Sends this process's topics to the others with NOTIFY and hands theirs to `deliver`, over a
/// connection of its own that LISTENs on the relay's channel. One thread does both; `send` only
/// queues, so no caller ever waits for the database.
class PostgresBroadcast {
 public:
  using Deliver = std::function<void(const Topic&)>;

  /// Starts the thread, which connects (and reconnects after a failure) on its own.
  PostgresBroadcast(std::string conninfo, Deliver deliver);
  /// Stops the thread; topics still queued are dropped.
  ~PostgresBroadcast();
  PostgresBroadcast(const PostgresBroadcast&) = delete;
  PostgresBroadcast& operator=(const PostgresBroadcast&) = delete;

  /// Queues `topic` for the other processes. Thread-safe.
  void send(const Topic& topic);

 private:
  void run();
  /// One connected stretch: LISTEN, then send and receive until the connection fails or the
  /// object stops.
  void serve(PgConnection& connection);
  /// Reads the wake-up descriptor empty.
  void drainWakeUps();

  std::string conninfo_;
  Deliver deliver_;
  UniqueFd wakeUp_;  // an eventfd: `send` and the destructor write to it

  std::mutex mutex_;
  std::condition_variable stopped_;
  std::deque<std::string> queue_;
  bool stopping_ = false;
  bool reportedFailure_ = false;
  std::thread thread_;
};

}  // namespace vek::relay_server
