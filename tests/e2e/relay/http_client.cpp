#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vek::e2e {

namespace {

std::string lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct ClosedError : std::runtime_error {
  ClosedError() : std::runtime_error("the relay closed the connection") {}
};

}  // namespace

Connection::Connection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{60, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
  }
}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

void Connection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    sent += static_cast<std::size_t>(n);
  }
}

void Connection::fill() {
  char buffer[65536];
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0 || (n < 0 && errno == ECONNRESET)) throw ClosedError();
  if (n < 0) throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
  pending_.append(buffer, static_cast<std::size_t>(n));
}

std::string Connection::readLine() {
  std::size_t end;
  while ((end = pending_.find("\r\n")) == std::string::npos)
    fill();
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 2);
  return line;
}

Response Connection::readResponse(bool skipInterim, bool toHead) {
  while (true) {
    Response response;
    std::string status = readLine();
    if (status.size() < 12 || !status.starts_with("HTTP/1.")) {
      throw std::runtime_error("not an HTTP status line: " + status);
    }
    response.status = std::stoi(status.substr(9, 3));
    for (std::string line = readLine(); !line.empty(); line = readLine()) {
      std::size_t colon = line.find(':');
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      response.headers[lower(line.substr(0, colon))] = value;
    }
    if (response.status < 200) {
      if (skipInterim) continue;
      return response;
    }
    if (toHead || response.status == 204) return response;
    std::size_t length = std::stoull(response.headers.at("content-length"));
    while (pending_.size() < length)
      fill();
    response.body = pending_.substr(0, length);
    pending_.erase(0, length);
    return response;
  }
}

Response Connection::request(const std::string& method, const std::string& target,
                             const std::string& body, const Headers& headers) {
  std::string message = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  bool hasLength = false;
  for (const auto& [name, value] : headers) {
    message += name + ": " + value + "\r\n";
    hasLength |= lower(name) == "content-length";
  }
  if (!hasLength && (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH")) {
    message += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  message += "\r\n" + body;
  send(message);
  return readResponse(true, method == "HEAD");
}

void Connection::shutdownWrite() {
  ::shutdown(fd_, SHUT_WR);
}

bool Connection::waitForClose() {
  try {
    while (true) {
      pending_.clear();
      fill();
    }
  } catch (const ClosedError&) {
    return true;
  } catch (const std::runtime_error&) {
    return false;  // the 60-second receive time-out passed
  }
}

bool Connection::isOpen() {
  pollfd readable{fd_, POLLIN, 0};
  if (::poll(&readable, 1, 0) == 0) return true;
  char byte;
  ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

Response call(int port, const std::string& method, const std::string& target,
              const std::string& body, const Headers& headers) {
  Connection connection(port);
  return connection.request(method, target, body, headers);
}

}  // namespace vek::e2e
