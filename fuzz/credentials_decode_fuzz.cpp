// Feeds arbitrary bytes to Credentials::decode, as if another program had written the secret-store
// item. A record that decodes must encode and decode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/credentials.h"
#include "foundation/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vek::Credentials credentials;
  try {
    credentials = vek::Credentials::decode(input);
  } catch (const vek::DecodingError&) {
    return 0;
  }
  if (!(vek::Credentials::decode(credentials.encode()) == credentials)) std::abort();
  (void)credentials.authorization();
  return 0;
}
