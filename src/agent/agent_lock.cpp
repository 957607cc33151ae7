#include "agent/agent_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "foundation/errors.h"
#include "foundation/paths.h"

namespace vek {

AgentLock::AgentLock() {
  const auto file = Paths::directory("") / "agent.lock";
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw VEKError("Cannot open VEK worker lock");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw VEKError("The VEK agent is already running on this Mac.");
  }
  descriptor_ = fd;
}

AgentLock::~AgentLock() {
  if (descriptor_ < 0) return;
  ::flock(descriptor_, LOCK_UN);
  ::close(descriptor_);
}

}  // namespace vek
