#include "foundation/default_relay.h"

#include "foundation/errors.h"

namespace vek {

std::string_view relayHost(std::string_view origin) {
  std::string_view host = origin;
  if (auto scheme = host.find("://"); scheme != std::string_view::npos)
    host.remove_prefix(scheme + 3);
  host = host.substr(0, host.find_first_of("/?#"));
  if (auto user = host.rfind('@'); user != std::string_view::npos) host.remove_prefix(user + 1);
  if (host.starts_with('[')) {
    auto close = host.find(']');
    return close == std::string_view::npos ? std::string_view() : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

bool isPlaceholderRelay(std::string_view origin) {
  std::string_view host = relayHost(origin);
  if (host.starts_with('[')) return false;  // an IPv6 address names no domain
  if (host.ends_with('.')) host.remove_suffix(1);
  std::string name;
  for (char c : host)
    name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return name == "example" || name.ends_with(".example");
}

std::string relayForGroupCreation(const std::optional<std::string>& given,
                                  std::string_view builtIn) {
  if (given) return *given;
  if (isPlaceholderRelay(builtIn)) throw VEKError(std::string(noDefaultRelayMessage));
  return std::string(builtIn);
}

}  // namespace vek
