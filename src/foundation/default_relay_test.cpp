#include "foundation/default_relay.h"

#include <gtest/gtest.h>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

TEST(DefaultRelay, OnlyHostsUnderTheReservedExampleDomainArePlaceholders) {
  for (const char* placeholder :
       {"https://relay.vek.example", "https://RELAY.VEK.Example.", "https://example",
        "https://user@relay.example:8443/v1?x#y", "relay.example"}) {
    EXPECT_TRUE(isPlaceholderRelay(placeholder)) << placeholder;
  }
  for (const char* real :
       {"https://relay.example.com", "https://relay.vek.example.org", "https://examples",
        "https://myexample", "http://127.0.0.1:8080", "https://[::1]:443",
        "https://relay.acme.com/example", "https://example.com:443"}) {
    EXPECT_FALSE(isPlaceholderRelay(real)) << real;
  }
}

TEST(DefaultRelay, HostIsTheNameBetweenSchemeUserAndPort) {
  EXPECT_EQ(relayHost("https://user@Relay.Acme.com.:8443/v1?x#y"), "Relay.Acme.com.");
  EXPECT_EQ(relayHost("relay.acme.com:443"), "relay.acme.com");
  EXPECT_EQ(relayHost("https://[::1]:443/"), "[::1]");
  EXPECT_EQ(relayHost("https://[::1:443"), "");
  EXPECT_EQ(relayHost("https://:443/"), "");
  EXPECT_EQ(relayHost("https://"), "");
}

TEST(DefaultRelay, APlaceholderBuildNeedsServerAndARealOneSuppliesIt) {
  EXPECT_EQ(vek::testing::failureOf<VEKError>(
                [] { relayForGroupCreation(std::nullopt, "https://relay.vek.example"); }),
            "No default relay is configured in this build of VEK. Pass --server with your "
            "relay's address.");
  EXPECT_EQ(relayForGroupCreation(std::nullopt, "https://relay.acme.com"),
            "https://relay.acme.com");
  EXPECT_EQ(relayForGroupCreation("http://127.0.0.1:9", "https://relay.vek.example"),
            "http://127.0.0.1:9");
  EXPECT_EQ(relayForGroupCreation("", "https://relay.acme.com"), "");  // judged as given
}

}  // namespace
}  // namespace vek
