#include "cli/arguments.h"

#include <gtest/gtest.h>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek::cli {
namespace {

std::string failure(const std::vector<std::string>& words) {
  return vek::testing::failureOf<VEKError>([&] { Arguments arguments(words); });
}

TEST(Arguments, SplitsPositionalsValuesAndFlags) {
  Arguments arguments({"run", "--project", "P", "--wait", "extra", "--json"});
  EXPECT_EQ(arguments.positional(), (std::vector<std::string>{"run", "extra"}));
  EXPECT_EQ(arguments.value("--project"), "P");
  EXPECT_TRUE(arguments.has("--wait"));
  EXPECT_TRUE(arguments.has("--json"));
  EXPECT_FALSE(arguments.has("--local"));
  EXPECT_EQ(arguments.positionalAt(5), "");
}

TEST(Arguments, RefusesUnknownOptionsAndMissingValues) {
  EXPECT_EQ(failure({"-h"}), "Unknown option: -h");
  EXPECT_EQ(failure({"--name=x"}), "Unknown option: --name=x");
  EXPECT_EQ(failure({"--"}), "Unknown option: --");
  EXPECT_EQ(failure({"--Version"}), "Unknown option: --Version");
  EXPECT_EQ(failure({"run", "--timeout"}), "Missing value for --timeout");
  EXPECT_EQ(failure({"--project", "--scheme", "S"}), "Missing value for --project");
  // The parser stops at the first bad argument.
  EXPECT_EQ(failure({"--bogus", "--timeout"}), "Unknown option: --bogus");
}

TEST(Arguments, SingleDashValuesAndRepeatsAreAccepted) {
  Arguments arguments({"--name", "-x", "--mode", "adhoc", "--mode", "debug"});
  EXPECT_EQ(arguments.value("--name"), "-x");
  EXPECT_EQ(arguments.value("--mode"), "debug");
}

TEST(Arguments, RequireRefusesAbsentAndEmptyValues) {
  Arguments arguments({"--name", "", "--scheme", "App"});
  EXPECT_EQ(arguments.require("--scheme"), "App");
  for (const char* option : {"--name", "--project"}) {
    EXPECT_EQ(vek::testing::failureOf<VEKError>([&] { arguments.require(option); }),
              std::string("Required option: ") + option);
  }
}

TEST(Timeout, AcceptsTheRangeAndRefusesEverythingElse) {
  EXPECT_EQ(timeout(Arguments({})), 7200);
  EXPECT_EQ(timeout(Arguments({"--timeout", "86400"})), 86400);
  EXPECT_EQ(timeout(Arguments({"--timeout", "0.5"})), 0.5);
  for (const char* bad : {"0", "86401", "abc", "5s", "", " 5", "-1", "nan", "inf", "1e9"}) {
    EXPECT_EQ(vek::testing::failureOf<VEKError>([&] {
                timeout(Arguments({"--timeout", bad}));
              }),
              "Timeout must be between 1 and 86400 seconds")
        << bad;
  }
}

}  // namespace
}  // namespace vek::cli
