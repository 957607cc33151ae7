// The group's symmetric key as the artifact code holds it: 32 bytes decoded once from the
// credentials' Base64 and wiped from memory when the value goes away. Internal to the library.
#pragma once

#include <string_view>

namespace vek::artifacts {

/// 32 key bytes, wiped from memory when the value goes away.
class GroupKey {
 public:
  /// Decodes strict standard Base64; anything that is not exactly 32 bytes fails with
  /// "Invalid group encryption key".
  static GroupKey decode(std::string_view base64);
  GroupKey(GroupKey&& other) noexcept;
  GroupKey(const GroupKey&) = delete;
  GroupKey& operator=(const GroupKey&) = delete;
  ~GroupKey();
  const unsigned char* bytes() const noexcept { return bytes_; }

 private:
  GroupKey() = default;
  unsigned char bytes_[32] = {};
};

}  // namespace vek::artifacts
