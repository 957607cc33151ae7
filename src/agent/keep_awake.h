// Keeping the machine awake while a job runs.
//
// On a Mac, "/usr/bin/caffeinate -i -w PID" holds an idle-sleep assertion until the agent (PID)
// exits. On Linux, "/usr/bin/systemd-inhibit" holds an idle and sleep inhibitor for as long as
// the command it runs lives, and that command waits for the agent to exit. Either way the
// keep-awake ends with the agent even if nobody stops it, and `KeepAwake`'s destructor ends it at
// the end of the job.
//
// Keeping awake is a courtesy, never a condition: a tool that is missing or cannot start, or a
// Linux machine without a login manager (systemd-inhibit then exits at once), is skipped without
// a word. The helper runs in a process group of its own with its output discarded, so stopping it
// also stops what it started and it never writes into the agent's logs.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/developer_tools.h"

namespace vek {

class KeepAwake {
 public:
  enum class Platform { mac, systemd };

  /// The platform this program was built for.
  static Platform native() noexcept;

  /// The command line that keeps `platform` awake until process `pid` exits.
  static ToolCommand command(Platform platform, pid_t pid);

  /// Starts `command` (its executable re-rooted by VEK_TOOL_ROOT) in the background. Never
  /// throws: a keep-awake that cannot start gives an inactive handle.
  static std::unique_ptr<KeepAwake> start(const ToolCommand& command) noexcept;

  /// The native keep-awake for this process, as a running job needs.
  static std::unique_ptr<KeepAwake> forThisProcess() noexcept;

  /// Ends the keep-awake process and everything it started, and reaps it.
  ~KeepAwake();
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

  /// The helper's process id; -1 when it could not be started.
  pid_t pid() const noexcept { return pid_; }
  /// True while the helper has not exited.
  bool running() noexcept;

 private:
  explicit KeepAwake(pid_t pid) noexcept : pid_(pid) {}
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace vek
