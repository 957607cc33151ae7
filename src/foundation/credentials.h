// This Mac's enrolled identity and the secret-store item that keeps it.
//
// One item per user (service "com.ostrelsoftware.vek.credentials", account "active-group")
// holds the record as compact JSON. Enrolment saves it; every command and the agent load it at
// start. Nothing in the system deletes it.
#pragma once

#include <optional>
#include <string>

#include "foundation/json.h"
#include "foundation/secret_store.h"

namespace vek {

struct Credentials {
  std::string server;
  std::string deviceID;
  std::string token;
  std::string groupID;
  std::string groupName;
  std::string deviceName;
  std::string encryptionKey;

  /// "Bearer " + deviceID + "." + token: the relay's authorization header value.
  std::string authorization() const { return "Bearer " + deviceID + "." + token; }

  /// Builds the record from a relay answer to group creation or joining: the texts of
  /// "device_id", "token", "group_id" and "group_name" (empty when missing or not strings) with
  /// the given server, device name and key. Never fails.
  static Credentials fromRelayAnswer(const std::string& server, const JSON& response,
                                     const std::string& name, const std::string& key);

  /// Compact JSON with the keys server, deviceID, token, groupID, groupName, deviceName,
  /// encryptionKey.
  std::string encode() const;
  /// The record from its JSON; all seven keys are required and must be strings. Throws
  /// DecodingError naming what is wrong.
  static Credentials decode(std::string_view data);

  friend bool operator==(const Credentials&, const Credentials&) = default;
};

/// The secret-store item of the credentials.
namespace CredentialStore {

inline constexpr const char* service = "com.ostrelsoftware.vek.credentials";
inline constexpr const char* account = "active-group";
inline constexpr const char* accessListName = "VEK private group";
inline constexpr const char* accessibility = "afterFirstUnlockThisDeviceOnly";

/// The stored record; absent when there is no item. Throws VEKError "Cannot read VEK credentials
/// from Keychain (<code>). Unlock your login keychain." for any other result, or DecodingError
/// when the stored data is not a valid record (the item is left as it is).
std::optional<Credentials> load(SecretStore& store);
std::optional<Credentials> load();

/// The stored record; throws VEKError "This Mac is not enrolled. Use group create or group join
/// first." when absent, and the errors of load.
Credentials require(SecretStore& store);
Credentials require();

/// Updates the item's data in place, or adds the item (with this-device-only accessibility and,
/// when the program runs from inside an app bundle, an access list trusting the bundle and its
/// command-line tool). Throws VEKError "Cannot update VEK credentials (<code>)." or
/// "Cannot save VEK credentials in Keychain (<code>).". A failed save leaves any earlier item as
/// it was.
void save(const Credentials& credentials, SecretStore& store);
void save(const Credentials& credentials);

/// Adds the item, with the attributes `save` gives a new one, only where none exists: of several
/// processes saving at once, exactly one adds it. Returns false, writing nothing, when an item
/// exists (also one that another process added after the caller looked). Throws VEKError
/// "Cannot save VEK credentials in Keychain (<code>)." for any other failure.
bool saveNew(const Credentials& credentials, SecretStore& store);

/// Replaces the stored record with `replacement` only while it is still `expected`: of several
/// processes replacing the same record at once, exactly one does (they take turns on a lock file
/// in the state directory). Returns false, writing nothing, when the item holds anything else or
/// nothing. Throws the errors of load and save, and SystemError for the lock file.
bool replace(const Credentials& expected, const Credentials& replacement, SecretStore& store);

/// The access list for a program started as `programPath`: when its resolved parent directory is
/// "Contents/MacOS" of a bundle, the list trusts "<dir>/vek" and the bundle directory; otherwise
/// absent.
std::optional<AccessList> accessListFor(const std::string& programPath);

}  // namespace CredentialStore

}  // namespace vek
