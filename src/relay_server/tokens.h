// Secrets the relay hands out (device tokens, lease tokens, invite codes, bootstrap tokens) and
// how it recognises them again.
//
// A secret is 256 random bits in URL-safe Base64. The relay keeps only its SHA-256 digest, so a
// copy of the database grants nothing; a presented secret is digested and compared with the
// stored digest in constant time, so response timing reveals nothing about how much of a guess
// was right.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vek::relay_server {

/// A fresh secret: 32 bytes from the system's secure random source, URL-safe Base64 (43 chars).
std::string newSecret();

/// The 32-byte SHA-256 digest of `secret` (raw bytes, not hex).
std::string secretDigest(std::string_view secret);

/// True when `a` and `b` are the same bytes; the time taken depends only on their lengths.
bool digestsEqual(std::string_view a, std::string_view b) noexcept;

/// Lower-case hex SHA-256 of `bytes`.
std::string sha256Hex(std::string_view bytes);

/// The device credentials of an "Authorization: Bearer <device id>.<token>" header: the device
/// id lower-cased, and the digest of the token.
struct PresentedCredentials {
  std::string deviceId;
  std::string tokenDigest;
};

/// Parses an Authorization header value. Absent when it is not a Bearer credential of the form
/// "<uuid>.<token>" with a non-empty token.
std::optional<PresentedCredentials> parseBearer(std::string_view header);

}  // namespace vek::relay_server
