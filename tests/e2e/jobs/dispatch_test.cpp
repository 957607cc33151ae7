// How fast a job reaches its Mac and its progress its followers: at once through held requests,
// and at the old cadence from a relay that answers at once.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "fleet.h"
#include "foundation/json.h"
#include "mac.h"
#include "test_support.h"

namespace vek {
namespace {

using namespace std::chrono_literals;
using testing::Fleet;
using SteadyClock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
  const auto deadline = SteadyClock::now() + limit;
  while (!condition()) {
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Lines of the relay's access log for requests of `device` whose method and path contain `what`.
int logged(const testing::RelayProcess& relay, const std::string& what, const std::string& device) {
  int count = 0;
  std::istringstream lines(relay.output());
  for (std::string line; std::getline(lines, line);) {
    if (line.find(what) != std::string::npos && line.ends_with("device=" + device)) ++count;
  }
  return count;
}

TEST(Dispatch, AJobQueuedWhileBothAgentsHoldClaimsStartsAtOnce) {
  Fleet fleet({"--metrics-listen", "127.0.0.1:0"});
  fleet.installAgents();
  fleet.waitForPhone();
  ASSERT_TRUE(eventually([&] { return fleet.relay().metric("vek_relay_held_requests") == 2; }));
  // Each agent's held claim began before this moment and waits at most one 5-second cycle.
  const auto held = SteadyClock::now();
  const double wakes = fleet.relay().metric("vek_relay_held_request_wakes_total").value_or(-1);

  const std::string id = fleet.queue();
  ASSERT_TRUE(eventually([&] {
    return !fleet.builder().ok({"logs", id})["events"].items().empty();
  }));
  EXPECT_LT(SteadyClock::now() - held, 5s) << "the builder started only after its wait ran out";
  EXPECT_GE(fleet.relay().metric("vek_relay_held_request_wakes_total").value_or(-1), wakes + 1);
}

// A relay that holds nothing (--max-wait-seconds 0) answers at once, as an older one does: the
// agent still sends one heartbeat and one claim per 5 seconds, and `logs --follow` reads once per
// 3-second pass.
TEST(Dispatch, ARelayThatAnswersAtOnceGetsTheOldCadence) {
  Fleet fleet({"--max-wait-seconds", "0"});
  fleet.installAgent(fleet.receiver());
  const std::string id = fleet.queue();  // for the builder, whose agent is not running
  const int heartbeats = logged(fleet.relay(), "POST /v1/heartbeat", fleet.receiverID());
  const int claims = logged(fleet.relay(), "POST /v1/claim?wait ", fleet.receiverID());

  // A pass, a 3-second pause, a pass, a pause, then the time-out.
  const auto start = SteadyClock::now();
  EXPECT_EQ(fleet.builder().error({"logs", id, "--follow", "--timeout", "4"}),
            "Timed out waiting for job " + id + ". The job continues; use vek job " + id +
                " to inspect it.");
  const auto elapsed = SteadyClock::now() - start;
  EXPECT_GE(elapsed, 6s);
  EXPECT_EQ(logged(fleet.relay(), "GET /v1/jobs/" + id + "/events?after&wait ", fleet.builderID()),
            2);

  // About 6 seconds: one or two cycles of the agent, never more than one per 5 seconds.
  const int cycles = static_cast<int>(elapsed / 5s) + 1;
  const int moreHeartbeats =
      logged(fleet.relay(), "POST /v1/heartbeat", fleet.receiverID()) - heartbeats;
  EXPECT_GE(moreHeartbeats, 1);
  EXPECT_LE(moreHeartbeats, cycles);
  EXPECT_LE(logged(fleet.relay(), "POST /v1/claim?wait ", fleet.receiverID()) - claims, cycles);
}

}  // namespace
}  // namespace vek
