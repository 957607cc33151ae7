// Test helpers: a private scratch directory, whole-file reads and writes, and failure texts.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "artifacts/artifact_crypto.h"
#include "foundation/errors.h"
#include "foundation/file.h"

namespace vek::testing {

class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (temporaryDirectory() / "vek-artifacts-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::filesystem::path path(const std::string& name) const { return dir / name; }

  static void write(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }
  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
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

  std::filesystem::path dir;
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
