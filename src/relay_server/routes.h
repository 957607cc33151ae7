// How a request finds what serves it: an endpoint table is a list of rows, each a method, a path
// pattern and the handler of that route, and matching walks the rows. Paths are matched segment
// by segment on the raw request target; ids are taken from the path verbatim (then lower-cased)
// and checked later against the caller's group.
//
// This file knows the shape of a row but not the relay's rows (endpoints.h has those), and
// nothing here touches sockets or storage, so the fuzzers link the matching code on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "foundation/json.h"
#include "relay_server/topic.h"

namespace vek::relay_server {

class Relay;
struct Call;

/// Relay work for a worker thread (it may block on the store); returns the answer's body.
using RelayWork = std::function<JSON(Relay&)>;

/// One look at the store by a request that may wait: the answer as things stand, and whether it
/// is worth giving now rather than waiting for a change.
struct Attempt {
  JSON answer;
  bool ready = false;
};

/// Work that a request may wait for (a held claim, a held event read). The connection runs
/// `attempt` on a worker thread; while the answer is not ready it suspends until `topic` is
/// posted, then tries again, and once `wait` has passed gives the last answer as it is.
/// `attempt` is called again only after the previous call returned.
struct HeldWork {
  Topic topic;
  std::chrono::milliseconds wait;
  std::function<Attempt(Relay&)> attempt;
};

/// What a handler makes of a call: the work that answers it, an answer that needs no state, or
/// work to wait for.
using Reply = std::variant<RelayWork, JSON, HeldWork>;
/// Checks and decodes a call on the I/O thread (throwing HttpError for a bad one) and returns
/// what answers it.
using Handler = Reply (*)(const Call& call);

/// Who may call a route: anyone, or only a device that presents credentials. Whether the
/// credentials are valid is the relay's to decide; a member route without any is refused before
/// its body is looked at.
enum class Access { open, member };

/// How a route's bytes travel: JSON both ways (through the handler), or an artifact streamed in
/// or out by the connection itself, whole (upload, download) or in resumable parts (the tus
/// requests: the held offset, a part appended, the protocol's options).
enum class Transfer { json, upload, download, uploadOffset, uploadPart, uploadOptions };

/// One row of an endpoint table.
struct Route {
  std::string_view method;
  std::string_view path;  // "{id}" stands for one non-empty segment
  Access access;
  Handler handler = nullptr;  // null for the streamed transfers
  Transfer transfer = Transfer::json;
};

/// A matched request: its row, the {id} path segment lower-cased (empty when the route has
/// none), and the raw query (the text after "?", possibly empty).
struct RouteMatch {
  const Route* route;
  std::string id;
  std::string query;
};

/// Matches a request line against `routes`. Throws HttpError 404 for a path none of them serves
/// and 405 for a known path with another method.
RouteMatch matchRoute(std::span<const Route> routes, std::string_view method,
                      std::string_view target);

/// The methods `routes` serve on the path of `target`, as an Allow header lists them ("GET,
/// POST"); empty for a path none of them serves.
std::string allowedMethods(std::span<const Route> routes, std::string_view target);

/// The "after" cursor of an events query: absent when the query has no "after"; a decimal
/// integer of at least 0 otherwise (values beyond the 64-bit range count as the largest). Throws
/// HttpError 400 when "after" is present but not such a number.
std::optional<std::int64_t> afterCursor(std::string_view query);

/// The longest a request may ask to be held.
inline constexpr std::chrono::seconds kMaxWait{25};

/// The "wait" of a claim or events query: absent when the query has none; otherwise a decimal
/// number of seconds from 0 to kMaxWait ("5", "4.25"), kept to the millisecond. Throws HttpError
/// 400 when "wait" is present but not such a number.
std::optional<std::chrono::milliseconds> waitParameter(std::string_view query);

/// The target as it may appear in the access log: the path, then the query's parameter names
/// without their values ("/v1/jobs/x/events?after"). Bytes outside printable ASCII are written
/// as \xHH so a hostile request cannot forge log lines.
std::string loggableTarget(std::string_view target);

}  // namespace vek::relay_server
