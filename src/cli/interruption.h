// Stopping a command from outside. SIGINT (Ctrl-C) and SIGTERM (kill, timeout, a service manager
// stopping the agent) ask the command's task to stop instead of ending the process on the spot:
// the task's cancellable waits then end, a running developer tool is stopped (SIGTERM, SIGKILL 5
// seconds later) and reaped, its capture files are removed, and the command ends as any failure
// does, with "The operation was cancelled." and exit status 1.
//
// The signals are blocked in every thread and taken by one thread that waits for them with
// sigwait, so no code runs in a signal handler; that thread only requests the stop.
#pragma once

#include <stop_token>

namespace vek::cli {

/// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread started after, and
/// starts a thread that requests stop on `source` each time one arrives. Called in main before
/// any other thread starts. Throws SystemError when the signals cannot be blocked or the thread
/// cannot start.
void stopOnInterruption(std::stop_source source);

}  // namespace vek::cli
