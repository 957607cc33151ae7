#include "agent/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_lock.h"
#include "agent/job_cleanup.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/task.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

using namespace std::chrono_literals;
using testing::RecordedRequest;
using testing::ScopedEnvironment;
using testing::ScriptedAnswer;
using testing::ScriptedHttpServer;

constexpr const char* jobA = "0b7f6a5e-8a1c-4c1e-9b5d-2f7c3e4d5a6b";
constexpr const char* jobB = "1c8e7b6f-9b2d-4d2f-8c6e-3e8d4f5e6b7c";

JSON job(const std::string& id, const std::string& state, const std::string& builder,
         const std::string& receiver) {
  return JSON::object(
      {{"id", id}, {"state", state}, {"builder_id", builder}, {"receiver_id", receiver}});
}

// A relay that answers by route: claims from a queue (then "no work"), heartbeats with the state
// the test sets for the held job, events and failure reports with {}. `heartbeatFailures` makes
// the next heartbeats fail with the given answers first; `scripted` answers the next requests
// whose target ends in its key before anything else does.
class FakeRelay {
 public:
  std::deque<JSON> claims;
  std::deque<ScriptedAnswer> heartbeatFailures;
  std::map<std::string, std::deque<ScriptedAnswer>> scripted;
  std::string heldJobState = "building";
  std::vector<std::string> eventsFail;
  /// Hold a claim without work for the wait it asks for, as a relay with held requests does.
  bool holdClaims = false;
  /// When each heartbeat arrived and each claim was answered ("claim ID" for one handing out a
  /// job).
  using Timeline = std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>>;
  Timeline timeline;

  FakeRelay()
      : server_(ScriptedHttpServer::answering(
            [this](const RecordedRequest& request) { return answer(request); })) {}

  std::string origin() const { return server_->origin(); }
  std::vector<RecordedRequest> requests() const { return server_->requests(); }

  std::vector<RecordedRequest> requestsTo(const std::string& suffix) const {
    std::vector<RecordedRequest> found;
    for (auto& request : requests()) {
      if (request.target.ends_with(suffix)) found.push_back(request);
    }
    return found;
  }

  void set(std::function<void(FakeRelay&)> change) {
    std::lock_guard guard(mutex_);
    change(*this);
  }

 private:
  ScriptedAnswer answer(const RecordedRequest& request) {
    std::lock_guard guard(mutex_);
    for (auto& [suffix, answers] : scripted) {
      if (request.target.ends_with(suffix) && !answers.empty()) {
        ScriptedAnswer next = answers.front();
        answers.pop_front();
        return next;
      }
    }
    if (request.target == "/v1/heartbeat") {
      timeline.emplace_back("heartbeat", std::chrono::steady_clock::now());
      if (!heartbeatFailures.empty()) {
        ScriptedAnswer failure = heartbeatFailures.front();
        heartbeatFailures.pop_front();
        return failure;
      }
      JSON jobs = JSON::array();
      const JSON body = JSON::decode(request.body);
      for (const JSON& lease : body["leases"].items())
        jobs.push(JSON::object({{"id", lease["id"]}, {"state", heldJobState}}));
      return ScriptedAnswer::json(200, JSON::object({{"jobs", jobs}}).data());
    }
    if (request.target.starts_with("/v1/claim")) {
      std::size_t wait = request.target.find("?wait=");
      if (holdClaims && claims.empty() && wait != std::string::npos) {
        std::this_thread::sleep_for(
            std::chrono::duration<double>(std::stod(request.target.substr(wait + 6))));
      }
      timeline.emplace_back(claims.empty() ? "claim" : "claim " + claims.front()["id"].text(),
                            std::chrono::steady_clock::now());
      if (claims.empty()) return ScriptedAnswer::json(200, R"({"job":null})");
      JSON claimed = claims.front();
      claims.pop_front();
      return ScriptedAnswer::json(
          200, JSON::object({{"job", claimed}, {"lease", "lease-" + claimed["id"].text()}}).data());
    }
    if (request.target.ends_with("/event") && !eventsFail.empty()) {
      return ScriptedAnswer::json(503, R"({"error":"The relay is restarting."})");
    }
    return ScriptedAnswer::json(200, "{}");
  }

  std::mutex mutex_;
  std::unique_ptr<ScriptedHttpServer> server_;
};

class WorkerTest : public ::testing::Test {
 protected:
  testing::TempDir scratch_;
  std::filesystem::path state_ = scratch_.path() / "state";
  ScopedEnvironment environment_{"VEK_STATE_DIR", state_.c_str()};
  FakeRelay relay_;

  std::mutex logMutex_;
  std::vector<std::pair<std::string, bool>> lines_;

  Credentials credentials() const {
    return {relay_.origin(), "mac-1", "token", "group", "Group", "Mac", "key"};
  }

  // Short pauses; no real phones, no keep-awake; lines captured.
  Worker::Settings settings() {
    Worker::Settings settings;
    settings.cycle = 5ms;
    settings.backoffStep = 1ms;
    settings.backoffCap = 3ms;
    settings.inventoryInterval = 0ms;
    settings.listDevices = [] { return JSON::array(); };
    settings.keepAwake = [] { return std::unique_ptr<KeepAwake>(); };
    settings.build = settings.install = [](const JSON&, std::string_view, const Credentials&,
                                           const API&, const BuildPipeline::ProgressCallback&) {
      FAIL() << "no job expected";
    };
    settings.log = [this](std::string_view line, bool error) {
      std::lock_guard guard(logMutex_);
      lines_.emplace_back(std::string(line), error);
    };
    return settings;
  }

  std::vector<std::pair<std::string, bool>> lines() {
    std::lock_guard guard(logMutex_);
    return lines_;
  }

  // Starts the relay's timeline afresh, the relay holding idle claims or answering them at once.
  void restartTimeline(bool holdClaims) {
    relay_.set([&](FakeRelay& relay) {
      relay.holdClaims = holdClaims;
      relay.timeline.clear();
    });
  }

  FakeRelay::Timeline timeline() {
    FakeRelay::Timeline copy;
    relay_.set([&](FakeRelay& relay) { copy = relay.timeline; });
    return copy;
  }

  // Runs the worker on a thread until `done` holds (or 10 seconds pass), then stops it and returns
  // what run() threw ("" when it returned normally).
  std::string runUntil(Worker& worker, const std::function<bool()>& done) {
    std::string failure;
    std::thread loop([&] {
      try {
        worker.run();
      } catch (const std::exception& error) {
        failure = error.what();
      }
    });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(2ms);
    EXPECT_TRUE(done()) << "the worker never got there";
    worker.stop();
    loop.join();
    return failure;
  }

  JSON status() { return JSON::decode(readFile(state_ / "agent-status.json")); }
};

TEST_F(WorkerTest, TakesOnlyJobsWithAUuidAddressedToThisMacInTheirRole) {
  relay_.claims = {
      job("", "building", "mac-1", "mac-2"),     job("not-a-uuid", "building", "mac-1", "mac-2"),
      job(jobA, "building", "mac-2", "mac-1"),    // another Mac builds it
      job(jobA, "installing", "mac-1", "mac-2"),  // another Mac installs it
      job(jobA, "building", "mac-1", "mac-2"),   job(jobB, "installing", "mac-2", "mac-1")};
  std::mutex mutex;
  std::vector<std::string> calls;
  Worker::Settings settings = this->settings();
  settings.build = [&](const JSON& job, std::string_view lease, const Credentials& credentials,
                       const API&, const BuildPipeline::ProgressCallback&) {
    std::lock_guard guard(mutex);
    calls.push_back("build " + job["id"].text() + " " + std::string(lease) + " " +
                    credentials.deviceID);
  };
  settings.install = [&](const JSON& job, std::string_view lease, const Credentials&, const API&,
                         const BuildPipeline::ProgressCallback&) {
    std::lock_guard guard(mutex);
    calls.push_back("install " + job["id"].text() + " " + std::string(lease));
  };
  Worker worker(credentials(), settings);
  EXPECT_EQ(runUntil(worker,
                     [&] {
                       std::lock_guard guard(mutex);
                       return calls.size() == 2;
                     }),
            "");
  EXPECT_EQ(calls,
            (std::vector<std::string>{"build " + std::string(jobA) + " lease-" + jobA + " mac-1",
                                      "install " + std::string(jobB) + " lease-" + jobB}));
  // Nothing about the ignored jobs reached the relay.
  EXPECT_TRUE(relay_.requestsTo("/fail").empty());
}

// An idle cycle lasts its 5 seconds (here 600 ms) whether the relay holds the claim for the rest
// of it or answers at once; only in the second case does the agent pause after the claim.
TEST_F(WorkerTest, AnIdleClaimWaitsForTheRestOfTheCycleWhichKeepsItsLength) {
  constexpr auto cycle = 600ms;
  Worker::Settings settings = this->settings();
  settings.cycle = cycle;
  for (bool holding : {false, true}) {
    SCOPED_TRACE(holding ? "a relay that holds claims" : "a relay that answers at once");
    restartTimeline(holding);
    Worker worker(credentials(), settings);
    runUntil(worker, [&] { return timeline().size() >= 6; });
    auto seen = timeline();
    for (std::size_t i = 0; i + 2 < seen.size(); i += 2) {
      ASSERT_EQ(seen[i].first, "heartbeat");
      ASSERT_EQ(seen[i + 1].first, "claim");
      // The relay sees when requests arrive, which varies by their own latency.
      EXPECT_GE(seen[i + 2].second - seen[i].second, cycle - 20ms);
      auto pause = seen[i + 2].second - seen[i + 1].second;
      if (holding) {
        EXPECT_LT(pause, cycle);
      } else {
        EXPECT_GE(pause, cycle);
      }
    }
  }
  for (const RecordedRequest& claim : relay_.requestsTo("/v1/claim"))
    ADD_FAILURE() << "a claim without a wait: " << claim.target;
}

// A job that ends during the pause is followed at once by the next cycle's claim, held for the
// rest of the pause, when the relay holds claims; against a relay that answers at once the pause
// runs to its end. Heartbeats keep their rhythm either way.
TEST_F(WorkerTest, AJobEndingMidCycleIsFollowedByAHeldClaimOnlyWhenTheRelayHoldsClaims) {
  constexpr auto cycle = 600ms;
  for (bool holding : {false, true}) {
    SCOPED_TRACE(holding ? "a relay that holds claims" : "a relay that answers at once");
    restartTimeline(holding);
    std::atomic<bool> built = false;
    Worker::Settings settings = this->settings();
    settings.cycle = cycle;
    settings.build = [&](const JSON&, std::string_view, const Credentials&, const API&,
                         const BuildPipeline::ProgressCallback&) {
      std::this_thread::sleep_for(50ms);
      built = true;
    };
    Worker worker(credentials(), settings);
    bool queued = false;
    runUntil(worker, [&] {
      auto seen = timeline();
      if (!queued && seen.size() >= 4) {  // an idle claim has been answered
        relay_.set([](FakeRelay& relay) { relay.claims = {job(jobA, "building", "mac-1", "x")}; });
        queued = true;
      }
      return built && std::count_if(seen.begin(), seen.end(),
                                    [](auto& entry) { return entry.first == "heartbeat"; }) >= 5;
    });
    auto seen = timeline();
    auto handedOut = std::find_if(seen.begin(), seen.end(), [](auto& entry) {
      return entry.first == "claim " + std::string(jobA);
    });
    ASSERT_NE(handedOut, seen.end());
    auto nextHeartbeat =
        std::find_if(handedOut, seen.end(), [](auto& entry) { return entry.first == "heartbeat"; });
    EXPECT_EQ(std::count_if(handedOut + 1, nextHeartbeat,
                            [](auto& entry) { return entry.first == "claim"; }),
              holding ? 1 : 0);
    std::chrono::steady_clock::time_point last{};
    for (const auto& [name, when] : seen) {
      if (name != "heartbeat") continue;
      if (last != std::chrono::steady_clock::time_point{}) {
        EXPECT_GE(when - last, cycle - 20ms);
      }
      last = when;
    }
  }
}

TEST_F(WorkerTest, HeldJobIsLeasedInEveryHeartbeatNeverClaimsAndStopsWhenTheRelayEndsIt) {
  relay_.claims = {job(jobA, "building", "mac-1", "mac-2")};
  std::atomic<bool> started = false, ended = false;
  Worker::Settings settings = this->settings();
  settings.build = [&](const JSON&, std::string_view, const Credentials&, const API&,
                       const BuildPipeline::ProgressCallback&) {
    started = true;
    try {
      task::sleepFor(60s);  // a tool that never ends on its own
    } catch (const CancellationError&) {
      ended = true;
      throw;
    }
  };
  Worker worker(credentials(), settings);
  std::string failure = runUntil(worker, [&] {
    if (started && relay_.requestsTo("/v1/heartbeat").size() >= 6)
      relay_.set([](FakeRelay& relay) { relay.heldJobState = "cancelled"; });
    return ended.load() && !worker.runningJob() && relay_.requestsTo("/v1/claim").size() >= 2;
  });
  EXPECT_EQ(failure, "");

  // From the claim that handed out the job to the next claim, every heartbeat held its lease.
  bool holding = false;
  int leased = 0;
  for (const auto& request : relay_.requests()) {
    if (request.target == "/v1/claim") {
      if (holding) break;
      holding = true;
    } else if (holding && request.target == "/v1/heartbeat") {
      JSON leases = JSON::decode(request.body)["leases"];
      if (leases.items().empty()) break;  // the job has ended
      EXPECT_EQ(
          leases,
          JSON::array({JSON::object({{"id", jobA}, {"token", "lease-" + std::string(jobA)}})}));
      ++leased;
    }
  }
  EXPECT_GE(leased, 6);
  // The cancellation ends the job like any failure, reported on standard error.
  bool reported = false;
  for (const auto& [line, error] : lines())
    reported |= error && line == "VEK " + std::string(jobA) + ": The operation was cancelled.";
  EXPECT_TRUE(reported);
}

TEST_F(WorkerTest, ProgressIsPrintedEvenWhenTheRelayLosesItAndFailuresReachTheRelayCut) {
  relay_.claims = {job(jobA, "building", "mac-1", "mac-2")};
  relay_.eventsFail = {"all"};
  std::string longText;
  for (int i = 0; i < 1000; ++i)
    longText += "e\u0301\U0001F469\u200D\U0001F4BBx";  // 3 characters, 15 bytes
  std::atomic<bool> done = false;
  Worker::Settings settings = this->settings();
  settings.build = [&](const JSON&, std::string_view, const Credentials&, const API&,
                       const BuildPipeline::ProgressCallback& event) {
    event("Archiving");
    event("Exporting \x1b]0;title\x07\n\x1b[32mDeployment succeeded");
    done = true;
    throw VEKError(longText);
  };
  Worker worker(credentials(), settings);
  runUntil(worker, [&] { return done && !relay_.requestsTo("/fail").empty(); });

  const std::string prefix = "VEK " + std::string(jobA) + ": ";
  auto printed = lines();
  ASSERT_GE(printed.size(), 3u);
  EXPECT_EQ(printed[0], std::make_pair(prefix + "Archiving", false));
  // A message from elsewhere stays one line and cannot steer the terminal showing the log.
  EXPECT_EQ(printed[1],
            std::make_pair(prefix + "Exporting \\x1B]0;title\\x07\\n\\x1B[32mDeployment succeeded",
                           false));
  const std::string cut = JobCleanup::failureText(longText);
  EXPECT_EQ(printed[2], std::make_pair(prefix + cut, true));

  auto events = relay_.requestsTo("/event");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].header("X-VEK-Lease"), "lease-" + std::string(jobA));
  auto fails = relay_.requestsTo("/fail");
  ASSERT_EQ(fails.size(), 1u);
  EXPECT_EQ(fails[0].header("X-VEK-Lease"), "lease-" + std::string(jobA));
  const std::string sent = JSON::decode(fails[0].body)["error"].text();
  EXPECT_EQ(sent, cut);
  EXPECT_EQ(sent.substr(0, 15 * 10), longText.substr(0, 15 * 10));
  EXPECT_EQ(sent.size(), 650u * 15);  // 1950 characters, not bytes

  // Once the job has ended the status names no job and no error.
  JSON written = status();
  EXPECT_TRUE(written["job_id"].isNull());
  EXPECT_TRUE(written["error"].isNull());
  EXPECT_EQ(written["device_id"].text(), "mac-1");
}

TEST_F(WorkerTest, AFailureReportIsTriedAgainThroughAnOutageButNotAfterAnAnswer) {
  relay_.claims = {job(jobA, "building", "mac-1", "mac-2"),
                   job(jobB, "building", "mac-1", "mac-2")};
  relay_.scripted["/v1/jobs/" + std::string(jobA) + "/fail"] = {
      ScriptedAnswer{""}, ScriptedAnswer::http(503, "<html>Service Unavailable</html>")};
  relay_.scripted["/v1/jobs/" + std::string(jobB) + "/fail"] = {
      ScriptedAnswer::json(409, R"({"error":"This job has already ended (failed)."})")};
  std::atomic<int> builds = 0;
  Worker::Settings settings = this->settings();
  settings.build = [&](const JSON&, std::string_view, const Credentials&, const API&,
                       const BuildPipeline::ProgressCallback&) {
    ++builds;
    throw VEKError("xcodebuild failed (65)");
  };
  Worker worker(credentials(), settings);
  runUntil(worker, [&] { return builds == 2 && !worker.runningJob(); });
  // Until it got through for the first job; once for the second, whose answer was final.
  EXPECT_EQ(relay_.requestsTo(std::string(jobA) + "/fail").size(), 3u);
  EXPECT_EQ(relay_.requestsTo(std::string(jobB) + "/fail").size(), 1u);
}

TEST_F(WorkerTest, AClaimAnswerLargerThanARelayCanSendIsRefused) {
  JSON huge = job(jobA, "building", "mac-1", "mac-2");
  huge.set("spec", JSON::object({{"phone", std::string(Heartbeat::answerLimit, 'x')}}));
  relay_.scripted["/v1/claim"] = {
      ScriptedAnswer::json(200, JSON::object({{"job", huge}, {"lease", "l"}}).data())};
  Worker worker(credentials(), settings());
  runUntil(worker, [&] { return relay_.requestsTo("/v1/claim").size() >= 2; });
  EXPECT_EQ(lines().at(0).first, "VEK agent: The answer from the relay at " +
                                     relay_.origin().substr(7) + " is larger than 1 MiB");
}

TEST_F(WorkerTest, FailuresArePrintedOncePerStreakAndRevocationEndsTheAgentFreeingTheLock) {
  auto down = ScriptedAnswer::json(503, R"({"error":"Relay is down"})");
  relay_.heartbeatFailures = {down, down, down};
  Worker::Settings settings = this->settings();
  Worker worker(credentials(), settings);
  std::string failure;
  std::thread loop([&] {
    try {
      worker.run();
    } catch (const std::exception& error) {
      failure = error.what();
    }
  });
  // After the first streak and a good cycle, a second streak that ends in revocation.
  auto waitFor = [&](auto condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
  };
  waitFor([&] { return relay_.requestsTo("/v1/claim").size() >= 2; });
  JSON good = status();
  EXPECT_TRUE(good["error"].isNull());
  relay_.set([&](FakeRelay& relay) {
    relay.heartbeatFailures = {
        down, ScriptedAnswer::json(
                  401, R"({"error":"This Mac has a revoked device credential. Join again."})")};
  });
  loop.join();

  EXPECT_EQ(failure, "This Mac has a revoked device credential. Join again.");
  std::vector<std::pair<std::string, bool>> expected{{"VEK agent: Relay is down", true},
                                                     {"VEK agent: Relay is down", true}};
  EXPECT_EQ(lines(), expected);
  EXPECT_EQ(status()["error"].text(), failure);
  EXPECT_NO_THROW(AgentLock());
}

TEST_F(WorkerTest, InventoryFailureIsReportedInTheHeartbeatUntilAListingSucceeds) {
  std::atomic<int> listings = 0;
  Worker::Settings settings = this->settings();
  settings.listDevices = [&] {
    if (++listings <= 2) throw VEKError("devicectl failed (1): no tunnel");
    return JSON::array({JSON::object({{"udid", "U1"}})});
  };
  Worker worker(credentials(), settings);
  runUntil(worker, [&] { return relay_.requestsTo("/v1/heartbeat").size() >= 4; });
  auto beats = relay_.requestsTo("/v1/heartbeat");
  JSON first = JSON::decode(beats[0].body)["inventory"];
  EXPECT_EQ(first["error"].text(), "devicectl failed (1): no tunnel");
  EXPECT_EQ(first["phones"], JSON::array());
  EXPECT_EQ(first["projects"], JSON::array());
  EXPECT_EQ(first["client_version"].text(), "0.1.0");
  EXPECT_EQ(first["platform"].text(), "macOS");
  JSON later = JSON::decode(beats[3].body)["inventory"];
  EXPECT_FALSE(later.fields().count("error"));
  EXPECT_EQ(later["phones"], JSON::array({JSON::object({{"udid", "U1"}})}));
  EXPECT_EQ(JSON::decode(beats[3].body)["leases"], JSON::array());
}

TEST_F(WorkerTest, InventoryIsReusedBetweenRefreshes) {
  std::atomic<int> listings = 0;
  Worker::Settings settings = this->settings();
  settings.inventoryInterval = 1h;
  settings.listDevices = [&] {
    ++listings;
    return JSON::array();
  };
  Worker worker(credentials(), settings);
  runUntil(worker, [&] { return relay_.requestsTo("/v1/heartbeat").size() >= 5; });
  EXPECT_EQ(listings.load(), 1);
}

TEST_F(WorkerTest, SecondWorkerIsRefusedAndStopEndsTheFirstCleanly) {
  Worker first(credentials(), settings());
  std::thread loop([&] { first.run(); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (relay_.requestsTo("/v1/heartbeat").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);

  Worker second(credentials(), settings());
  EXPECT_EQ(testing::failureOf([&] { second.run(); }),
            "The VEK agent is already running on this Mac.");
  const auto before = relay_.requests().size();
  std::this_thread::sleep_for(50ms);
  EXPECT_GT(relay_.requests().size(), before) << "the first worker must go on";

  first.stop();
  loop.join();
  EXPECT_NO_THROW(AgentLock());
}

TEST(HeartbeatBackoff, GrowsByFiveSecondsUpToThirty) {
  using std::chrono::milliseconds;
  std::vector<long> pauses;
  for (int n = 1; n <= 8; ++n)
    pauses.push_back(Heartbeat::backoff(n, 5000ms, 30000ms).count() / 1000);
  EXPECT_EQ(pauses, (std::vector<long>{5, 10, 15, 20, 25, 30, 30, 30}));
  // A streak of any length, however long the outage, stays at the cap.
  EXPECT_EQ(Heartbeat::backoff(std::numeric_limits<int>::max(), 5000ms, 30000ms), 30000ms);
}

TEST(HeartbeatJobState, OnlyTheHeldJobsEntryCounts) {
  JSON answer = JSON::decode(
      R"({"jobs":[{"id":"other","state":"cancelled"},{"id":"mine","state":"building"},)"
      R"({"id":"mine","state":"failed"}]})");
  EXPECT_EQ(Heartbeat::jobState(answer, "mine"), "building");
  EXPECT_EQ(Heartbeat::jobState(answer, "absent"), std::nullopt);
  EXPECT_EQ(Heartbeat::jobState(JSON::decode(R"({"jobs":{"mine":1}})"), "mine"), std::nullopt);
  EXPECT_EQ(Heartbeat::jobState(JSON::array(), "mine"), std::nullopt);
}

}  // namespace
}  // namespace vek
