// The agent status file, "agent-status.json" in the state directory.
//
// The running worker replaces it after every cycle of its loop and at the end of every job; the
// CLI and the desktop app read it to tell whether an agent is alive. Its one object holds "pid"
// (the writer's process id), "updated" (seconds since 1970 with fractions), "device_id", "job_id"
// (a string or null) and, only when the write reports one, "error".
//
// An agent counts as running when its last write is less than 45 seconds old and its process
// still exists. The file is read as untrusted bytes: a missing, damaged or foreign file, or a
// "pid" that no process can have, means "not running" and is never a failure.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/json.h"

namespace vek::AgentStatus {

/// How long a status write vouches for the agent, in seconds.
inline constexpr double livenessWindow = 45;

/// One write of the worker.
struct Record {
  long pid = 0;
  /// Seconds since 1970-01-01 00:00 UTC.
  double updated = 0;
  std::string deviceID;
  std::optional<std::string> jobID;
  std::optional<std::string> error;
};

/// "agent-status.json" under the state directory (nothing is created).
std::filesystem::path file();

/// The bytes of the status file at `path`; absent when it is missing, unreadable, not a regular
/// file or larger than any status the worker writes (64 KiB). Never blocks on a FIFO or device.
std::optional<std::string> read(const std::filesystem::path& path) noexcept;

/// The most bytes of an error the file keeps, after the cut to 1950 characters that failure
/// reports get: a character may be a long cluster of code points, and even escaped for JSON the
/// error must leave the file well within what readers accept.
inline constexpr std::size_t errorByteLimit = 8 * 1024;

/// The compact JSON of `record`, as the file holds it, with the error cut as failure reports are
/// (JobCleanup::failureText) and then to `errorByteLimit` bytes, at a character boundary.
std::string encode(const Record& record);

/// Replaces the status file with `record` atomically (mode 0600), creating the state directory
/// when missing. Throws the platform's errors; the worker ignores them.
void write(const Record& record);

/// The status that `contents` (the file's bytes, absent when the file could not be read) gives
/// at time `now` (seconds since 1970): the decoded object with "running" set, every other member
/// as the agent wrote it; {"running": false} when the bytes are not JSON, and the members of an
/// empty object when they are JSON but not an object. Never throws.
JSON evaluate(const std::optional<std::string>& contents, double now);

/// Whether a status written by `pid` at `updated` shows a live agent at `now`. A pid below 1, not
/// finite or beyond the signed 32-bit range is not running; a fraction is cut toward zero.
bool isAlive(double pid, double updated, double now) noexcept;

/// The current time in seconds since 1970, with fractions.
double now() noexcept;

}  // namespace vek::AgentStatus
