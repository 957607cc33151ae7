#include "cutting_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vek::testing {

namespace {

constexpr std::size_t kPiece = 256 * 1024;

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

int connectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

CuttingProxy::CuttingProxy(int targetPort, std::uint64_t cutEvery)
    : targetPort_(targetPort), cutEvery_(cutEvery), acceptor_([this] { accept(); }) {}

CuttingProxy::~CuttingProxy() {
  listener_.wake();
  acceptor_.join();
  for (std::thread& connection : connections_)
    connection.join();
}

std::string CuttingProxy::origin() const {
  return "http://127.0.0.1:" + std::to_string(listener_.port());
}

void CuttingProxy::accept() {
  while (true) {
    pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {listener_.wakeFd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int client = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, client] { forward(client); });
  }
}

// Moves bytes both ways until either side closes, the proxy stops, or the connection has carried
// `cutEvery_` bytes one way: then only what fits under that goes on, and both sides are closed.
void CuttingProxy::forward(int client) {
  int target = connectTo(targetPort_);
  std::uint64_t carried[2] = {0, 0};  // towards the target, towards the client
  std::vector<char> piece(kPiece);
  bool open = target >= 0;
  while (open) {
    pollfd fds[3] = {{client, POLLIN, 0}, {target, POLLIN, 0}, {listener_.wakeFd(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents) break;
    for (int way = 0; way < 2 && open; ++way) {
      if (!(fds[way].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      int from = way == 0 ? client : target;
      int to = way == 0 ? target : client;
      ssize_t got = ::recv(from, piece.data(), piece.size(), 0);
      if (got <= 0) {
        open = false;
        break;
      }
      (way == 0 ? upstream_ : downstream_) += static_cast<std::uint64_t>(got);
      std::uint64_t room = cutEvery_ - carried[way];
      std::size_t passed = static_cast<std::size_t>(std::min<std::uint64_t>(room, got));
      if (!sendAll(to, piece.data(), passed)) open = false;
      carried[way] += passed;
      if (carried[way] == cutEvery_) {
        ++cuts_;
        open = false;
      }
    }
  }
  // The client sees a reset, as when a network path fails. The target gets an orderly end after
  // every byte passed on (closing with its answer unread would reset the connection and could
  // destroy bytes it has not read yet), so the count is of what the cut itself cost.
  linger abort{1, 0};
  ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(client);
  if (target < 0) return;
  ::shutdown(target, SHUT_WR);
  pollfd answer{target, POLLIN, 0};
  while (::poll(&answer, 1, 2000) > 0 && ::recv(target, piece.data(), piece.size(), 0) > 0) {
  }
  ::close(target);
}

}  // namespace vek::testing
