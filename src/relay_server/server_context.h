// What every connection of a running relay shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "relay_server/access_log.h"
#include "relay_server/artifact_store.h"
#include "relay_server/asio.h"
#include "relay_server/config.h"
#include "relay_server/metrics.h"
#include "relay_server/notifier.h"
#include "relay_server/relay.h"

namespace vek::relay_server {

/// The open connections, so a shutdown can reach each one. Thread-safe.
class SessionRegistry {
 public:
  /// Registers `stop`, which must ask its session (from any thread) to close once its current
  /// request is answered, or at once when it is idle. Returns the key for `remove`.
  std::uint64_t add(std::function<void()> stop);
  void remove(std::uint64_t key);
  /// Calls every registered stop function.
  void stopAll();
  std::size_t size();

 private:
  std::mutex mutex_;
  std::uint64_t next_ = 0;
  std::unordered_map<std::uint64_t, std::function<void()>> sessions_;
};

struct ServerContext {
  const Config& config;
  Relay& relay;
  /// Wakes held requests; the relay posts to it.
  Notifier& notifier;
  const ArtifactStore& artifacts;
  /// Runs store calls; never an I/O thread.
  asio::thread_pool& database;
  /// Runs blocking file work (fsync, rename) so neither I/O nor store calls wait for the disk.
  asio::thread_pool& files;
  AccessLog& log;
  SessionRegistry& sessions;
  Metrics& metrics;
  std::atomic<bool> stopping{false};
};

}  // namespace vek::relay_server
