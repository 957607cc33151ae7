// Invites as text, and creating, inviting and joining against a scripted relay.
#include "relay_client/enrollment.h"

#include <gtest/gtest.h>

#include "foundation/base64.h"
#include "foundation/errors.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

using testing::ScriptedAnswer;
using testing::ScriptedHttpServer;

const std::string key32 = base64::encode(std::string(32, '\x5a'));

std::string inviteWith(const JSON& payload) {
  return "vek1." + base64::encode(payload.data());
}

template <typename Error = VEKError, typename Body>
std::string failureOf(Body body) {
  return testing::failureOf<Error>(body);
}

TEST(InviteText, RoundTripsThroughSpaceLineBreaksAndTheWrapper) {
  Invite invite{"https://relay.example.com", JSON::object({{"n", 1}}), key32};
  std::string text = invite.text();
  EXPECT_EQ(JSON::decode(*base64::decode(text.substr(5))),
            JSON::object({{"server", invite.server}, {"code", invite.code}, {"key", key32}}));
  for (const std::string& given :
       {"  " + text + "\n", "\r\n\t" + text + " \r\n",
        JSON::object({{"invite", text}, {"expires_in_seconds", 900}}).pretty() + "\n"}) {
    Invite decoded = Invite::decode(given);
    EXPECT_EQ(decoded.server, invite.server);
    EXPECT_EQ(decoded.code, invite.code);
    EXPECT_EQ(decoded.key, key32);
  }
}

TEST(InviteText, MalformedInvitesNameWhatIsWrongInAFixedOrder) {
  const std::string server = "https://relay.example.com";
  auto keyOf = [](std::size_t bytes) { return base64::encode(std::string(bytes, 'k')); };
  const std::pair<std::string, std::string> cases[] = {
      {"", "Invalid VEK invite"},
      {"vek2." + base64::encode("{}"), "Invalid VEK invite"},
      {"vek1.e30", "Invalid VEK invite"},  // Base64 without its "=" fill
      {"vek1.e3\n0=", "Invalid VEK invite"},
      {JSON::object({{"expires_in_seconds", 900}}).pretty(), "Invalid VEK invite"},
      {"{\"invite\": \"vek1.", "Invalid VEK invite"},
      {inviteWith(JSON::object({{"server", server}})), "Invalid group encryption key"},
      {inviteWith(JSON::object({{"server", server}, {"key", keyOf(16)}})),
       "Invalid group encryption key"},
      {inviteWith(JSON::object({{"server", server}, {"key", keyOf(33)}})),
       "Invalid group encryption key"},
      {inviteWith(JSON::array({server, "code", key32})), "Invalid group encryption key"},
  };
  for (const auto& [text, message] : cases)
    EXPECT_EQ(failureOf([&] { Invite::decode(text); }), message) << text;
  EXPECT_EQ(
      failureOf<DecodingError>([] { Invite::decode("vek1." + base64::encode("{server")); }),
      failureOf<DecodingError>([] { JSON::decode("{server", "The invite is not valid JSON"); }));
}

class EnrollmentTest : public ::testing::Test {
 protected:
  EnrollmentTest() : store_(home_ / "vek-keychain") {}
  std::optional<Credentials> stored() { return CredentialStore::load(store_); }

  testing::TempDir home_;
  testing::ScopedEnvironment state_{"VEK_STATE_DIR", (home_.path() / "state").c_str()};
  FileSecretStore store_;
};

TEST_F(EnrollmentTest, CreateSendsTheBootstrapTokenAndSavesTheMembershipWithANewKey) {
  ScriptedHttpServer relay({ScriptedAnswer::json(
      200, R"({"device_id":"d-1","group_id":"g-1","group_name":"Studio Macs"})")});
  std::string origin = relay.origin() + "/";
  Credentials made = Enrollment::create(origin, "Studio Macs", "Build Mac", "boot-token", store_);

  const auto request = relay.requests().at(0);
  EXPECT_EQ(request.method + " " + request.target, "POST /v1/groups");
  EXPECT_EQ(request.header("X-VEK-Bootstrap"), "boot-token");
  EXPECT_EQ(request.header("Authorization"), std::nullopt);
  EXPECT_EQ(JSON::decode(request.body),
            JSON::object({{"name", "Studio Macs"}, {"device_name", "Build Mac"}}));
  // An answer without "token" still yields saved credentials, with an empty token.
  EXPECT_EQ(made, (Credentials{origin, "d-1", "", "g-1", "Studio Macs", "Build Mac",
                               made.encryptionKey}));
  EXPECT_EQ(base64::decode(made.encryptionKey).value_or("").size(), 32u);
  EXPECT_EQ(stored(), made);
}

TEST_F(EnrollmentTest, NothingIsSavedUnlessTheRelayAccepted) {
  ScriptedHttpServer relay({
      ScriptedAnswer::json(403, R"({"error":"This bootstrap token is not accepted."})"),
      ScriptedAnswer::json(200, ""),
      ScriptedAnswer::json(403, R"({"error":"This invite code was already used."})"),
  });
  EXPECT_EQ(failureOf([&] { Enrollment::create(relay.origin(), "G", "Mac", "bad", store_); }),
            "This bootstrap token is not accepted.");
  EXPECT_NE(failureOf<DecodingError>(
                [&] { Enrollment::create(relay.origin(), "G", "Mac", "b", store_); }),
            "(no failure)");
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{relay.origin(), "used", key32}.text(), "Mac", store_);
            }),
            "This invite code was already used.");
  EXPECT_EQ(stored(), std::nullopt);
}

TEST_F(EnrollmentTest, AnEnrolledMacEnrollsAgainOnlyOnceItsRelayRefusesItAsRevoked) {
  const ScriptedAnswer revoked = ScriptedAnswer::json(
      401, R"({"error":"The relay refuses every request made with a revoked device credential."})");
  // How the old relay answers the enrolled Mac's question, and whether that frees the Mac.
  const std::pair<ScriptedAnswer, bool> cases[] = {
      {ScriptedAnswer::json(200, R"({"devices":[]})"), false},
      {ScriptedAnswer{""}, false},  // unreachable: it cannot say
      {ScriptedAnswer::json(401, R"({"error":"The device credential is not valid."})"), false},
      {revoked, true},
  };
  for (const auto& [answer, freed] : cases) {
    testing::TempDir home;
    FileSecretStore store(home / "vek-keychain");
    ScriptedHttpServer old({answer, answer});
    const Credentials existing{old.origin(), "d", "t", "g", "G", "Mac", key32};
    CredentialStore::save(existing, store);
    ScriptedHttpServer relay(
        {ScriptedAnswer::json(200, R"({"device_id":"d-2","token":"t-2","group_id":"g-2"})")});
    const std::string joined = failureOf([&] {
      Enrollment::join(Invite{relay.origin(), "c", key32}.text(), "Mac", store);
    });
    EXPECT_EQ(old.requests().at(0).target, "/v1/group");
    EXPECT_EQ(old.requests().at(0).header("Authorization"), "Bearer d.t");
    if (!freed) {
      EXPECT_EQ(joined, "This Mac is already enrolled.");
      EXPECT_EQ(failureOf([&] { Enrollment::create(relay.origin(), "G", "Mac", "b", store); }),
                "This Mac is already enrolled.");
      EXPECT_TRUE(relay.requests().empty());
      EXPECT_EQ(CredentialStore::load(store), existing);
    } else {
      EXPECT_EQ(joined, "(no failure)");
      EXPECT_EQ(CredentialStore::load(store)->deviceID, "d-2");
    }
  }
}

TEST_F(EnrollmentTest, OriginsAreCheckedAfterTheKeyAndBeforeAnythingIsSent) {
  const std::string originMessage =
      "Server must be an HTTPS origin. HTTP is allowed only for localhost testing.";
  const std::string offLoopback = "http://relay.example.com";
  EXPECT_EQ(failureOf([&] { Enrollment::create(offLoopback, "G", "M", "b", store_); }),
            originMessage);
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{offLoopback, "c", key32}.text(), "M", store_);
            }),
            originMessage);
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{"", "c", key32}.text(), "M", store_);
            }),
            originMessage);
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{offLoopback, "c", "short"}.text(), "M", store_);
            }),
            "Invalid group encryption key");
  EXPECT_EQ(stored(), std::nullopt);
}

TEST_F(EnrollmentTest, InviteThenJoinGivesTheIssuersServerAndKey) {
  ScriptedHttpServer relay({
      ScriptedAnswer::json(200, R"({"code":{"id":7},"expires_in_seconds":900})"),
      ScriptedAnswer::json(200, R"({"device_id":"d-2","token":"t-2","group_id":"g"})"),
      ScriptedAnswer::json(200, "[]"),
  });
  Credentials issuer{relay.origin(), "d-1", "t-1", "g", "G", "Studio", key32};
  std::string invite = Enrollment::invite(issuer);
  Credentials joined = Enrollment::join(
      JSON::object({{"invite", invite}, {"expires_in_seconds", 900}}).pretty(), "Laptop", store_);
  EXPECT_EQ(joined, (Credentials{issuer.server, "d-2", "t-2", "g", "", "Laptop", key32}));
  EXPECT_EQ(stored(), joined);
  // A relay answer without a code gives an invite carrying null.
  EXPECT_TRUE(Invite::decode(Enrollment::invite(issuer)).code.isNull());

  auto requests = relay.requests();
  EXPECT_EQ(requests[0].target, "/v1/invites");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer d-1.t-1");
  EXPECT_EQ(JSON::decode(requests[0].body), JSON::object());
  EXPECT_EQ(requests[1].target, "/v1/join");
  EXPECT_EQ(requests[1].header("Authorization"), std::nullopt);
  EXPECT_EQ(JSON::decode(requests[1].body),
            JSON::object({{"code", JSON::object({{"id", 7}})}, {"device_name", "Laptop"}}));
}

}  // namespace
}  // namespace vek
