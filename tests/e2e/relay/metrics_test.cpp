// The relay's metrics listener, scraped while the relay works, read with a strict parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using Metrics = MetricsRelayTest;

TEST_F(Metrics, CountersFollowTheRelaysWork) {
  Exposition before = scrape();
  EXPECT_EQ(value(before, "vek_relay_heartbeats_total"), 0);
  EXPECT_EQ(value(before, "vek_relay_jobs{state=\"building\"}"), 0);
  EXPECT_EQ(value(before, "vek_relay_builds_stored"), 0);
  EXPECT_EQ(before.types["vek_relay_http_request_duration_seconds"], "histogram");
  for (const auto& [family, type] : before.types) {
    EXPECT_EQ(family.starts_with("vek_relay_"), true) << family;
    EXPECT_EQ(type == "counter", family.ends_with("_total")) << family;
  }

  Member builder = createGroup("Secret Team");
  Member receiver = join(builder);
  std::string job = queue(builder, builder, receiver);
  ASSERT_EQ(heartbeat(builder).status, 200);
  Claimed building = claim(builder);
  ASSERT_EQ(building.job, job);
  const std::string build(3000, 'b');
  ASSERT_EQ(upload(builder, building, build).status, 200);
  JSON manifest = JSON::object({{"bundle_id", "com.example.app"}, {"job_id", job}});
  ASSERT_EQ(post(builder, "/v1/jobs/" + job + "/finish-build",
                 JSON::object({{"manifest", manifest}}), building.lease)
                .status,
            200);
  Claimed installing = claim(receiver);
  ASSERT_EQ(installing.job, job);
  Response downloaded =
      call(port(), "GET", "/v1/jobs/" + job + "/artifact", "", receiver.auth(installing.lease));
  ASSERT_EQ(downloaded.status, 200);
  EXPECT_EQ(get(builder, "/v1/jobs/" + job + "/nothing-here").status, 404);

  // A request is counted just after its answer is written, so the client may be faster than
  // the count: scrape until the last two requests (on their own connections) show.
  Exposition after;
  for (int attempt = 0; attempt < 100; ++attempt) {
    after = scrape();
    if (after.value("vek_relay_http_requests_total{route=\"unmatched\",status=\"404\"}") &&
        after.value("vek_relay_http_requests_total{route=\"GET /v1/jobs/{id}/artifact\","
                    "status=\"200\"}")) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(value(after, "vek_relay_heartbeats_total"), 2);
  EXPECT_EQ(value(after, "vek_relay_jobs{state=\"installing\"}"), 1);
  EXPECT_EQ(value(after, "vek_relay_jobs{state=\"building\"}"), 0);
  EXPECT_EQ(value(after, "vek_relay_builds_stored"), 1);
  EXPECT_EQ(value(after, "vek_relay_builds_stored_bytes"), 3000);
  EXPECT_EQ(value(after, "vek_relay_transfer_received_bytes_total"), 3000);
  EXPECT_EQ(value(after, "vek_relay_transfer_sent_bytes_total"), 3000);
  EXPECT_EQ(
      value(after, "vek_relay_http_requests_total{route=\"POST /v1/heartbeat\",status=\"200\"}"),
      2);
  EXPECT_EQ(
      value(after,
            "vek_relay_http_requests_total{route=\"GET /v1/jobs/{id}/artifact\",status=\"200\"}"),
      1);
  EXPECT_EQ(value(after, "vek_relay_http_requests_total{route=\"unmatched\",status=\"404\"}"), 1);
  EXPECT_GE(value(after, "vek_relay_http_request_duration_seconds_count"), 10);
  if (onPostgres()) {
    EXPECT_GE(value(after, "vek_relay_database_connections{state=\"idle\"}"), 1);
    const unsigned cores = std::thread::hardware_concurrency();
    EXPECT_EQ(value(after, "vek_relay_database_connections_limit"),
              cores == 0 ? 4 : std::clamp(2 * cores, 4u, 16u));
  }
  EXPECT_EQ(value(after, "vek_relay_database_errors_total"), 0);
  EXPECT_EQ(value(after, "vek_relay_disk_errors_total"), 0);

  // Nothing that identifies a group, a Mac, a job or a credential.
  for (const std::string& secret :
       {builder.id, builder.token, builder.groupId, receiver.id, receiver.token, job,
        building.lease, std::string("Secret Team"), bootstrapToken()}) {
    EXPECT_EQ(text_.find(secret), std::string::npos) << secret;
  }
}

TEST_F(Metrics, TheListenerServesOnlyGetMetrics) {
  int metrics = metricsPort();
  Member member = createGroup();

  Response post = call(metrics, "POST", "/metrics", "x");
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.headers["allow"], "GET");
  EXPECT_EQ(call(metrics, "HEAD", "/metrics").status, 405);
  EXPECT_EQ(call(metrics, "GET", "/metrics", "a body").status, 400);
  // The relay's routes are not there, even with valid credentials...
  EXPECT_EQ(call(metrics, "GET", "/v1/group", "", member.auth()).status, 404);
  EXPECT_EQ(call(metrics, "POST", "/v1/groups", "{}").status, 404);
  // ...and the metrics are not on the relay's port.
  EXPECT_EQ(call(port(), "GET", "/metrics").status, 404);

  Connection garbage(metrics);
  garbage.send("NOT HTTP AT ALL\r\n\r\n");
  EXPECT_EQ(garbage.readResponse().status, 400);

  // Still serving after all that.
  EXPECT_EQ(call(metrics, "GET", "/metrics").status, 200);
}

TEST(Exposition, TheParserRefusesWhatPrometheusWould) {
  const std::string valid =
      "# HELP a_total A.\n# TYPE a_total counter\na_total{x=\"1\"} 2\n"
      "# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 3.5\nh_count 2\n";
  EXPECT_EQ(parseExposition(valid).value("h_count"), 2);

  for (const std::string& bad : {
           std::string("a 1"),                       // no final line break
           std::string("1a 1\n"),                    // bad name
           std::string("a{x=1} 1\n"),                // unquoted label value
           std::string("a{x=\"\\t\"} 1\n"),          // bad escape
           std::string("a{x=\"1\",x=\"2\"} 1\n"),    // label twice
           std::string("a one\n"),                   // not a number
           std::string("a 1\na 2\n"),                // repeated series
           std::string("a 1\nb 1\na{x=\"y\"} 1\n"),  // family split
           std::string("a 1\n# TYPE a gauge\n"),     // TYPE after samples
           std::string("# TYPE a countr\n"),         // unknown type
           std::string("# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_sum 1\nh_count 1\n"),  // +Inf
           std::string("# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\n"
                       "h_sum 1\nh_count 1\n"),  // not cumulative
           std::string("# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 3\n"),
           std::string("a{le=\"1\"} 1\n"),  // le outside a histogram
       }) {
    EXPECT_THROW(parseExposition(bad), std::runtime_error) << bad;
  }
}

}  // namespace
}  // namespace vek::e2e
