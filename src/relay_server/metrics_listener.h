// The metrics listener: a second, optional HTTP listener that serves GET /metrics and nothing
// else. It shares no route with the relay, so opening it to a monitoring network exposes no
// relay operation, and it answers without credentials because it shows no group's data.
#pragma once

#include "relay_server/asio.h"
#include "relay_server/server_context.h"

namespace vek::relay_server {

/// Accepts connections on `acceptor` until it is closed, answering each with one response:
/// 200 and the exposition for GET /metrics, 405 for another method on /metrics, 404 for any
/// other path, 400 for a request with a body or one that is not HTTP. Then the connection closes.
void serveMetrics(ServerContext& context, tcp::acceptor& acceptor);

}  // namespace vek::relay_server
