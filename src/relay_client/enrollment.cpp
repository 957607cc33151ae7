#include "relay_client/enrollment.h"

#include "artifacts/artifact_crypto.h"
#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "relay_client/api.h"

namespace vek {

namespace {

constexpr std::string_view invitePrefix = "vek1.";
constexpr std::size_t keyBytes = 32;

constexpr std::string_view enrolledMessage = "This Mac is already enrolled.";

// What an enrolment may replace: nothing on a Mac that never enrolled, or credentials the relay
// has revoked, which can never be used again. Credentials the relay still accepts, or about which
// it cannot be asked, stay; the enrolment is refused.
std::optional<Credentials> replaceableEnrolment(SecretStore& store) {
  std::optional<Credentials> stored = CredentialStore::load(store);
  if (stored && !Enrollment::revoked(*stored)) throw VEKError(std::string(enrolledMessage));
  return stored;
}

// The first look (replaceableEnrolment) comes before the relay is asked; another enrolment may have
// saved its credentials since. Adding exclusively, or replacing only the revoked credentials seen
// then, keeps that one and refuses this one, instead of overwriting a group key that exists
// nowhere else.
void saveAsTheOnlyEnrolment(const Credentials& credentials,
                            const std::optional<Credentials>& revoked, SecretStore& store) {
  const bool saved = revoked ? CredentialStore::replace(*revoked, credentials, store)
                             : CredentialStore::saveNew(credentials, store);
  if (!saved) throw VEKError(std::string(enrolledMessage));
}

}  // namespace

std::string Invite::text() const {
  JSON payload = JSON::object({{"server", server}, {"code", code}, {"key", key}});
  return std::string(invitePrefix) + base64::encode(payload.data());
}

Invite Invite::decode(std::string_view given) {
  std::string text = text::trim(given);
  if (text.starts_with("{")) {
    // The wrapper form; when it is not one, the text is judged as an invite as it stands.
    try {
      if (auto wrapped = JSON::decode(text)["invite"].string()) text = std::move(*wrapped);
    } catch (const DecodingError&) {
    }
  }
  if (!text.starts_with(invitePrefix)) throw VEKError("Invalid VEK invite");
  auto bytes = base64::decode(std::string_view(text).substr(invitePrefix.size()));
  if (!bytes) throw VEKError("Invalid VEK invite");

  JSON payload = JSON::decode(*bytes, "The invite is not valid JSON");
  std::string key = payload["key"].text();
  auto keyData = base64::decode(key);
  if (!keyData || keyData->size() != keyBytes) throw VEKError("Invalid group encryption key");
  return Invite{payload["server"].text(), payload["code"], std::move(key)};
}

namespace Enrollment {

Credentials create(std::string_view server, std::string_view group, std::string_view device,
                   std::string_view bootstrap, SecretStore& store) {
  const std::optional<Credentials> revoked = replaceableEnrolment(store);
  API api(server, std::nullopt);
  JSON answer =
      api.call("POST", "/v1/groups", JSON::object({{"name", group}, {"device_name", device}}),
               std::nullopt, std::string(bootstrap));
  Credentials credentials = Credentials::fromRelayAnswer(
      std::string(server), answer, std::string(device), ArtifactCrypto::newKey());
  saveAsTheOnlyEnrolment(credentials, revoked, store);
  return credentials;
}

Credentials create(std::string_view server, std::string_view group, std::string_view device,
                   std::string_view bootstrap) {
  FileSecretStore store = FileSecretStore::forCurrentUser();
  return create(server, group, device, bootstrap, store);
}

bool revoked(const Credentials& credentials) {
  try {
    API(credentials).call("GET", "/v1/group");
    return false;
  } catch (const CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    return API::namesRevokedCredential(error.what());
  }
}

std::string invite(const Credentials& credentials) {
  API api(credentials);
  JSON answer = api.call("POST", "/v1/invites", JSON::object());
  return Invite{credentials.server, answer["code"], credentials.encryptionKey}.text();
}

Credentials join(std::string_view text, std::string_view device, SecretStore& store) {
  const std::optional<Credentials> revoked = replaceableEnrolment(store);
  Invite invite = Invite::decode(text);
  API api(invite.server, std::nullopt);
  JSON answer =
      api.call("POST", "/v1/join", JSON::object({{"code", invite.code}, {"device_name", device}}));
  Credentials credentials =
      Credentials::fromRelayAnswer(invite.server, answer, std::string(device), invite.key);
  saveAsTheOnlyEnrolment(credentials, revoked, store);
  return credentials;
}

Credentials join(std::string_view text, std::string_view device) {
  FileSecretStore store = FileSecretStore::forCurrentUser();
  return join(text, device, store);
}

}  // namespace Enrollment

}  // namespace vek
