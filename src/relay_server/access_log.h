// The request log: one line per request on standard output.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace vek::relay_server {

/// One finished request as the log shows it. `target` must already be stripped of query values
/// (loggableTarget); nothing secret may be passed in.
struct AccessRecord {
  std::string_view peer;
  std::string_view method;
  std::string_view target;
  int status = 0;
  std::chrono::steady_clock::duration duration{};
  std::string_view deviceId;  // empty when the caller was not authenticated
};

/// Writes whole lines to a file descriptor, one write(2) each, so lines from several threads
/// never interleave.
class AccessLog {
 public:
  explicit AccessLog(int fd = 1) : fd_(fd) {}
  void write(const AccessRecord& record);

 private:
  int fd_;
};

}  // namespace vek::relay_server
