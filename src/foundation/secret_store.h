// The per-user secret store: where a Mac would use its login Keychain, this system keeps small
// secret items as one file each in a private folder of the user's data directory
// (${XDG_DATA_HOME:-$HOME/.local/share}/vek-keychain, mode 0700), outside the state directory so
// that moving or wiping state never touches the credentials. Writing takes a folder that has
// wider permissions back to owner-only first, and refuses one that belongs to another user.
//
// An item is identified by service + account, like a Keychain generic password. Each file holds a
// small JSON record: the identity, the secret data (Base64), the accessibility class and the
// access list chosen when the item was added (kept so they can be inspected, and never changed by
// an update). Files are replaced atomically (temporary file, fsync, rename) so concurrent readers
// (the command line, the agent, the desktop app) see either the old or the new item. Adding
// publishes with link(2), which fails if the item appeared meanwhile, so two writers never both
// "add" the same item.
//
// Operations answer with Keychain result codes rather than throwing, because callers quote the
// code in their messages:
//        0  success
//   -25300  errSecItemNotFound      no such item
//   -25299  errSecDuplicateItem     add found the item already there
//      -61  errSecWrPerm            permission denied on the folder or the item file
//      -36  errSecIO                any other input/output failure
//   -26275  errSecDecode            the item file is not a valid item record
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vek {

namespace keychain {
constexpr int success = 0;
constexpr int itemNotFound = -25300;
constexpr int duplicateItem = -25299;
constexpr int writePermission = -61;
constexpr int ioError = -36;
constexpr int decodeError = -26275;
}  // namespace keychain

/// An access list: a name and the paths of the applications trusted to read the item.
struct AccessList {
  std::string name;
  std::vector<std::string> trustedApplications;
};

/// One item as stored.
struct SecretItem {
  std::string service;
  std::string account;
  std::string data;
  /// The accessibility class, e.g. "afterFirstUnlockThisDeviceOnly".
  std::string accessibility;
  std::optional<AccessList> access;
};

/// The operations a Keychain offers for one generic-password item.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  /// Reads the item's data into `data`. Returns 0, or a negative result code.
  virtual int find(const std::string& service, const std::string& account, std::string& data) = 0;
  /// Reads the whole item (with accessibility and access list). Returns 0 or a result code.
  virtual int inspect(const std::string& service, const std::string& account, SecretItem& item) = 0;
  /// Replaces the data of an existing item, keeping its other attributes.
  virtual int update(const std::string& service, const std::string& account,
                     const std::string& data) = 0;
  /// Adds a new item; -25299 if one with the same identity exists.
  virtual int add(const SecretItem& item) = 0;
};

/// The file-backed store described above, rooted at `folder`.
class FileSecretStore : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}
  /// The store of the current user: userDataDirectory()/vek-keychain. Throws SystemError when
  /// the user has no home directory.
  static FileSecretStore forCurrentUser();

  int find(const std::string& service, const std::string& account, std::string& data) override;
  int inspect(const std::string& service, const std::string& account, SecretItem& item) override;
  int update(const std::string& service, const std::string& account,
             const std::string& data) override;
  int add(const SecretItem& item) override;

  /// The file that holds the item with this identity.
  std::filesystem::path itemPath(const std::string& service, const std::string& account) const;

 private:
  std::filesystem::path folder_;
};

/// ${XDG_DATA_HOME:-$HOME/.local/share} for the current user, by the rules of the state
/// directory (Paths::dataHome): a relative XDG_DATA_HOME is ignored, HOME comes from the password
/// database when unset, and SystemError is thrown when there is no home directory at all.
std::filesystem::path userDataDirectory();

}  // namespace vek
