#include "artifacts/group_key.h"

#include <openssl/crypto.h>

#include <cstring>
#include <optional>
#include <string>

#include "foundation/base64.h"
#include "foundation/errors.h"

namespace vek::artifacts {

GroupKey GroupKey::decode(std::string_view base64) {
  std::optional<std::string> bytes = base64::decode(base64);
  GroupKey key;
  bool valid = bytes && bytes->size() == sizeof key.bytes_;
  if (valid) std::memcpy(key.bytes_, bytes->data(), sizeof key.bytes_);
  if (bytes) OPENSSL_cleanse(bytes->data(), bytes->size());
  if (!valid) throw VEKError("Invalid group encryption key");
  return key;
}

GroupKey::GroupKey(GroupKey&& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof bytes_);
  OPENSSL_cleanse(other.bytes_, sizeof other.bytes_);
}

GroupKey::~GroupKey() {
  OPENSSL_cleanse(bytes_, sizeof bytes_);
}

}  // namespace vek::artifacts
