// Base64 in the two alphabets the system uses: standard (group keys, invites) and URL-safe
// without padding (the relay's tokens). Decoding is strict: every character must belong to the
// alphabet, padding must be exactly right and the unused low bits of the last digit must be zero,
// so one text has exactly one meaning. Nothing is skipped, not even white space.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vek::base64 {

/// Standard alphabet with "=" padding.
std::string encode(std::string_view bytes);
/// The bytes of standard, padded Base64 text; absent when the text is not exactly that.
std::optional<std::string> decode(std::string_view text);

/// URL-safe alphabet ("-" and "_"), no padding.
std::string encodeURLSafe(std::string_view bytes);
/// The bytes of URL-safe, unpadded Base64 text; absent when the text is not exactly that.
std::optional<std::string> decodeURLSafe(std::string_view text);

}  // namespace vek::base64
