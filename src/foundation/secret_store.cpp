#include "foundation/secret_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/json.h"
#include "foundation/paths.h"
#include "foundation/random.h"

namespace vek {

namespace {

int codeFor(int error) {
  switch (error) {
    case ENOENT:
      return keychain::itemNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return keychain::writePermission;
    default:
      return keychain::ioError;
  }
}

// File names keep letters, digits, '.', '-' and '_' and percent-encode everything else, so any
// service or account maps to exactly one file and never escapes the folder.
std::string escape(const std::string& component) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : component) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  if (out == "." || out == "..") out = "%2E" + out.substr(1);
  return out;
}

JSON encodeItem(const SecretItem& item) {
  JSON record = JSON::object({{"class", "genp"},
                              {"service", item.service},
                              {"account", item.account},
                              {"accessibility", item.accessibility},
                              {"data", base64::encode(item.data)}});
  if (item.access) {
    record.set("access",
               JSON::object({{"name", item.access->name},
                             {"trusted", JSON::strings(item.access->trustedApplications)}}));
  } else {
    record.set("access", JSON());
  }
  return record;
}

// Reads and checks an item file. Returns a result code; fills `item` on success.
int readItem(const std::filesystem::path& path, const std::string& service,
             const std::string& account, SecretItem& item) {
  std::string content;
  try {
    content = readFile(path);
  } catch (const SystemError& error) {
    return codeFor(error.code());
  }
  try {
    JSON record = JSON::decode(content);
    auto data = base64::decode(record["data"].text());
    if (!record["data"].isString() || !data || record["service"].text() != service ||
        record["account"].text() != account) {
      return keychain::decodeError;
    }
    item.service = service;
    item.account = account;
    item.data = std::move(*data);
    item.accessibility = record["accessibility"].text();
    item.access.reset();
    if (record["access"].isObject()) {
      AccessList access{record["access"]["name"].text(), {}};
      for (const auto& entry : record["access"]["trusted"].items()) {
        access.trustedApplications.push_back(entry.text());
      }
      item.access = std::move(access);
    }
    return keychain::success;
  } catch (const DecodingError&) {
    return keychain::decodeError;
  }
}

// Writes `record` to a fresh temporary file in `folder`, removed when its owner goes away.
TemporaryFile writeTemporary(const std::filesystem::path& folder, const JSON& record) {
  TemporaryFile temporary(folder / (".item-" + randomUUID() + ".tmp"));
  UniqueFd fd = openFile(temporary.path(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  writeFully(fd.get(), record.data(), temporary.path());
  syncFile(fd.get(), temporary.path());
  return temporary;
}

// Checks the existing folder before an item is written into it: it must be a directory of this
// user, and whatever group or others may do there (list the items, or replace one with a file of
// their own) is taken away.
int privateFolder(const std::filesystem::path& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return keychain::ioError;
  if (info.st_uid != ::geteuid()) return keychain::writePermission;
  if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), info.st_mode & 0700) != 0) {
    return codeFor(errno);
  }
  return keychain::success;
}

int ensureFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder.parent_path(), error);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return codeFor(errno);
  return privateFolder(folder);
}

}  // namespace

std::filesystem::path userDataDirectory() {
  return Paths::dataHome();
}

FileSecretStore FileSecretStore::forCurrentUser() {
  return FileSecretStore(userDataDirectory() / "vek-keychain");
}

std::filesystem::path FileSecretStore::itemPath(const std::string& service,
                                                const std::string& account) const {
  return folder_ / (escape(service) + "@" + escape(account) + ".item");
}

int FileSecretStore::find(const std::string& service, const std::string& account,
                          std::string& data) {
  SecretItem item;
  int code = inspect(service, account, item);
  if (code == keychain::success) data = std::move(item.data);
  return code;
}

int FileSecretStore::inspect(const std::string& service, const std::string& account,
                             SecretItem& item) {
  return readItem(itemPath(service, account), service, account, item);
}

int FileSecretStore::update(const std::string& service, const std::string& account,
                            const std::string& data) {
  auto path = itemPath(service, account);
  SecretItem item;
  if (int code = readItem(path, service, account, item); code != keychain::success) return code;
  if (int code = privateFolder(folder_); code != keychain::success) return code;
  item.data = data;
  try {
    TemporaryFile temporary = writeTemporary(folder_, encodeItem(item));
    if (::rename(temporary.path().c_str(), path.c_str()) != 0) return codeFor(errno);
    temporary.keep();
  } catch (const SystemError& error) {
    return codeFor(error.code());
  }
  return keychain::success;
}

int FileSecretStore::add(const SecretItem& item) {
  if (int code = ensureFolder(folder_); code != keychain::success) return code;
  auto path = itemPath(item.service, item.account);
  try {
    // link(2) publishes the finished item only where none exists, so of two racing adds exactly
    // one wins; the temporary name goes either way.
    TemporaryFile temporary = writeTemporary(folder_, encodeItem(item));
    if (::link(temporary.path().c_str(), path.c_str()) != 0) {
      return errno == EEXIST ? keychain::duplicateItem : codeFor(errno);
    }
  } catch (const SystemError& error) {
    return codeFor(error.code());
  }
  return keychain::success;
}

}  // namespace vek
