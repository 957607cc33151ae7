// What the agent tells the relay every cycle, and how long it waits after failures.
//
// The heartbeat carries this Mac's offer (the phones attached to it and the projects registered on
// it, with the client's version and platform) and the lease of the job it holds, if any. The
// relay's answer lists the held job with its current state, so the agent learns there when a job
// it works on has been ended elsewhere (cancelled by a user, failed by a lapsed lease).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/json.h"
#include "projects/project.h"

namespace vek::Heartbeat {

/// A job this Mac holds, and the lease that proves it.
struct Lease {
  std::string id;
  std::string token;
};

/// The platform this agent reports to its group.
inline constexpr const char* platform = "macOS";

/// The largest heartbeat or claim answer the agent reads. A heartbeat answer names at most the
/// one job the agent holds and a claim answer carries one job, whose largest parts the relay
/// itself bounds (the target phone's entry of an inventory and a build manifest, 64 KiB each);
/// anything near this size is not an answer the relay can legitimately give.
inline constexpr std::size_t answerLimit = 1024 * 1024;

/// How long a lease lasts after the claim or the heartbeat that renewed it, when the claim does
/// not say ("lease_seconds"), and the longest a claim may say.
inline constexpr std::chrono::seconds defaultLeaseLifetime{60};
inline constexpr std::chrono::seconds longestLeaseLifetime{3600};

/// The lease lifetime a claim answer gives: its "lease_seconds" when that is a number from 1 to
/// `longestLeaseLifetime`, else `defaultLeaseLifetime`.
std::chrono::seconds leaseLifetime(const JSON& claim);

/// The body of POST /v1/heartbeat: {"inventory": {"projects": the projects' public summaries in
/// registry order, "phones": `phones`, "client_version", "platform", and "error" only when
/// `inventoryError` is present}, "leases": [] or [{"id", "token"}]}.
JSON body(const std::vector<Project>& projects, const JSON& phones,
          const std::optional<std::string>& inventoryError, const std::optional<Lease>& lease);

/// The state the heartbeat answer gives for job `id`: the "state" text of the first element of
/// the answer's "jobs" whose "id" text is `id`; absent when the answer lists no such job (or is
/// not an object, or its "jobs" is not an array).
std::optional<std::string> jobState(const JSON& answer, std::string_view id);

/// The pause after the `failures`-th failed cycle in a row: `step` times `failures`, at most
/// `cap` (5, 10, 15, 20, 25, then 30 seconds with the agent's values). While a job is held the
/// worker pauses `step` after every failure instead, so the lease is renewed as soon as the relay
/// can be reached again.
std::chrono::milliseconds backoff(int failures, std::chrono::milliseconds step,
                                  std::chrono::milliseconds cap);

}  // namespace vek::Heartbeat
