// Test helpers of the artifact suites: a fixture with a private scratch directory, bytes that
// show a reordering, length fields and failure texts.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek::testing {

class ScratchTest : public ::testing::Test {
 protected:
  std::filesystem::path path(const std::string& name) const { return scratch_ / name; }

  static void write(const std::filesystem::path& file, const std::string& bytes) {
    writeText(file, bytes);
  }
  static std::string read(const std::filesystem::path& file) { return readText(file); }
  static unsigned mode(const std::filesystem::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }
  /// Bytes that differ from chunk to chunk, so a reordering shows.
  static std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    return bytes;
  }

 private:
  TempDir scratch_;
};

/// A length field: 4 bytes, big-endian.
inline std::string be32(std::size_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

/// The message `operation` fails with, the platform error's type name for crypto and decoding
/// failures (their wording is not part of any contract), or "(succeeded)".
inline std::string failure(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const CryptoError&) {
    return "CryptoError";
  } catch (const DecodingError&) {
    return "DecodingError";
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(succeeded)";
}

}  // namespace vek::testing
