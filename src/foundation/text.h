// Small text helpers shared by every layer: UTF-8 repair, trimming, and cutting text to a number
// of user-perceived characters (grapheme clusters), which is how failure texts are bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vek::text {

/// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

/// `bytes` as UTF-8 text, every ill-formed sequence replaced by U+FFFD (one replacement per
/// maximal ill-formed subpart, as the Unicode standard recommends). Valid input is returned as is,
/// without a copy.
std::string decodeUTF8Lossy(std::string bytes);

/// `value` as UTF-8 (see decodeUTF8Lossy) with every control character, C0 (tabs and line breaks
/// included), DEL and C1, replaced by a space: text from elsewhere made safe to show on a
/// terminal or to put on one line.
std::string withoutControls(std::string_view value);

/// `value` without white space and line breaks at either end (ASCII and Unicode spaces).
std::string trim(std::string_view value);

/// The first `count` grapheme clusters of `value` (all of it when it has fewer).
std::string prefixCharacters(std::string_view value, std::size_t count);

/// The last `count` grapheme clusters of `value` (all of it when it has fewer).
std::string suffixCharacters(std::string_view value, std::size_t count);

/// Lower-case hexadecimal digits of `bytes`, two per byte.
std::string hex(std::string_view bytes);

/// A length of time as people write it: whole hours ("1 hour", "2 hours") or minutes
/// ("10 minutes") when it is a whole number of them, else seconds ("90 seconds", "0.5 seconds").
std::string duration(double seconds);

/// The value of `digits` when it is one or more ASCII decimal digits and nothing else (no sign,
/// no space) that fits 64 bits; absent otherwise. For numbers in headers from the other side.
std::optional<std::uint64_t> parseDecimal(std::string_view digits) noexcept;

}  // namespace vek::text
