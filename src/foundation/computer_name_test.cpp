#include "foundation/computer_name.h"

#include <gtest/gtest.h>

namespace vek {
namespace {

TEST(ComputerName, PrettyNameThenHostNameThenAGenericName) {
  EXPECT_EQ(computerNameFrom("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ada's Mac\"\n", "ada-host"),
            "Ada's Mac");
  EXPECT_EQ(computerNameFrom("PRETTY_HOSTNAME='  Grace  '\n", "grace-host"), "Grace");
  EXPECT_EQ(computerNameFrom("PRETTY_HOSTNAMES=x\n#PRETTY_HOSTNAME=y\n", "ada-host"), "ada-host");
  EXPECT_EQ(computerNameFrom("PRETTY_HOSTNAME=\"\"\n", ""), "My Mac");
  EXPECT_EQ(computerNameFrom("", ""), "My Mac");
}

}  // namespace
}  // namespace vek
