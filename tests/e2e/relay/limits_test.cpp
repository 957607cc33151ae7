// What one member sends can never make the group's answers unreadable or unbounded for the
// others: the relay refuses values it would keep and serve back when they nest too deep or grow
// too large, and forgets a revoked Mac's inventory.
#include "relay_fixture.h"

namespace vek::e2e {
namespace {

// `levels` nested arrays around a number.
JSON nested(int levels) {
  JSON value(1);
  for (int level = 0; level < levels; ++level)
    value = JSON::array({value});
  return value;
}

class LimitTest : public RelayTest {
 protected:
  Response heartbeatWith(const Member& who, const JSON& inventory) {
    return post(who, "/v1/heartbeat",
                JSON::object({{"inventory", inventory}, {"leases", JSON::array()}}));
  }
};

TEST_F(LimitTest, DeeplyNestedInventoriesNeverReachTheGroupsAnswers) {
  Member first = createGroup();
  Member rogue = join(first, "Rogue");
  ASSERT_EQ(heartbeat(rogue, {"PHONE-1"}).status, 200);

  // Nested so that the group answer, three levels further in, passes the clients' 512.
  Response deep = heartbeatWith(rogue, JSON::object({{"x", nested(509)}}));
  EXPECT_EQ(deep.status, 400);
  EXPECT_EQ(deep.error(),
            "The member \"inventory\" nests arrays and objects more than 16 levels deep, more "
            "than the relay keeps.");
  // A phone record carrying the nesting would be copied into every job queued for it.
  JSON phone = JSON::object({{"udid", "PHONE-2"}, {"os", "17.5"}, {"x", nested(300)}});
  EXPECT_EQ(heartbeatWith(rogue, JSON::object({{"phones", JSON::array({phone})}})).status, 400);
  Response queued = post(first, "/v1/jobs",
                         JSON::object({{"builder_id", first.id},
                                       {"receiver_id", rogue.id},
                                       {"project_id", "p1"},
                                       {"scheme", "App"},
                                       {"configuration", "Release"},
                                       {"mode", "adhoc"},
                                       {"udid", "PHONE-2"}}));
  EXPECT_EQ(queued.status, 400);

  Response group = get(first, "/v1/group");
  ASSERT_EQ(group.status, 200);
  JSON devices = group.json()["devices"];  // throws if nested beyond what a client reads
  EXPECT_EQ(devices.items()[1]["inventory"]["phones"].items()[0]["udid"].text(), "PHONE-1");
  EXPECT_EQ(get(first, "/v1/jobs").status, 200);
  EXPECT_NO_THROW(get(first, "/v1/jobs").json());

  // Revoking the Mac takes its devices and projects out of the group's answer.
  ASSERT_EQ(call(port(), "DELETE", "/v1/devices/" + rogue.id, "", first.auth()).status, 200);
  JSON revoked = get(first, "/v1/group").json()["devices"].items()[1];
  EXPECT_EQ(revoked["revoked"].integer(), 1);
  EXPECT_EQ(revoked["inventory"].data(), "{}");
}

TEST_F(LimitTest, OversizedManifestsAndInventoriesAreRefusedAndChangeNothing) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  Claimed held = claim(builder);
  ASSERT_EQ(upload(builder, held, randomData(1000)).status, 200);

  JSON huge = JSON::object({{"notes", std::string(64 * 1024, 'n')}});
  Response manifest = post(builder, "/v1/jobs/" + job + "/finish-build",
                           JSON::object({{"manifest", huge}}), held.lease);
  EXPECT_EQ(manifest.status, 413);
  EXPECT_NE(manifest.error().find("more than the 64 KiB the relay keeps"), std::string::npos)
      << manifest.error();
  EXPECT_EQ(state(builder, job), "building");
  JSON real = JSON::object({{"bundle_id", "com.example.app"}, {"version", "1.0"}});
  ASSERT_EQ(post(builder, "/v1/jobs/" + job + "/finish-build", JSON::object({{"manifest", real}}),
                 held.lease)
                .status,
            200);
  EXPECT_EQ(get(builder, "/v1/jobs").json()["jobs"].items()[0]["manifest"].data(), real.data());

  Response inventory = heartbeatWith(builder, huge);
  EXPECT_EQ(inventory.status, 413);
  EXPECT_NE(inventory.error().find("\"inventory\""), std::string::npos) << inventory.error();
  JSON kept = get(builder, "/v1/group").json()["devices"].items()[0]["inventory"];
  EXPECT_EQ(kept["phones"].items()[0]["udid"].text(), "PHONE-1");
}

}  // namespace
}  // namespace vek::e2e
