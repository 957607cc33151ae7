#include "relay_server/topic.h"

namespace vek::relay_server {

namespace {

constexpr std::string_view kDevicePrefix = "device:";
constexpr std::string_view kJobPrefix = "job:";
constexpr std::size_t kMaxIdLength = 64;

bool isId(std::string_view id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) return false;
  }
  return true;
}

}  // namespace

std::string Topic::text() const {
  return std::string(kind == Kind::device ? kDevicePrefix : kJobPrefix) + id;
}

std::optional<Topic> Topic::parse(std::string_view text) {
  Kind kind;
  if (text.starts_with(kDevicePrefix)) {
    kind = Kind::device;
    text.remove_prefix(kDevicePrefix.size());
  } else if (text.starts_with(kJobPrefix)) {
    kind = Kind::job;
    text.remove_prefix(kJobPrefix.size());
  } else {
    return std::nullopt;
  }
  if (!isId(text)) return std::nullopt;
  return Topic{kind, std::string(text)};
}

}  // namespace vek::relay_server
