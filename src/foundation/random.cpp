#include "foundation/random.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>

#include "foundation/errors.h"
#include "foundation/text.h"

namespace vek {

std::string randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw SystemError("Cannot read the system's random source", errno);
    }
    filled += static_cast<std::size_t>(got);
  }
  return bytes;
}

std::string randomUUID() {
  std::string bytes = randomBytes(16);
  bytes[6] = static_cast<char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string digits = text::hex(bytes);
  return digits.substr(0, 8) + '-' + digits.substr(8, 4) + '-' + digits.substr(12, 4) + '-' +
         digits.substr(16, 4) + '-' + digits.substr(20);
}

std::string randomUpperUUID() {
  std::string uuid = randomUUID();
  for (char& c : uuid)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return uuid;
}

bool isCanonicalUUID(std::string_view text) noexcept {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace vek
