#include "relay_server/metrics_listener.h"

#include <iostream>
#include <limits>
#include <memory>

#include "foundation/constants.h"
#include "foundation/errors.h"
#include "relay_server/offload.h"
#include "relay_server/relay.h"

namespace vek::relay_server {

namespace {

constexpr auto kTimeout = std::chrono::seconds(10);
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr auto kLinger = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 64 * 1024;

// What a scrape reads from the database and the data directory, each on its own pool. A part
// that fails is left out of the answer and counted as an error.
asio::awaitable<StoredState> readState(ServerContext& context) {
  StoredState state;
  state.openConnections = context.sessions.size();
  state.heldRequests = context.notifier.waiters();
  state.heldRequestWakes = context.notifier.wakes();
  state.pool = context.relay.poolUsage();
  state.connectionLimit = context.sessions.limit();
  try {
    Relay& relay = context.relay;
    state.jobsByState =
        co_await offload(context.database, [&] { return relay.jobCountsByState(); });
  } catch (const std::exception& error) {
    std::cerr << "vek-relay: metrics could not count the jobs: " << error.what() << std::endl;
    context.metrics.countDatabaseError();
  }
  try {
    const ArtifactStore& artifacts = context.artifacts;
    ArtifactStore::Usage usage = co_await offload(context.files, [&] { return artifacts.usage(); });
    state.builds = usage.files;
    state.buildBytes = usage.bytes;
  } catch (const std::exception& error) {
    std::cerr << "vek-relay: metrics could not measure the stored builds: " << error.what()
              << std::endl;
    context.metrics.countDiskError();
  }
  co_return state;
}

asio::awaitable<void> answer(ServerContext& context, tcp::socket socket) {
  beast::tcp_stream stream(std::move(socket));
  beast::flat_buffer buffer;
  http::request_parser<http::empty_body> parser;
  parser.header_limit(kHeaderLimit);
  // A body is refused from the header; the limit only keeps Beast from judging it first.
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  stream.expires_after(kTimeout);
  error_code ec;
  co_await http::async_read_header(stream, buffer, parser,
                                   asio::redirect_error(asio::use_awaitable, ec));

  http::response<http::string_body> response;
  response.version(11);
  response.set(http::field::server, "vek-relay/" + std::string(VEK::version));
  response.keep_alive(false);
  if (ec) {
    if (ec.category() != http::make_error_code(http::error::end_of_stream).category() ||
        ec == http::error::end_of_stream || ec == http::error::partial_message) {
      co_return;  // closed or timed out: nobody to answer
    }
    response.result(http::status::bad_request);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = "Not an HTTP/1.1 request.\n";
  } else {
    const auto& request = parser.get();
    std::string_view target = request.target();
    std::string_view path = target.substr(0, target.find('?'));
    bool hasBody = !parser.is_done();
    if (path != "/metrics") {
      response.result(http::status::not_found);
      response.set(http::field::content_type, "text/plain; charset=utf-8");
      response.body() = "This listener serves only GET /metrics.\n";
    } else if (request.method() != http::verb::get) {
      response.result(http::status::method_not_allowed);
      response.set(http::field::allow, "GET");
      response.set(http::field::content_type, "text/plain; charset=utf-8");
      response.body() = "Only GET is served here.\n";
    } else if (hasBody) {
      response.result(http::status::bad_request);
      response.set(http::field::content_type, "text/plain; charset=utf-8");
      response.body() = "A metrics request has no body.\n";
    } else {
      StoredState state = co_await readState(context);
      response.result(http::status::ok);
      response.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      response.set(http::field::cache_control, "no-store");
      response.body() = context.metrics.render(state);
    }
  }
  response.prepare_payload();
  stream.expires_after(kTimeout);
  co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return;
  // Half-close, then discard what the client still sends (a refused body) until it closes:
  // closing with unread data would reset the connection and could destroy the answer.
  stream.socket().shutdown(tcp::socket::shutdown_send, ec);
  stream.expires_after(kLinger);
  char scratch[4096];
  std::size_t drained = 0;
  while (!ec && drained < kLingerBytes) {
    drained += co_await stream.async_read_some(asio::buffer(scratch),
                                               asio::redirect_error(asio::use_awaitable, ec));
  }
}

asio::awaitable<void> answerSafely(ServerContext& context, tcp::socket socket) {
  try {
    co_await answer(context, std::move(socket));
  } catch (const std::exception& failure) {
    std::cerr << "vek-relay: a metrics request failed: " << failure.what() << std::endl;
  }
}

}  // namespace

void serveMetrics(ServerContext& context, tcp::acceptor& acceptor) {
  asio::co_spawn(
      acceptor.get_executor(),
      [&context, &acceptor]() -> asio::awaitable<void> {
        while (true) {
          tcp::socket socket(asio::make_strand(acceptor.get_executor()));
          error_code error;
          co_await acceptor.async_accept(socket, asio::redirect_error(asio::use_awaitable, error));
          if (context.stopping || !acceptor.is_open()) break;
          if (error) {
            asio::steady_timer pause(acceptor.get_executor(), std::chrono::milliseconds(50));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, error));
            continue;
          }
          auto executor = socket.get_executor();
          asio::co_spawn(executor, answerSafely(context, std::move(socket)), asio::detached);
        }
      },
      asio::detached);
}

}  // namespace vek::relay_server
