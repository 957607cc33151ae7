// A deployment's whole road through the real relay, as two Macs drive it.
#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using LifecycleTest = RelayTest;

TEST_F(LifecycleTest, ADeploymentRunsFromQueueToSuccess) {
  Member builder = createGroup("Studio", "Builder Mac");
  std::string code = invite(builder);
  Member receiver = join(builder, "Receiver Mac");
  EXPECT_EQ(receiver.groupId, builder.groupId);
  ASSERT_EQ(heartbeat(builder).status, 200);

  std::string job = queue(builder, builder, receiver);
  JSON queued = get(builder, "/v1/jobs/" + job).json();
  EXPECT_EQ(queued["state"].text(), "building");
  EXPECT_EQ(queued["builder_id"].text(), builder.id);
  EXPECT_EQ(queued["receiver_id"].text(), receiver.id);
  EXPECT_EQ(queued["spec"]["phone"]["os"].text(), "17.5.1");
  EXPECT_EQ(queued["spec"]["configuration"].text(), "Release");
  EXPECT_TRUE(queued["error"].isNull());
  EXPECT_TRUE(queued["artifact_sha"].isNull());

  JSON group = get(receiver, "/v1/group").json();
  EXPECT_EQ(group["name"].text(), "Studio");
  ASSERT_EQ(group["devices"].items().size(), 2u);
  for (const JSON& device : group["devices"].items()) {
    EXPECT_TRUE(device["online"].flag());
    EXPECT_EQ(device["revoked"].integer(), 0);
  }
  EXPECT_EQ(group["devices"].items()[1]["inventory"]["phones"].items()[0]["udid"].text(),
            "PHONE-1");

  // Building: only the builder gets the job.
  EXPECT_TRUE(claim(receiver).job.empty());
  Claimed building = claim(builder);
  ASSERT_EQ(building.job, job);
  JSON beat = heartbeat(builder, {}, {building}).json();
  ASSERT_EQ(beat["jobs"].items().size(), 1u);
  EXPECT_EQ(beat["jobs"].items()[0]["state"].text(), "building");

  for (std::string message : {"Archiving", "Exporting", "Uploading"}) {
    ASSERT_EQ(post(builder, "/v1/jobs/" + job + "/event", JSON::object({{"message", message}}),
                   building.lease)
                  .status,
              200);
  }
  JSON events = get(receiver, "/v1/jobs/" + job + "/events?after=0").json()["events"];
  ASSERT_EQ(events.items().size(), 3u);
  EXPECT_EQ(events.items()[0]["message"].text(), "Archiving");
  EXPECT_EQ(events.items()[2]["message"].text(), "Uploading");
  EXPECT_EQ(events.items()[0]["device_id"].text(), builder.id);
  std::int64_t cursor = events.items()[1]["id"].integer();
  JSON later = get(receiver, "/v1/jobs/" + job + "/events?after=" + std::to_string(cursor)).json();
  ASSERT_EQ(later["events"].items().size(), 1u);
  EXPECT_EQ(later["events"].items()[0]["message"].text(), "Uploading");

  std::string build = randomData(3 << 20);
  Response uploaded = upload(builder, building, build);
  ASSERT_EQ(uploaded.status, 200) << uploaded.body;
  EXPECT_EQ(get(builder, "/v1/jobs/" + job).json()["artifact_sha"].text(), sha256(build));
  JSON manifest = JSON::object({{"bundle_id", "com.example.app"}, {"job_id", job}});
  Response finished = post(builder, "/v1/jobs/" + job + "/finish-build",
                           JSON::object({{"manifest", manifest}}), building.lease);
  ASSERT_EQ(finished.status, 200) << finished.body;
  EXPECT_EQ(finished.json()["state"].text(), "installing");

  // Installing: only the receiver gets it, with the manifest and digest.
  EXPECT_TRUE(claim(builder).job.empty());
  Claimed installing = claim(receiver);
  ASSERT_EQ(installing.job, job);
  JSON detail = get(receiver, "/v1/jobs/" + job).json();
  EXPECT_EQ(detail["manifest"]["bundle_id"].text(), "com.example.app");
  Response download =
      call(port(), "GET", "/v1/jobs/" + job + "/artifact", "", receiver.auth(installing.lease));
  ASSERT_EQ(download.status, 200);
  EXPECT_EQ(download.headers["content-type"], "application/octet-stream");
  EXPECT_TRUE(download.body == build);
  EXPECT_EQ(download.headers["x-vek-sha256"], sha256(build));
  Response done = post(receiver, "/v1/jobs/" + job + "/finish", JSON::object(), installing.lease);
  ASSERT_EQ(done.status, 200) << done.body;
  EXPECT_EQ(done.json()["state"].text(), "succeeded");
  EXPECT_TRUE(artifactFiles().empty());

  // Newest first in the list.
  std::string second = queue(receiver, receiver, receiver);
  JSON jobs = get(builder, "/v1/jobs").json()["jobs"];
  ASSERT_EQ(jobs.items().size(), 2u);
  EXPECT_EQ(jobs.items()[0]["id"].text(), second);
  EXPECT_EQ(jobs.items()[1]["state"].text(), "succeeded");

  // One line per request, and nothing secret in any of them.
  std::string log, errors;
  for (const auto& process : relays()) {
    log += process->output();
    errors += process->errors();
  }
  EXPECT_NE(log.find("POST /v1/heartbeat 200"), std::string::npos);
  EXPECT_NE(log.find("device=" + builder.id), std::string::npos);
  EXPECT_NE(log.find("/events?after "), std::string::npos);
  for (const std::string& secret :
       {builder.token, receiver.token, code, building.lease, installing.lease, bootstrapToken()}) {
    EXPECT_EQ(log.find(secret), std::string::npos);
    EXPECT_EQ(errors.find(secret), std::string::npos);
  }
}

TEST_F(LifecycleTest, ACancelReachesTheHolderWithItsNextHeartbeat) {
  Member builder = createGroup();
  Member other = join(builder);
  std::string job = queue(other, builder, other);
  Claimed held = claim(builder);
  ASSERT_EQ(held.job, job);
  ASSERT_EQ(upload(builder, held, "partial build").status, 200);

  Response cancelled = post(other, "/v1/jobs/" + job + "/cancel", JSON::object());
  ASSERT_EQ(cancelled.status, 200);
  EXPECT_EQ(cancelled.json()["state"].text(), "cancelled");
  EXPECT_NE(cancelled.json()["error"].text().find("Receiver"), std::string::npos);

  JSON beat = heartbeat(builder, {}, {held}).json();
  ASSERT_EQ(beat["jobs"].items().size(), 1u);
  EXPECT_EQ(beat["jobs"].items()[0]["id"].text(), job);
  EXPECT_EQ(beat["jobs"].items()[0]["state"].text(), "cancelled");
  EXPECT_TRUE(artifactFiles().empty());

  // A terminal job stays as it is.
  EXPECT_EQ(post(other, "/v1/jobs/" + job + "/cancel", JSON::object()).status, 409);
  Response late =
      post(builder, "/v1/jobs/" + job + "/fail", JSON::object({{"error", "too late"}}), held.lease);
  EXPECT_EQ(late.status, 409);
  EXPECT_EQ(state(builder, job), "cancelled");
}

TEST_F(LifecycleTest, AFailureReportEndsTheJobWithItsText) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  Claimed held = claim(builder);
  std::string text(2500, 'e');
  Response failed =
      post(builder, "/v1/jobs/" + job + "/fail", JSON::object({{"error", text}}), held.lease);
  ASSERT_EQ(failed.status, 200);
  JSON detail = get(builder, "/v1/jobs/" + job).json();
  EXPECT_EQ(detail["state"].text(), "failed");
  EXPECT_EQ(detail["error"].text(), std::string(2000, 'e'));
  EXPECT_TRUE(claim(builder).job.empty());
}

}  // namespace
}  // namespace vek::e2e
