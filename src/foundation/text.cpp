#include "foundation/text.h"

#include <utf8proc.h>

#include <charconv>
#include <cmath>
#include <vector>

namespace vek::text {

namespace {

// Length of the well-formed sequence starting at `i`, or the length of the maximal ill-formed
// subpart (at least 1) negated.
long sequenceAt(std::string_view s, std::size_t i) noexcept {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= s.size()) return -static_cast<long>(k);
    unsigned char c = byte(i + k);
    bool ok = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
    if (!ok) return -static_cast<long>(k);
  }
  return static_cast<long>(length);
}

bool isSpace(utf8proc_int32_t codepoint) {
  switch (codepoint) {
    case '\t':
    case '\n':
    case 0x0B:
    case '\f':
    case '\r':
    case 0x85:
      return true;
    default: {
      auto category = utf8proc_category(codepoint);
      return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
             category == UTF8PROC_CATEGORY_ZP;
    }
  }
}

// Calls `visit(offset)` at the start of every grapheme cluster of `value`, in order, until it
// returns false. Invalid bytes count as one character each.
template <typename Visit>
void forEachClusterStart(std::string_view value, Visit visit) {
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  std::size_t i = 0;
  while (i < value.size()) {
    utf8proc_int32_t codepoint;
    auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(value.data() + i),
                                   static_cast<utf8proc_ssize_t>(value.size() - i), &codepoint);
    if (length <= 0) {
      if (!visit(i)) return;
      previous = -1;
      state = 0;
      ++i;
      continue;
    }
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state)) {
      if (!visit(i)) return;
    }
    previous = codepoint;
    i += static_cast<std::size_t>(length);
  }
}

}  // namespace

bool isValidUTF8(std::string_view bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    long length = sequenceAt(bytes, i);
    if (length < 0) return false;
    i += static_cast<std::size_t>(length);
  }
  return true;
}

std::string decodeUTF8Lossy(std::string bytes) {
  if (isValidUTF8(bytes)) return bytes;
  std::string out;
  out.reserve(bytes.size() + 16);
  for (std::size_t i = 0; i < bytes.size();) {
    long length = sequenceAt(bytes, i);
    if (length > 0) {
      out.append(bytes, i, static_cast<std::size_t>(length));
      i += static_cast<std::size_t>(length);
    } else {
      out += "\xEF\xBF\xBD";
      i += static_cast<std::size_t>(-length);
    }
  }
  return out;
}

std::string withoutControls(std::string_view value) {
  std::string text = decodeUTF8Lossy(std::string(value));
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F are 0xC2 0x80 to 0xC2 0x9F in (now well-formed) UTF-8.
    const bool c1 =
        byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0;
    if (byte < 0x20 || byte == 0x7f || c1) {
      result += ' ';
      if (c1) ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

std::string trim(std::string_view value) {
  auto begin = reinterpret_cast<const utf8proc_uint8_t*>(value.data());
  std::size_t start = 0, end = value.size();
  while (start < end) {
    utf8proc_int32_t codepoint;
    auto length =
        utf8proc_iterate(begin + start, static_cast<utf8proc_ssize_t>(end - start), &codepoint);
    if (length <= 0 || !isSpace(codepoint)) break;
    start += static_cast<std::size_t>(length);
  }
  while (end > start) {
    // Step back to the start of the last code point.
    std::size_t last = end - 1;
    while (last > start && (static_cast<unsigned char>(value[last]) & 0xC0) == 0x80)
      --last;
    utf8proc_int32_t codepoint;
    auto length =
        utf8proc_iterate(begin + last, static_cast<utf8proc_ssize_t>(end - last), &codepoint);
    if (length <= 0 || static_cast<std::size_t>(length) != end - last || !isSpace(codepoint)) break;
    end = last;
  }
  return std::string(value.substr(start, end - start));
}

std::string prefixCharacters(std::string_view value, std::size_t count) {
  if (value.size() <= count) return std::string(value);  // never more clusters than bytes
  std::size_t seen = 0, cut = value.size();
  forEachClusterStart(value, [&](std::size_t offset) {
    if (seen == count) {
      cut = offset;
      return false;
    }
    ++seen;
    return true;
  });
  return std::string(value.substr(0, cut));
}

std::string suffixCharacters(std::string_view value, std::size_t count) {
  if (value.size() <= count) return std::string(value);
  if (count == 0) return {};
  // Keep the starts of the last `count` clusters in a ring, so memory stays O(count) whatever the
  // length of the text.
  std::vector<std::size_t> ring(count);
  std::size_t seen = 0;
  forEachClusterStart(value, [&](std::size_t offset) {
    ring[seen % count] = offset;
    ++seen;
    return true;
  });
  if (seen <= count) return std::string(value);
  return std::string(value.substr(ring[seen % count]));
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

std::string duration(double seconds) {
  auto unit = [](auto count, const char* word) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
    return std::string(digits, end) + " " + word + (count == 1 ? "" : "s");
  };
  if (!std::isfinite(seconds) || seconds != std::floor(seconds) || std::abs(seconds) > 1e15) {
    return unit(seconds, "second");
  }
  const auto whole = static_cast<long long>(seconds);
  if (whole != 0 && whole % 3600 == 0) return unit(whole / 3600, "hour");
  if (whole != 0 && whole % 60 == 0) return unit(whole / 60, "minute");
  return unit(whole, "second");
}

std::optional<std::uint64_t> parseDecimal(std::string_view digits) noexcept {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace vek::text
