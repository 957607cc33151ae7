// The real vek-relay on a free loopback port with a private data directory, for tests that need a
// relay. The child is killed if the test process dies, and every relay must end cleanly: one that
// exits with an error or reports a sanitizer finding fails the test that ran it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace vek::testing {

class RelayProcess {
 public:
  /// A fresh data directory; `arguments` are added to --listen and --data.
  explicit RelayProcess(std::vector<std::string> arguments = {});
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  /// Starts the relay and waits for its "listening on" line; a restart after `stop` or `kill`
  /// listens on the same port. Throws when it exits first.
  void start();
  /// SIGTERM and wait; returns the exit status.
  int stop();
  /// SIGKILL and wait.
  void kill();
  /// Starts the relay with these soft and hard limits on open descriptors (from the next start).
  void limitDescriptors(rlim_t soft, rlim_t hard) {
    descriptors_ = {soft, hard};
    limited_ = true;
  }

  int port() const { return port_; }
  /// "http://127.0.0.1:PORT", or https when the relay was given a certificate.
  std::string origin() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }
  const std::filesystem::path& dataDirectory() const { return data_; }
  /// Everything the relay wrote to standard output / standard error so far.
  std::string output() const;
  std::string errors() const;
  /// The token of DATA/bootstrap-token.
  std::string bootstrapToken() const;
  /// The port of the metrics listener (the relay runs with --metrics-listen); 0 without one.
  int metricsPort() const;
  /// The value of `series` ("name" or "name{label=\"value\"}" as exposed) in a fresh scrape of
  /// GET /metrics; absent when the relay does not expose it.
  std::optional<double> metric(const std::string& series) const;

 private:
  TempDir root_;
  std::filesystem::path data_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string scheme_ = "http";
  int starts_ = 0;
  rlimit descriptors_{};
  bool limited_ = false;
};

}  // namespace vek::testing
