// The relay process: data directory, store, listening socket, worker pools and shutdown.
#pragma once

#include <memory>

#include "relay_server/config.h"

namespace vek::relay_server {

class Server {
 public:
  /// Prepares everything that can fail before serving: creates and locks the data directory,
  /// opens and migrates the database, loads or creates the bootstrap tokens, loads the TLS
  /// certificate, and reconciles artifacts after an unclean stop. Throws VEKError, SystemError
  /// or SqliteError with a sentence for the administrator.
  explicit Server(Config config);
  ~Server();

  /// Binds, prints the start lines (ending with "listening on <origin>") on standard output,
  /// and serves until SIGINT or SIGTERM. Returns the process exit status.
  int run();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vek::relay_server
