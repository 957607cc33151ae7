#include "relay_client/group_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace vek {
namespace {

using testing::readText;

TEST(GroupCache, KeepsTheGroupsMacsAndPhonesAsSafeLinesAndUpdatesThisMacsPhones) {
  testing::TempDir state;
  testing::ScopedEnvironment environment("VEK_STATE_DIR", state.path().c_str());
  GroupCache::remember(JSON::decode(R"({"devices":[
    {"id":"mac-a","name":"Mac A","revoked":0,"inventory":{"phones":[{"udid":"U-1","name":"Phone 1"}]}},
    {"id":"mac-b","name":"B\tB\u001b]0;x\u0007","inventory":{"phones":[{"udid":"U 2","name":"x"}]}},
    {"id":"mac-c","name":"Gone","revoked":1,"inventory":{"phones":[{"udid":"U-3","name":"y"}]}},
    {"id":"../etc","name":"Path"},
    {"id":"mac-d","name":"D","inventory":{"phones":"not a list"}}]})"));
  EXPECT_EQ(readText(GroupCache::file()),
            "mac\tmac-a\tMac A\nmac\tmac-b\tB B ]0;x\nmac\tmac-d\tD\nphone\tU-1\tPhone 1\tmac-a\n");
  struct stat info {};
  ASSERT_EQ(::stat(GroupCache::file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);

  // The agent's own listing replaces only this Mac's phones.
  GroupCache::rememberPhones("mac-b", "Mac B",
                             JSON::decode(R"([{"udid":"U-4","name":"Phone 4"}])"));
  EXPECT_EQ(readText(GroupCache::file()),
            "mac\tmac-a\tMac A\nmac\tmac-b\tMac B\nmac\tmac-d\tD\nphone\tU-1\tPhone 1\tmac-a\n"
            "phone\tU-4\tPhone 4\tmac-b\n");
  GroupCache::rememberPhones("mac-a", "Mac A", JSON::array());
  EXPECT_EQ(readText(GroupCache::file()),
            "mac\tmac-a\tMac A\nmac\tmac-b\tMac B\nmac\tmac-d\tD\nphone\tU-4\tPhone 4\tmac-b\n");
}

}  // namespace
}  // namespace vek
