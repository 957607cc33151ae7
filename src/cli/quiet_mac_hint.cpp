#include "cli/quiet_mac_hint.h"

#include <utility>

#include "agent/agent_status.h"
#include "cli/group_lists.h"
#include "foundation/errors.h"
#include "foundation/text.h"

namespace vek::cli {

namespace {

// How often the group is asked while the job keeps waiting for the same Mac.
constexpr std::chrono::seconds lookInterval{15};

std::string plural(std::int64_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

}  // namespace

QuietMacHint::QuietMacHint(const API& api, std::function<void(std::string_view)> print)
    : api_(api), print_(std::move(print)) {}

std::string QuietMacHint::duration(std::int64_t seconds) {
  if (seconds < 60) return plural(seconds, "second");
  if (seconds < 3600) return plural(seconds / 60, "minute");
  if (seconds < 2 * 86400) return plural(seconds / 3600, "hour");
  return plural(seconds / 86400, "day");
}

void QuietMacHint::observe(const JSON& job) {
  const std::string& state = job["state"].text();
  const char* role = state == "building"     ? "builder_id"
                     : state == "installing" ? "receiver_id"
                                             : nullptr;
  if (!role) return;
  const std::string& mac = job[role].text();
  if (mac.empty() || told_.contains(mac)) return;
  const auto now = std::chrono::steady_clock::now();
  if (mac == lastMac_ && nextLook_ && now < *nextLook_) return;
  lastMac_ = mac;
  nextLook_ = now + lookInterval;

  JSON group;
  try {
    group = fetchGroup(api_);
  } catch (const CancellationError&) {
    throw;
  } catch (const std::exception&) {
    return;
  }
  for (const JSON& device : group["devices"].items()) {
    if (device["id"].text() != mac) continue;
    std::string name = text::trim(text::withoutControls(device["name"].text()));
    if (name.empty()) name = "The Mac " + text::withoutControls(mac);
    const JSON& lastSeen = device["last_seen"];
    std::string silence;
    if (lastSeen.isNumber() && lastSeen.doubleValue() > 0) {
      const double quiet = AgentStatus::now() - lastSeen.doubleValue();
      if (quiet <= AgentStatus::livenessWindow) return;
      silence = "has not reported for " + duration(static_cast<std::int64_t>(quiet));
    } else if (lastSeen.isNumber()) {
      silence = "has never reported to the relay";
    } else if (device["online"].isBool() && !device["online"].flag()) {
      silence = "has not reported for over " +
                duration(static_cast<std::int64_t>(AgentStatus::livenessWindow));
    } else {
      return;
    }
    told_.insert(mac);
    print_(name + " " + silence + "; the job waits for it");
    return;
  }
}

}  // namespace vek::cli
