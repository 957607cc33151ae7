// A scripted HTTP/1.1 server on loopback for tests: it answers the requests it receives, in order,
// with canned bytes, and records each request (method, target, headers, body).
//
// It exists for the answers a real relay never gives (redirects, HTML error pages, empty bodies,
// a download cut short, a server that never answers) and to see exactly which headers a client
// sent. One thread serves one connection at a time; a connection stays open across requests until
// an answer closes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vek::testing {

struct RecordedRequest {
  std::string method;
  std::string target;
  /// Header lines in the order received, names as sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  /// The value of the first header named `name` (compared without regard to case).
  std::optional<std::string> header(std::string_view name) const;
};

/// What the server does with one request.
struct ScriptedAnswer {
  /// Bytes written back as they are.
  std::string bytes;
  /// Close the connection after writing them.
  bool close = true;
  /// Write nothing and keep the connection open until the server stops.
  bool hang = false;

  /// A complete answer with "Content-Length" and "Connection: close", plus `headers`.
  static ScriptedAnswer http(int status, std::string_view body,
                             const std::vector<std::pair<std::string, std::string>>& headers = {});
  /// A JSON answer (Content-Type application/json).
  static ScriptedAnswer json(int status, std::string_view body);
  /// Never answers.
  static ScriptedAnswer silence();
};

/// A socket listening on a free port of 127.0.0.1, and a pipe that wakes the threads polling it
/// once `wake` is called, so that their owner can stop them. Closes both when destroyed.
class LoopbackListener {
 public:
  /// Throws std::runtime_error when the socket or the pipe cannot be made.
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int fd() const { return fd_; }
  int port() const { return port_; }
  /// Readable once `wake` was called.
  int wakeFd() const { return wakeRead_; }
  void wake();

 private:
  int fd_ = -1;
  int port_ = 0;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

class ScriptedHttpServer {
 public:
  /// Chooses the answer to a request from the request itself, for clients that send several
  /// kinds of request in an order the test does not control. Called on the server's thread.
  using Responder = std::function<ScriptedAnswer(const RecordedRequest&)>;

  /// Starts listening on 127.0.0.1 on a free port. Requests beyond the script get a 500.
  explicit ScriptedHttpServer(std::vector<ScriptedAnswer> script);
  /// A server listening on 127.0.0.1 on a free port whose every request `responder` answers.
  static std::unique_ptr<ScriptedHttpServer> answering(Responder responder);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  int port() const { return listener_.port(); }
  /// "http://127.0.0.1:<port>".
  std::string origin() const;
  /// The requests received so far.
  std::vector<RecordedRequest> requests() const;

 private:
  void serve();
  bool serveConnection(int fd);

  LoopbackListener listener_;
  std::vector<ScriptedAnswer> script_;
  Responder responder_;
  std::size_t next_ = 0;
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

/// A loopback port on which nothing listens (bound once, then released).
int unusedPort();

}  // namespace vek::testing
