// Invites as text, and creating, inviting and joining against a scripted relay.
#include "relay_client/enrollment.h"

#include <gtest/gtest.h>

#include "foundation/base64.h"
#include "foundation/errors.h"
#include "relay_client/testing/scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

using testing::ScriptedAnswer;
using testing::ScriptedHttpServer;
using testing::TempDir;

const std::string key32 = base64::encode(std::string(32, '\x5a'));

std::string inviteWithPayload(const std::string& payload) {
  return "vek1." + base64::encode(payload);
}

std::string inviteWith(const JSON& payload) {
  return inviteWithPayload(payload.data());
}

template <typename Error = VEKError, typename Body>
std::string failureOf(Body body) {
  try {
    body();
  } catch (const Error& error) {
    return error.what();
  }
  return "(no failure)";
}

TEST(InviteText, RoundTripsAndToleratesSurroundingSpaceAndTheWrapper) {
  Invite invite{"https://relay.example.com", JSON::object({{"n", 1}}), key32};
  std::string text = invite.text();
  EXPECT_TRUE(text.starts_with("vek1."));
  EXPECT_EQ(text.find_first_of(" \n\r"), std::string::npos);
  JSON payload = JSON::decode(*base64::decode(text.substr(5)));
  EXPECT_EQ(payload,
            JSON::object({{"server", invite.server}, {"code", invite.code}, {"key", key32}}));

  for (const std::string& given :
       {text, "  " + text + "\n", "\r\n\t" + text + " \r\n",
        JSON::object({{"invite", text}, {"expires_in_seconds", 900}}).pretty() + "\n",
        "  " + JSON::object({{"invite", text}}).data()}) {
    Invite decoded = Invite::decode(given);
    EXPECT_EQ(decoded.server, invite.server);
    EXPECT_EQ(decoded.code, invite.code);
    EXPECT_EQ(decoded.key, key32);
  }
}

TEST(InviteText, MissingPartsDecodeAsEmptyOrNull) {
  Invite decoded = Invite::decode(inviteWith(JSON::object({{"key", key32}, {"server", 5}})));
  EXPECT_EQ(decoded.server, "");
  EXPECT_TRUE(decoded.code.isNull());
}

TEST(InviteText, MalformedInvitesNameWhatIsWrong) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string server = "https://relay.example.com";
  const Case cases[] = {
      {"", "Invalid VEK invite"},
      {"vek2." + base64::encode("{}"), "Invalid VEK invite"},
      {"VEK1." + base64::encode("{}"), "Invalid VEK invite"},
      {"vek1.e30", "Invalid VEK invite"},  // Base64 without its "=" fill
      {"vek1.e30=\n", "Invalid group encryption key"},
      {"vek1.e3\n0=", "Invalid VEK invite"},
      {"vek1.e-0=", "Invalid VEK invite"},
      {JSON::object({{"expires_in_seconds", 900}}).pretty(), "Invalid VEK invite"},
      {JSON::object({{"invite", 5}}).data(), "Invalid VEK invite"},
      {"{\"invite\": \"vek1.", "Invalid VEK invite"},
      {inviteWith(JSON::object({{"server", server}, {"code", "c"}})),
       "Invalid group encryption key"},
      {inviteWith(
           JSON::object({{"server", server}, {"key", base64::encode(std::string(16, 'k'))}})),
       "Invalid group encryption key"},
      {inviteWith(
           JSON::object({{"server", server}, {"key", base64::encode(std::string(33, 'k'))}})),
       "Invalid group encryption key"},
      {inviteWith(JSON::object({{"server", server}, {"key", "not base64!"}})),
       "Invalid group encryption key"},
      {inviteWith(JSON::object({{"server", server}, {"key", 12}})), "Invalid group encryption key"},
      {inviteWith(JSON::array({server, "code", key32})), "Invalid group encryption key"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(failureOf([&] { Invite::decode(c.text); }), c.message) << c.text;
  }
}

TEST(InviteText, APayloadThatIsNotJSONFailsWithTheDecodersError) {
  std::string expected = failureOf<DecodingError>([] { JSON::decode("{server"); });
  EXPECT_EQ(failureOf<DecodingError>([] { Invite::decode(inviteWithPayload("{server")); }),
            expected);
  EXPECT_NE(failureOf<DecodingError>([] { Invite::decode(inviteWithPayload("\xff\xfe")); }),
            "(no failure)");
  EXPECT_NE(failureOf<DecodingError>([] { Invite::decode("vek1."); }), "(no failure)");
}

class EnrollmentTest : public ::testing::Test {
 protected:
  EnrollmentTest() : store_(home_ / "vek-keychain") {}
  std::optional<Credentials> stored() { return CredentialStore::load(store_); }
  void enrol() { CredentialStore::save(existing_, store_); }

  TempDir home_;
  FileSecretStore store_;
  const Credentials existing_{"https://relay.example.com", "d", "t", "g", "G", "Mac", key32};
};

TEST_F(EnrollmentTest, CreateSendsTheBootstrapTokenAndSavesTheNewMembership) {
  ScriptedHttpServer relay({ScriptedAnswer::json(
      200, R"({"device_id":"d-1","token":"t-1","group_id":"g-1","group_name":"Studio Macs"})")});
  std::string origin = relay.origin() + "/";
  Credentials made = Enrollment::create(origin, "Studio Macs", "Build Mac", "boot-token", store_);

  auto requests = relay.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/v1/groups");
  EXPECT_EQ(requests[0].header("X-VEK-Bootstrap"), "boot-token");
  EXPECT_EQ(requests[0].header("Authorization"), std::nullopt);
  EXPECT_EQ(JSON::decode(requests[0].body),
            JSON::object({{"name", "Studio Macs"}, {"device_name", "Build Mac"}}));

  EXPECT_EQ(made.server, origin);
  EXPECT_EQ(made.deviceID, "d-1");
  EXPECT_EQ(made.token, "t-1");
  EXPECT_EQ(made.groupID, "g-1");
  EXPECT_EQ(made.groupName, "Studio Macs");
  EXPECT_EQ(made.deviceName, "Build Mac");
  auto key = base64::decode(made.encryptionKey);
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->size(), 32u);
  EXPECT_EQ(stored(), made);
}

TEST_F(EnrollmentTest, AnAnswerWithoutTokenStillYieldsSavedCredentials) {
  ScriptedHttpServer relay({ScriptedAnswer::json(200, R"({"device_id":"d","group_id":"g"})")});
  Credentials made = Enrollment::create(relay.origin(), "G", "Mac", "b", store_);
  EXPECT_EQ(made.token, "");
  EXPECT_EQ(stored(), made);
}

TEST_F(EnrollmentTest, NothingIsSavedUnlessTheRelayAccepted) {
  ScriptedHttpServer relay({
      ScriptedAnswer::json(403, R"({"error":"This bootstrap token is not accepted."})"),
      ScriptedAnswer::json(200, ""),
      ScriptedAnswer::json(403, R"({"error":"This invite code was already used."})"),
      ScriptedAnswer::http(500, "<html>oops</html>"),
  });
  EXPECT_EQ(failureOf([&] { Enrollment::create(relay.origin(), "G", "Mac", "bad", store_); }),
            "This bootstrap token is not accepted.");
  EXPECT_NE(failureOf<DecodingError>(
                [&] { Enrollment::create(relay.origin(), "G", "Mac", "b", store_); }),
            "(no failure)");
  std::string invite = Invite{relay.origin(), "used", key32}.text();
  EXPECT_EQ(failureOf([&] { Enrollment::join(invite, "Mac", store_); }),
            "This invite code was already used.");
  EXPECT_EQ(failureOf([&] { Enrollment::join(invite, "Mac", store_); }), "Relay returned HTTP 500");
  EXPECT_EQ(stored(), std::nullopt);
}

TEST_F(EnrollmentTest, AnEnrolledMacNeitherCreatesNorJoins) {
  enrol();
  ScriptedHttpServer relay({});
  EXPECT_EQ(failureOf([&] { Enrollment::create(relay.origin(), "G", "Mac", "b", store_); }),
            "This Mac is already enrolled.");
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{relay.origin(), "c", key32}.text(), "Mac", store_);
            }),
            "This Mac is already enrolled.");
  // Even a broken invite hears about the enrolment first.
  EXPECT_EQ(failureOf([&] { Enrollment::join("garbage", "Mac", store_); }),
            "This Mac is already enrolled.");
  EXPECT_TRUE(relay.requests().empty());
  EXPECT_EQ(stored(), existing_);
}

TEST_F(EnrollmentTest, OriginsAreCheckedBeforeAnythingIsSent) {
  const std::string originMessage =
      "Server must be an HTTPS origin. HTTP is allowed only for localhost testing.";
  EXPECT_EQ(
      failureOf([&] { Enrollment::create("http://relay.example.com", "G", "M", "b", store_); }),
      originMessage);
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{"http://relay.example.com", "c", key32}.text(), "M", store_);
            }),
            originMessage);
  EXPECT_EQ(failureOf([&] {
              Enrollment::join(Invite{"", "c", key32}.text(), "M", store_);
            }),
            originMessage);
  // The key is judged before the origin.
  EXPECT_EQ(
      failureOf([&] {
        Enrollment::join(Invite{"http://relay.example.com", "c", "short"}.text(), "M", store_);
      }),
      "Invalid group encryption key");
  EXPECT_EQ(stored(), std::nullopt);
}

TEST_F(EnrollmentTest, InviteThenJoinGivesTheIssuersServerAndKey) {
  ScriptedHttpServer relay({
      ScriptedAnswer::json(200, R"({"code":{"id":7,"secret":"s"},"expires_in_seconds":900})"),
      ScriptedAnswer::json(200,
                           R"({"device_id":"d-2","token":"t-2","group_id":"g","group_name":"G"})"),
  });
  Credentials issuer{relay.origin(), "d-1", "t-1", "g", "G", "Studio", key32};
  std::string invite = Enrollment::invite(issuer);

  TempDir otherHome;
  FileSecretStore otherStore(otherHome / "vek-keychain");
  std::string file =
      JSON::object({{"invite", invite}, {"expires_in_seconds", 900}}).pretty() + "\n";
  Credentials joined = Enrollment::join(file, "Laptop", otherStore);

  EXPECT_EQ(joined.server, issuer.server);
  EXPECT_EQ(joined.encryptionKey, issuer.encryptionKey);
  EXPECT_EQ(joined.deviceID, "d-2");
  EXPECT_EQ(joined.deviceName, "Laptop");
  EXPECT_EQ(CredentialStore::load(otherStore), joined);

  auto requests = relay.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/v1/invites");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer d-1.t-1");
  EXPECT_EQ(JSON::decode(requests[0].body), JSON::object());
  EXPECT_EQ(requests[1].target, "/v1/join");
  EXPECT_EQ(requests[1].header("Authorization"), std::nullopt);
  EXPECT_EQ(requests[1].header("X-VEK-Bootstrap"), std::nullopt);
  EXPECT_EQ(JSON::decode(requests[1].body),
            JSON::object(
                {{"code", JSON::object({{"id", 7}, {"secret", "s"}})}, {"device_name", "Laptop"}}));
}

TEST_F(EnrollmentTest, AnInviteWithoutCodeCarriesNull) {
  ScriptedHttpServer relay({ScriptedAnswer::json(200, "[]"), ScriptedAnswer::json(200, "{}")});
  Credentials issuer{relay.origin(), "d-1", "t-1", "g", "G", "Studio", key32};
  Invite invite = Invite::decode(Enrollment::invite(issuer));
  EXPECT_TRUE(invite.code.isNull());
  Enrollment::join(invite.text(), "Laptop", store_);
  EXPECT_EQ(JSON::decode(relay.requests()[1].body)["code"], JSON());
  EXPECT_TRUE(JSON::decode(relay.requests()[1].body).fields().contains("code"));
}

}  // namespace
}  // namespace vek
