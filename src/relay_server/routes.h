// The relay's endpoint table: which method and path reach which handler, and the few query
// parameters it reads. Paths are matched segment by segment on the raw request target; ids are
// taken from the path verbatim (then lower-cased) and checked later against the caller's group.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vek::relay {

enum class Route {
  healthz,       // GET    /healthz
  createGroup,   // POST   /v1/groups
  join,          // POST   /v1/join
  createInvite,  // POST   /v1/invites
  group,         // GET    /v1/group
  revokeDevice,  // DELETE /v1/devices/{id}
  heartbeat,     // POST   /v1/heartbeat
  claim,         // POST   /v1/claim
  listJobs,      // GET    /v1/jobs
  queueJob,      // POST   /v1/jobs
  job,           // GET    /v1/jobs/{id}
  events,        // GET    /v1/jobs/{id}/events[?after=N]
  cancel,        // POST   /v1/jobs/{id}/cancel
  postEvent,     // POST   /v1/jobs/{id}/event
  fail,          // POST   /v1/jobs/{id}/fail
  upload,        // PUT    /v1/jobs/{id}/artifact
  download,      // GET    /v1/jobs/{id}/artifact
  finishBuild,   // POST   /v1/jobs/{id}/finish-build
  finish,        // POST   /v1/jobs/{id}/finish
};

/// A matched request: the handler, the {id} path segment lower-cased (empty when the route has
/// none), and the raw query (the text after "?", possibly empty).
struct RouteMatch {
  Route route;
  std::string id;
  std::string query;
};

/// Matches a request line. Throws HttpError 404 for a path the relay does not serve and 405 for
/// a known path with another method.
RouteMatch matchRoute(std::string_view method, std::string_view target);

/// The methods the relay serves on the path of `target`, as an Allow header lists them ("GET,
/// POST"); empty for a path it does not serve.
std::string allowedMethods(std::string_view target);

/// The "after" cursor of an events query: absent when the query has no "after"; a decimal
/// integer of at least 0 otherwise (values beyond the 64-bit range count as the largest). Throws
/// HttpError 400 when "after" is present but not such a number.
std::optional<std::int64_t> afterCursor(std::string_view query);

/// The target as it may appear in the access log: the path, then the query's parameter names
/// without their values ("/v1/jobs/x/events?after"). Bytes outside printable ASCII are written
/// as \xHH so a hostile request cannot forge log lines.
std::string loggableTarget(std::string_view target);

}  // namespace vek::relay
