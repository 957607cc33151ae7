// One connection's request loop.
//
// Each connection is a coroutine on its own strand, plus a watchdog coroutine that closes the
// socket when the current deadline passes. Every wait sets the deadline that fits it: the idle
// time-out between requests, the header time-out for a request's header and JSON body, and a
// no-progress time-out for artifact transfers. Closing the socket cancels whatever the request
// loop was waiting for, so no read or write can hang.
//
// A request is read in two steps. First the header alone; the route, the credentials and every
// limit are checked on it. Only then is the body read: a JSON body up to 1 MiB into memory, an
// artifact straight from the socket into the artifact store. A request refused before its body
// was read is answered with "Connection: close", and the connection is shut down after a short
// drain, so the client sees the answer instead of a reset.
//
// Downloads on plain TCP go from the page cache to the socket with sendfile(2); over TLS they are
// read and encrypted in pieces.
#include "relay_server/http_session.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <limits>
#include <memory>

#include "foundation/constants.h"
#include "foundation/errors.h"
#include "relay_server/http_error.h"
#include "relay_server/offload.h"
#include "relay_server/requests.h"
#include "relay_server/routes.h"
#include "relay_server/tokens.h"

namespace vek::relay {

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr std::size_t kIdleBuffer = 4 * 1024;
constexpr std::size_t kTransferPiece = 1024 * 1024;
// An artifact transfer that makes no progress for this long is dropped.
constexpr auto kTransferTimeout = 60s;
// How long a connection closed after an early refusal keeps discarding the unread body.
constexpr auto kLingerTime = 2s;
constexpr std::size_t kLingerBytes = 4 << 20;
constexpr std::string_view kServerHeader = "vek-relay/0.1.0";

using TlsStream = asio::ssl::stream<tcp::socket>;

tcp::socket& socketOf(tcp::socket& stream) {
  return stream;
}
tcp::socket& socketOf(TlsStream& stream) {
  return stream.next_layer();
}

/// The client went away (or timed out) mid-request: nothing more can be said to it.
struct ConnectionLost {};

/// What the handlers need from a request header; the header parser itself is consumed when its
/// body is read.
struct RequestHead {
  std::string method;
  std::string target;
  unsigned version = 11;
  bool keepAlive = true;
  bool expectContinue = false;
  bool chunked = false;
  std::optional<std::uint64_t> contentLength;
  std::optional<std::string> authorization;
  std::optional<std::string> lease;
  std::optional<std::string> bootstrap;
  std::optional<std::string> sha;
};

std::optional<std::string> headerValue(const http::request<http::empty_body>& request,
                                       std::string_view name) {
  auto found = request.find(name);
  if (found == request.end()) return std::nullopt;
  return std::string(found->value());
}

RequestHead headOf(http::request_parser<http::empty_body>& parser) {
  const auto& request = parser.get();
  RequestHead head;
  head.method = std::string(request.method_string());
  head.target = std::string(request.target());
  head.version = request.version();
  head.keepAlive = request.keep_alive();
  head.expectContinue = beast::iequals(request[http::field::expect], "100-continue");
  head.chunked = parser.chunked();
  if (auto length = parser.content_length()) head.contentLength = *length;
  head.authorization = headerValue(request, "Authorization");
  head.lease = headerValue(request, "X-VEK-Lease");
  head.bootstrap = headerValue(request, "X-VEK-Bootstrap");
  head.sha = headerValue(request, "X-VEK-SHA256");
  return head;
}

/// What the access log and the closing logic learn while a request is handled.
struct Exchange {
  std::string loggedTarget;
  std::string deviceId;
  bool bodyRead = false;
  int status = 0;
};

PresentedCredentials credentialsOf(const RequestHead& head, Exchange& exchange) {
  std::optional<PresentedCredentials> credentials;
  if (head.authorization) credentials = parseBearer(*head.authorization);
  if (!credentials) throw missingCredentials();
  exchange.deviceId = credentials->deviceId;
  return *credentials;
}

// Built outside any co_await expression: GCC 12 cannot keep the array temporaries of a braced
// initializer alive across a suspension point.
JSON errorJSON(const std::string& text) {
  return JSON::object({{"error", text}});
}

std::string shown(std::uint64_t bytes) {
  return std::to_string(bytes) + " bytes";
}

template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(ServerContext& context, Stream stream)
      : context_(context),
        stream_(std::move(stream)),
        timer_(socketOf(stream_).get_executor()),
        deadline_(SteadyClock::now() + context.config.headerTimeout) {
    error_code ignored;
    auto endpoint = socketOf(stream_).remote_endpoint(ignored);
    peer_ = ignored ? std::string("-") : endpoint.address().to_string();
  }

  void start() {
    auto self = this->shared_from_this();
    std::weak_ptr<Session> weak = self;
    auto executor = socketOf(stream_).get_executor();
    key_ = context_.sessions.add([weak, executor] {
      asio::post(executor, [weak] {
        if (auto session = weak.lock()) session->requestStop();
      });
    });
    asio::co_spawn(executor, watchdog(self), asio::detached);
    asio::co_spawn(executor, run(self), asio::detached);
  }

 private:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  void requestStop() {
    stopping_ = true;
    if (idle_) closeSocket();
  }

  void closeSocket() {
    error_code ignored;
    socketOf(stream_).close(ignored);
  }

  // Moving the deadline later costs nothing: the watchdog wakes at the old one and sleeps again.
  // Moving it earlier must wake the watchdog, or the shorter limit would wait for the longer one.
  void expireIn(SteadyClock::duration duration) {
    deadline_ = SteadyClock::now() + duration;
    if (deadline_ < armed_) timer_.cancel();
  }

  asio::awaitable<void> watchdog(std::shared_ptr<Session> /*keepAlive*/) {
    while (!finished_) {
      armed_ = deadline_;
      timer_.expires_at(armed_);
      error_code ec;
      co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      if (finished_) break;
      if (deadline_ <= SteadyClock::now()) {
        closeSocket();
        break;
      }
    }
  }

  asio::awaitable<void> run(std::shared_ptr<Session> /*keepAlive*/) {
    try {
      bool open = true;
      if constexpr (kTls) {
        error_code ec;
        co_await stream_.async_handshake(asio::ssl::stream_base::server,
                                         asio::redirect_error(asio::use_awaitable, ec));
        open = !ec;
      }
      while (open && !stopping_ && !context_.stopping)
        open = co_await serveOne();
    } catch (const std::exception& error) {
      std::cerr << "vek-relay: connection from " << peer_ << " failed: " << error.what()
                << std::endl;
    }
    finished_ = true;
    timer_.cancel();
    closeSocket();
    context_.sessions.remove(key_);
  }

  // Waits for the next request. False when the connection should end instead.
  asio::awaitable<bool> awaitRequest() {
    if (buffer_.size() > 0) co_return true;
    // Idle connections keep only a small read buffer, so a thousand of them stay cheap, yet big
    // enough that a typical request arrives in one read.
    if (buffer_.capacity() > kIdleBuffer) buffer_.shrink_to_fit();
    buffer_.reserve(kIdleBuffer);
    idle_ = true;
    expireIn(served_ == 0 ? context_.config.headerTimeout : context_.config.idleTimeout);
    error_code ec;
    if constexpr (kTls) {
      std::size_t got = co_await stream_.async_read_some(
          buffer_.prepare(kIdleBuffer), asio::redirect_error(asio::use_awaitable, ec));
      buffer_.commit(got);
    } else {
      co_await stream_.async_wait(tcp::socket::wait_read,
                                  asio::redirect_error(asio::use_awaitable, ec));
    }
    idle_ = false;
    co_return !ec && !stopping_;
  }

  // Serves one request. False when the connection must close afterwards.
  asio::awaitable<bool> serveOne() {
    if (!co_await awaitRequest()) co_return false;
    expireIn(context_.config.headerTimeout);
    auto started = SteadyClock::now();

    http::request_parser<http::empty_body> parser;
    parser.header_limit(kHeaderLimit);
    // Each route applies its own limit once the header is known. (An empty optional would mean
    // "no limit", but Beast 1.74 then refuses every body: it compares the length with it.)
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    error_code ec;
    co_await http::async_read_header(stream_, buffer_, parser,
                                     asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      bool protocol =
          ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message;
      if (!protocol) co_return false;  // closed, timed out, or cut off: nobody to answer
      RequestHead head;
      head.keepAlive = false;
      Exchange exchange{"-", {}, false, 0};
      int status = ec == http::error::header_limit ? 431 : 400;
      std::string text = "The request is not valid HTTP/1.1.";
      if (status == 431) text = "The request's header is larger than 16 KiB.";
      JSON answer = errorJSON(text);
      co_await respond(head, exchange, status, answer, started);
      co_await closeGracefully(true);
      co_return false;
    }
    ++served_;

    RequestHead head = headOf(parser);
    Exchange exchange;
    exchange.loggedTarget = loggableTarget(head.target);
    exchange.bodyRead = parser.is_done();

    JSON answer;
    std::optional<HttpError> refusal;
    try {
      RouteMatch match = matchRoute(head.method, head.target);
      if (match.route == Route::upload) {
        answer = co_await upload(head, match, exchange);
      } else {
        std::string body = co_await readBody(parser, head, exchange);
        if (match.route == Route::download) {
          bool ok = co_await download(head, match, exchange, started);
          co_return ok&& head.keepAlive;
        }
        answer = co_await handle(head, match, body, exchange);
      }
    } catch (const HttpError& error) {
      refusal = error;
    } catch (const ConnectionLost&) {
      co_return false;
    } catch (const std::exception& error) {
      std::cerr << "vek-relay: " << head.method << " " << exchange.loggedTarget
                << " failed: " << error.what() << std::endl;
      refusal = HttpError(500,
                          "The relay failed to handle this request because of an internal "
                          "error; its administrator finds the details in the relay's log.");
    }

    int status = refusal ? refusal->status() : 200;
    if (refusal) answer = errorJSON(refusal->message());
    if (status == 401) exchange.deviceId.clear();
    bool keep = head.keepAlive && exchange.bodyRead && !stopping_ && !context_.stopping;
    head.keepAlive = keep;
    bool written = co_await respond(head, exchange, status, answer, started);
    if (!written) co_return false;
    if (!keep) {
      co_await closeGracefully(!exchange.bodyRead);
      co_return false;
    }
    co_return true;
  }

  // Reads a JSON body of at most kMaxJsonBody bytes (none when the request has none).
  asio::awaitable<std::string> readBody(http::request_parser<http::empty_body>& header,
                                        const RequestHead& head, Exchange& exchange) {
    if (header.is_done()) co_return std::string();
    if (head.contentLength && *head.contentLength > kMaxJsonBody) {
      throw HttpError(413, "The request body is larger than 1 MiB, the most this relay reads.");
    }
    if (head.expectContinue) co_await writeContinue(head);
    http::request_parser<http::string_body> parser(std::move(header));
    parser.body_limit(kMaxJsonBody);
    expireIn(context_.config.headerTimeout);
    error_code ec;
    co_await http::async_read(stream_, buffer_, parser,
                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec == http::error::body_limit) {
      throw HttpError(413, "The request body is larger than 1 MiB, the most this relay reads.");
    }
    if (ec) {
      bool protocol =
          ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message;
      if (!protocol) throw ConnectionLost{};
      throw HttpError(400, "The request body is not valid HTTP/1.1 (bad chunked encoding).");
    }
    exchange.bodyRead = true;
    co_return std::move(parser.get().body());
  }

  asio::awaitable<void> writeContinue(const RequestHead& head) {
    http::response<http::empty_body> interim{http::status::continue_, head.version};
    expireIn(context_.config.headerTimeout);
    error_code ec;
    co_await http::async_write(stream_, interim, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) throw ConnectionLost{};
  }

  template <typename Function>
  auto store(Function function) {
    return offload(context_.database, std::move(function));
  }

  asio::awaitable<JSON> handle(const RequestHead& head, const RouteMatch& match,
                               const std::string& body, Exchange& exchange) {
    Relay& relay = context_.relay;
    switch (match.route) {
      case Route::healthz:
        co_return JSON::object({{"ok", true}});
      case Route::createGroup: {
        CreateGroupRequest request = parseCreateGroup(body);
        co_return co_await store([&] { return relay.createGroup(head.bootstrap, request); });
      }
      case Route::join: {
        JoinRequest request = parseJoin(body);
        co_return co_await store([&] { return relay.join(request); });
      }
      default:
        break;
    }

    PresentedCredentials caller = credentialsOf(head, exchange);
    const std::string& id = match.id;
    switch (match.route) {
      case Route::createInvite:
        parseEmptyBody(body);
        co_return co_await store([&] { return relay.createInvite(caller); });
      case Route::group:
        co_return co_await store([&] { return relay.group(caller); });
      case Route::revokeDevice:
        co_return co_await store([&] { return relay.revokeDevice(caller, id); });
      case Route::heartbeat: {
        HeartbeatRequest request = parseHeartbeat(body);
        co_return co_await store([&] { return relay.heartbeat(caller, request); });
      }
      case Route::claim:
        parseEmptyBody(body);
        co_return co_await store([&] { return relay.claim(caller); });
      case Route::listJobs:
        co_return co_await store([&] { return relay.listJobs(caller); });
      case Route::queueJob: {
        QueueJobRequest request = parseQueueJob(body);
        co_return co_await store([&] { return relay.queueJob(caller, request); });
      }
      case Route::job:
        co_return co_await store([&] { return relay.job(caller, id); });
      case Route::events: {
        std::optional<std::int64_t> after = afterCursor(match.query);
        co_return co_await store([&] { return relay.events(caller, id, after); });
      }
      case Route::cancel:
        parseEmptyBody(body);
        co_return co_await store([&] { return relay.cancel(caller, id); });
      case Route::postEvent: {
        EventRequest request = parseEvent(body);
        co_return co_await store([&] { return relay.postEvent(caller, id, head.lease, request); });
      }
      case Route::fail: {
        FailRequest request = parseFail(body);
        co_return co_await store([&] { return relay.fail(caller, id, head.lease, request); });
      }
      case Route::finishBuild: {
        FinishBuildRequest request = parseFinishBuild(body);
        co_return co_await store(
            [&] { return relay.finishBuild(caller, id, head.lease, request); });
      }
      case Route::finish:
        parseEmptyBody(body);
        co_return co_await store([&] { return relay.finish(caller, id, head.lease); });
      default:
        throw std::logic_error("route without a JSON handler");
    }
  }

  asio::awaitable<JSON> upload(const RequestHead& head, const RouteMatch& match,
                               Exchange& exchange) {
    PresentedCredentials caller = credentialsOf(head, exchange);
    Relay& relay = context_.relay;
    co_await store([&] { relay.authorizeUpload(caller, match.id, head.lease); });
    if (head.chunked || !head.contentLength) {
      throw HttpError(411,
                      "An upload needs a Content-Length header; chunked uploads are not accepted.");
    }
    std::uint64_t length = *head.contentLength;
    if (length > context_.config.maxArtifactBytes) {
      throw HttpError(413, "The build is " + shown(length) + ", more than the " +
                               shown(context_.config.maxArtifactBytes) + " this relay accepts.");
    }
    if (!head.sha || !isLowerHexDigest(*head.sha)) {
      throw HttpError(400,
                      "An upload needs the header X-VEK-SHA256 with the SHA-256 digest of the "
                      "build as 64 lower-case hexadecimal digits.");
    }
    if (head.expectContinue) co_await writeContinue(head);

    std::unique_ptr<ArtifactWriter> writer = context_.artifacts.beginUpload();
    auto append = [&](std::string_view bytes) {
      try {
        writer->append(bytes);
      } catch (const SystemError& error) {
        std::cerr << "vek-relay: storing an upload failed: " << error.what() << std::endl;
        if (error.code() == ENOSPC || error.code() == EDQUOT) {
          throw HttpError(507, "The relay has no room left to store this build.");
        }
        throw HttpError(500, "The relay could not store this build.");
      }
    };
    std::uint64_t remaining = length;
    std::size_t buffered =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining));
    if (buffered > 0) {
      append(std::string_view(static_cast<const char*>(buffer_.data().data()), buffered));
      buffer_.consume(buffered);
      remaining -= buffered;
    }
    std::unique_ptr<char[]> piece(new char[kTransferPiece]);
    while (remaining > 0) {
      expireIn(kTransferTimeout);
      error_code ec;
      std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kTransferPiece));
      std::size_t got = co_await stream_.async_read_some(
          asio::buffer(piece.get(), want), asio::redirect_error(asio::use_awaitable, ec));
      if (got > 0) {
        append(std::string_view(piece.get(), got));
        remaining -= got;
      }
      if (ec && remaining > 0) {
        if (ec != asio::error::eof && ec != asio::ssl::error::stream_truncated) {
          throw ConnectionLost{};
        }
        throw HttpError(400, "The upload ended after " + shown(length - remaining) + " of the " +
                                 shown(length) + " announced; nothing was stored.");
      }
    }
    exchange.bodyRead = true;
    std::string sha = writer->finishDigest();
    if (sha != *head.sha) {
      throw HttpError(400,
                      "The uploaded build's SHA-256 digest does not match X-VEK-SHA256; nothing "
                      "was stored.");
    }
    std::string file = co_await offload(context_.files, [&] { return writer->publish(match.id); });
    PublishedArtifact artifact{file, sha, length};
    co_return co_await store(
        [&] { return relay.commitUpload(caller, match.id, head.lease, artifact); });
  }

  // Streams the job's artifact. Writes its own response; false when the connection must close.
  asio::awaitable<bool> download(RequestHead& head, const RouteMatch& match, Exchange& exchange,
                                 SteadyClock::time_point started) {
    std::optional<HttpError> refusal;
    DownloadTicket ticket;
    UniqueFd file;
    std::uint64_t size = 0;
    try {
      PresentedCredentials caller = credentialsOf(head, exchange);
      Relay& relay = context_.relay;
      ticket =
          co_await store([&] { return relay.authorizeDownload(caller, match.id, head.lease); });
      try {
        file = context_.artifacts.open(ticket.file, size);
      } catch (const SystemError& error) {
        if (error.code() != ENOENT) throw;
        throw HttpError(409, "This job's build is no longer on the relay.");
      }
    } catch (const HttpError& error) {
      refusal = error;
    }
    if (refusal) {
      if (refusal->status() == 401) exchange.deviceId.clear();
      JSON answer = errorJSON(refusal->message());
      co_return co_await respond(head, exchange, refusal->status(), answer, started);
    }

    http::response<http::empty_body> response{http::status::ok, head.version};
    response.set(http::field::server, kServerHeader);
    response.set(http::field::content_type, "application/octet-stream");
    response.set(http::field::cache_control, "no-store");
    response.set("X-VEK-SHA256", ticket.sha);
    response.content_length(size);
    response.keep_alive(head.keepAlive && !stopping_);
    http::response_serializer<http::empty_body> serializer(response);
    expireIn(kTransferTimeout);
    error_code ec;
    co_await http::async_write_header(stream_, serializer,
                                      asio::redirect_error(asio::use_awaitable, ec));
    bool ok = !ec && co_await sendFile(file.get(), size);
    exchange.status = 200;
    log(head, exchange, started);
    co_return ok && !stopping_;
  }

  asio::awaitable<bool> sendFile(int fd, std::uint64_t size) {
    if constexpr (kTls) {
      std::unique_ptr<char[]> piece(new char[kTransferPiece]);
      std::uint64_t offset = 0;
      while (offset < size) {
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, kTransferPiece));
        ssize_t got = ::pread(fd, piece.get(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) co_return false;
        expireIn(kTransferTimeout);
        error_code ec;
        co_await asio::async_write(stream_,
                                   asio::buffer(piece.get(), static_cast<std::size_t>(got)),
                                   asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return false;
        offset += static_cast<std::uint64_t>(got);
      }
      co_return true;
    } else {
      tcp::socket& socket = socketOf(stream_);
      error_code ec;
      socket.native_non_blocking(true, ec);
      if (ec) co_return false;
      off_t offset = 0;
      while (static_cast<std::uint64_t>(offset) < size) {
        expireIn(kTransferTimeout);
        std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), 1u << 30));
        ssize_t sent = ::sendfile(socket.native_handle(), fd, &offset, want);
        if (sent > 0) continue;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          co_await socket.async_wait(tcp::socket::wait_write,
                                     asio::redirect_error(asio::use_awaitable, ec));
          if (ec) co_return false;
          continue;
        }
        co_return false;  // the peer left, or the file shrank under us
      }
      co_return true;
    }
  }

  asio::awaitable<bool> respond(const RequestHead& head, Exchange& exchange, int status,
                                const JSON& body, SteadyClock::time_point started) {
    http::response<http::string_body> response{static_cast<http::status>(status), head.version};
    response.set(http::field::server, kServerHeader);
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    if (status == 405) response.set(http::field::allow, allowedMethods(head.target));
    response.body() = body.data();
    response.keep_alive(head.keepAlive);
    response.prepare_payload();
    expireIn(kTransferTimeout);
    error_code ec;
    if (head.method == "HEAD") {
      // An answer to HEAD ends with its header; a body would be read as the next response.
      http::response_serializer<http::string_body> serializer(response);
      co_await http::async_write_header(stream_, serializer,
                                        asio::redirect_error(asio::use_awaitable, ec));
    } else {
      co_await http::async_write(stream_, response, asio::redirect_error(asio::use_awaitable, ec));
    }
    exchange.status = status;
    log(head, exchange, started);
    co_return !ec;
  }

  void log(const RequestHead& head, const Exchange& exchange, SteadyClock::time_point started) {
    std::string method = head.method.empty() ? "-" : loggableTarget(head.method);
    context_.log.write({peer_, method, exchange.loggedTarget, exchange.status,
                        SteadyClock::now() - started, exchange.deviceId});
  }

  // Ends the connection so that the client reads the last answer: TLS close_notify, or on TCP a
  // half-close followed by discarding what the client still sends (closing with unread data
  // would make the kernel reset the connection and could destroy the answer in flight).
  asio::awaitable<void> closeGracefully(bool unreadBody) {
    expireIn(kLingerTime);
    error_code ec;
    if constexpr (kTls) {
      co_await stream_.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
    } else {
      tcp::socket& socket = socketOf(stream_);
      socket.shutdown(tcp::socket::shutdown_send, ec);
      if (unreadBody) {
        char scratch[16 * 1024];
        std::size_t drained = 0;
        while (!ec && drained < kLingerBytes) {
          drained += co_await socket.async_read_some(asio::buffer(scratch),
                                                     asio::redirect_error(asio::use_awaitable, ec));
        }
      }
    }
    closeSocket();
  }

  ServerContext& context_;
  Stream stream_;
  beast::flat_buffer buffer_;
  asio::steady_timer timer_;
  SteadyClock::time_point deadline_;
  SteadyClock::time_point armed_ = SteadyClock::time_point::max();  // what the watchdog waits for
  std::string peer_;
  std::uint64_t key_ = 0;
  std::uint64_t served_ = 0;
  bool idle_ = false;
  bool stopping_ = false;
  bool finished_ = false;
};

}  // namespace

std::uint64_t SessionRegistry::add(std::function<void()> stop) {
  std::lock_guard lock(mutex_);
  sessions_.emplace(++next_, std::move(stop));
  return next_;
}

void SessionRegistry::remove(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  sessions_.erase(key);
}

void SessionRegistry::stopAll() {
  std::vector<std::function<void()>> stops;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, stop] : sessions_)
      stops.push_back(stop);
  }
  for (auto& stop : stops)
    stop();
}

std::size_t SessionRegistry::size() {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

void startSession(ServerContext& context, tcp::socket socket, asio::ssl::context* tls) {
  if (tls) {
    std::make_shared<Session<TlsStream>>(context, TlsStream(std::move(socket), *tls))->start();
  } else {
    std::make_shared<Session<tcp::socket>>(context, std::move(socket))->start();
  }
}

}  // namespace vek::relay
