// The group-wide lists: which Macs of the relay's group answer are shown, and that their values
// pass through untouched whatever their kind.
#include "cli/group_lists.h"

#include <gtest/gtest.h>

namespace vek::cli {
namespace {

TEST(GroupList, SkipsRevokedMacsAndCopiesValuesAsTheyCame) {
  const JSON group = JSON::decode(
      R"({"devices":[{"id":"a"},{"id":"b","revoked":false},{"id":"c","revoked":0},)"
      R"({"id":"d","revoked":true},{"id":"e","revoked":1},{"id":"f","revoked":-2},)"
      R"({"id":"g","revoked":0.5},{"id":"h","revoked":1.5},{"id":"i","revoked":"1"},)"
      R"({"id":9,"online":"yes","name":["x"],"inventory":{"projects":"none","phones":[1]}},)"
      R"("not a device"]})");
  std::vector<JSON> shown;
  const JSON list = groupList(group, "phones");
  for (const JSON& entry : list.items())
    shown.push_back(entry["mac_id"]);
  EXPECT_EQ(shown, (std::vector<JSON>{"a", "b", "c", "g", "i", 9, JSON()}));

  EXPECT_EQ(list.items()[0], JSON::decode(R"({"mac_id":"a","mac_name":null,"online":null,)"
                                          R"("phones":null})"));
  EXPECT_EQ(groupList(group, "projects").items()[5],
            JSON::decode(R"({"mac_id":9,"mac_name":["x"],"online":"yes","projects":"none"})"));
  for (const JSON& answer : {JSON(), JSON::object({{"devices", "all"}})}) {
    EXPECT_EQ(groupList(answer, "phones"), JSON::array());
  }
}

}  // namespace
}  // namespace vek::cli
