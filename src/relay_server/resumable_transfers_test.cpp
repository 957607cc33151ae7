// The decisions of resumable transfers, case by case; the relay applies them end to end in
// tests/e2e/relay/resumable_test.cpp.
#include "relay_server/resumable_transfers.h"

#include <gtest/gtest.h>

namespace vek::relay_server {
namespace {

const std::string sha(64, 'a');
const std::string otherSha(64, 'b');

TEST(Range, OnlyOneOpenRangeIsServed) {
  EXPECT_EQ(rangeStart("bytes=0-"), 0u);
  EXPECT_EQ(rangeStart("Bytes=1048576-"), 1048576u);
  for (const char* ignored : {"bytes=0-99", "bytes=-500", "bytes=1-,5-", "bytes= 1-", "items=1-",
                              "bytes=-", "bytes=99999999999999999999-", ""}) {
    EXPECT_FALSE(rangeStart(ignored).has_value()) << ignored;
  }
  EXPECT_TRUE(ifRangeMatches(std::nullopt, sha));
  EXPECT_TRUE(ifRangeMatches(entityTag(sha), sha));
  EXPECT_TRUE(ifRangeMatches(sha, sha));
  EXPECT_FALSE(ifRangeMatches(entityTag(otherSha), sha));
  EXPECT_FALSE(ifRangeMatches("W/" + entityTag(sha), sha));
  EXPECT_FALSE(ifRangeMatches("Wed, 21 Oct 2015 07:28:00 GMT", sha));
}

TEST(Patch, EachRequestGetsOneDecision) {
  using Action = PatchPlan::Action;
  const HeldBuild partial{100, 1000, sha, false};
  const HeldBuild published{1000, 1000, sha, true};
  struct Case {
    const char* what;
    std::optional<HeldBuild> held;
    std::string offset;
    std::uint64_t bytes;
    std::string length;  // Upload-Length; with it goes X-VEK-SHA256 `digest`, else neither
    std::string digest;
    int status;  // 0: accepted with `action`
    Action action = Action::append;
  };
  const std::vector<Case> cases{
      {"first part", std::nullopt, "0", 100, "1000", sha, 0, Action::restart},
      {"first part undeclared", std::nullopt, "0", 100, "", "", 400},
      {"first part too large", std::nullopt, "0", 100, "1001", sha, 413},
      {"first part not at 0", std::nullopt, "5", 100, "1000", sha, 409},
      {"next part", partial, "100", 900, "", "", 0, Action::append},
      {"next part declared", partial, "100", 900, "1000", sha, 0, Action::append},
      {"behind the offset", partial, "50", 100, "1000", sha, 409},
      {"past the declared size", partial, "100", 901, "1000", sha, 400},
      {"another build at 0", partial, "0", 10, "1000", otherSha, 0, Action::restart},
      {"another build later", partial, "100", 10, "1000", otherSha, 409},
      {"published, nothing more", published, "1000", 0, "1000", sha, 0, Action::nothing},
      {"published, more", published, "1000", 1, "1000", sha, 400},
      {"published, another build", published, "0", 10, "1000", otherSha, 0, Action::restart},
      {"not a number", partial, "1e2", 900, "1000", sha, 400},
  };
  for (const Case& c : cases) {
    PatchHeaders request{c.offset, std::nullopt, std::nullopt,
                         std::string("Application/Offset+Octet-Stream"), c.bytes};
    if (!c.length.empty()) {
      request.uploadLength = c.length;
      request.sha = c.digest;
    }
    try {
      PatchPlan plan = planPatch(c.held, request, 1000);
      EXPECT_EQ(c.status, 0) << c.what;
      EXPECT_EQ(plan.action, c.action) << c.what;
    } catch (const HttpError& error) {
      EXPECT_EQ(error.status(), c.status) << c.what << ": " << error.message();
      bool discards = dynamic_cast<const DiscardingRefusal*>(&error) != nullptr;
      EXPECT_EQ(discards, std::string(c.what) == "past the declared size") << c.what;
      if (c.status == 409) {
        EXPECT_EQ(error.headers().at(0).first, "Upload-Offset") << c.what;
      }
    }
  }
}

}  // namespace
}  // namespace vek::relay_server
