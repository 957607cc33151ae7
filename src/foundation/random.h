// Randomness from the kernel's secure source, and the identifiers made from it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vek {

/// `count` bytes from the operating system's cryptographically secure source (getrandom).
/// Throws SystemError if the source fails.
std::string randomBytes(std::size_t count);

/// A fresh random (version 4) UUID in canonical 8-4-4-4-12 form, lower-case.
std::string randomUUID();

/// A fresh random UUID in canonical form, upper-case (the form Apple's tools print).
std::string randomUpperUUID();

/// True when `text` is a UUID in canonical 8-4-4-4-12 form, hexadecimal digits of either case.
bool isCanonicalUUID(std::string_view text) noexcept;

}  // namespace vek
