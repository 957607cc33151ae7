// A refusal of one relay request: the HTTP status and the sentence the client shows its user.
#pragma once

#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace vek::relay_server {

/// Thrown anywhere below a request handler to refuse the request. The session turns it into a
/// response with `status()` and the JSON body {"error": message()}. `message()` is a complete
/// sentence meant for a person: clients display it verbatim.
class HttpError : public std::exception {
 public:
  HttpError(int status, std::string message) : status_(status), message_(std::move(message)) {}
  int status() const noexcept { return status_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  /// Adds a header the answer carries besides the body (tus's Upload-Offset on a conflict).
  HttpError& withHeader(std::string name, std::string value) {
    headers_.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  const std::vector<std::pair<std::string, std::string>>& headers() const noexcept {
    return headers_;
  }

 private:
  int status_;
  std::string message_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

}  // namespace vek::relay_server
