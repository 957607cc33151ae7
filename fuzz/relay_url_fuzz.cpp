// Origins and request paths are text from invites, the command line and relay answers. An accepted
// origin is https, or http on a loopback host; a resolved path never leaves the origin and never
// holds a character that would break the request line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/errors.h"
#include "relay_client/relay_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto origin = vek::RelayOrigin::parse(input)) {
    bool loopback =
        origin->host == "localhost" || origin->host == "127.0.0.1" || origin->host == "::1";
    if (origin->scheme != "https" && !(origin->scheme == "http" && loopback)) std::abort();
    auto again = vek::RelayOrigin::parse(origin->scheme + "://" + origin->authority());
    if (!again || again->host != origin->host || again->port != origin->port) std::abort();
  }

  static const vek::RelayOrigin relay = *vek::RelayOrigin::parse("https://relay.example.com:8443");
  std::string url;
  try {
    url = relay.resolve(input);
  } catch (const vek::VEKError&) {
    return 0;
  }
  const std::string prefix = "https://relay.example.com:8443/";
  if (url.compare(0, prefix.size(), prefix) != 0) std::abort();
  for (unsigned char c : url) {
    if (c <= ' ' || c >= 0x7f || c == '#') std::abort();
  }
  return 0;
}
