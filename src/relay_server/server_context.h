// What every connection of a running relay shares.
#pragma once

#include <atomic>

#include "relay_server/access_log.h"
#include "relay_server/artifact_store.h"
#include "relay_server/asio.h"
#include "relay_server/config.h"
#include "relay_server/metrics.h"
#include "relay_server/notifier.h"
#include "relay_server/relay.h"
#include "relay_server/session_registry.h"

namespace vek::relay_server {

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
