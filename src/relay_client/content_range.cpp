#include "relay_client/content_range.h"

#include "foundation/text.h"

namespace vek {

namespace {

constexpr std::string_view kUnit = "bytes ";

}  // namespace

std::optional<ContentRange> parseContentRange(std::string_view value) {
  if (!value.starts_with(kUnit)) return std::nullopt;
  value.remove_prefix(kUnit.size());
  std::size_t dash = value.find('-');
  std::size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return std::nullopt;
  }
  auto first = text::parseDecimal(value.substr(0, dash));
  auto last = text::parseDecimal(value.substr(dash + 1, slash - dash - 1));
  auto size = text::parseDecimal(value.substr(slash + 1));
  if (!first || !last || !size || *first > *last || *last >= *size) return std::nullopt;
  return ContentRange{*first, *last, *size};
}

std::optional<std::uint64_t> parseUnsatisfiedRange(std::string_view value) {
  constexpr std::string_view prefix = "bytes */";
  if (!value.starts_with(prefix)) return std::nullopt;
  return text::parseDecimal(value.substr(prefix.size()));
}

}  // namespace vek
