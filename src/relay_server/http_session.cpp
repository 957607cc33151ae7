// One connection's request loop.
//
// Each connection is a coroutine on its own strand, plus a watchdog coroutine that closes the
// socket when the current deadline passes. Every wait sets the deadline that fits it: the
// first-byte time-out for a new connection's first byte, the idle time-out between requests, the
// header time-out for the rest of a request's header and its JSON body, and a no-progress
// time-out for artifact transfers. Until its header is complete a connection may also be dropped
// to make room for a new one (session_registry.h). Closing the socket cancels whatever the request
// loop was waiting for, so no read or write can hang.
//
// A request is read in two steps. First the header alone; the route, the credentials and every
// limit are checked on it. Only then is the body read: a JSON body (up to kMaxJsonBody) into
// memory, an artifact straight from the socket into the artifact store. A request refused before
// its body was read is answered with "Connection: close", and the connection is shut down after a
// short drain, so the client sees the answer instead of a reset.
//
// Downloads on plain TCP go from the page cache to the socket with sendfile(2); over TLS they are
// read and encrypted in pieces. A download may start at a byte of the build (one Range); an
// upload may come in parts (tus: HEAD for the offset the relay holds, PATCH to append), each part
// flushed to disk when its connection ends, however it ends, so the offset the client is told
// next survives a crash.
//
// A held request (a claim or an event read with a wait) is a suspended coroutine: between two
// looks at the store it waits on the notifier and holds no thread and no database connection.
// Meanwhile the connection watches its socket, so a client that leaves abandons the wait at
// once, and a stopping relay abandons it too; the connection then closes without an answer.
#include "relay_server/http_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <limits>
#include <memory>

#include "foundation/constants.h"
#include "foundation/errors.h"
#include "relay_server/endpoints.h"
#include "relay_server/http_error.h"
#include "relay_server/notifier.h"
#include "relay_server/offload.h"
#include "relay_server/relay.h"
#include "relay_server/requests.h"
#include "relay_server/resumable_transfers.h"
#include "relay_server/routes.h"
#include "relay_server/store.h"
#include "relay_server/tokens.h"

namespace vek::relay_server {

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
// How long a resumable-upload request waits for an older request on the same job to let go, and
// how often it asks. The older one gives way once its connection has brought nothing for
// kStalledFor and holds nothing unread: until then it is still taking in what its client sent
// before giving up on it.
constexpr auto kTakeoverLimit = 10s;
constexpr auto kTakeoverStep = 20ms;
constexpr auto kStalledFor = 500ms;

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
  std::optional<std::string> contentType;
  std::optional<std::string> range;
  std::optional<std::string> ifRange;
  std::optional<std::string> tusResumable;
  std::optional<std::string> uploadOffset;
  std::optional<std::string> uploadLength;
};

/// Headers of an answer besides the fixed ones.
using Headers = std::vector<std::pair<std::string, std::string>>;

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
  head.contentType = headerValue(request, "Content-Type");
  head.range = headerValue(request, "Range");
  head.ifRange = headerValue(request, "If-Range");
  head.tusResumable = headerValue(request, "Tus-Resumable");
  head.uploadOffset = headerValue(request, "Upload-Offset");
  head.uploadLength = headerValue(request, "Upload-Length");
  return head;
}

/// What the access log and the closing logic learn while a request is handled.
struct RequestRecord {
  std::string loggedTarget;
  const Route* route = nullptr;  // the matched row, for the metrics
  std::string deviceId;
  bool bodyRead = false;
  int status = 0;
  SteadyClock::duration held{};  // time spent waiting on the notifier, left out of the metrics
};

/// What a held request's client has done meanwhile, as its socket shows it.
enum class Peer { quiet, gone, sentMore };

// Looks without reading: an orderly close or a reset means the client left. Bytes may be a
// pipelined request or, over TLS, the close_notify before the close itself; the TCP state tells
// whether the client has also closed its side.
Peer peerOf(int fd) {
  char byte;
  ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got == 0) return Peer::gone;
  if (got < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Peer::quiet : Peer::gone;
  }
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
      info.tcpi_state != TCP_ESTABLISHED) {
    return Peer::gone;
  }
  return Peer::sentMore;
}

// How often the socket of a held request that has unread bytes is looked at again.
constexpr auto kPeerPoll = 1s;

PresentedCredentials credentialsOf(const RequestHead& head, RequestRecord& record) {
  std::optional<PresentedCredentials> credentials;
  if (head.authorization) credentials = parseBearer(*head.authorization);
  if (!credentials) throw missingCredentials();
  record.deviceId = credentials->deviceId;
  return *credentials;
}

// Built outside any co_await expression: GCC 12 cannot keep the array temporaries of a braced
// initializer alive across a suspension point.
JSON errorJSON(const std::string& text) {
  return JSON::object({{"error", text}});
}

// The Server header: this program and its version.
const std::string& serverHeader() {
  static const std::string value = "vek-relay/" + std::string(VEK::version);
  return value;
}

std::string shown(std::uint64_t bytes) {
  return std::to_string(bytes) + " bytes";
}

// A limit as people write it: "16 KiB", "1 MiB", or a count of bytes.
std::string limitText(std::uint64_t bytes) {
  if (bytes > 0 && bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes > 0 && bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return shown(bytes);
}

HttpError bodyTooLarge() {
  return HttpError(413, "The request body is larger than " + limitText(kMaxJsonBody) +
                            ", the most this relay reads.");
}

void requireContentLength(const RequestHead& head) {
  if (head.chunked || !head.contentLength) {
    throw HttpError(411,
                    "An upload needs a Content-Length header; chunked uploads are not accepted.");
  }
}

// What the relay holds of a job's build for the resumable upload: the partial upload, else the
// job's published artifact.
std::optional<HeldBuild> heldBuild(const std::optional<PartialUpload>& partial,
                                   const std::optional<PublishedArtifact>& published) {
  if (partial) return HeldBuild{partial->held, partial->length, partial->sha, false};
  if (published) return HeldBuild{published->size, published->size, published->sha, true};
  return std::nullopt;
}

template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(ServerContext& context, Stream stream)
      : context_(context),
        stream_(std::move(stream)),
        timer_(socketOf(stream_).get_executor()),
        deadline_(SteadyClock::now() + firstByteWait()) {
    error_code ignored;
    auto endpoint = socketOf(stream_).remote_endpoint(ignored);
    peer_ = ignored ? std::string("-") : endpoint.address().to_string();
  }

  void start() {
    auto self = this->shared_from_this();
    std::weak_ptr<Session> weak = self;
    auto executor = socketOf(stream_).get_executor();
    key_ = context_.sessions.add(
        [weak, executor] {
          asio::post(executor, [weak] {
            if (auto session = weak.lock()) session->requestStop();
          });
        },
        [weak, executor] {
          asio::post(executor, [weak] {
            if (auto session = weak.lock()) session->drop();
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
    if (holding_) holding_->abandon();
  }

  // Made room for a newer connection: closes this one unless its header arrived meanwhile.
  void drop() {
    if (awaitingHeader_) {
      closeSocket();
    } else {
      context_.sessions.spare(key_);
    }
  }

  SteadyClock::duration firstByteWait() const {
    return std::min(context_.config.firstByteTimeout, context_.config.headerTimeout);
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
        // The first byte (the client's hello) under the first-byte deadline; the handshake under
        // the header time-out.
        error_code ec;
        co_await socketOf(stream_).async_wait(tcp::socket::wait_read,
                                              asio::redirect_error(asio::use_awaitable, ec));
        if (!ec) {
          expireIn(context_.config.headerTimeout);
          co_await stream_.async_handshake(asio::ssl::stream_base::server,
                                           asio::redirect_error(asio::use_awaitable, ec));
        }
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
    awaitingHeader_ = true;
    context_.sessions.waiting(key_);
    if (buffer_.size() > 0) co_return true;
    // Idle connections keep only a small read buffer, so a thousand of them stay cheap, yet big
    // enough that a typical request arrives in one read.
    if (buffer_.capacity() > kIdleBuffer) buffer_.shrink_to_fit();
    buffer_.reserve(kIdleBuffer);
    idle_ = true;
    expireIn(served_ == 0 ? firstByteWait() : context_.config.idleTimeout);
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
    awaitingHeader_ = false;
    context_.sessions.busy(key_);
    if (ec) {
      bool protocol =
          ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message;
      if (!protocol) co_return false;  // closed, timed out, or cut off: nobody to answer
      RequestHead head;
      head.keepAlive = false;
      RequestRecord record{"-", nullptr, {}, false, 0};
      int status = ec == http::error::header_limit ? 431 : 400;
      std::string text = "The request is not valid HTTP/1.1.";
      if (status == 431)
        text = "The request's header is larger than " + limitText(kHeaderLimit) + ".";
      JSON answer = errorJSON(text);
      co_await respond(head, record, status, answer, started);
      co_await closeGracefully(true);
      co_return false;
    }
    ++served_;

    RequestHead head = headOf(parser);
    RequestRecord record;
    record.loggedTarget = loggableTarget(head.target);
    record.bodyRead = parser.is_done();

    JSON answer;
    int status = 200;
    Headers headers;
    std::optional<HttpError> refusal;
    try {
      RouteMatch match = matchRoute(relayRoutes(), head.method, head.target);
      record.route = match.route;
      Transfer transfer = match.route->transfer;
      if (transfer == Transfer::uploadOffset || transfer == Transfer::uploadPart) {
        headers.emplace_back("Tus-Resumable", kTusVersion);
      }
      if (transfer == Transfer::upload) {
        answer = co_await upload(head, match, record);
      } else if (transfer == Transfer::uploadPart) {
        status = co_await uploadPart(head, match, record, headers);
      } else {
        std::string body = co_await readBody(parser, head, record);
        if (transfer == Transfer::download) {
          bool ok = co_await download(head, match, record, started);
          co_return ok&& head.keepAlive;
        }
        if (transfer == Transfer::uploadOffset) {
          status = co_await uploadOffset(head, match, record, headers);
        } else if (transfer == Transfer::uploadOptions) {
          status = uploadOptions(headers);
        } else {
          answer = co_await handle(head, match, std::move(body), record);
        }
      }
    } catch (const HttpError& error) {
      refusal = error;
    } catch (const ConnectionLost&) {
      co_return false;
    } catch (const std::exception& error) {
      std::cerr << "vek-relay: " << head.method << " " << record.loggedTarget
                << " failed: " << error.what() << std::endl;
      if (dynamic_cast<const StoreError*>(&error)) context_.metrics.countDatabaseError();
      if (dynamic_cast<const SystemError*>(&error)) context_.metrics.countDiskError();
      refusal = HttpError(500,
                          "The relay failed to handle this request because of an internal "
                          "error; its administrator finds the details in the relay's log.");
      // Not this request's fault, and gone once the database is back: say so, so clients and
      // load balancers try again.
      if (dynamic_cast<const StoreUnavailable*>(&error)) {
        refusal = HttpError(503, std::string(kDatabaseUnreachable));
      }
    }

    if (refusal) {
      status = refusal->status();
      answer = errorJSON(refusal->message());
      headers.insert(headers.end(), refusal->headers().begin(), refusal->headers().end());
    }
    if (status == 401) record.deviceId.clear();
    bool keep = head.keepAlive && record.bodyRead && !stopping_ && !context_.stopping;
    head.keepAlive = keep;
    bool written = co_await respond(head, record, status, answer, started, headers);
    if (!written) co_return false;
    if (!keep) {
      co_await closeGracefully(!record.bodyRead);
      co_return false;
    }
    co_return true;
  }

  // Reads a JSON body of at most kMaxJsonBody bytes (none when the request has none).
  asio::awaitable<std::string> readBody(http::request_parser<http::empty_body>& header,
                                        const RequestHead& head, RequestRecord& record) {
    if (header.is_done()) co_return std::string();
    if (head.contentLength && *head.contentLength > kMaxJsonBody) {
      throw bodyTooLarge();
    }
    if (head.expectContinue) co_await writeContinue(head);
    http::request_parser<http::string_body> parser(std::move(header));
    parser.body_limit(kMaxJsonBody);
    expireIn(context_.config.headerTimeout);
    error_code ec;
    co_await http::async_read(stream_, buffer_, parser,
                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec == http::error::body_limit) {
      throw bodyTooLarge();
    }
    if (ec) {
      bool protocol =
          ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message;
      if (!protocol) throw ConnectionLost{};
      throw HttpError(400, "The request body is not valid HTTP/1.1 (bad chunked encoding).");
    }
    record.bodyRead = true;
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

  // Answers a JSON route through its handler; the relay's part runs on the worker pool.
  asio::awaitable<JSON> handle(const RequestHead& head, RouteMatch& match, std::string body,
                               RequestRecord& record) {
    Call call;
    call.id = std::move(match.id);
    call.query = std::move(match.query);
    call.body = std::move(body);
    call.lease = head.lease;
    call.bootstrap = head.bootstrap;
    call.longestWait = context_.config.maxWait;
    if (match.route->access == Access::member) call.caller = credentialsOf(head, record);
    Reply reply = match.route->handler(call);
    if (JSON* answer = std::get_if<JSON>(&reply)) co_return std::move(*answer);
    if (HeldWork* held = std::get_if<HeldWork>(&reply)) {
      co_return co_await hold(std::move(*held), record);
    }
    RelayWork work = std::move(std::get<RelayWork>(reply));
    Relay& relay = context_.relay;
    co_return co_await store([&] { return work(relay); });
  }

  // Answers held work: a look at the store, then, while the answer is not ready, a wait on the
  // notifier and another look. The waiter exists before the first look, so no change that
  // commits after it can be missed.
  asio::awaitable<JSON> hold(HeldWork held, RequestRecord& record) {
    auto deadline = SteadyClock::now() + held.wait;
    expireIn(held.wait + context_.config.headerTimeout);
    Relay& relay = context_.relay;
    Notifier::Waiter waiter(context_.notifier, held.topic, socketOf(stream_).get_executor());
    holding_ = &waiter;
    std::uint64_t generation = ++holds_;
    watchPeer(generation);
    struct Release {
      Session& session;
      ~Release() {
        session.holding_ = nullptr;
        error_code ignored;
        socketOf(session.stream_).cancel(ignored);
      }
    } release{*this};
    for (;;) {
      Attempt attempt = co_await store([&] { return held.attempt(relay); });
      if (attempt.ready) co_return std::move(attempt.answer);
      if (stopping_ || context_.stopping) throw ConnectionLost{};
      auto suspended = SteadyClock::now();
      Notifier::Waiter::Wake wake = co_await waiter.wait(deadline);
      record.held += SteadyClock::now() - suspended;
      if (wake == Notifier::Waiter::Wake::abandoned) throw ConnectionLost{};
      if (wake == Notifier::Waiter::Wake::deadline) co_return std::move(attempt.answer);
    }
  }

  bool holding(std::uint64_t generation) const { return holding_ && holds_ == generation; }

  // Abandons the held request of `generation` once its client leaves.
  void watchPeer(std::uint64_t generation) {
    auto self = this->shared_from_this();
    socketOf(stream_).async_wait(tcp::socket::wait_read,
                                 [this, self, generation](const error_code& ec) {
                                   if (!holding(generation)) return;
                                   lookAtPeer(generation, ec ? Peer::gone : peerOf(socketFd()));
                                 });
  }

  // Bytes the client sent after its request are left for the next request; while they are
  // unread the socket stays readable, so it is looked at every kPeerPoll instead.
  void lookAtPeer(std::uint64_t generation, Peer peer) {
    if (peer == Peer::gone) {
      holding_->abandon();
    } else if (peer == Peer::quiet) {
      watchPeer(generation);
    } else {
      auto self = this->shared_from_this();
      auto poll = std::make_shared<asio::steady_timer>(socketOf(stream_).get_executor(), kPeerPoll);
      poll->async_wait([this, self, generation, poll](const error_code&) {
        if (holding(generation)) lookAtPeer(generation, peerOf(socketFd()));
      });
    }
  }

  int socketFd() { return socketOf(stream_).native_handle(); }

  asio::awaitable<JSON> upload(const RequestHead& head, const RouteMatch& match,
                               RequestRecord& record) {
    PresentedCredentials caller = credentialsOf(head, record);
    Relay& relay = context_.relay;
    co_await store([&] { relay.authorizeUpload(caller, match.id, head.lease); });
    requireContentLength(head);
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
    co_await receiveBody(
        length, [&](std::string_view bytes) { writer->append(bytes); }, "nothing was stored");
    record.bodyRead = true;
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

  // Reads an upload's body of `length` bytes (after what the header's read already buffered) and
  // hands it to `store` piece by piece. A body that ends early is refused with a sentence that
  // ends in `kept`, what became of the bytes that did arrive.
  template <typename Sink>
  asio::awaitable<void> receiveBody(std::uint64_t length, Sink store, std::string_view kept) {
    auto append = [&](std::string_view bytes) {
      try {
        store(bytes);
        context_.metrics.addReceivedBytes(bytes.size());
      } catch (const SystemError& error) {
        std::cerr << "vek-relay: storing an upload failed: " << error.what() << std::endl;
        context_.metrics.countDiskError();
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
        lastReceived_ = SteadyClock::now();
        append(std::string_view(piece.get(), got));
        remaining -= got;
      }
      if (ec && remaining > 0) {
        if (ec != asio::error::eof && ec != asio::ssl::error::stream_truncated) {
          throw ConnectionLost{};
        }
        throw HttpError(400, "The upload ended after " + shown(length - remaining) + " of the " +
                                 shown(length) + " announced; " + std::string(kept) + ".");
      }
    }
  }

  // The job's partial upload, once no other request holds it. A request still appending to it
  // belongs to a connection its client has given up on (it is asking again), so that request's
  // connection is closed, which ends it, once it has taken in what had arrived.
  asio::awaitable<std::unique_ptr<PartialWriter>> takePartial(const std::string& jobId) {
    std::weak_ptr<Session> weak = this->shared_from_this();
    auto executor = socketOf(stream_).get_executor();
    auto interrupt = [weak, executor] {
      asio::post(executor, [weak] {
        auto session = weak.lock();
        if (session && session->stalled()) session->closeSocket();
      });
    };
    asio::steady_timer pause(executor);
    for (auto waited = SteadyClock::duration::zero();; waited += kTakeoverStep) {
      if (auto writer = context_.artifacts.takePartial(jobId, interrupt)) {
        lastReceived_ = SteadyClock::now();
        co_return writer;
      }
      if (waited >= kTakeoverLimit) {
        throw HttpError(409,
                        "Another connection is still sending this job's build; try again "
                        "in a moment.");
      }
      pause.expires_after(kTakeoverStep);
      co_await pause.async_wait(asio::use_awaitable);
    }
  }

  // Whether this connection's upload has stopped bringing bytes: none for kStalledFor, and none
  // waiting to be read (a busy relay may take that long to come back to a connection).
  bool stalled() {
    error_code ec;
    std::size_t waiting = socketOf(stream_).available(ec);
    return SteadyClock::now() - lastReceived_ >= kStalledFor && (ec || waiting == 0);
  }

  // What every resumable-upload request checks first: the protocol's version, and that the caller
  // holds the builder's live lease on a building job. Returns the job's published artifact.
  asio::awaitable<std::optional<PublishedArtifact>> authorizeResumable(
      const RequestHead& head, const RouteMatch& match, const PresentedCredentials& caller) {
    requireTusVersion(head.tusResumable);
    Relay& relay = context_.relay;
    co_return co_await store([&] { return relay.authorizeUpload(caller, match.id, head.lease); });
  }

  // HEAD of a job's artifact (tus): how much of its build the relay holds, and which build that
  // is. Nothing held yet: offset 0 and the length still to be declared.
  asio::awaitable<int> uploadOffset(const RequestHead& head, const RouteMatch& match,
                                    RequestRecord& record, Headers& headers) {
    PresentedCredentials caller = credentialsOf(head, record);
    std::optional<PublishedArtifact> published = co_await authorizeResumable(head, match, caller);
    std::unique_ptr<PartialWriter> writer = co_await takePartial(match.id);
    std::optional<HeldBuild> held = heldBuild(writer->upload(), published);
    writer.reset();
    if (!held) {
      headers.emplace_back("Upload-Offset", "0");
      headers.emplace_back("Upload-Defer-Length", "1");
    } else {
      headers.emplace_back("Upload-Offset", std::to_string(held->offset));
      headers.emplace_back("Upload-Length", std::to_string(held->length));
      headers.emplace_back("X-VEK-SHA256", held->sha);
    }
    co_return 200;
  }

  // PATCH of a job's artifact (tus): appends the body to the partial upload at the offset the
  // relay holds, and publishes the build once its last byte arrived and its digest is the
  // declared one. Whatever arrived is kept, and flushed, however the connection ends.
  asio::awaitable<int> uploadPart(const RequestHead& head, const RouteMatch& match,
                                  RequestRecord& record, Headers& headers) {
    PresentedCredentials caller = credentialsOf(head, record);
    std::optional<PublishedArtifact> published = co_await authorizeResumable(head, match, caller);
    requireContentLength(head);
    std::unique_ptr<PartialWriter> writer = co_await takePartial(match.id);
    Relay& relay = context_.relay;
    PatchHeaders request{head.uploadOffset, head.uploadLength, head.sha, head.contentType,
                         *head.contentLength};
    PatchPlan plan;
    try {
      plan = planPatch(heldBuild(writer->upload(), published), request,
                       context_.config.maxArtifactBytes);
    } catch (const DiscardingRefusal&) {
      writer->discard();
      throw;
    }
    if (plan.action == PatchPlan::Action::restart) {
      writer->restart(plan.length, plan.sha,
                      std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
    }
    if (head.expectContinue) co_await writeContinue(head);

    std::exception_ptr cut;
    try {
      co_await receiveBody(
          *head.contentLength, [&](std::string_view bytes) { writer->append(bytes); },
          "the relay keeps what arrived");
      record.bodyRead = true;
    } catch (...) {
      cut = std::current_exception();
    }
    co_await offload(context_.files, [&] { writer->sync(); });
    std::uint64_t offset = writer->upload() ? writer->upload()->held : plan.offset;
    if (cut) {
      headers.emplace_back("Upload-Offset", std::to_string(offset));
      std::rethrow_exception(cut);
    }
    if (plan.action != PatchPlan::Action::nothing && offset == plan.length) {
      std::optional<std::string> file =
          co_await offload(context_.files, [&] { return writer->publish(); });
      if (!file) {
        throw HttpError(400,
                        "The uploaded build's SHA-256 digest does not match X-VEK-SHA256; the "
                        "relay discarded it. Send the build again from the start.")
            .withHeader("Upload-Offset", "0");
      }
      PublishedArtifact artifact{*file, plan.sha, plan.length};
      co_await store([&] { return relay.commitUpload(caller, match.id, head.lease, artifact); });
    }
    headers.emplace_back("Upload-Offset", std::to_string(offset));
    co_return 204;
  }

  // OPTIONS of a job's artifact (tus): the protocol's version and the largest build accepted.
  int uploadOptions(Headers& headers) {
    headers.emplace_back("Tus-Version", kTusVersion);
    headers.emplace_back("Tus-Max-Size", std::to_string(context_.config.maxArtifactBytes));
    return 204;
  }

  // Streams the job's artifact. Writes its own response; false when the connection must close.
  asio::awaitable<bool> download(RequestHead& head, const RouteMatch& match, RequestRecord& record,
                                 SteadyClock::time_point started) {
    std::optional<HttpError> refusal;
    DownloadTicket ticket;
    UniqueFd file;
    std::uint64_t size = 0;
    try {
      PresentedCredentials caller = credentialsOf(head, record);
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
      if (refusal->status() == 401) record.deviceId.clear();
      JSON answer = errorJSON(refusal->message());
      co_return co_await respond(head, record, refusal->status(), answer, started);
    }

    // One open range, unless If-Range names another build: then the whole file.
    std::optional<std::uint64_t> first;
    if (head.range && ifRangeMatches(head.ifRange, ticket.sha)) first = rangeStart(*head.range);
    if (first && *first >= size) {
      JSON answer =
          errorJSON("The build is " + shown(size) + "; the range asked for starts at byte " +
                    std::to_string(*first) + ".");
      Headers range{{"Content-Range", "bytes */" + std::to_string(size)}};
      co_return co_await respond(head, record, 416, answer, started, range);
    }

    http::response<http::empty_body> response{
        first ? http::status::partial_content : http::status::ok, head.version};
    response.set(http::field::server, serverHeader());
    response.set(http::field::content_type, "application/octet-stream");
    response.set(http::field::cache_control, "no-store");
    response.set("X-VEK-SHA256", ticket.sha);
    response.set(http::field::etag, entityTag(ticket.sha));
    response.set(http::field::accept_ranges, "bytes");
    if (first) {
      response.set(http::field::content_range, "bytes " + std::to_string(*first) + "-" +
                                                   std::to_string(size - 1) + "/" +
                                                   std::to_string(size));
    }
    response.content_length(size - first.value_or(0));
    response.keep_alive(head.keepAlive && !stopping_);
    http::response_serializer<http::empty_body> serializer(response);
    expireIn(kTransferTimeout);
    error_code ec;
    co_await http::async_write_header(stream_, serializer,
                                      asio::redirect_error(asio::use_awaitable, ec));
    bool ok = !ec && co_await sendFile(file.get(), first.value_or(0), size);
    record.status = first ? 206 : 200;
    log(head, record, started);
    co_return ok && !stopping_;
  }

  // Sends bytes `from` to `size` of the file.
  asio::awaitable<bool> sendFile(int fd, std::uint64_t from, std::uint64_t size) {
    if constexpr (kTls) {
      std::unique_ptr<char[]> piece(new char[kTransferPiece]);
      std::uint64_t offset = from;
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
        context_.metrics.addSentBytes(static_cast<std::uint64_t>(got));
      }
      co_return true;
    } else {
      tcp::socket& socket = socketOf(stream_);
      error_code ec;
      socket.native_non_blocking(true, ec);
      if (ec) co_return false;
      auto offset = static_cast<off_t>(from);
      while (static_cast<std::uint64_t>(offset) < size) {
        expireIn(kTransferTimeout);
        std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), 1u << 30));
        ssize_t sent = ::sendfile(socket.native_handle(), fd, &offset, want);
        if (sent > 0) {
          context_.metrics.addSentBytes(static_cast<std::uint64_t>(sent));
          continue;
        }
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

  // An answer whose `body` is null has no body (tus's 204, HEAD) and no Content-Type.
  asio::awaitable<bool> respond(const RequestHead& head, RequestRecord& record, int status,
                                const JSON& body, SteadyClock::time_point started,
                                const Headers& headers = {}) {
    http::response<http::string_body> response{static_cast<http::status>(status), head.version};
    response.set(http::field::server, serverHeader());
    if (!body.isNull()) response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    if (status == 405) response.set(http::field::allow, allowedMethods(relayRoutes(), head.target));
    for (const auto& [name, value] : headers)
      response.set(name, value);
    if (!body.isNull()) response.body() = body.data();
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
    record.status = status;
    log(head, record, started);
    co_return !ec;
  }

  void log(const RequestHead& head, const RequestRecord& record, SteadyClock::time_point started) {
    std::string method = head.method.empty() ? "-" : loggableTarget(head.method);
    auto duration = SteadyClock::now() - started;
    context_.log.write(
        {peer_, method, record.loggedTarget, record.status, duration, record.deviceId});
    context_.metrics.recordRequest(record.route, record.status, duration - record.held);
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
  SteadyClock::time_point lastReceived_{};  // when the last bytes of an upload arrived
  std::string peer_;
  std::uint64_t key_ = 0;
  std::uint64_t served_ = 0;
  bool idle_ = false;
  // The waiter of the request being held, if any, and a count of holds so that a watch of the
  // socket that outlives its hold knows it.
  Notifier::Waiter* holding_ = nullptr;
  std::uint64_t holds_ = 0;
  bool awaitingHeader_ = true;  // droppable: no complete request header since the last answer
  bool stopping_ = false;
  bool finished_ = false;
};

}  // namespace

void startSession(ServerContext& context, tcp::socket socket, asio::ssl::context* tls) {
  if (tls) {
    std::make_shared<Session<TlsStream>>(context, TlsStream(std::move(socket), *tls))->start();
  } else {
    std::make_shared<Session<tcp::socket>>(context, std::move(socket))->start();
  }
}

}  // namespace vek::relay_server
