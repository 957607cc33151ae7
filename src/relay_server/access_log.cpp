#include "relay_server/access_log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vek::relay_server {

void AccessLog::write(const AccessRecord& record) {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  double milliseconds = duration<double, std::milli>(record.duration).count();
  char figures[64];
  std::snprintf(figures, sizeof figures, " %d %.1fms", record.status, milliseconds);

  std::string line;
  line.reserve(160);
  line.append(stamp).append(" ").append(record.peer).append(" ");
  line.append(record.method).append(" ").append(record.target).append(figures);
  if (!record.deviceId.empty()) line.append(" device=").append(record.deviceId);
  line.push_back('\n');

  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t written = ::write(fd_, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed or full log never stops the relay
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace vek::relay_server
