// Starts the real vek-relay on a free loopback port with a private data directory.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vek::e2e {

class RelayProcess {
 public:
  /// A fresh data directory; `arguments` are added to --listen and --data.
  explicit RelayProcess(std::vector<std::string> arguments = {});
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  /// Starts the relay and waits for its "listening on" line. Throws when it exits first.
  void start();
  /// SIGTERM and wait; returns the exit status.
  int stop();
  /// SIGKILL and wait.
  void kill();

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::filesystem::path& dataDirectory() const { return data_; }
  /// Everything the relay wrote to standard output / standard error so far.
  std::string output() const;
  std::string errors() const;
  /// The token of DATA/bootstrap-token.
  std::string bootstrapToken() const;

 private:
  std::filesystem::path root_;
  std::filesystem::path data_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  int port_ = 0;
  int starts_ = 0;
};

}  // namespace vek::e2e
