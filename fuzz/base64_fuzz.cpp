// Strict Base64: a text that decodes is the one canonical encoding of its bytes, so encoding the
// result gives the text back; and every byte string survives encode then decode. Both alphabets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto bytes = vek::base64::decode(input); bytes && vek::base64::encode(*bytes) != input) {
    std::abort();
  }
  if (auto bytes = vek::base64::decodeURLSafe(input);
      bytes && vek::base64::encodeURLSafe(*bytes) != input) {
    std::abort();
  }
  if (vek::base64::decode(vek::base64::encode(input)) != input) std::abort();
  if (vek::base64::decodeURLSafe(vek::base64::encodeURLSafe(input)) != input) std::abort();
  return 0;
}
