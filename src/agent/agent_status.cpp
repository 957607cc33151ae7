#include "agent/agent_status.h"

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "agent/job_cleanup.h"
#include "foundation/file.h"
#include "foundation/paths.h"

namespace vek::AgentStatus {

std::filesystem::path file() {
  return Paths::root() / "agent-status.json";
}

std::optional<std::string> read(const std::filesystem::path& path) noexcept {
  return readSmallFile(path, 64 * 1024);
}

namespace {

std::string storedError(std::string_view error) {
  std::string text = JobCleanup::failureText(error);
  if (text.size() <= errorByteLimit) return text;
  std::size_t cut = errorByteLimit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  text.resize(cut);
  return text;
}

}  // namespace

std::string encode(const Record& record) {
  JSON::Object object;
  object["pid"] = JSON(static_cast<std::int64_t>(record.pid));
  object["updated"] = JSON(record.updated);
  object["device_id"] = JSON(record.deviceID);
  object["job_id"] = record.jobID ? JSON(*record.jobID) : JSON();
  if (record.error) object["error"] = JSON(storedError(*record.error));
  return JSON(std::move(object)).data();
}

void write(const Record& record) {
  Paths::directory("");
  Paths::atomicWrite(encode(record), file());
}

bool isAlive(double pid, double updated, double now) noexcept {
  if (!std::isfinite(pid)) return false;
  pid = std::trunc(pid);
  if (pid < 1 || pid > std::numeric_limits<std::int32_t>::max()) return false;
  if (!(now - updated < livenessWindow)) return false;
  // Only a process this user may signal can be this user's agent; EPERM means the pid now belongs
  // to someone else.
  return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

JSON evaluate(const std::optional<std::string>& contents, double now) {
  if (!contents) return JSON::object({{"running", false}});
  JSON decoded;
  try {
    decoded = JSON::decode(*contents);
  } catch (const std::exception&) {
    return JSON::object({{"running", false}});
  }
  JSON::Object members = decoded.fields();
  const JSON& pid = decoded["pid"];
  const JSON& updated = decoded["updated"];
  bool running = isAlive(pid.isNumber() ? pid.doubleValue() : 0,
                         updated.isNumber() ? updated.doubleValue() : 0, now);
  members["running"] = JSON(running);
  return JSON(std::move(members));
}

double now() noexcept {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace vek::AgentStatus
