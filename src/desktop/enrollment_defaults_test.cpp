#include "desktop/enrollment_defaults.h"

#include <gtest/gtest.h>

namespace vek::desktop {
namespace {

TEST(ProposedRelay, PlaceholderHostsGiveNoProposal) {
  EXPECT_EQ(proposedRelay("https://relay.vek.example"), "");
  EXPECT_EQ(proposedRelay("https://RELAY.Example.:8443/"), "");
  EXPECT_EQ(proposedRelay("https://example"), "");
  EXPECT_EQ(proposedRelay("not an origin"), "");
  EXPECT_EQ(proposedRelay("https://relay.example.com"), "https://relay.example.com");
  EXPECT_EQ(proposedRelay("https://relay.examples:443"), "https://relay.examples:443");
}

TEST(ProposedDeviceName, PrettyNameThenHostThenFallback) {
  EXPECT_EQ(proposedDeviceName("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's Mac\"\n", "ada-host"),
            "Ada's Mac");
  EXPECT_EQ(proposedDeviceName("PRETTY_HOSTNAMES=x\n", "ada-host"), "ada-host");
  EXPECT_EQ(proposedDeviceName("PRETTY_HOSTNAME=\n", ""), "My Mac");
}

}  // namespace
}  // namespace vek::desktop
