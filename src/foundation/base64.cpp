#include "foundation/base64.h"

#include <array>
#include <cstdint>

namespace vek::base64 {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURLSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> reverse(const char* alphabet) {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table)
    entry = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}

constexpr auto kStandardReverse = reverse(kStandard);
constexpr auto kURLSafeReverse = reverse(kURLSafe);

std::string encodeWith(std::string_view bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto at = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += alphabet[n >> 18 & 63];
    out += alphabet[n >> 12 & 63];
    out += alphabet[n >> 6 & 63];
    out += alphabet[n & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t n = at(i) << 16;
    out += alphabet[n >> 18 & 63];
    out += alphabet[n >> 12 & 63];
    if (pad) out += "==";
  } else if (rest == 2) {
    std::uint32_t n = at(i) << 16 | at(i + 1) << 8;
    out += alphabet[n >> 18 & 63];
    out += alphabet[n >> 12 & 63];
    out += alphabet[n >> 6 & 63];
    if (pad) out += '=';
  }
  return out;
}

// Decodes `digits` (no padding left in it) of which the final group may be 2 or 3 long.
std::optional<std::string> decodeDigits(std::string_view digits,
                                        const std::array<std::int8_t, 256>& table) {
  if (digits.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(digits.size() / 4 * 3 + 2);
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (char c : digits) {
    std::int8_t value = table[static_cast<unsigned char>(c)];
    if (value < 0) return std::nullopt;
    accumulator = accumulator << 6 | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(accumulator >> bits & 0xFF);
    }
  }
  // Leftover bits of a partial group must be zero, or two texts would decode alike.
  if ((accumulator & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string encode(std::string_view bytes) {
  return encodeWith(bytes, kStandard, true);
}

std::optional<std::string> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
    ++padding;
  return decodeDigits(text.substr(0, text.size() - padding), kStandardReverse);
}

std::string encodeURLSafe(std::string_view bytes) {
  return encodeWith(bytes, kURLSafe, false);
}

std::optional<std::string> decodeURLSafe(std::string_view text) {
  return decodeDigits(text, kURLSafeReverse);
}

}  // namespace vek::base64
