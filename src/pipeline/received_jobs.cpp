#include "pipeline/received_jobs.h"

#include <cerrno>
#include <mutex>
#include <string>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/json.h"
#include "foundation/paths.h"

namespace vek::BuildPipeline {

namespace {

const char* const kFileName = "received-jobs.json";

// The remembered jobs; an object that is empty when there is no memory yet or it is unreadable.
JSON readMemory(const std::filesystem::path& path) {
  std::string bytes;
  try {
    bytes = readFile(path);
  } catch (const SystemError& error) {
    if (error.code() == ENOENT) return JSON::object();
    throw;
  }
  try {
    JSON memory = JSON::decode(bytes);
    if (memory.isObject()) return memory;
  } catch (const DecodingError&) {
  }
  return JSON::object();
}

}  // namespace

void admitReceivedJob(std::string_view id, std::chrono::system_clock::time_point now) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  const std::filesystem::path path = Paths::directory("") / kFileName;
  const JSON memory = readMemory(path);
  if (!memory[id].isNull()) {
    throw VEKError(
        "This Mac already received this job once; a relay that offers it again may be replaying "
        "an old build, so it is refused.");
  }

  const auto seconds = [](std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
  };
  const std::int64_t forgetBefore = seconds(now - receivedJobMemory);
  JSON kept = JSON::object();
  for (const auto& [job, received] : memory.fields()) {
    if (received.isNumber() && received.integer() >= forgetBefore) kept.set(job, received);
  }
  kept.set(id, JSON(static_cast<std::int64_t>(seconds(now))));
  Paths::atomicWrite(kept.data(), path);
}

}  // namespace vek::BuildPipeline
