#include "foundation/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace vek {
namespace {

TEST(Sha256, KnownDigestsAndIncrementalEqualsOneCall) {
  EXPECT_EQ(Sha256::hexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256::hexOf("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256::digestOf("abc").size(), 32u);

  std::string text(100000, 'x');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char>(i * 31);
  Sha256 pieces;
  for (std::size_t at = 0; at < text.size(); at += 4093)
    pieces.update(std::string_view(text).substr(at, 4093));
  EXPECT_EQ(pieces.hexDigest(), Sha256::hexOf(text));
}

}  // namespace
}  // namespace vek
