// A running relay plus helpers that speak its API the way the Macs of a group do.
//
// The suite runs twice: against one relay on SQLite, and (VEK_TEST_RELAY_STORE=postgres) against
// two relay processes sharing one PostgreSQL database, one artifact folder and one bootstrap
// token file, as two machines behind a load balancer would, with requests alternating between
// them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exposition.h"
#include "foundation/json.h"
#include "http_client.h"
#include "postgres_server.h"
#include "relay_process.h"

namespace vek::e2e {

using testing::RelayProcess;

/// One enrolled Mac.
struct Member {
  std::string id;
  std::string token;
  std::string groupId;

  /// The value of this Mac's Authorization header.
  std::string bearer() const { return "Bearer " + id + "." + token; }
  Headers auth() const { return {{"Authorization", bearer()}}; }
  Headers auth(const std::string& lease) const {
    Headers headers = auth();
    headers.emplace_back("X-VEK-Lease", lease);
    return headers;
  }
};

/// The body that queues a deployment from `builder` to the phone "PHONE-1" of `receiver`.
inline JSON deployment(const Member& builder, const Member& receiver) {
  return JSON::object({{"builder_id", builder.id},
                       {"receiver_id", receiver.id},
                       {"project_id", "p1"},
                       {"scheme", "App"},
                       {"configuration", "Release"},
                       {"mode", "adhoc"},
                       {"udid", "PHONE-1"}});
}

/// A job handed out by a claim.
struct Claimed {
  std::string job;
  std::string lease;
};

class RelayTest : public ::testing::Test {
 protected:
  /// Extra command-line options of the relays under test.
  virtual std::vector<std::string> arguments() { return {}; }
  /// Whether requests alternate between the relay processes; false for a test of one process's
  /// own state (its counters), which then talks to the first one only.
  virtual bool alternating() { return true; }
  /// Called for each relay process before it starts.
  virtual void configure(RelayProcess&) {}

  void SetUp() override;

  /// True in the run against PostgreSQL (and for tests of relays sharing one database).
  virtual bool onPostgres() const;
  /// The port of the relay process the next request goes to.
  int port();
  /// The first relay process (the only one on SQLite).
  RelayProcess& relay() { return *relays_.front(); }
  const std::vector<std::unique_ptr<RelayProcess>>& relays() const { return relays_; }
  /// A bootstrap token the relays accept.
  std::string bootstrapToken() const;
  /// Where the relays keep the encrypted builds.
  std::filesystem::path artifactDirectory() const;
  /// The port of the first relay's metrics listener, for relays started with --metrics-listen.
  int metricsPort();

  Response get(const Member& who, const std::string& target) {
    return call(port(), "GET", target, "", who.auth());
  }
  Response post(const Member& who, const std::string& target, const JSON& body,
                const std::string& lease = "") {
    return call(port(), "POST", target, body.data(), lease.empty() ? who.auth() : who.auth(lease));
  }

  Member createGroup(const std::string& name = "Team", const std::string& device = "Builder") {
    Response answer = call(port(), "POST", "/v1/groups",
                           JSON::object({{"name", name}, {"device_name", device}}).data(),
                           {{"X-VEK-Bootstrap", bootstrapToken()}});
    EXPECT_EQ(answer.status, 200) << answer.body;
    return memberFrom(answer);
  }

  std::string invite(const Member& who) {
    Response answer = post(who, "/v1/invites", JSON::object());
    EXPECT_EQ(answer.status, 200) << answer.body;
    return answer.json()["code"].text();
  }

  Response joinWith(const JSON& code, const std::string& device) {
    return call(port(), "POST", "/v1/join",
                JSON::object({{"code", code}, {"device_name", device}}).data());
  }

  Member join(const Member& inviter, const std::string& device = "Receiver") {
    Response answer = joinWith(invite(inviter), device);
    EXPECT_EQ(answer.status, 200) << answer.body;
    return memberFrom(answer);
  }

  /// A heartbeat as an agent sends it, with two projects and the given phones.
  Response heartbeat(const Member& who, const std::vector<std::string>& phones = {},
                     const std::vector<Claimed>& leases = {}) {
    JSON devices = JSON::array();
    for (const auto& udid : phones) {
      devices.push(JSON::object({{"udid", udid},
                                 {"name", "iPhone"},
                                 {"os", "17.5.1"},
                                 {"model", "iPhone 15"},
                                 {"state", "connected"},
                                 {"developer_mode", true},
                                 {"available", true},
                                 {"transport", "wired"}}));
    }
    JSON held = JSON::array();
    for (const auto& lease : leases) {
      held.push(JSON::object({{"id", lease.job}, {"token", lease.lease}}));
    }
    JSON projects =
        JSON::array({JSON::object({{"id", "p1"},
                                   {"name", "App"},
                                   {"schemes", JSON::strings({"App"})},
                                   {"configurations", JSON::strings({"Debug", "Release"})}})});
    JSON inventory = JSON::object({{"projects", projects},
                                   {"phones", devices},
                                   {"client_version", "0.1.0"},
                                   {"platform", "macOS"}});
    return post(who, "/v1/heartbeat", JSON::object({{"inventory", inventory}, {"leases", held}}));
  }

  /// Queues a deployment from `builder` to the phone "PHONE-1" of `receiver`.
  std::string queue(const Member& caller, const Member& builder, const Member& receiver) {
    EXPECT_EQ(heartbeat(receiver, {"PHONE-1"}).status, 200);
    Response answer = post(caller, "/v1/jobs", deployment(builder, receiver));
    EXPECT_EQ(answer.status, 200) << answer.body;
    return answer.json()["id"].text();
  }

  /// The claim's job id and lease; both empty when there is no work.
  Claimed claim(const Member& who) {
    Response answer = post(who, "/v1/claim", JSON::object());
    EXPECT_EQ(answer.status, 200) << answer.body;
    JSON job = answer.json()["job"];
    return {job["id"].text(), answer.json()["lease"].text()};
  }

  Response upload(const Member& who, const Claimed& held, const std::string& bytes,
                  const std::string& sha = "");

  /// The head of an upload of `length` bytes to `held`, as raw HTTP for tests that send (or
  /// withhold) the body themselves. `extra` holds further header lines, each ending in CRLF.
  static std::string uploadHead(const Member& who, const Claimed& held, std::uint64_t length,
                                const std::string& sha, const std::string& extra = "");

  std::string state(const Member& who, const std::string& job) {
    return get(who, "/v1/jobs/" + job).json()["state"].text();
  }

  /// Names in the artifact folder.
  std::vector<std::string> artifactFiles();

  static Member memberFrom(const Response& answer) {
    JSON json = answer.json();
    return {json["device_id"].text(), json["token"].text(), json["group_id"].text()};
  }

  // Declared before the relays, so they stop before their database is dropped.
  std::unique_ptr<testing::PostgresDatabase> database_;
  std::unique_ptr<testing::TempDir> shared_;
  std::vector<std::unique_ptr<RelayProcess>> relays_;
  std::atomic<std::size_t> turn_{0};  // racing threads pick their relay here
};

/// A relay that also serves its metrics, and a strict reader of them.
class MetricsRelayTest : public RelayTest {
 protected:
  std::vector<std::string> arguments() override { return {"--metrics-listen", "127.0.0.1:0"}; }
  // The counters are each process's own.
  bool alternating() override { return false; }

  /// Scrapes and parses; the raw text is kept in `text_` for checks of what must never appear.
  Exposition scrape();
  /// A series of `exposition`; a missing one fails the test.
  double value(const Exposition& exposition, const std::string& series);
  /// A series of a fresh scrape.
  double value(const std::string& series) { return value(scrape(), series); }
  /// Scrapes until `series` has `expected` (up to 10 seconds); true when it came to that.
  bool awaitValue(const std::string& series, double expected);

  std::string text_;
};

/// Starts `count` threads that wait for one another before running `work(index)`, and joins them.
void race(int count, const std::function<void(int)>& work);

/// `count` pseudo-random bytes.
std::string randomData(std::size_t count);
std::string sha256(const std::string& bytes);

}  // namespace vek::e2e
