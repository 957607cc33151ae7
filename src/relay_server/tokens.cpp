#include "relay_server/tokens.h"

#include <openssl/crypto.h>

#include <stdexcept>

#include "foundation/base64.h"
#include "foundation/random.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "relay_server/requests.h"

namespace vek::relay_server {

std::string newSecret() {
  return base64::encodeURLSafe(randomBytes(32));
}

std::string secretDigest(std::string_view secret) {
  return Sha256::digestOf(secret);
}

bool digestsEqual(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string sha256Hex(std::string_view bytes) {
  return Sha256::hexOf(bytes);
}

std::optional<PresentedCredentials> parseBearer(std::string_view header) {
  constexpr std::string_view scheme = "bearer ";
  if (header.size() <= scheme.size() || lowerASCII(header.substr(0, scheme.size())) != scheme) {
    return std::nullopt;
  }
  std::string_view credential = header.substr(scheme.size());
  std::size_t dot = credential.find('.');
  if (dot == std::string_view::npos || dot + 1 == credential.size()) return std::nullopt;
  std::string_view device = credential.substr(0, dot);
  if (!isCanonicalUUID(device)) return std::nullopt;
  return PresentedCredentials{lowerASCII(device), secretDigest(credential.substr(dot + 1))};
}

}  // namespace vek::relay_server
