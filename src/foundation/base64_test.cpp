#include "foundation/base64.h"

#include <gtest/gtest.h>

namespace vek {
namespace {

TEST(Base64, RoundTripsEveryLengthInBothAlphabets) {
  std::string bytes;
  for (int length = 0; length < 70; ++length) {
    EXPECT_EQ(base64::decode(base64::encode(bytes)), bytes);
    EXPECT_EQ(base64::decodeURLSafe(base64::encodeURLSafe(bytes)), bytes);
    bytes += static_cast<char>(length * 37 + 250);
  }
}

TEST(Base64, MatchesKnownVectors) {
  EXPECT_EQ(base64::encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64::encode("fo"), "Zm8=");
  EXPECT_EQ(base64::encode("f"), "Zg==");
  EXPECT_EQ(base64::encode("\xfb\xff"), "+/8=");
  EXPECT_EQ(base64::encodeURLSafe("\xfb\xff"), "-_8");
}

TEST(Base64, DecodingIsStrict) {
  for (const char* bad : {"Zm9v YmFy", "Zm9vYmFy\n", " Zm8=", "Zm8", "Zm8==", "Z===", "Zg=a",
                          "Zh==", "Zm9=", "-_8=", "Zm9vY*Fy", "=Zm8", "A"}) {
    EXPECT_FALSE(base64::decode(bad).has_value()) << bad;
  }
  EXPECT_FALSE(base64::decodeURLSafe("+/8").has_value());
  EXPECT_FALSE(base64::decodeURLSafe("-_8=").has_value());
  EXPECT_FALSE(base64::decodeURLSafe("-_9").has_value());  // non-zero trailing bits
  EXPECT_EQ(base64::decode(""), std::string());
}

}  // namespace
}  // namespace vek
