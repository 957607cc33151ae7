// The Content-Range header of a relay's answer to a download that asked for the rest of a build:
// "bytes FIRST-LAST/SIZE" on a part (206), "bytes */SIZE" when the range asked for lies beyond the
// build (416). The value comes from the relay, which may lie, so it is parsed strictly and its
// numbers are checked against one another.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vek {

/// A part of a build: bytes `first` to `last` (inclusive) of `size`.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t size = 0;
};

/// The part "bytes FIRST-LAST/SIZE" names; absent unless FIRST <= LAST < SIZE.
std::optional<ContentRange> parseContentRange(std::string_view value);

/// The build's size of "bytes */SIZE"; absent for any other value.
std::optional<std::uint64_t> parseUnsatisfiedRange(std::string_view value);

}  // namespace vek
