#include "scripted_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vek::testing {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string reasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

int loopbackSocket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // the client went away; nothing more to do
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

ScriptedAnswer ScriptedAnswer::http(
    int status, std::string_view body,
    const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reasonFor(status) + "\r\n";
  for (const auto& [name, value] : headers)
    text += name + ": " + value + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  text += body;
  return {text};
}

ScriptedAnswer ScriptedAnswer::json(int status, std::string_view body) {
  return http(status, body, {{"Content-Type", "application/json"}});
}

ScriptedAnswer ScriptedAnswer::silence() {
  return {"", false, true};
}

std::unique_ptr<ScriptedHttpServer> ScriptedHttpServer::answering(Responder responder) {
  auto server = std::make_unique<ScriptedHttpServer>(std::vector<ScriptedAnswer>{});
  // No client knows the port yet, so no request can come before the responder.
  std::lock_guard lock(server->mutex_);
  server->responder_ = std::move(responder);
  return server;
}

LoopbackListener::LoopbackListener() {
  fd_ = loopbackSocket(port_);
  int pipeFds[2];
  if (::listen(fd_, 16) != 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ::close(fd_);
    throw std::runtime_error("listen or pipe failed");
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
}

LoopbackListener::~LoopbackListener() {
  ::close(fd_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void LoopbackListener::wake() {
  char byte = 0;
  (void)::write(wakeWrite_, &byte, 1);
}

ScriptedHttpServer::ScriptedHttpServer(std::vector<ScriptedAnswer> script)
    : script_(std::move(script)) {
  thread_ = std::thread([this] { serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  listener_.wake();
  thread_.join();
}

std::string ScriptedHttpServer::origin() const {
  return "http://127.0.0.1:" + std::to_string(listener_.port());
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void ScriptedHttpServer::serve() {
  while (true) {
    pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {listener_.wakeFd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int connection = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    bool stop = !serveConnection(connection);
    ::close(connection);
    if (stop) return;
  }
}

// Serves requests on one connection until an answer closes it or the client goes away. Returns
// false when the server is being stopped.
bool ScriptedHttpServer::serveConnection(int fd) {
  std::string buffer;
  char chunk[65536];
  // Reads more bytes into `buffer`; false when the client closed or the server stops.
  auto readMore = [&]() -> int {
    pollfd fds[2] = {{fd, POLLIN, 0}, {listener_.wakeFd(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
      if (errno != EINTR) return 0;
    }
    if (fds[1].revents) return -1;
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return 0;
    buffer.append(chunk, static_cast<std::size_t>(got));
    return 1;
  };

  while (true) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      int state = readMore();
      if (state <= 0) return state == 0;
    }
    RecordedRequest request;
    std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    std::size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    auto firstSpace = requestLine.find(' ');
    auto secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    std::size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
      std::size_t next = head.find("\r\n", position);
      if (next == std::string::npos) next = head.size();
      std::string line = head.substr(position, next - position);
      auto colon = line.find(':');
      if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        request.headers.emplace_back(line.substr(0, colon), value);
      }
      position = next + 2;
    }
    std::size_t length = 0;
    if (auto contentLength = request.header("Content-Length")) length = std::stoull(*contentLength);
    if (auto expect = request.header("Expect");
        expect && equalsIgnoringCase(*expect, "100-continue"))
      writeAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    while (buffer.size() < length) {
      int state = readMore();
      if (state <= 0) return state == 0;
    }
    request.body = buffer.substr(0, length);
    buffer.erase(0, length);

    ScriptedAnswer answer;
    Responder responder;
    {
      std::lock_guard lock(mutex_);
      responder = responder_;
      if (!responder) {
        answer = next_ < script_.size()
                     ? script_[next_++]
                     : ScriptedAnswer::json(500, R"({"error":"No scripted answer left"})");
      }
    }
    if (responder) answer = responder(request);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
    }
    if (answer.hang) {
      pollfd stop{listener_.wakeFd(), POLLIN, 0};
      while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
      }
      return false;
    }
    writeAll(fd, answer.bytes);
    if (answer.close) {
      // Let the client read everything before the connection goes away: closing with unread
      // input would reset the connection and could destroy the answer in flight.
      ::shutdown(fd, SHUT_WR);
      buffer.clear();
      int state;
      while ((state = readMore()) > 0)
        buffer.clear();
      return state == 0;
    }
  }
}

int unusedPort() {
  int port = 0;
  int fd = loopbackSocket(port);
  ::close(fd);
  return port;
}

}  // namespace vek::testing
