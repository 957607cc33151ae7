// The group-wide lists: which Macs of the relay's group answer are shown, and that their values
// pass through untouched whatever their kind.
#include "cli/group_lists.h"

#include <gtest/gtest.h>

namespace vek::cli {
namespace {

JSON device(const std::string& id, JSON revoked) {
  JSON value = JSON::object({{"id", id},
                             {"name", "Mac " + id},
                             {"online", true},
                             {"inventory", JSON::object({{"phones", JSON::array({id})}})}});
  if (!revoked.isNull()) value.set("revoked", std::move(revoked));
  return value;
}

std::vector<std::string> shown(const JSON& group) {
  std::vector<std::string> ids;
  const JSON list = groupList(group, "phones");
  for (const JSON& entry : list.items())
    ids.push_back(entry["mac_id"].text());
  return ids;
}

TEST(GroupList, SkipsRevokedMacsInTheRelaysOrder) {
  JSON group = JSON::object({{"devices", JSON::array({
                                             device("a", JSON()),
                                             device("b", false),
                                             device("c", 0),
                                             device("d", true),
                                             device("e", 1),
                                             device("f", -2),
                                             device("g", 0.5),  // integer part 0
                                             device("h", 1.5),
                                             device("i", "1"),  // neither bool nor number
                                             device("j", JSON::object()),
                                         })}});
  EXPECT_EQ(shown(group), (std::vector<std::string>{"a", "b", "c", "g", "i", "j"}));
}

TEST(GroupList, CopiesValuesAsTheyCameAndMissingOnesAsNull) {
  JSON odd = JSON::object(
      {{"id", 7}, {"online", "yes"}, {"inventory", JSON::object({{"projects", "none"}})}});
  JSON group = JSON::object({{"devices", JSON::array({odd, JSON::object(), JSON("mac")})}});
  JSON projects = groupList(group, "projects");
  ASSERT_EQ(projects.items().size(), 3u);
  EXPECT_EQ(
      projects.items()[0],
      JSON::object({{"mac_id", 7}, {"mac_name", JSON()}, {"online", "yes"}, {"projects", "none"}}));
  EXPECT_EQ(
      projects.items()[1],
      JSON::object(
          {{"mac_id", JSON()}, {"mac_name", JSON()}, {"online", JSON()}, {"projects", JSON()}}));
  EXPECT_EQ(groupList(group, "phones").items()[0]["phones"], JSON());

  for (const JSON& answer : {JSON(), JSON::object({{"devices", "all"}}), JSON::array()}) {
    EXPECT_EQ(groupList(answer, "phones"), JSON::array());
  }
}

}  // namespace
}  // namespace vek::cli
