#include "foundation/tool_record.h"

#include <signal.h>
#include <unistd.h>

#ifdef __APPLE__
#include <libproc.h>
#else
// glibc 2.36 declares the pidfd functions without C linkage for C++ (fixed in 2.37).
extern "C" {
#include <sys/pidfd.h>
}
#endif

#include <cstdint>
#include <limits>
#include <system_error>

#include "foundation/file.h"
#include "foundation/json.h"
#include "foundation/paths.h"
#include "foundation/text.h"

namespace vek::ToolRecord {

namespace {

// A record names the few tools of one job; anything larger was not written by an agent.
constexpr std::size_t maxRecordBytes = 64 * 1024;

#ifndef __APPLE__
// The field of /proc/<pid>/stat that holds the process's start time in clock ticks since boot:
// the 22nd, counted after the command name, which may itself hold spaces and parentheses.
std::optional<std::string> startTicks(pid_t pid) {
  std::optional<std::string> stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!stat) return std::nullopt;
  std::size_t at = stat->rfind(')');
  if (at == std::string::npos) return std::nullopt;
  // Fields 3 to 22 follow the name, each after one space.
  for (int field = 3; field < 22; ++field) {
    at = stat->find(' ', at + 1);
    if (at == std::string::npos) return std::nullopt;
  }
  const std::size_t end = stat->find(' ', at + 1);
  if (end == std::string::npos) return std::nullopt;
  return stat->substr(at + 1, end - at - 1);
}

const std::optional<std::string>& bootID() {
  static const std::optional<std::string> id = []() -> std::optional<std::string> {
    auto bytes = readSmallFile("/proc/sys/kernel/random/boot_id", 4096);
    if (!bytes) return std::nullopt;
    return text::trim(*bytes);
  }();
  return id;
}
#endif

}  // namespace

std::optional<std::string> startMark(pid_t pid) noexcept {
  if (pid < 1) return std::nullopt;
  try {
#ifdef __APPLE__
    struct proc_bsdinfo info {};
    if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info) {
      return std::nullopt;
    }
    return std::to_string(info.pbi_start_tvsec) + "." + std::to_string(info.pbi_start_tvusec);
#else
    const auto& boot = bootID();
    auto ticks = startTicks(pid);
    if (!boot || !ticks) return std::nullopt;
    return *boot + "/" + *ticks;
#endif
  } catch (...) {
    return std::nullopt;
  }
}

void write(const std::filesystem::path& path, const std::vector<Entry>& tools) {
  JSON list = JSON::array();
  for (const Entry& tool : tools) {
    list.push(JSON::object(
        {{"pid", JSON(static_cast<std::int64_t>(tool.pid))}, {"started", tool.started}}));
  }
  Paths::atomicWrite(JSON::object({{"tools", std::move(list)}}).data(), path);
}

int endLeftovers(const std::filesystem::path& path) noexcept {
  int ended = 0;
  try {
    std::optional<std::string> bytes = readSmallFile(path, maxRecordBytes);
    if (!bytes) return 0;
    JSON record;
    try {
      record = JSON::decode(*bytes);
    } catch (const std::exception&) {
    }
    for (const JSON& tool : record["tools"].items()) {
      const JSON& number = tool["pid"];
      const JSON& started = tool["started"];
      if (!number.isNumber() || !started.isString()) continue;
      const double value = number.doubleValue();
      if (!(value >= 1 && value <= std::numeric_limits<std::int32_t>::max())) continue;
      const auto pid = static_cast<pid_t>(value);
      if (pid == ::getpid()) continue;
#ifdef __APPLE__
      if (startMark(pid) == started.text() && ::kill(pid, SIGKILL) == 0) ++ended;
#else
      // Held open, the pidfd keeps naming the process whose mark is checked, so the signal
      // cannot reach a process that took the pid over in between.
      UniqueFd pidfd(::pidfd_open(pid, 0));
      if (!pidfd || startMark(pid) != started.text()) continue;
      if (::pidfd_send_signal(pidfd.get(), SIGKILL, nullptr, 0) == 0) ++ended;
#endif
    }
  } catch (...) {
    // Whatever could not be read or ended is left as it is.
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return ended;
}

}  // namespace vek::ToolRecord
