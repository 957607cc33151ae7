#include "desktop/enrollment_defaults.h"

#include <gtest/gtest.h>

namespace vek::desktop {
namespace {

TEST(ProposedRelay, PlaceholderHostsGiveNoProposal) {
  EXPECT_EQ(proposedRelay("https://relay.vek.example"), "");
  EXPECT_EQ(proposedRelay("https://RELAY.Example.:8443/"), "");
  EXPECT_EQ(proposedRelay("https://example"), "");
  EXPECT_EQ(proposedRelay("not an origin"), "");
  EXPECT_EQ(proposedRelay("relay.acme.com"), "");
  EXPECT_EQ(proposedRelay("https://:443"), "");
  EXPECT_EQ(proposedRelay("https://relay.example.com"), "https://relay.example.com");
  EXPECT_EQ(proposedRelay("https://relay.examples:443"), "https://relay.examples:443");
  EXPECT_EQ(proposedRelay("https://[::1]:8443"), "https://[::1]:8443");
}

}  // namespace
}  // namespace vek::desktop
