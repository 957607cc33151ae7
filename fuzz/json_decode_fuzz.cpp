// Feeds arbitrary bytes to JSON::decode. Anything that decodes must render, its compact rendering
// must decode back to an equal value, and it never holds a raw NUL byte (never valid JSON).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/errors.h"
#include "foundation/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vek::JSON value;
  try {
    value = vek::JSON::decode(input);
  } catch (const vek::DecodingError&) {
    return 0;
  }
  if (input.find('\0') != std::string_view::npos) std::abort();
  (void)value.pretty();
  if (!(vek::JSON::decode(value.data()) == value)) std::abort();
  return 0;
}
