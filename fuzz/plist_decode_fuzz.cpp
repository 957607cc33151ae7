// Feeds arbitrary bytes to the property-list reader (XML or binary, by their first bytes):
// Info.plist files, decoded profiles and signed entitlements all arrive from outside. Whatever
// decodes must also be writable or refused with DecodingError, must read back from its own XML, and
// must go through the profile checks without anything but their own refusals.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/errors.h"
#include "foundation/plist.h"
#include "pipeline/app_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vek::Plist value;
  try {
    value = vek::Plist::decode(input);
  } catch (const vek::DecodingError&) {
    return 0;
  }

  try {
    const vek::Plist again = vek::Plist::decode(value.xml());
    if (again.kind() != value.kind()) std::abort();
  } catch (const vek::DecodingError&) {
  }

  const auto now = std::chrono::system_clock::time_point(std::chrono::hours(24 * 365 * 56));
  for (const char* mode : {"debug", "adhoc"}) {
    try {
      vek::BuildPipeline::validateProfile(value, value["Entitlements"], "U1", mode,
                                          value["CFBundleIdentifier"].text(), now);
    } catch (const vek::VEKError&) {
    }
  }
  return 0;
}
