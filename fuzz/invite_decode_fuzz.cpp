// Invites arrive from other people, pasted or in files. Whatever the text, decoding either fails
// with one of its errors or yields an invite whose key is 32 bytes and whose text decodes back to
// the same invite; the invite's server then goes through the origin check, which must hold up too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/base64.h"
#include "foundation/errors.h"
#include "relay_client/enrollment.h"
#include "relay_client/relay_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vek::Invite invite;
  try {
    invite = vek::Invite::decode(input);
  } catch (const vek::VEKError&) {
    return 0;
  } catch (const vek::DecodingError&) {
    return 0;
  }
  auto key = vek::base64::decode(invite.key);
  if (!key || key->size() != 32) std::abort();
  vek::Invite again = vek::Invite::decode(invite.text());
  if (again.server != invite.server || again.key != invite.key || !(again.code == invite.code))
    std::abort();
  if (auto origin = vek::RelayOrigin::parse(invite.server)) {
    try {
      origin->resolve("/v1/join");
    } catch (const vek::VEKError&) {
      std::abort();  // every acceptable origin takes the join path
    }
  }
  return 0;
}
