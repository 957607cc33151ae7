// The Content-Range of a relay's answer to a resumed download. An accepted part lies inside the
// build it names, and printing it back gives the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "relay_client/content_range.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto part = vek::parseContentRange(input)) {
    if (part->first > part->last || part->last >= part->size) std::abort();
    std::string again = "bytes " + std::to_string(part->first) + "-" + std::to_string(part->last) +
                        "/" + std::to_string(part->size);
    if (vek::parseContentRange(again).value().first != part->first) std::abort();
  }
  if (auto whole = vek::parseUnsatisfiedRange(input)) {
    if (input != "bytes */" + std::to_string(*whole) && !input.starts_with("bytes */0")) {
      std::abort();
    }
  }
  return 0;
}
