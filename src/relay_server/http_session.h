// One HTTP/1.1 connection to the relay, plain or TLS.
#pragma once

#include "relay_server/asio.h"
#include "relay_server/server_context.h"

namespace vek::relay_server {

/// Serves requests on `socket` until the client closes it, a time-out passes, or the server
/// stops. With `tls`, performs the TLS handshake first. Returns at once; the session runs on the
/// socket's executor (a strand) and keeps itself alive.
void startSession(ServerContext& context, tcp::socket socket, asio::ssl::context* tls);

}  // namespace vek::relay_server
