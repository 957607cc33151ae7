// A client that opens many connections and sends nothing must not lock the members out.
#include "exposition.h"
#include "relay_fixture.h"

namespace vek::e2e {
namespace {

// A relay that may open 128 descriptors, or 256 once it raises its soft limit to the hard one.
class ConnectionFlood : public RelayTest {
 protected:
  std::vector<std::string> arguments() override {
    // Waits long enough that only the cap, never a time-out, closes a connection here.
    return {"--metrics-listen", "127.0.0.1:0", "--first-byte-timeout-seconds", "60"};
  }
  void configure(RelayProcess& relay) override { relay.limitDescriptors(128, 256); }
  // The cap and its counters are each process's own.
  bool alternating() override { return false; }
};

TEST_F(ConnectionFlood, IdleConnectionsBeyondTheDescriptorLimitLeaveMembersServed) {
  Member member = createGroup();
  // A member in the middle of a request: its header is complete, its body still on the way.
  const std::string body = R"({"inventory":{"phones":[]},"leases":[]})";
  Connection midRequest(port());
  midRequest.send("POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\nAuthorization: " + member.bearer() +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                  body.substr(0, 10));

  // More silent connections than the relay could hold descriptors for.
  constexpr std::size_t kIdle = 300;
  std::vector<Connection> idle;
  for (std::size_t i = 0; i < kIdle; ++i)
    idle.emplace_back(port());

  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(heartbeat(member).status, 200);
  midRequest.send(body.substr(10));
  EXPECT_EQ(midRequest.readResponse().status, 200);
  // The oldest silent connections made room; the newest are still there.
  EXPECT_TRUE(idle.front().waitForClose());
  EXPECT_TRUE(idle.back().isOpen());

  Exposition metrics = parseExposition(call(metricsPort(), "GET", "/metrics").body);
  double limit = metrics.value("vek_relay_connection_limit").value_or(0);
  // Derived from the raised limit, with room left for the relay's own files.
  EXPECT_GT(limit, 128);
  EXPECT_LE(limit, 256 - 64);
  EXPECT_GE(metrics.value("vek_relay_connections_dropped_total").value_or(0), kIdle - limit);
  EXPECT_EQ(metrics.value("vek_relay_connections_refused_total"), 0);
}

class FirstByte : public RelayTest {
  std::vector<std::string> arguments() override {
    return {"--first-byte-timeout-seconds", "1", "--header-timeout-seconds", "60"};
  }
};

TEST_F(FirstByte, ASilentConnectionIsClosedBeforeOneThatBeganItsHeader) {
  Connection silent(port());
  Connection started(port());
  started.send("GET /healthz HTTP/1.1\r\nHo");
  EXPECT_TRUE(silent.waitForClose());
  ASSERT_TRUE(started.isOpen());
  started.send("st: x\r\n\r\n");
  EXPECT_EQ(started.readResponse().status, 200);
}

}  // namespace
}  // namespace vek::e2e
