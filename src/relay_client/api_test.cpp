// The relay client against a scripted server: what it sends, and what it makes of answers a real
// relay never gives.
#include "relay_client/api.h"

#include <gtest/gtest.h>

#include "artifacts/artifact_crypto.h"
#include "foundation/errors.h"
#include "foundation/task.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedAnswer;
using testing::ScriptedHttpServer;

API enrolledAt(const ScriptedHttpServer& server) {
  return API(Credentials{server.origin(), "dev-1", "tok-1", "grp", "Group", "Mac", "key"});
}

template <typename Error = VEKError, typename Body>
std::string failureOf(Body body) {
  return testing::failureOf<Error>(body);
}

TEST(APIAnswers, SuccessIsDecodedAndEveryOtherAnswerFailsWithTheRelaysTextOrTheStatus) {
  ScriptedHttpServer server({
      ScriptedAnswer::json(200, R"({"id":"g"})"),
      ScriptedAnswer::json(403, R"({"error":"This invite code has expired."})"),
      ScriptedAnswer::http(500, "<html>Internal Server Error</html>",
                           {{"Content-Type", "text/html"}}),
      ScriptedAnswer::json(401, R"({"error":401})"),
      ScriptedAnswer::http(302, "", {{"Location", "/v1/elsewhere"}}),
      ScriptedAnswer::json(200, ""),
      {"SSH-2.0-OpenSSH_9.2\r\n\r\n"},
  });
  API api(server.origin(), std::nullopt);
  auto get = [&] { return api.call("GET", "/v1/group"); };
  EXPECT_EQ(get(), JSON::object({{"id", "g"}}));
  EXPECT_EQ(failureOf(get), "This invite code has expired.");
  EXPECT_EQ(failureOf(get), "Relay returned HTTP 500");
  EXPECT_EQ(failureOf(get), "Relay returned HTTP 401");
  EXPECT_EQ(failureOf(get), "Relay returned HTTP 302");
  EXPECT_EQ(failureOf<DecodingError>(get), failureOf<DecodingError>([] {
              JSON::decode("", "The relay's answer is not valid JSON");
            }));
  EXPECT_EQ(failureOf(get), "Invalid server response");
  // The redirect was not followed: every request went to the path asked for.
  for (const auto& request : server.requests())
    EXPECT_EQ(request.target, "/v1/group");
  EXPECT_EQ(server.requests().size(), 7u);
}

TEST(APIWait, IsSecondsToTheMillisecondWithinTheRelaysLimit) {
  const std::pair<long, std::string_view> cases[] = {
      {0, "wait=0"},        {50, "wait=0.05"}, {2500, "wait=2.5"}, {3000, "wait=3"},
      {4873, "wait=4.873"}, {-5, "wait=0"},    {30000, "wait=25"}};
  for (auto [milliseconds, query] : cases) {
    EXPECT_EQ(API::waitQuery(std::chrono::milliseconds(milliseconds)), query) << milliseconds;
  }
}

TEST(APIHeaders, IdentityHeadersOnlyWhenThereIsSomethingToSend) {
  ScriptedHttpServer server(std::vector<ScriptedAnswer>(5, ScriptedAnswer::json(200, "{}")));
  API anonymous(server.origin(), std::nullopt);
  anonymous.call("POST", "/v1/join", JSON::object({{"code", "c"}}));
  anonymous.call("POST", "/v1/groups", JSON::object(), std::nullopt, std::string("boot"));
  enrolledAt(server).call("GET", "/v1/group");
  enrolledAt(server).call("POST", "/v1/jobs/J/event", JSON::object(), std::string("L"));
  anonymous.call("POST", "/v1/groups", JSON::object(), std::string(), std::string());

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 5u);
  using Header = std::optional<std::string>;
  struct Expected {
    Header authorization, lease, bootstrap, contentType;
  };
  const Expected expected[] = {
      {std::nullopt, std::nullopt, std::nullopt, "application/json"},
      {std::nullopt, std::nullopt, "boot", "application/json"},
      {"Bearer dev-1.tok-1", std::nullopt, std::nullopt, std::nullopt},
      {"Bearer dev-1.tok-1", "L", std::nullopt, "application/json"},
      {std::nullopt, "", "", "application/json"},  // given, though empty
  };
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(requests[i].header("User-Agent"), "VEK/0.1.0");
    EXPECT_EQ(requests[i].header("Authorization"), expected[i].authorization) << i;
    EXPECT_EQ(requests[i].header("X-VEK-Lease"), expected[i].lease) << i;
    EXPECT_EQ(requests[i].header("X-VEK-Bootstrap"), expected[i].bootstrap) << i;
    EXPECT_EQ(requests[i].header("Content-Type"), expected[i].contentType) << i;
  }
  EXPECT_EQ(JSON::decode(requests[0].body), JSON::object({{"code", "c"}}));
  EXPECT_EQ(requests[2].body, "");
}

TEST(APIHeaders, ALineBreakInAHeaderValueIsRefusedBeforeSending) {
  ScriptedHttpServer server({});
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(failureOf([&] {
              api.call("POST", "/v1/groups", JSON::object(), std::nullopt,
                       std::string("t\r\nX: 1"));
            }),
            "Cannot send the X-VEK-Bootstrap header: its value contains a line break or another "
            "control character.");
  EXPECT_TRUE(server.requests().empty());
}

TEST(APITransport, StoppingTheTaskEndsAWaitingRequest) {
  ScriptedHttpServer server({ScriptedAnswer::silence()});
  API api(server.origin(), std::nullopt);
  task::Task request([&] { api.call("GET", "/v1/group"); });
  while (server.requests().empty())
    std::this_thread::yield();
  request.requestStop();
  EXPECT_THROW(request.join(), CancellationError);
}

TEST(APITransport, CopiesOfOneClientServeManyThreadsAtOnce) {
  constexpr int threads = 8;
  ScriptedHttpServer server(
      std::vector<ScriptedAnswer>(threads, ScriptedAnswer::json(200, R"({"ok":true})")));
  API api = enrolledAt(server);
  std::atomic<int> answered = 0;
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i)
    workers.emplace_back(
        [copy = api, &answered] { answered += copy.call("GET", "/v1/group")["ok"].flag(); });
  for (auto& worker : workers)
    worker.join();
  EXPECT_EQ(answered, threads);
}

class APIArtifacts : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& content) {
    testing::writeText(directory_ / name, content);
    return directory_ / name;
  }
  static std::string read(const fs::path& path) { return testing::readText(path); }
  std::size_t files() const {
    return std::distance(fs::directory_iterator(directory_.path()), fs::directory_iterator());
  }
  // Large enough to take several pieces each way.
  const std::string content_ = [] {
    std::string bytes(5 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(i * 7 + i / 4099);
    return bytes;
  }();
  testing::TempDir directory_;
};

TEST_F(APIArtifacts, UploadStreamsTheFileWithItsSizeAndDigest) {
  fs::path file = write("build.vekenc", content_);
  ScriptedHttpServer server(
      {ScriptedAnswer::json(200, "not JSON, and not read"),
       ScriptedAnswer::json(409, R"({"error":"The job lease has lapsed."})")});
  API api = enrolledAt(server);
  api.upload("J-1", "lease-1", file);
  EXPECT_EQ(failureOf([&] { api.upload("J-1", "lease-1", file); }), "The job lease has lapsed.");

  const auto put = server.requests().at(0);
  EXPECT_EQ(put.method + " " + put.target, "PUT /v1/jobs/J-1/artifact");
  EXPECT_EQ(put.header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(put.header("Content-Length"), std::to_string(content_.size()));
  EXPECT_EQ(put.header("X-VEK-SHA256"), ArtifactCrypto::sha256(file));
  EXPECT_EQ(put.header("X-VEK-Lease"), "lease-1");
  EXPECT_EQ(put.header("X-VEK-Bootstrap"), std::nullopt);
  EXPECT_TRUE(put.body == content_);
}

TEST_F(APIArtifacts, DownloadReplacesAnExistingFileOnlyWithAVerifiedBuild) {
  std::string digest = ArtifactCrypto::sha256(write("source", content_));
  std::string upper = digest;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  fs::path target = write("artifact.vekenc", "an older build");
  ScriptedHttpServer server(
      {ScriptedAnswer::http(200, content_),
       ScriptedAnswer::json(409, R"({"error":"This job is not installing."})"),
       ScriptedAnswer::http(200, content_)});
  API api = enrolledAt(server);
  EXPECT_EQ(failureOf([&] { api.download("J", "L", target, upper); }),
            "Downloaded build checksum mismatch");
  EXPECT_EQ(failureOf([&] { api.download("J", "L", target, digest); }),
            "This job is not installing.");
  EXPECT_EQ(read(target), "an older build");
  EXPECT_EQ(files(), 2u);  // no temporary file left behind

  api.download("J-2", "lease-2", target, digest);
  EXPECT_TRUE(read(target) == content_);
  EXPECT_EQ(files(), 2u);
  const auto get = server.requests().at(2);
  EXPECT_EQ(get.method + " " + get.target, "GET /v1/jobs/J-2/artifact");
  EXPECT_EQ(get.header("X-VEK-Lease"), "lease-2");
}

TEST_F(APIArtifacts, ADownloadCutShortLeavesNothingAtTheDestination) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n";
  ScriptedHttpServer server({{head + std::string(4000, 'x')}});
  fs::path target = directory_ / "artifact.vekenc";
  EXPECT_TRUE(failureOf<TransportError>(
                  [&] { enrolledAt(server).download("J", "L", target, std::string(64, '0')); })
                  .starts_with("The answer from the relay at 127.0.0.1:" +
                               std::to_string(server.port()) + " was cut short"));
  EXPECT_EQ(files(), 0u);
}

TEST_F(APIArtifacts, AResumedDownloadTakesOnlyTheRestOfTheSameBuild) {
  const std::string digest = ArtifactCrypto::sha256(write("source", content_));
  const std::string size = std::to_string(content_.size());
  const std::string tail = content_.substr(1000);
  struct Case {
    const char* what;
    std::string held;  // what the partial file holds before
    std::vector<ScriptedAnswer> answers;
    std::string result;  // "verified", "mismatch", or the error
  };
  std::string garbled = content_.substr(0, 1000);
  garbled[5] ^= 1;
  const ScriptedAnswer theRest = ScriptedAnswer::http(
      206, tail,
      {{"Content-Range", "bytes 1000-" + std::to_string(content_.size() - 1) + "/" + size}});
  const std::vector<Case> cases{
      {"the rest", content_.substr(0, 1000), {theRest}, "verified"},
      {"the whole build instead",
       "stale bytes of something else",
       {ScriptedAnswer::http(200, content_)},
       "verified"},
      {"nothing left to send",
       content_,
       {ScriptedAnswer::http(416, "{}", {{"Content-Range", "bytes */" + size}})},
       "verified"},
      {"more than the whole build",
       content_ + "and a stale tail",
       {ScriptedAnswer::http(416, "{}", {{"Content-Range", "bytes */" + size}}),
        ScriptedAnswer::http(200, content_)},
       "verified"},
      {"another part than asked for",
       content_.substr(0, 1000),
       {ScriptedAnswer::http(
           206, content_,
           {{"Content-Range", "bytes 0-" + std::to_string(content_.size() - 1) + "/" + size}})},
       "Invalid server response"},
      {"a damaged beginning", garbled, {theRest}, "mismatch"},
  };
  for (const Case& c : cases) {
    const fs::path partial = write("Build.vek.part", c.held);
    const fs::path target = directory_ / "Build.vek";
    fs::remove(target);
    ScriptedHttpServer server(c.answers);
    std::string result = failureOf([&] {
      API::DownloadDigest soFar;
      bool verified = enrolledAt(server).resumeDownload("J", "L", partial, target, digest, soFar) ==
                      API::Download::verified;
      throw VEKError(verified ? "verified" : "mismatch");
    });
    EXPECT_EQ(result, c.result) << c.what;
    if (result == "verified") {
      EXPECT_TRUE(read(target) == content_) << c.what;
    } else {
      // A refused answer leaves the partial file as it was; a wrong build leaves nothing.
      EXPECT_EQ(fs::exists(partial), result != "mismatch") << c.what;
    }
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.header("Range"), "bytes=" + std::to_string(c.held.size()) + "-") << c.what;
    EXPECT_EQ(request.header("If-Range"), "\"" + digest + "\"") << c.what;
  }
}

}  // namespace
}  // namespace vek
