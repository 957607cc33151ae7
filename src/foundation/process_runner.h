// The one way VEK runs a developer tool.
//
// A tool is started with posix_spawn from an explicit argument list (never through a shell). Its
// standard output and standard error go straight into two private capture files in the temporary
// directory, never through a pipe, so a tool that prints gigabytes can neither stall nor swell the
// runner: afterwards only the last 8 MiB of each file are read back, and the transcript is copied
// to the log in 1 MiB pieces.
//
// The calling thread waits on a pidfd, which also serves every signal sent to the tool: a pidfd
// names one process, not a pid number, so a signal can never reach an unrelated process that
// reused the pid of a tool that already ended. The wait ends for one of three reasons:
//   - the tool exits;
//   - the time-out passes: SIGTERM, then SIGKILL 5 seconds later if the tool is still there;
//   - the caller's task is cancelled: the same graceful-then-forced stop, after which the run
//     throws CancellationError instead of returning.
// In every case the tool is reaped before `run` returns or throws, so it never leaves a child or a
// zombie behind, and the capture files are removed.
//
// Tools running on behalf of a job are registered by job id so that `cancel` from another thread
// can send them SIGTERM.
#pragma once

#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek {

/// What a finished tool left behind.
struct ProcessResult {
  /// Standard output: at most its last 8 MiB, as UTF-8 with ill-formed bytes replaced by U+FFFD
  /// (a character cut at the start of the window included).
  std::string output;
  /// Standard error, same rules.
  std::string error;
  /// The exit code, or the signal number when the tool was ended by a signal (15, 9...).
  int status = 0;
};

namespace ProcessRunner {

/// One run of a tool.
struct Invocation {
  /// Absolute path of the tool as on a Mac ("/usr/bin/xcodebuild"); re-rooted by `toolPath`.
  std::string executable{};
  /// Passed to the tool unchanged, one element per argument.
  std::vector<std::string> arguments{};
  /// Working directory of the tool; the caller's when absent.
  std::optional<std::filesystem::path> cwd{};
  /// Transcript file to append to (created 0600 when missing); none when absent.
  std::optional<std::filesystem::path> log{};
  /// Seconds after the start at which the tool is sent SIGTERM (and SIGKILL 5 seconds later).
  /// Every caller states one; the default, infinity, means no time-out.
  double timeout = std::numeric_limits<double>::infinity();
  /// Job id under which the tool is registered while it runs, so that `cancel` reaches it.
  std::optional<std::string> job{};
  /// When true a non-zero status is returned in the result instead of thrown.
  bool allowFailure = false;
};

/// Runs the tool to its end and returns what it printed and its status.
///
/// Throws:
///   - CancellationError when the current task is already cancelled (nothing is started), or is
///     cancelled while the tool runs (the tool is stopped and reaped first);
///   - SystemError naming the executable (or the working directory) when the tool cannot start,
///     and for a capture file, the log or a capture read that fails, even after a successful tool;
///   - VEKError "<name> failed (<status>): <last 1,600 characters of standard error, or of standard
///     output when standard error is empty>" for a non-zero status unless `allowFailure`, or
///     "<name> timed out after <the time-out, as text::duration gives it>" followed by ": " and
///     those characters when there are any, when the time-out stopped the tool; either is
///     followed by "\nFull log: <log path>" when there is a log.
/// The log receives "\n$ <name> <arguments joined by spaces>\n", then all of standard output, then
/// all of standard error, after the tool has ended.
ProcessResult run(const Invocation& invocation);

/// Sends SIGTERM to the tool running under `job`, if one is; otherwise does nothing. Never fails
/// and never waits: the run it reaches ends as after a time-out, through its status.
void cancel(std::string_view job) noexcept;

}  // namespace ProcessRunner

}  // namespace vek
