// The record of the developer tools a process runs for jobs, which lets the next agent end the
// tools of an agent that died.
//
// A pid alone does not name a process for long: once the process ends, its number is handed to
// another one. So each tool is recorded with its start mark, the time the system started it
// (with the boot it belongs to), and a recorded process is ended only while the process with
// that pid still has that mark. The file is one JSON object {"tools": [{"pid", "started"}]},
// replaced whole on every change; it is read as untrusted bytes and a damaged one ends nothing.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vek::ToolRecord {

/// One recorded tool.
struct Entry {
  pid_t pid = 0;
  std::string started;
};

/// The start mark of the running process `pid`: text that differs between any two processes that
/// had this pid at different times. Absent when no process has this pid (or its mark cannot be
/// read).
std::optional<std::string> startMark(pid_t pid) noexcept;

/// Replaces the record at `path` with `tools` (mode 0600). Throws SystemError.
void write(const std::filesystem::path& path, const std::vector<Entry>& tools);

/// Kills (SIGKILL) every process the record at `path` names that still has its recorded start
/// mark, then removes the record. A missing, damaged or oversized record ends nothing. Returns how
/// many processes it ended; never throws.
int endLeftovers(const std::filesystem::path& path) noexcept;

}  // namespace vek::ToolRecord
