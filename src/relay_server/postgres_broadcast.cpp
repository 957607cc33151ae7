// NOTIFY and LISTEN on one connection, run by one thread.
//
// A topic is posted to the notifier after the write that caused it has committed, so the NOTIFY
// is sent after that commit too, as its own small transaction: whoever it wakes finds the change
// in the database. (Sending it inside the writing transaction would tie every store call to the
// notifier for no gain: the topic is known only once the relay has decided, and PostgreSQL would
// deliver it at that same commit.) Queued topics go out together, one transaction per batch.
// Notifications come back to their sender too; those carry this connection's server process id
// and are dropped, since `post` already woke this process's waiters.
//
// Wake-ups are hints that shorten a held request's wait, never the only way it learns anything:
// every held request also ends at its deadline and then asks the store. So when the connection
// fails, the thread logs it once, drops what was queued and connects again a second later;
// nothing is lost but a little latency.
#include "relay_server/postgres_broadcast.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "foundation/errors.h"
#include "relay_server/postgres.h"

namespace vek::relay_server {

namespace {

constexpr const char* kChannel = "vek_relay";
// Topics waiting beyond this many are dropped: their waiters will ask the store at their
// deadline anyway.
constexpr std::size_t kQueueLimit = 10000;
constexpr auto kReconnectPause = std::chrono::seconds(1);

}  // namespace

PostgresBroadcast::PostgresBroadcast(std::string conninfo, Deliver deliver)
    : conninfo_(std::move(conninfo)),
      deliver_(std::move(deliver)),
      wakeUp_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wakeUp_) throw SystemError("Cannot create an eventfd for the database listener", errno);
  thread_ = std::thread([this] { run(); });
}

PostgresBroadcast::~PostgresBroadcast() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeUp_.get(), &one, sizeof one);
  thread_.join();
}

void PostgresBroadcast::send(const Topic& topic) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kQueueLimit) queue_.pop_front();
    queue_.push_back(topic.text());
  }
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeUp_.get(), &one, sizeof one);
}

void PostgresBroadcast::run() {
  while (true) {
    try {
      PgConnection connection(conninfo_);
      connection.exec(std::string("LISTEN ") + kChannel);
      if (reportedFailure_) {
        std::cerr << "vek-relay: listening for other relay processes again" << std::endl;
        reportedFailure_ = false;
      }
      serve(connection);
      return;  // stopping
    } catch (const std::exception& failure) {
      if (!reportedFailure_) {
        std::cerr << "vek-relay: wake-ups from other relay processes are delayed until the "
                     "database answers again: "
                  << failure.what() << std::endl;
        reportedFailure_ = true;
      }
    }
    std::unique_lock lock(mutex_);
    queue_.clear();
    if (stopped_.wait_for(lock, kReconnectPause, [this] { return stopping_; })) return;
  }
}

void PostgresBroadcast::serve(PgConnection& connection) {
  const int self = connection.backendPid();
  while (true) {
    std::deque<std::string> batch;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      batch.swap(queue_);
    }
    if (!batch.empty()) {
      connection.exec("BEGIN");
      for (const std::string& topic : batch)
        connection.query("SELECT pg_notify($1, $2)", PgParams().add(kChannel).add(topic));
      connection.exec("COMMIT");
    }
    for (const PgNotification& notification : connection.notifications()) {
      if (notification.senderPid == self) continue;
      if (std::optional<Topic> topic = Topic::parse(notification.payload)) deliver_(*topic);
    }

    pollfd waits[] = {{connection.socket(), POLLIN, 0}, {wakeUp_.get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 && errno != EINTR) {
      throw SystemError("Cannot wait for the database listener", errno);
    }
    if (waits[1].revents & POLLIN) drainWakeUps();
  }
}

void PostgresBroadcast::drainWakeUps() {
  std::uint64_t count = 0;
  while (::read(wakeUp_.get(), &count, sizeof count) > 0) {
  }
}

}  // namespace vek::relay_server
