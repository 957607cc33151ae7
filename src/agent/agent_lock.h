// The single-agent lock.
//
// One agent per user and Mac: the worker holds an exclusive advisory lock (flock) on
// "agent.lock" in the state directory for as long as its loop runs. The lock belongs to the open
// descriptor, so a second agent, whether another process or a second holder in this one, is
// refused at once instead of waiting, and the system drops the lock when the holder dies. The
// file holds no data and is never deleted: deleting it would let a second agent lock a new file
// while the first still holds the old one.
#pragma once

namespace vek {

class AgentLock {
 public:
  /// Takes the lock. Throws the state directory's SystemError when it cannot be created,
  /// VEKError "Cannot open VEK worker lock" when the file cannot be opened or created (mode 0600),
  /// and VEKError "The VEK agent is already running on this Mac." when another holder has it.
  AgentLock();
  /// Unlocks and closes the file.
  ~AgentLock();
  AgentLock(const AgentLock&) = delete;
  AgentLock& operator=(const AgentLock&) = delete;

  /// The open lock file, or -1 when none is held.
  int descriptor() const noexcept { return descriptor_; }

 private:
  int descriptor_ = -1;
};

}  // namespace vek
