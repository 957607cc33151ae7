#include "agent/heartbeat.h"

#include <algorithm>

#include "foundation/constants.h"

namespace vek::Heartbeat {

JSON body(const std::vector<Project>& projects, const JSON& phones,
          const std::optional<std::string>& inventoryError, const std::optional<Lease>& lease) {
  JSON summaries = JSON::array();
  for (const Project& project : projects)
    summaries.push(project.json());
  JSON inventory = JSON::object({{"projects", std::move(summaries)},
                                 {"phones", phones.isArray() ? phones : JSON::array()},
                                 {"client_version", VEK::version},
                                 {"platform", platform}});
  if (inventoryError) inventory.set("error", *inventoryError);
  JSON leases = JSON::array();
  if (lease) leases.push(JSON::object({{"id", lease->id}, {"token", lease->token}}));
  return JSON::object({{"inventory", std::move(inventory)}, {"leases", std::move(leases)}});
}

std::optional<std::string> jobState(const JSON& answer, std::string_view id) {
  for (const JSON& job : answer["jobs"].items()) {
    if (job["id"].text() == id) return job["state"].text();
  }
  return std::nullopt;
}

std::chrono::seconds leaseLifetime(const JSON& claim) {
  const JSON& seconds = claim["lease_seconds"];
  if (!seconds.isNumber()) return defaultLeaseLifetime;
  const double value = seconds.doubleValue();
  if (!(value >= 1 && value <= static_cast<double>(longestLeaseLifetime.count())))
    return defaultLeaseLifetime;
  return std::chrono::seconds(static_cast<long>(value));
}

std::chrono::milliseconds backoff(int failures, std::chrono::milliseconds step,
                                  std::chrono::milliseconds cap) {
  // Past the cap the count no longer matters, so a long outage cannot overflow the product.
  if (failures < 1) return std::chrono::milliseconds(0);
  if (step.count() > 0 && failures > cap / step) return cap;
  return std::min(step * failures, cap);
}

}  // namespace vek::Heartbeat
