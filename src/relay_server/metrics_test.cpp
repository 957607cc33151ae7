#include "relay_server/metrics.h"

#include <gtest/gtest.h>

#include <array>

namespace vek::relay_server {
namespace {

using std::chrono::milliseconds;

const std::array<Route, 3> kRoutes = {
    Route{"POST", "/v1/heartbeat", Access::member},
    Route{"GET", "/v1/jobs/{id}", Access::member},
    Route{"PUT", "/v1/jobs/{id}/artifact", Access::member, nullptr, Transfer::upload},
};

bool has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(Metrics, CountsRequestsByRoutePatternAndStatus) {
  Metrics metrics(kRoutes);
  metrics.recordRequest(&kRoutes[1], 200, milliseconds(1));
  metrics.recordRequest(&kRoutes[1], 200, milliseconds(1));
  metrics.recordRequest(&kRoutes[1], 404, milliseconds(1));
  metrics.recordRequest(nullptr, 405, milliseconds(1));
  metrics.recordRequest(&kRoutes[2], 999, milliseconds(1));  // no such status: not a series

  std::string text = metrics.render({});
  EXPECT_TRUE(
      has(text, "vek_relay_http_requests_total{route=\"GET /v1/jobs/{id}\",status=\"200\"} 2"))
      << text;
  EXPECT_TRUE(
      has(text, "vek_relay_http_requests_total{route=\"GET /v1/jobs/{id}\",status=\"404\"} 1"));
  EXPECT_TRUE(has(text, "vek_relay_http_requests_total{route=\"unmatched\",status=\"405\"} 1"));
  EXPECT_EQ(text.find("status=\"999\""), std::string::npos);
  EXPECT_EQ(text.find("artifact"), std::string::npos) << "a route never called has no series";
}

TEST(Metrics, OnlyAcceptedHeartbeatsCountAsHeartbeats) {
  Metrics metrics(kRoutes);
  metrics.recordRequest(&kRoutes[0], 200, milliseconds(1));
  metrics.recordRequest(&kRoutes[0], 401, milliseconds(1));
  metrics.recordRequest(&kRoutes[1], 200, milliseconds(1));
  EXPECT_TRUE(has(metrics.render({}), "vek_relay_heartbeats_total 1"));
}

TEST(Metrics, DurationHistogramIsCumulativeWithBoundsInclusive) {
  Metrics metrics(kRoutes);
  metrics.recordRequest(&kRoutes[1], 200, milliseconds(1));        // exactly on the first bound
  metrics.recordRequest(&kRoutes[1], 200, milliseconds(30));       // above 0.025
  metrics.recordRequest(&kRoutes[1], 200, std::chrono::hours(1));  // above every bound
  std::string text = metrics.render({});
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_bucket{le=\"0.001\"} 1")) << text;
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_bucket{le=\"0.025\"} 1"));
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_bucket{le=\"0.05\"} 2"));
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_bucket{le=\"60\"} 2"));
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_bucket{le=\"+Inf\"} 3"));
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_count 3"));
  EXPECT_TRUE(has(text, "vek_relay_http_request_duration_seconds_sum 3600.031"));
}

TEST(Metrics, StoredStateAppearsOnlyWhenItCouldBeRead) {
  Metrics metrics(kRoutes);
  metrics.addReceivedBytes(10);
  metrics.addReceivedBytes(5);
  metrics.addSentBytes(7);
  metrics.countDatabaseError();
  StoredState readable;
  readable.openConnections = 3;
  readable.builds = 2;
  readable.buildBytes = 2048;
  std::string partial = metrics.render(readable);
  EXPECT_TRUE(has(partial, "vek_relay_open_connections 3"));
  EXPECT_EQ(partial.find("vek_relay_jobs"), std::string::npos);
  EXPECT_TRUE(has(partial, "vek_relay_builds_stored 2"));
  EXPECT_TRUE(has(partial, "vek_relay_builds_stored_bytes 2048"));
  EXPECT_TRUE(has(partial, "vek_relay_transfer_received_bytes_total 15"));
  EXPECT_TRUE(has(partial, "vek_relay_transfer_sent_bytes_total 7"));
  EXPECT_TRUE(has(partial, "vek_relay_database_errors_total 1"));
  EXPECT_TRUE(has(partial, "vek_relay_disk_errors_total 0"));
  EXPECT_EQ(partial.find("vek_relay_database_connection"), std::string::npos);

  StoredState counted;
  counted.jobsByState = std::map<std::string, std::uint64_t>{{"building", 1}, {"failed", 0}};
  counted.pool = PoolUsage{3, 1, 8, 4};
  std::string full = metrics.render(counted);
  EXPECT_TRUE(has(full, "vek_relay_jobs{state=\"building\"} 1"));
  EXPECT_TRUE(has(full, "vek_relay_database_connections{state=\"busy\"} 1"));
  EXPECT_TRUE(has(full, "vek_relay_database_connections{state=\"idle\"} 2"));
  EXPECT_TRUE(has(full, "vek_relay_database_connections_limit 8"));
  EXPECT_TRUE(has(full, "vek_relay_database_connection_waits_total 4"));
  EXPECT_TRUE(has(full, "vek_relay_jobs{state=\"failed\"} 0"));
  EXPECT_EQ(full.find("vek_relay_builds_stored"), std::string::npos);
}

}  // namespace
}  // namespace vek::relay_server
