// Every way the relay says no, each with a clear text and nothing stored.
#include <chrono>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

using RefusalTest = RelayTest;

TEST_F(RefusalTest, CredentialsAreRequiredAndRevocationIsFinal) {
  Member first = createGroup();
  Member second = join(first);
  EXPECT_EQ(call(port(), "GET", "/v1/group").status, 401);
  Member forged{second.id, "not-the-token", second.groupId};
  Response wrong = get(forged, "/v1/group");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.error(), "The device credential is not valid on this relay.");
  EXPECT_EQ(call(port(), "GET", "/v1/group", "", {{"Authorization", "Bearer nonsense"}}).status,
            401);

  ASSERT_EQ(call(port(), "DELETE", "/v1/devices/" + second.id, "", first.auth()).status, 200);
  for (Response refused :
       {get(second, "/v1/group"), heartbeat(second), post(second, "/v1/claim", JSON::object())}) {
    EXPECT_EQ(refused.status, 401);
    EXPECT_NE(refused.error().find("revoked device credential"), std::string::npos);
  }
  JSON devices = get(first, "/v1/group").json()["devices"];
  EXPECT_EQ(devices.items()[1]["revoked"].integer(), 1);
  EXPECT_FALSE(devices.items()[1]["online"].flag());
}

TEST_F(RefusalTest, AnotherGroupsIdsLookUnknown) {
  Member mine = createGroup("Mine");
  Member theirs = createGroup("Theirs");
  std::string job = queue(theirs, theirs, theirs);
  std::string unknown = "00000000-0000-4000-8000-000000000000";
  for (const std::string& target :
       {"/v1/jobs/" + job, "/v1/jobs/" + job + "/events", "/v1/jobs/" + job + "/artifact"}) {
    Response foreign = get(mine, target);
    EXPECT_EQ(foreign.status, 404) << target;
    EXPECT_EQ(foreign.error(), "No job with the id " + job + " belongs to this group.");
  }
  Response missing = get(mine, "/v1/jobs/" + unknown);
  EXPECT_EQ(missing.error(), "No job with the id " + unknown + " belongs to this group.");
  EXPECT_EQ(post(mine, "/v1/jobs/" + job + "/cancel", JSON::object()).status, 404);
  EXPECT_EQ(call(port(), "DELETE", "/v1/devices/" + theirs.id, "", mine.auth()).status, 404);
  EXPECT_EQ(state(theirs, job), "building");
  EXPECT_TRUE(get(mine, "/v1/jobs").json()["jobs"].items().empty());
}

TEST_F(RefusalTest, InviteCodesWorkOnce) {
  Member first = createGroup();
  std::string code = invite(first);
  EXPECT_EQ(joinWith(code, "One").status, 200);
  Response again = joinWith(code, "Two");
  EXPECT_EQ(again.status, 403);
  EXPECT_NE(again.error().find("already been used"), std::string::npos);
  EXPECT_EQ(joinWith("made-up", "Three").status, 403);
  EXPECT_EQ(joinWith(JSON(), "Four").status, 403);
  EXPECT_EQ(get(first, "/v1/group").json()["devices"].items().size(), 2u);
}

TEST_F(RefusalTest, LeaseScopedRequestsNeedTheHoldersLease) {
  Member builder = createGroup();
  Member other = join(builder);
  std::string job = queue(builder, builder, other);
  Claimed held = claim(builder);
  std::string target = "/v1/jobs/" + job + "/event";
  JSON message = JSON::object({{"message", "hello"}});

  Response none = post(builder, target, message);
  EXPECT_EQ(none.status, 409);
  EXPECT_EQ(none.error(), "This request needs the job's lease in the X-VEK-Lease header.");
  Response wrong = post(builder, target, message, "wrong-lease");
  EXPECT_EQ(wrong.status, 409);
  EXPECT_NE(wrong.error().find("not the current lease"), std::string::npos);
  // The right lease in another Mac's hands is no lease at all.
  EXPECT_EQ(post(other, target, message, held.lease).status, 409);
  // Right holder, wrong step: installing needs finish-build first.
  Response early =
      call(port(), "GET", "/v1/jobs/" + job + "/artifact", "", builder.auth(held.lease));
  EXPECT_EQ(early.status, 409);
  EXPECT_EQ(early.error(), "The job is building, but this request needs it to be installing.");
  EXPECT_TRUE(get(builder, "/v1/jobs/" + job + "/events").json()["events"].items().empty());
}

TEST_F(RefusalTest, UploadsAreCheckedBeforeAndAfterTheirBody) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  Claimed held = claim(builder);
  std::string build = randomData(100000);

  Response mismatch = upload(builder, held, build, sha256("something else"));
  EXPECT_EQ(mismatch.status, 400);
  EXPECT_NE(mismatch.error().find("does not match"), std::string::npos);
  Response badHeader = upload(builder, held, build, "ABC");
  EXPECT_EQ(badHeader.status, 400);
  EXPECT_NE(badHeader.error().find("X-VEK-SHA256"), std::string::npos);
  EXPECT_EQ(upload(builder, {job, "wrong"}, build).status, 409);

  // A body that stops short, then the client half-closes.
  Connection connection(port());
  connection.send(uploadHead(builder, held, build.size(), sha256(build)) + build.substr(0, 40000));
  connection.shutdownWrite();
  Response shortBody = connection.readResponse();
  EXPECT_EQ(shortBody.status, 400);
  EXPECT_NE(shortBody.error().find("ended after 40000 bytes"), std::string::npos);

  EXPECT_TRUE(get(builder, "/v1/jobs/" + job).json()["artifact_sha"].isNull());
  EXPECT_TRUE(artifactFiles().empty());
  EXPECT_EQ(upload(builder, held, build).status, 200);
}

TEST_F(RefusalTest, BadBodiesGetAClearTextAndChangeNothing) {
  Member member = createGroup();
  struct Case {
    std::string target;
    std::string body;
    std::string error;
  };
  std::vector<Case> cases = {
      {"/v1/heartbeat", "{not json", "The request body is not valid JSON ("},
      {"/v1/heartbeat", R"({"leases":[]})", "The request is missing the member \"inventory\"."},
      {"/v1/heartbeat", R"({"inventory":{},"leases":"none"})",
       "The member \"leases\" must be an array."},
      {"/v1/jobs", R"({"builder_id":1})", "The member \"builder_id\" must be a string."},
      {"/v1/jobs", "[]", "The request body must be a JSON object."},
      {"/v1/invites", "\"text\"", "The request body must be a JSON object."},
      {"/v1/claim", "\xff\xfe", "The request body is not valid JSON ("},
  };
  for (const Case& bad : cases) {
    Response answer = call(port(), "POST", bad.target, bad.body, member.auth());
    EXPECT_EQ(answer.status, 400) << bad.target << " " << bad.body;
    EXPECT_TRUE(answer.error().starts_with(bad.error)) << answer.error();
  }
  Response groups = call(port(), "POST", "/v1/groups", R"({"name":"X"})",
                         {{"X-VEK-Bootstrap", bootstrapToken()}});
  EXPECT_EQ(groups.error(), "The request is missing the member \"device_name\".");
  EXPECT_TRUE(get(member, "/v1/jobs").json()["jobs"].items().empty());
  EXPECT_EQ(get(member, "/v1/group").json()["devices"].items()[0]["last_seen"].integer(), 0);

  Response noPhone = post(member, "/v1/jobs",
                          JSON::object({{"builder_id", member.id},
                                        {"receiver_id", member.id},
                                        {"project_id", "p"},
                                        {"scheme", "s"},
                                        {"configuration", "Release"},
                                        {"mode", "adhoc"},
                                        {"udid", "NOT-CONNECTED"}}));
  EXPECT_EQ(noPhone.status, 400);
  EXPECT_NE(noPhone.error().find("UDID NOT-CONNECTED"), std::string::npos);
  EXPECT_EQ(call(port(), "GET", "/v1/nothing").status, 404);
  EXPECT_EQ(call(port(), "PATCH", "/v1/jobs", "", member.auth()).status, 405);
  EXPECT_EQ(get(member, "/v1/jobs/" + queue(member, member, member) + "/events?after=-1").status,
            400);
  EXPECT_EQ(call(port(), "POST", "/v1/groups", R"({"name":"X","device_name":"Y"})",
                 {{"X-VEK-Bootstrap", "not-the-token"}})
                .status,
            403);
}

TEST_F(RefusalTest, OversizedJsonIsRefusedFromTheHeader) {
  Member member = createGroup();
  Connection connection(port());
  connection.send("POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n");
  Response refused = connection.readResponse();
  EXPECT_EQ(refused.status, 413);
  EXPECT_EQ(refused.headers["connection"], "close");
  EXPECT_TRUE(connection.waitForClose());
  // Chunked bodies are counted as they arrive.
  Connection chunked(port());
  std::string chunk(1 << 20, ' ');
  std::string head = "POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n" +
                     std::string("Authorization: ") + member.bearer() + "\r\n\r\n";
  chunked.send(head + "100000\r\n" + chunk + "\r\n" + "10\r\n" + chunk.substr(0, 16) + "\r\n");
  EXPECT_EQ(chunked.readResponse().status, 413);
}

class SmallArtifactTest : public RelayTest {
  std::vector<std::string> arguments() override { return {"--max-artifact-bytes", "1000"}; }
};

TEST_F(SmallArtifactTest, AnOversizedUploadIsRefusedBeforeItsBody) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  Claimed held = claim(builder);
  Connection connection(port());
  // Only the header is sent: the answer must come without a single body byte.
  ASSERT_EQ(held.job, job);
  connection.send(
      uploadHead(builder, held, 1001, std::string(64, 'a'), "Expect: 100-continue\r\n"));
  Response refused = connection.readResponse();
  EXPECT_EQ(refused.status, 413);
  EXPECT_EQ(refused.error(),
            "The build is 1001 bytes, more than the 1000 bytes this relay accepts.");
  EXPECT_TRUE(connection.waitForClose());
  EXPECT_EQ(upload(builder, held, std::string(1000, 'x')).status, 200);
}

class ShortInviteTest : public RelayTest {
  std::vector<std::string> arguments() override { return {"--invite-seconds", "1"}; }
};

TEST_F(ShortInviteTest, AnExpiredInviteIsRefused) {
  Member first = createGroup();
  std::string code = invite(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  Response late = joinWith(code, "Late");
  EXPECT_EQ(late.status, 403);
  EXPECT_EQ(late.error(),
            "This invite code has expired (invites are valid for 1 second). Ask a member of the "
            "group for a new invite.");
}

// Leases of one second that the sweep never collects: a lapsed lease is refused on its own.
class LapsedLeaseTest : public RelayTest {
  std::vector<std::string> arguments() override {
    return {"--lease-seconds", "1", "--sweep-seconds", "3600"};
  }
};

TEST_F(LapsedLeaseTest, NothingIsAcceptedUnderALapsedLease) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  Claimed held = claim(builder);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  heartbeat(builder, {}, {held});  // too late to extend it
  Response late =
      post(builder, "/v1/jobs/" + job + "/event", JSON::object({{"message", "late"}}), held.lease);
  EXPECT_EQ(late.status, 409);
  EXPECT_NE(late.error().find("lapsed"), std::string::npos);
  EXPECT_EQ(upload(builder, held, "bytes").status, 409);
  EXPECT_TRUE(claim(builder).job.empty());
}

// Short leases and a sweep every second: a Mac that goes silent loses its job.
class SweptLeaseTest : public RelayTest {
  std::vector<std::string> arguments() override {
    return {"--lease-seconds", "1", "--sweep-seconds", "1"};
  }
};

TEST_F(SweptLeaseTest, ASilentMacsJobFails) {
  Member builder = createGroup();
  std::string job = queue(builder, builder, builder);
  ASSERT_EQ(claim(builder).job, job);
  std::string now = "building";
  for (int wait = 0; wait < 600 && now == "building"; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    now = state(builder, job);
  }
  JSON failed = get(builder, "/v1/jobs/" + job).json();
  EXPECT_EQ(failed["state"].text(), "failed");
  EXPECT_EQ(failed["error"].text(), "The Mac working on this job stopped responding.");
}

}  // namespace
}  // namespace vek::e2e
