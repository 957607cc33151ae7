#include "foundation/credentials.h"

#include <filesystem>

#include "foundation/errors.h"
#include "foundation/file_lock.h"
#include "foundation/paths.h"
#include "foundation/program.h"

namespace vek {

namespace {

// The seven members in their coding order.
constexpr std::pair<const char*, std::string Credentials::*> kMembers[] = {
    {"server", &Credentials::server},
    {"deviceID", &Credentials::deviceID},
    {"token", &Credentials::token},
    {"groupID", &Credentials::groupID},
    {"groupName", &Credentials::groupName},
    {"deviceName", &Credentials::deviceName},
    {"encryptionKey", &Credentials::encryptionKey},
};

}  // namespace

Credentials Credentials::fromRelayAnswer(const std::string& server, const JSON& response,
                                         const std::string& name, const std::string& key) {
  return Credentials{server,
                     response["device_id"].text(),
                     response["token"].text(),
                     response["group_id"].text(),
                     response["group_name"].text(),
                     name,
                     key};
}

std::string Credentials::encode() const {
  JSON record = JSON::object();
  for (const auto& [key, member] : kMembers)
    record.set(key, this->*member);
  return record.data();
}

Credentials Credentials::decode(std::string_view data) {
  JSON record = JSON::decode(data, "The stored VEK credentials are not valid JSON");
  if (!record.isObject()) throw DecodingError("The stored VEK credentials are not a JSON object");
  Credentials credentials;
  for (const auto& [key, member] : kMembers) {
    const JSON& value = record[key];
    if (value.isNull()) {
      throw DecodingError(std::string("The stored VEK credentials lack \"") + key + "\"");
    }
    if (!value.isString()) {
      throw DecodingError(std::string("The stored VEK credentials have a \"") + key +
                          "\" that is not a string");
    }
    credentials.*member = value.text();
  }
  return credentials;
}

namespace CredentialStore {

std::optional<Credentials> load(SecretStore& store) {
  std::string data;
  int code = store.find(service, account, data);
  if (code == keychain::itemNotFound) return std::nullopt;
  if (code != keychain::success) {
    throw VEKError("Cannot read VEK credentials from Keychain (" + std::to_string(code) +
                   "). Unlock your login keychain.");
  }
  return Credentials::decode(data);
}

std::optional<Credentials> load() {
  auto store = FileSecretStore::forCurrentUser();
  return load(store);
}

Credentials require(SecretStore& store) {
  auto credentials = load(store);
  if (!credentials)
    throw VEKError("This Mac is not enrolled. Use group create or group join first.");
  return *credentials;
}

Credentials require() {
  auto store = FileSecretStore::forCurrentUser();
  return require(store);
}

std::optional<AccessList> accessListFor(const std::string& programPath) {
  if (programPath.empty()) return std::nullopt;
  std::error_code error;
  auto absolute = std::filesystem::absolute(programPath, error);
  if (error) return std::nullopt;
  auto resolved = std::filesystem::weakly_canonical(absolute, error);
  if (error) return std::nullopt;
  auto dir = resolved.parent_path();
  if (dir.filename() != "MacOS" || dir.parent_path().filename() != "Contents") return std::nullopt;
  return AccessList{accessListName,
                    {(dir / "vek").string(), dir.parent_path().parent_path().string()}};
}

void save(const Credentials& credentials, SecretStore& store) {
  std::string data = credentials.encode();
  int code = store.update(service, account, data);
  if (code == keychain::success) return;
  if (code != keychain::itemNotFound) {
    throw VEKError("Cannot update VEK credentials (" + std::to_string(code) + ").");
  }
  if (!saveNew(credentials, store)) {
    throw VEKError("Cannot save VEK credentials in Keychain (" +
                   std::to_string(keychain::duplicateItem) + ").");
  }
}

bool saveNew(const Credentials& credentials, SecretStore& store) {
  SecretItem item{service, account, credentials.encode(), accessibility,
                  accessListFor(programPath())};
  int code = store.add(item);
  if (code == keychain::duplicateItem) return false;
  if (code != keychain::success) {
    throw VEKError("Cannot save VEK credentials in Keychain (" + std::to_string(code) + ").");
  }
  return true;
}

bool replace(const Credentials& expected, const Credentials& replacement, SecretStore& store) {
  ExclusiveFileLock turn(Paths::directory("") / "credentials.lock");
  const std::optional<Credentials> stored = load(store);
  if (stored != expected) return false;
  save(replacement, store);
  return true;
}

void save(const Credentials& credentials) {
  auto store = FileSecretStore::forCurrentUser();
  save(credentials, store);
}

}  // namespace CredentialStore

}  // namespace vek
