// The relay's endpoints: one table row per route, each naming the Relay operation that answers
// it.
//
// A handler runs on the I/O thread: it decodes the body (so a malformed request never reaches
// the store) and returns the Relay call to make on the worker pool. Adding an endpoint is one row
// here plus the Relay method it calls; the connection code does not change.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "relay_server/routes.h"
#include "relay_server/tokens.h"

namespace vek::relay_server {

/// What a handler gets to see of one request.
struct Call {
  std::string id;     // the {id} path segment, lower-cased; empty when the route has none
  std::string query;  // the raw query string
  std::string body;   // the JSON body as received; empty when there was none
  std::optional<std::string> lease;          // X-VEK-Lease
  std::optional<std::string> bootstrap;      // X-VEK-Bootstrap
  PresentedCredentials caller;               // filled in for Access::member routes
  std::chrono::milliseconds longestWait{0};  // the most a held request may wait here
};

/// The relay's endpoint table.
std::span<const Route> relayRoutes();

}  // namespace vek::relay_server
