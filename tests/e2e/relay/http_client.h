// A small blocking HTTP/1.1 client on plain sockets, so tests control every byte on the wire:
// partial headers, short bodies, garbage, pipelining.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/json.h"

namespace vek::e2e {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Response {
  int status = 0;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  JSON json() const { return JSON::decode(body); }
  /// The "error" text of a failure answer.
  std::string error() const { return json()["error"].text(); }
};

/// One keep-alive connection to 127.0.0.1:port. Reads give up after 60 seconds so that a broken
/// relay fails a test instead of hanging it.
class Connection {
 public:
  explicit Connection(int port);
  ~Connection();
  Connection(Connection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Connection(const Connection&) = delete;

  /// Sends a request with Content-Length (unless `headers` already has one) and reads the answer.
  Response request(const std::string& method, const std::string& target,
                   const std::string& body = "", const Headers& headers = {});
  /// Sends exactly these bytes.
  void send(const std::string& bytes);
  /// Reads one response; 1xx interim answers are skipped unless `skipInterim` is false. The
  /// answer to a HEAD request (`toHead`) ends with its header, whatever its Content-Length says.
  Response readResponse(bool skipInterim = true, bool toHead = false);
  /// Half-closes the sending side.
  void shutdownWrite();
  /// Waits until the relay closes the connection; true when it did (EOF or reset).
  bool waitForClose();
  /// Without waiting: false when the relay has closed the connection.
  bool isOpen();

 private:
  std::string readLine();
  void fill();

  int fd_ = -1;
  std::string pending_;
};

/// One request on a fresh connection.
Response call(int port, const std::string& method, const std::string& target,
              const std::string& body = "", const Headers& headers = {});

}  // namespace vek::e2e
