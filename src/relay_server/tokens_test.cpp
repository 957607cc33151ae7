// Secrets, their digests and the Authorization header.
#include "relay_server/tokens.h"

#include <gtest/gtest.h>

#include <set>

#include "foundation/base64.h"
#include "relay_server/bootstrap.h"
#include "relay_server/requests.h"

namespace vek::relay_server {
namespace {

TEST(Secrets, AreFresh256BitURLSafeValues) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string secret = newSecret();
    auto bytes = base64::decodeURLSafe(secret);
    ASSERT_TRUE(bytes.has_value()) << secret;
    EXPECT_EQ(bytes->size(), 32u);
    EXPECT_TRUE(seen.insert(secret).second);
  }
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(digestsEqual(secretDigest("a"), secretDigest("b")));
  EXPECT_FALSE(digestsEqual("abc", "abcd"));
}

TEST(BearerHeader, NeedsADeviceUUIDAndAToken) {
  std::string device = "0A1B2C3D-0000-4000-8000-00000000000F";
  auto parsed = parseBearer("Bearer " + device + ".tok.en");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->deviceId, "0a1b2c3d-0000-4000-8000-00000000000f");
  EXPECT_EQ(parsed->tokenDigest, secretDigest("tok.en"));
  EXPECT_TRUE(parseBearer("bearer " + device + ".x").has_value());
  for (std::string bad : std::vector<std::string>{
           "", "Bearer", "Bearer ", "Basic " + device + ".x", "Bearer " + device,
           "Bearer " + device + ".", "Bearer nodevice.x", "Bearer  " + device + ".x"}) {
    EXPECT_FALSE(parseBearer(bad).has_value()) << bad;
  }
}

TEST(BearerHeader, DigestFormatIsStrict) {
  EXPECT_TRUE(isLowerHexDigest(std::string(64, 'a')));
  EXPECT_FALSE(isLowerHexDigest(std::string(64, 'A')));
  EXPECT_FALSE(isLowerHexDigest(std::string(63, 'a')));
  EXPECT_FALSE(isLowerHexDigest(std::string(63, 'a') + "g"));
}

TEST(BootstrapTokens, AcceptOnlyListedTokens) {
  BootstrapTokens tokens = BootstrapTokens::of({"first-token-123456", "second-token-12345"});
  EXPECT_TRUE(tokens.accepts("second-token-12345"));
  EXPECT_FALSE(tokens.accepts("second-token-1234"));
  EXPECT_FALSE(tokens.accepts(""));
}

}  // namespace
}  // namespace vek::relay_server
