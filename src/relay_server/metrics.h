// The relay's own counters, served to a Prometheus server by the metrics listener.
//
// Everything on the request path is a relaxed atomic increment into a fixed array: no lock, no
// allocation, nothing that makes a request wait for a scrape. Counters are indexed by route
// (the row of the endpoint table, never the concrete path, so no id reaches a label) and by
// status code. What lives in the database or on disk (jobs by state, stored builds) is not
// counted here but read when scraped and handed to `render`.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "relay_server/routes.h"
#include "relay_server/store.h"

namespace vek::relay_server {

/// What a scrape reads from the relay's state rather than from counters. A part that could not
/// be read is absent and left out of the exposition.
struct StoredState {
  std::size_t openConnections = 0;
  std::optional<std::map<std::string, std::uint64_t>> jobsByState;
  std::optional<std::uint64_t> builds;
  std::optional<std::uint64_t> buildBytes;
  std::size_t heldRequests = 0;
  std::uint64_t heldRequestWakes = 0;
  std::optional<PoolUsage> pool;  // absent for a store without a connection pool
  std::size_t connectionLimit = 0;
};

class Metrics {
 public:
  /// Counts requests for the rows of `routes` (which must outlive this object), plus requests
  /// that matched none.
  explicit Metrics(std::span<const Route> routes);

  /// One answered request: its route (nullptr when none matched), status and duration. A
  /// successful heartbeat also counts as a heartbeat.
  void recordRequest(const Route* route, int status,
                     std::chrono::steady_clock::duration duration) noexcept;
  void addReceivedBytes(std::uint64_t bytes) noexcept {
    received_.fetch_add(bytes, std::memory_order_relaxed);
  }
  void addSentBytes(std::uint64_t bytes) noexcept {
    sent_.fetch_add(bytes, std::memory_order_relaxed);
  }
  void countDatabaseError() noexcept { databaseErrors_.fetch_add(1, std::memory_order_relaxed); }
  void countDiskError() noexcept { diskErrors_.fetch_add(1, std::memory_order_relaxed); }
  /// A connection still waiting for its request header was closed to make room for a new one.
  void countDroppedConnection() noexcept {
    droppedConnections_.fetch_add(1, std::memory_order_relaxed);
  }
  /// A new connection was closed at once: every open one was busy with a request.
  void countRefusedConnection() noexcept {
    refusedConnections_.fetch_add(1, std::memory_order_relaxed);
  }

  /// The Prometheus text exposition (format 0.0.4) of every counter and of `state`.
  std::string render(const StoredState& state) const;

 private:
  static constexpr int kFirstStatus = 100;
  static constexpr int kStatuses = 500;  // 100 to 599
  static constexpr std::array<double, 13> kBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                      0.25,  0.5,    1,     2.5,  10,    60};

  std::span<const Route> routes_;
  const Route* heartbeat_ = nullptr;
  // (routes + 1) x kStatuses counters; the last row is for requests no route matched.
  std::unique_ptr<std::atomic<std::uint64_t>[]> requests_;
  // Per bucket, not cumulative; the last one holds the durations above every bound.
  std::array<std::atomic<std::uint64_t>, kBuckets.size() + 1> durations_{};
  std::atomic<std::uint64_t> durationNanoseconds_{0};
  std::atomic<std::uint64_t> heartbeats_{0};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> databaseErrors_{0};
  std::atomic<std::uint64_t> diskErrors_{0};
  std::atomic<std::uint64_t> droppedConnections_{0};
  std::atomic<std::uint64_t> refusedConnections_{0};
};

}  // namespace vek::relay_server
