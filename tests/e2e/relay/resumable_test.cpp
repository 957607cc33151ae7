// Transfers that continue after a break: downloads from a byte on (Range), uploads from the
// relay's offset (tus), against the real relay, including one killed halfway.
#include <filesystem>
#include <thread>

#include "relay_fixture.h"

namespace vek::e2e {
namespace {

namespace fs = std::filesystem;

class ResumableTest : public RelayTest {
 protected:
  // A relay process takes an upload over only from its own connections, and one of these tests
  // kills the first process: every part goes to that one.
  bool alternating() override { return false; }
  void SetUp() override {
    RelayTest::SetUp();
    if (IsSkipped()) return;  // no PostgreSQL server for this run
    builder_ = createGroup();
    receiver_ = join(builder_);
    job_ = queue(builder_, builder_, receiver_);
    held_ = claim(builder_);
  }

  Headers tus(const Member& who, const std::string& lease) const {
    Headers headers = who.auth(lease);
    headers.emplace_back("Tus-Resumable", "1.0.0");
    return headers;
  }
  // A PATCH declaring a build of `length` bytes with digest `sha`.
  Headers patchHeaders(std::uint64_t offset, std::uint64_t length, const std::string& sha,
                       const Member* who = nullptr) const {
    Headers headers = tus(who ? *who : builder_, held_.lease);
    headers.emplace_back("Content-Type", "application/offset+octet-stream");
    headers.emplace_back("Upload-Offset", std::to_string(offset));
    headers.emplace_back("Upload-Length", std::to_string(length));
    headers.emplace_back("X-VEK-SHA256", sha);
    return headers;
  }
  Response patch(std::uint64_t offset, const std::string& bytes, const std::string& whole,
                 const Member* who = nullptr) {
    return call(port(), "PATCH", artifact(), bytes,
                patchHeaders(offset, whole.size(), sha256(whole), who));
  }
  Response held() { return call(port(), "HEAD", artifact(), "", tus(builder_, held_.lease)); }
  std::string artifact() const { return "/v1/jobs/" + job_ + "/artifact"; }
  std::vector<std::string> partials() {
    std::vector<std::string> found;
    for (const std::string& name : artifactFiles()) {
      if (name.starts_with(".partial-")) found.push_back(name);
    }
    return found;
  }
  // Sends the head of a PATCH of all of `build` from offset 0, and the body's first `sent` bytes,
  // then waits until the relay holds at least `held` of them.
  void sendPart(Connection& connection, const std::string& build, std::size_t sent,
                std::uint64_t held) {
    std::string head = "PATCH " + artifact() + " HTTP/1.1\r\nHost: x\r\n";
    for (const auto& [name, value] : patchHeaders(0, build.size(), sha256(build))) {
      head += name + ": " + value + "\r\n";
    }
    head += "Content-Length: " + std::to_string(build.size()) + "\r\n\r\n";
    connection.send(head + build.substr(0, sent));
    for (int wait = 0; wait < 3000; ++wait) {
      auto found = partials();
      if (!found.empty() && fs::file_size(artifactDirectory() / found[0]) >= held) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  static Headers replaced(Headers headers, const std::string& name, const std::string& value) {
    for (auto& header : headers) {
      if (header.first == name) header.second = value;
    }
    return headers;
  }

  Member builder_, receiver_;
  std::string job_;
  Claimed held_;
};

TEST_F(ResumableTest, AnUploadInPartsIsTheBuildAndItsDownloadResumesFromAnyByte) {
  std::string build = randomData(3 << 20);
  Response none = held();
  EXPECT_EQ(none.status, 200);
  EXPECT_EQ(none.headers["tus-resumable"], "1.0.0");
  EXPECT_EQ(none.headers["upload-offset"], "0");
  EXPECT_EQ(none.headers["upload-defer-length"], "1");

  Response first = patch(0, build.substr(0, 1 << 20), build);
  EXPECT_EQ(first.status, 204) << first.body;
  EXPECT_EQ(first.headers["upload-offset"], std::to_string(1 << 20));
  Response part = held();
  EXPECT_EQ(part.headers["upload-offset"], std::to_string(1 << 20));
  EXPECT_EQ(part.headers["upload-length"], std::to_string(build.size()));
  EXPECT_EQ(part.headers["x-vek-sha256"], sha256(build));
  // Not yet a build the job has.
  EXPECT_TRUE(get(builder_, "/v1/jobs/" + job_).json()["artifact_sha"].isNull());

  ASSERT_EQ(patch(1 << 20, build.substr(1 << 20), build).status, 204);
  EXPECT_EQ(get(builder_, "/v1/jobs/" + job_).json()["artifact_sha"].text(), sha256(build));
  EXPECT_TRUE(partials().empty());
  // Asked again (its answer lost), the relay says it has the whole build, and an empty PATCH at
  // its end changes nothing.
  EXPECT_EQ(held().headers["upload-offset"], std::to_string(build.size()));
  EXPECT_EQ(patch(build.size(), "", build).status, 204);
  ASSERT_EQ(post(builder_, "/v1/jobs/" + job_ + "/finish-build",
                 JSON::object({{"manifest", JSON::object()}}), held_.lease)
                .status,
            200);

  Claimed installing = claim(receiver_);
  std::string tag = "\"" + sha256(build) + "\"";
  struct Case {
    std::string range, ifRange;
    int status;
    std::size_t from;  // first byte of the body
  };
  for (const Case& c :
       std::vector<Case>{{"bytes=1000-", "", 206, 1000},
                         {"bytes=1000-", tag, 206, 1000},
                         {"bytes=1000-", "\"" + std::string(64, '0') + "\"", 200, 0},
                         {"bytes=0-99", "", 200, 0},  // closed ranges: whole file
                         {"", "", 200, 0}}) {
    Headers headers = receiver_.auth(installing.lease);
    if (!c.range.empty()) headers.emplace_back("Range", c.range);
    if (!c.ifRange.empty()) headers.emplace_back("If-Range", c.ifRange);
    Response got = call(port(), "GET", artifact(), "", headers);
    EXPECT_EQ(got.status, c.status) << c.range << " " << c.ifRange;
    EXPECT_EQ(got.headers["etag"], tag);
    EXPECT_EQ(got.headers["accept-ranges"], "bytes");
    EXPECT_TRUE(got.body == build.substr(c.from)) << c.range << " " << c.ifRange;
    if (c.status == 206) {
      EXPECT_EQ(got.headers["content-range"], "bytes 1000-" + std::to_string(build.size() - 1) +
                                                  "/" + std::to_string(build.size()));
    }
  }
  Headers beyond = receiver_.auth(installing.lease);
  beyond.emplace_back("Range", "bytes=" + std::to_string(build.size()) + "-");
  Response past = call(port(), "GET", artifact(), "", beyond);
  EXPECT_EQ(past.status, 416);
  EXPECT_EQ(past.headers["content-range"], "bytes */" + std::to_string(build.size()));
}

TEST_F(ResumableTest, BadPartsAreRefusedWithWhatTheRelayHolds) {
  std::string build = randomData(4096);
  ASSERT_EQ(patch(0, build.substr(0, 1000), build).status, 204);

  // Not where the relay is: 409 naming the offset it holds; nothing changes.
  Response wrong = patch(500, build.substr(500), build);
  EXPECT_EQ(wrong.status, 409);
  EXPECT_EQ(wrong.headers["upload-offset"], "1000");
  EXPECT_EQ(held().headers["upload-offset"], "1000");

  // Another member, without the job's lease: 409, nothing appended.
  Response stranger = patch(1000, build.substr(1000), build, &receiver_);
  EXPECT_EQ(stranger.status, 409);
  EXPECT_EQ(held().headers["upload-offset"], "1000");

  // The protocol's other rules, before any byte is taken.
  Headers next = patchHeaders(1000, build.size(), sha256(build));
  Response version = call(port(), "PATCH", artifact(), build.substr(1000),
                          replaced(next, "Tus-Resumable", "0.2.2"));
  EXPECT_EQ(version.status, 412);
  EXPECT_EQ(version.headers["tus-version"], "1.0.0");
  EXPECT_EQ(call(port(), "PATCH", artifact(), build.substr(1000),
                 replaced(next, "Content-Type", "application/octet-stream"))
                .status,
            415);
  EXPECT_EQ(held().headers["upload-offset"], "1000");

  // Bytes beyond the declared size: the partial upload is discarded and the client told so.
  Response over = patch(1000, build.substr(1000) + "extra", build);
  EXPECT_EQ(over.status, 400);
  EXPECT_NE(over.error().find("discarded"), std::string::npos) << over.body;
  EXPECT_EQ(held().headers["upload-offset"], "0");
  EXPECT_TRUE(partials().empty());

  // A build whose bytes are not the declared digest: discarded when its last byte arrives.
  std::string forged = build;
  forged[7] ^= 1;
  Response mismatch =
      call(port(), "PATCH", artifact(), forged, patchHeaders(0, build.size(), sha256(build)));
  EXPECT_EQ(mismatch.status, 400);
  EXPECT_EQ(mismatch.headers["upload-offset"], "0");
  EXPECT_NE(mismatch.error().find("does not match"), std::string::npos);
  EXPECT_TRUE(partials().empty());
  EXPECT_TRUE(get(builder_, "/v1/jobs/" + job_).json()["artifact_sha"].isNull());

  // A part of another build at offset 0 replaces what is held; ending the job removes it.
  ASSERT_EQ(patch(0, build.substr(0, 10), build).status, 204);
  std::string other = randomData(100);
  ASSERT_EQ(patch(0, other.substr(0, 20), other).status, 204);
  EXPECT_EQ(held().headers["x-vek-sha256"], sha256(other));
  ASSERT_EQ(partials().size(), 1u);
  ASSERT_EQ(post(builder_, "/v1/jobs/" + job_ + "/cancel", JSON::object()).status, 200);
  EXPECT_TRUE(partials().empty());
}

TEST_F(ResumableTest, AClientThatGivesUpOnAConnectionTakesOverFromIt) {
  std::string build = randomData(2 << 20);
  Connection stalled(port());
  // The relay holds the first half and waits for the rest, which never comes; the client asks
  // again on a new connection, which ends the old one.
  sendPart(stalled, build, 1 << 20, 1 << 20);
  Response asked = held();
  EXPECT_EQ(asked.headers["upload-offset"], std::to_string(1 << 20));
  EXPECT_TRUE(stalled.waitForClose());
  ASSERT_EQ(patch(1 << 20, build.substr(1 << 20), build).status, 204);
  EXPECT_EQ(get(builder_, "/v1/jobs/" + job_).json()["artifact_sha"].text(), sha256(build));
}

TEST_F(ResumableTest, AfterTheRelayIsKilledMidUploadTheUploadCompletesFromTheDurableOffset) {
  std::string build = randomData(8 << 20);
  Connection connection(port());
  sendPart(connection, build, 5 << 20, 4 << 20);
  relay().kill();
  relay().start();

  ASSERT_EQ(partials().size(), 1u);
  std::uint64_t kept = fs::file_size(artifactDirectory() / partials()[0]);
  EXPECT_GE(kept, 4u << 20);
  Response after = held();
  ASSERT_EQ(after.headers["upload-offset"], std::to_string(kept));
  ASSERT_EQ(patch(kept, build.substr(kept), build).status, 204);
  EXPECT_EQ(get(builder_, "/v1/jobs/" + job_).json()["artifact_sha"].text(), sha256(build));
  EXPECT_TRUE(partials().empty());
}

}  // namespace
}  // namespace vek::e2e
