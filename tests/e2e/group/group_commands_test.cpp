// Forming a group as people do it: `vek` processes, each Mac with its own home and state
// directory, talking to a real `vek-relay` on loopback. Also the relay client's artifact transfers
// and concurrent requests against that relay.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "foundation/credentials.h"
#include "foundation/errors.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"
#include "mac.h"
#include "relay_client/api.h"
#include "relay_client/enrollment.h"
#include "relay_process.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ProgramResult;
using testing::TempDir;
using Strings = std::vector<std::string>;

const std::string bootstrapToken = "group-e2e-bootstrap-token";
const std::string originMessage =
    "Server must be an HTTPS origin. HTTP is allowed only for localhost testing.";

// A vek-relay that accepts `bootstrapToken`, serving plain HTTP or TLS with a self-signed
// certificate no Mac trusts.
class Relay {
 public:
  enum class Security { plain, selfSignedTLS };

  explicit Relay(Security security = Security::plain) : process_(arguments(security)) {
    process_.start();
  }
  std::string origin() const { return process_.origin(); }
  fs::path bootstrapFile() const { return files_ / "tokens"; }

 private:
  Strings arguments(Security security) {
    testing::writeText(bootstrapFile(), bootstrapToken + "\n");
    Strings arguments{"--bootstrap-token-file", bootstrapFile().string()};
    if (security == Security::selfSignedTLS) {
      ProgramResult made = testing::runProgram(
          "/usr/bin/openssl",
          {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-keyout", (files_ / "key.pem").string(), "-out", (files_ / "cert.pem").string(),
           "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
      if (made.status != 0) throw std::runtime_error("openssl req failed: " + made.err);
      arguments.insert(arguments.end(), {"--tls-cert", (files_ / "cert.pem").string(), "--tls-key",
                                         (files_ / "key.pem").string()});
    }
    return arguments;
  }

  TempDir files_;
  testing::RelayProcess process_;
};

using testing::Mac;

JSON membershipOf(const Credentials& credentials) {
  return JSON::object({{"group_id", credentials.groupID},
                       {"device_id", credentials.deviceID},
                       {"group_name", credentials.groupName}});
}

TEST(GroupCommands, TwoMacsFormAGroupAndOneRevokesTheOther) {
  Relay relay;
  Mac studio, laptop, latecomer;

  // The bootstrap file's trailing line break is not part of the token; without --name the group
  // is "My Macs".
  testing::writeText(studio.home() / "bootstrap.txt", " " + bootstrapToken + "\r\n\n");
  JSON created = studio.ok({"group", "create", "--server", relay.origin(), "--bootstrap-file",
                            "bootstrap.txt", "--device-name", "Studio"});
  std::optional<Credentials> studioCredentials = studio.credentials();
  ASSERT_TRUE(studioCredentials);
  EXPECT_EQ(created, membershipOf(*studioCredentials));
  EXPECT_EQ(created["group_name"].text(), "My Macs");
  EXPECT_EQ(studioCredentials->server, relay.origin());
  EXPECT_EQ(studioCredentials->deviceName, "Studio");

  ProgramResult invite = studio.vek({"group", "invite"});
  ASSERT_EQ(invite.status, 0) << invite.err;
  JSON inviteObject = JSON::decode(invite.out);
  EXPECT_EQ(inviteObject["expires_in_seconds"], JSON(900));
  EXPECT_TRUE(inviteObject["invite"].text().starts_with("vek1."));
  EXPECT_EQ(inviteObject.fields().size(), 2u);

  // The invite command's saved output is an invite file; the file wins over --invite.
  testing::writeText(laptop.home() / "invite.json", invite.out);
  JSON joined = laptop.ok({"group", "join", "--invite-file", "invite.json", "--invite", "bogus",
                           "--device-name", "Laptop"});
  std::optional<Credentials> laptopCredentials = laptop.credentials();
  ASSERT_TRUE(laptopCredentials);
  EXPECT_EQ(joined, membershipOf(*laptopCredentials));
  EXPECT_EQ(laptopCredentials->server, studioCredentials->server);
  EXPECT_EQ(laptopCredentials->encryptionKey, studioCredentials->encryptionKey);
  EXPECT_EQ(laptopCredentials->groupID, studioCredentials->groupID);
  EXPECT_NE(laptopCredentials->deviceID, studioCredentials->deviceID);

  // An invite is used once; the relay's refusal reaches the user and nothing is saved.
  std::string reused =
      latecomer.error({"group", "join", "--invite", "  " + inviteObject["invite"].text() + "\r\n"});
  EXPECT_EQ(reused.find("Relay returned HTTP"), std::string::npos) << reused;
  EXPECT_FALSE(latecomer.credentials());

  JSON status = laptop.ok({"group", "status"});
  EXPECT_EQ(status["name"].text(), "My Macs");
  std::map<std::string, std::string> names;
  for (const JSON& device : status["devices"].items())
    names[device["id"].text()] = device["name"].text();
  EXPECT_EQ(names, (std::map<std::string, std::string>{{studioCredentials->deviceID, "Studio"},
                                                       {laptopCredentials->deviceID, "Laptop"}}));

  EXPECT_EQ(studio.error({"group", "revoke"}), "Provide a Mac ID");
  EXPECT_EQ(studio.error({"group", "revoke", laptopCredentials->deviceID, "extra"}),
            "Provide a Mac ID");
  // An id that looks like a path stays one id: it cannot reach another resource of the relay.
  for (const char* crafted : {"../group", "..", "x?y"}) {
    EXPECT_TRUE(studio.error({"group", "revoke", crafted}).starts_with("No Mac with ")) << crafted;
  }
  studio.ok({"group", "revoke", laptopCredentials->deviceID});

  std::string refused = laptop.error({"group", "status"});
  EXPECT_NE(refused.find("revoked device credential"), std::string::npos) << refused;
  JSON afterRevoke = studio.ok({"group", "status"});
  for (const JSON& device : afterRevoke["devices"].items()) {
    if (device["id"].text() == laptopCredentials->deviceID) {
      EXPECT_TRUE(device["revoked"] == JSON(1) || device["revoked"] == JSON(true));
    }
  }
}

TEST(GroupCommands, RefusalsBeforeAndAtTheRelay) {
  Relay relay;
  Mac mac;
  testing::writeText(mac.home() / "wrong-token", "not-a-token-this-relay-knows\n");
  std::string refused =
      mac.error({"group", "create", "--server", relay.origin(), "--bootstrap-file", "wrong-token"});
  EXPECT_FALSE(refused.empty());
  EXPECT_EQ(refused.find("Relay returned HTTP"), std::string::npos) << refused;
  EXPECT_EQ(mac.error({"group", "create", "--server", relay.origin()}),
            "Required option: --bootstrap-file");
  EXPECT_EQ(mac.error({"group", "create", "--bootstrap-file", "missing"}),
            "Cannot open missing: No such file or directory");
  EXPECT_EQ(mac.error({"group", "join"}), "Required option: --invite");
  EXPECT_EQ(mac.error({"group", "invite"}),
            "This Mac is not enrolled. Use group create or group join first.");
  EXPECT_FALSE(mac.credentials());

  mac.ok({"group", "create", "--server", relay.origin(), "--bootstrap-file",
          relay.bootstrapFile().string()});
  Credentials enrolled = *mac.credentials();
  EXPECT_EQ(mac.error({"group", "create", "--server", relay.origin(), "--bootstrap-file",
                       relay.bootstrapFile().string()}),
            "This Mac is already enrolled.");
  EXPECT_EQ(mac.error({"group", "join", "--invite", "anything"}), "This Mac is already enrolled.");
  EXPECT_EQ(mac.credentials(), enrolled);
}

TEST(GroupCommands, UnreachableUntrustedOrUnacceptableRelaysAreOneSentence) {
  Mac mac;
  int port = testing::unusedPort();
  EXPECT_EQ(mac.error({"group", "create", "--server", "http://127.0.0.1:" + std::to_string(port),
                       "--bootstrap-file", "/dev/null"}),
            "Cannot reach the relay at 127.0.0.1:" + std::to_string(port) + ": Connection refused");

  Relay untrusted(Relay::Security::selfSignedTLS);
  ASSERT_TRUE(untrusted.origin().starts_with("https://127.0.0.1:")) << untrusted.origin();
  std::string refused = mac.error({"group", "create", "--server", untrusted.origin(),
                                   "--bootstrap-file", untrusted.bootstrapFile().string()});
  EXPECT_TRUE(refused.starts_with("Cannot make a secure connection to the relay at " +
                                  untrusted.origin().substr(8) + ": "))
      << refused;
  EXPECT_FALSE(mac.credentials());

  // A stored origin the client does not accept ends every enrolled command at the gate.
  mac.enrolAt("http://relay.example.com");
  EXPECT_EQ(mac.error({"group", "status"}), originMessage);
  EXPECT_EQ(mac.error({"bogus"}), originMessage);
}

// The relay client's own operations against the real relay: a build carried from one Mac to
// another, and many requests at once through copies of one client.
class RelayTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    FileSecretStore builderStore(builderHome_ / "keychain"),
        receiverStore(receiverHome_ / "keychain");
    builder_ = Enrollment::create(relay_.origin(), "G", "Builder", bootstrapToken, builderStore);
    receiver_ = Enrollment::join(Enrollment::invite(*builder_), "Receiver", receiverStore);
    API receiver(*receiver_);
    receiver.call(
        "POST", "/v1/heartbeat",
        JSON::object(
            {{"inventory", JSON::object({{"projects", JSON::array()},
                                         {"phones", JSON::array({JSON::object(
                                                        {{"udid", "UDID-1"}, {"os", "18.2"}})})}})},
             {"leases", JSON::array()}}));
  }
  // Queues a job from the builder to the receiver and claims it as the builder.
  std::pair<std::string, std::string> claimedJob() {
    API builder(*builder_);
    JSON job = builder.call("POST", "/v1/jobs",
                            JSON::object({{"builder_id", builder_->deviceID},
                                          {"receiver_id", receiver_->deviceID},
                                          {"project_id", "p"},
                                          {"scheme", "S"},
                                          {"configuration", "Release"},
                                          {"mode", "adhoc"},
                                          {"udid", "UDID-1"}}));
    JSON claim = builder.call("POST", "/v1/claim", JSON::object());
    EXPECT_EQ(claim["job"]["id"], job["id"]);
    return {job["id"].text(), claim["lease"].text()};
  }

  Relay relay_;
  TempDir builderHome_, receiverHome_, files_;
  std::optional<Credentials> builder_, receiver_;
};

TEST_F(RelayTransfers, ABuildTravelsFromTheBuilderToTheReceiverIntact) {
  std::string content(9 * 1024 * 1024 + 3, '\0');
  for (std::size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 31 + i / 977);
  fs::path build = files_ / "build.vekenc";
  testing::writeText(build, content);

  API builder(*builder_), receiver(*receiver_);
  auto [job, lease] = claimedJob();
  EXPECT_THROW(builder.upload(job, "not-the-lease", build), VEKError);
  builder.upload(job, lease, build);
  builder.call("POST", "/v1/jobs/" + job + "/finish-build",
               JSON::object({{"manifest", JSON::object({{"scheme", "S"}})}}), lease);

  JSON claim = receiver.call("POST", "/v1/claim", JSON::object());
  ASSERT_EQ(claim["job"]["id"].text(), job);
  std::string digest = claim["job"]["artifact_sha"].text();
  fs::path received = files_ / "received.vekenc";
  receiver.download(job, claim["lease"].text(), received, digest);
  EXPECT_TRUE(testing::readText(received) == content);

  // The relay's refusal of a download without the lease comes through verbatim.
  std::string refusal;
  try {
    receiver.download(job, "wrong", files_ / "other.vekenc", digest);
  } catch (const VEKError& error) {
    refusal = error.message();
  }
  EXPECT_FALSE(refusal.empty());
  EXPECT_EQ(refusal.find("Relay returned HTTP"), std::string::npos) << refusal;
  EXPECT_FALSE(fs::exists(files_ / "other.vekenc"));
}

TEST_F(RelayTransfers, CopiesOfOneClientServeManyThreadsAtOnce) {
  API shared(*builder_);
  constexpr int threads = 16, rounds = 10;
  std::atomic<int> answered = 0;
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([copy = shared, &answered] {
      for (int round = 0; round < rounds; ++round) {
        if (copy.call("GET", "/v1/group")["devices"].items().size() == 2) ++answered;
      }
    });
  }
  for (auto& worker : workers)
    worker.join();
  EXPECT_EQ(answered, threads * rounds);
}

}  // namespace
}  // namespace vek
