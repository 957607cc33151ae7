// The relay's open client connections and the cap on their number.
//
// Every connection is registered while it is open, so a shutdown can reach each one. A
// connection is "waiting" from the moment it is accepted (a TLS handshake included) until its
// request header is complete, and again from the end of each answer until the next header of a
// kept-alive connection is complete; the rest of the time it is "busy" with a request, which
// may last long (a transfer, a request the relay holds until there is work).
//
// Waiting connections form a queue in the order they began to wait. When an accepted connection
// would exceed the cap, the head of that queue (the one that has waited longest for a header) is
// dropped to make room: its drop function asks the session to close, and from then on it no
// longer counts, even though closing takes a moment on the session's own strand. Busy
// connections are never dropped, so idle sockets, however many a client opens, cannot crowd out
// requests in progress; only when every connection is busy is a new one refused. A drop can
// cross the end of the header it waited for (the session's strand decides); such a session
// reports back with `spare` and counts again.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

namespace vek::relay_server {

/// The open connections under a cap. Thread-safe.
class SessionRegistry {
 public:
  /// What `admit` decided for a new connection.
  enum class Admission {
    admitted,  // there was room
    dropped,   // the longest-waiting connection was dropped to make room
    refused,   // every open connection is busy: close the new one
  };

  /// At most `limit` connections count as open at once.
  explicit SessionRegistry(std::size_t limit);

  /// Decides on a newly accepted connection, before it is registered with `add`. Call from one
  /// acceptor only: `admit` then `add` must not interleave with another admission.
  Admission admit();

  /// Registers a connection, which starts out waiting. `stop` must ask its session (from any
  /// thread) to close once its current request is answered, or at once when it is idle; `drop`
  /// must close it at once if it is still waiting for a header, and otherwise call `spare`.
  /// Returns the key for the other calls.
  std::uint64_t add(std::function<void()> stop, std::function<void()> drop);
  void remove(std::uint64_t key);

  /// The connection begins to wait for a request header; it may be dropped from now.
  void waiting(std::uint64_t key);
  /// The connection has a complete request header; it is not dropped until it waits again.
  void busy(std::uint64_t key);
  /// The connection's drop came after its header was complete: it stays open and counts again.
  void spare(std::uint64_t key);

  /// Calls every registered stop function.
  void stopAll();
  /// Registered connections, those being dropped included.
  std::size_t size();
  std::size_t limit() const { return limit_; }

 private:
  struct Entry {
    std::function<void()> stop;
    std::function<void()> drop;
    std::list<std::uint64_t>::iterator place;  // in waiting_, when `queued`
    bool queued = false;
    bool dropping = false;
  };

  void dequeue(Entry& entry);

  const std::size_t limit_;
  std::mutex mutex_;
  std::uint64_t next_ = 0;
  std::size_t dropping_ = 0;
  std::unordered_map<std::uint64_t, Entry> sessions_;
  std::list<std::uint64_t> waiting_;  // front: waiting longest
};

}  // namespace vek::relay_server
