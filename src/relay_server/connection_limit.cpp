#include "relay_server/connection_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <string>

#include "foundation/errors.h"

namespace vek::relay_server {

std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An infinite hard limit is refused (the kernel's fs.nr_open bounds it): keep the soft one.
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? std::uint64_t{1} << 20 : limit.rlim_cur;
}

std::size_t connectionLimit(std::optional<std::size_t> requested, std::uint64_t descriptors) {
  if (requested) {
    if (*requested + kReservedDescriptors > descriptors) {
      throw VEKError("--max-connections " + std::to_string(*requested) +
                     " leaves too few file descriptors for the database and the builds: this "
                     "relay may open " +
                     std::to_string(descriptors) + " and keeps " +
                     std::to_string(kReservedDescriptors) +
                     " for itself. Lower --max-connections or raise the limit (LimitNOFILE= in "
                     "the service, ulimit -n in a shell).");
    }
    return *requested;
  }
  std::uint64_t reserve = kReservedDescriptors + descriptors / 8;
  // A tiny limit still serves someone; half of it goes to connections.
  std::uint64_t derived = std::max(descriptors / 2, descriptors - std::min(reserve, descriptors));
  return static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(derived, kDefaultConnectionCeiling)));
}

}  // namespace vek::relay_server
