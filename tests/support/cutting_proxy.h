// A TCP proxy on loopback that breaks connections the way a bad network does: every connection
// through it to the target port is cut (both sides closed at once) as soon as it has carried
// `cutEvery` bytes in either direction. It counts the bytes it read from each side, which is
// what went over the wire, including what a cut threw away.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scripted_http_server.h"

namespace vek::testing {

class CuttingProxy {
 public:
  /// Listens on a free loopback port and forwards to 127.0.0.1:`targetPort`.
  CuttingProxy(int targetPort, std::uint64_t cutEvery);
  ~CuttingProxy();
  CuttingProxy(const CuttingProxy&) = delete;
  CuttingProxy& operator=(const CuttingProxy&) = delete;

  /// "http://127.0.0.1:<port>".
  std::string origin() const;

  /// Bytes read from clients (towards the target) and from the target (towards clients), and
  /// the connections cut, since the proxy started.
  std::uint64_t upstream() const { return upstream_; }
  std::uint64_t downstream() const { return downstream_; }
  std::uint64_t cuts() const { return cuts_; }

 private:
  void accept();
  void forward(int client);

  int targetPort_;
  std::uint64_t cutEvery_;
  LoopbackListener listener_;
  std::atomic<std::uint64_t> upstream_{0};
  std::atomic<std::uint64_t> downstream_{0};
  std::atomic<std::uint64_t> cuts_{0};
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace vek::testing
