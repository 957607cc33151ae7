// The relay client against a scripted server: what it sends, and what it makes of answers a real
// relay never gives.
#include "relay_client/api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "artifacts/artifact_crypto.h"
#include "foundation/errors.h"
#include "foundation/task.h"
#include "relay_client/testing/scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedAnswer;
using testing::ScriptedHttpServer;
using testing::TempDir;

const Credentials credentials{"", "dev-1", "tok-1", "grp", "Group", "Mac", "key"};

API enrolledAt(const ScriptedHttpServer& server) {
  Credentials enrolled = credentials;
  enrolled.server = server.origin();
  return API(enrolled);
}

template <typename Error = VEKError, typename Body>
std::string failureOf(Body body) {
  try {
    body();
  } catch (const Error& error) {
    return error.what();
  }
  return "(no failure)";
}

std::vector<fs::path> entries(const fs::path& directory) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(directory))
    found.push_back(entry.path());
  return found;
}

TEST(APIAnswers, SuccessIsTheDecodedBody) {
  ScriptedHttpServer server({ScriptedAnswer::json(200, R"({"devices":[],"id":"g"})")});
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(api.call("GET", "/v1/group"), JSON::object({{"devices", JSON::array()}, {"id", "g"}}));
}

TEST(APIAnswers, RefusalsCarryTheRelaysTextOrTheStatus) {
  ScriptedHttpServer server({
      ScriptedAnswer::json(403, R"({"error":"This invite code has expired."})"),
      ScriptedAnswer::http(500, "<html><body>Internal Server Error</body></html>",
                           {{"Content-Type", "text/html"}}),
      ScriptedAnswer::json(401, R"({"error":401})"),
      ScriptedAnswer::json(404, R"(["error"])"),
      ScriptedAnswer::http(503, ""),
  });
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(failureOf([&] { api.call("POST", "/v1/join", JSON::object()); }),
            "This invite code has expired.");
  EXPECT_EQ(failureOf([&] { api.call("GET", "/v1/group"); }), "Relay returned HTTP 500");
  EXPECT_EQ(failureOf([&] { api.call("GET", "/v1/group"); }), "Relay returned HTTP 401");
  EXPECT_EQ(failureOf([&] { api.call("GET", "/v1/group"); }), "Relay returned HTTP 404");
  EXPECT_EQ(failureOf([&] { api.call("GET", "/v1/group"); }), "Relay returned HTTP 503");
}

TEST(APIAnswers, RedirectIsAFailureAndIsNotFollowed) {
  ScriptedHttpServer server({
      ScriptedAnswer::http(302, "", {{"Location", "/v1/elsewhere"}}),
      ScriptedAnswer::json(200, "{}"),
  });
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(failureOf([&] { api.call("GET", "/v1/group"); }), "Relay returned HTTP 302");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].target, "/v1/group");
}

TEST(APIAnswers, EmptySuccessBodyFailsWithTheDecodersError) {
  ScriptedHttpServer server({ScriptedAnswer::json(200, ""), ScriptedAnswer::json(200, "<html>")});
  API api(server.origin(), std::nullopt);
  std::string decoderError = failureOf<DecodingError>([] { JSON::decode(""); });
  EXPECT_EQ(failureOf<DecodingError>([&] { api.call("GET", "/v1/group"); }), decoderError);
  EXPECT_NE(failureOf<DecodingError>([&] { api.call("GET", "/v1/group"); }), "(no failure)");
}

TEST(APIAnswers, AnAnswerThatIsNotHTTPIsAnInvalidServerResponse) {
  ScriptedHttpServer server({{"SSH-2.0-OpenSSH_9.2\r\n\r\n"}});
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(failureOf([&] { api.call("GET", "/v1/group"); }), "Invalid server response");
}

TEST(APIHeaders, IdentityHeadersOnlyWhenThereIsSomethingToSend) {
  ScriptedHttpServer server({ScriptedAnswer::json(200, "{}"), ScriptedAnswer::json(200, "{}"),
                             ScriptedAnswer::json(200, "{}"), ScriptedAnswer::json(200, "{}")});
  API anonymous(server.origin(), std::nullopt);
  API enrolled = enrolledAt(server);
  anonymous.call("POST", "/v1/join", JSON::object({{"code", "c"}}));
  anonymous.call("POST", "/v1/groups", JSON::object(), std::nullopt, std::string("boot"));
  enrolled.call("GET", "/v1/group");
  enrolled.call("POST", "/v1/jobs/J/event", JSON::object({{"message", "m"}}), std::string("L"));

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const auto& request : requests)
    EXPECT_EQ(request.header("User-Agent"), "VEK/0.1.0");

  const auto& join = requests[0];
  EXPECT_EQ(join.method, "POST");
  EXPECT_EQ(join.header("Authorization"), std::nullopt);
  EXPECT_EQ(join.header("X-VEK-Lease"), std::nullopt);
  EXPECT_EQ(join.header("X-VEK-Bootstrap"), std::nullopt);
  EXPECT_EQ(join.header("Content-Type"), "application/json");
  EXPECT_EQ(JSON::decode(join.body), JSON::object({{"code", "c"}}));

  EXPECT_EQ(requests[1].header("X-VEK-Bootstrap"), "boot");
  EXPECT_EQ(requests[1].header("Authorization"), std::nullopt);

  const auto& status = requests[2];
  EXPECT_EQ(status.method, "GET");
  EXPECT_EQ(status.header("Authorization"), "Bearer dev-1.tok-1");
  EXPECT_EQ(status.header("X-VEK-Lease"), std::nullopt);
  EXPECT_EQ(status.header("X-VEK-Bootstrap"), std::nullopt);
  EXPECT_EQ(status.header("Content-Type"), std::nullopt);
  EXPECT_EQ(status.body, "");

  EXPECT_EQ(requests[3].header("X-VEK-Lease"), "L");
  EXPECT_EQ(requests[3].header("Authorization"), "Bearer dev-1.tok-1");
}

TEST(APIHeaders, MethodsWithoutABodySendNone) {
  ScriptedHttpServer server(
      {ScriptedAnswer::json(200, R"({"ok":true})"), ScriptedAnswer::json(200, "{}")});
  API api = enrolledAt(server);
  api.call("DELETE", "/v1/devices/d-2");
  api.call("POST", "/v1/claim");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "DELETE");
  EXPECT_EQ(requests[0].target, "/v1/devices/d-2");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_EQ(requests[1].header("Content-Type"), std::nullopt);
}

TEST(APIHeaders, ALineBreakInAHeaderValueIsRefusedBeforeSending) {
  ScriptedHttpServer server({ScriptedAnswer::json(200, "{}")});
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(failureOf([&] {
              api.call("POST", "/v1/groups", JSON::object(), std::nullopt,
                       std::string("token\r\nX-Injected: 1"));
            }),
            "Cannot send the X-VEK-Bootstrap header: its value contains a line break or another "
            "control character.");
  Credentials sneaky = credentials;
  sneaky.server = server.origin();
  sneaky.token = "t\nX-Injected: 1";
  EXPECT_NE(failureOf([&] { API(sneaky).call("GET", "/v1/group"); }), "(no failure)");
  EXPECT_TRUE(server.requests().empty());
}

TEST(APITransport, ARelayThatIsDownIsOneClearSentence) {
  int port = testing::unusedPort();
  API api("http://127.0.0.1:" + std::to_string(port), std::nullopt);
  EXPECT_EQ(failureOf<TransportError>([&] { api.call("GET", "/v1/group"); }),
            "Cannot reach the relay at 127.0.0.1:" + std::to_string(port) + ": Connection refused");
}

TEST(APITransport, AConnectionClosedWithoutAnAnswer) {
  ScriptedHttpServer server({{""}});
  API api(server.origin(), std::nullopt);
  EXPECT_EQ(failureOf<TransportError>([&] { api.call("GET", "/v1/group"); }),
            "The relay at 127.0.0.1:" + std::to_string(server.port()) +
                " closed the connection without answering");
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

TEST(APITransport, CopiesServeConcurrentRequestsFromManyThreads) {
  constexpr int threads = 12;
  std::vector<ScriptedAnswer> script;
  for (int i = 0; i < threads; ++i)
    script.push_back(ScriptedAnswer::json(200, R"({"ok":true})"));
  ScriptedHttpServer server(script);
  API api = enrolledAt(server);
  std::vector<std::thread> workers;
  std::atomic<int> succeeded = 0;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([copy = api, &succeeded] {
      if (copy.call("GET", "/v1/group")["ok"].flag()) ++succeeded;
    });
  }
  for (auto& worker : workers)
    worker.join();
  EXPECT_EQ(succeeded, threads);
  EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(threads));
}

class APIArtifacts : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& content) {
    fs::path path = directory_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string digestOf(const std::string& content) {
    return ArtifactCrypto::sha256(write("digest-source", content));
  }
  static std::string artifact() {
    std::string content(5 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
      content[i] = static_cast<char>(i * 7 + i / 4099);
    return content;
  }

  TempDir directory_;
};

TEST_F(APIArtifacts, UploadStreamsTheFileWithItsSizeAndDigest) {
  std::string content = artifact();
  fs::path file = write("build.vekenc", content);
  ScriptedHttpServer server({ScriptedAnswer::json(200, "not even JSON")});
  enrolledAt(server).upload("J-1", "lease-1", file);

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& put = requests[0];
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(put.target, "/v1/jobs/J-1/artifact");
  EXPECT_EQ(put.header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(put.header("Content-Length"), std::to_string(content.size()));
  EXPECT_EQ(put.header("X-VEK-SHA256"), ArtifactCrypto::sha256(file));
  EXPECT_EQ(put.header("X-VEK-Lease"), "lease-1");
  EXPECT_EQ(put.header("Authorization"), "Bearer dev-1.tok-1");
  EXPECT_EQ(put.header("X-VEK-Bootstrap"), std::nullopt);
  EXPECT_TRUE(put.body == content);
}

TEST_F(APIArtifacts, UploadRefusedAndUploadOfAMissingFile) {
  fs::path file = write("build.vekenc", "bytes");
  ScriptedHttpServer server(
      {ScriptedAnswer::json(409, R"({"error":"The job lease has lapsed."})")});
  API api = enrolledAt(server);
  EXPECT_EQ(failureOf([&] { api.upload("J", "L", file); }), "The job lease has lapsed.");
  EXPECT_EQ(failureOf<SystemError>([&] { api.upload("J", "L", directory_ / "missing"); }),
            "Cannot open " + (directory_ / "missing").string() + ": No such file or directory");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(APIArtifacts, DownloadReplacesAnExistingFile) {
  std::string content = artifact();
  std::string digest = digestOf(content);
  fs::path target = write("artifact.vekenc", "an older build");
  ScriptedHttpServer server({ScriptedAnswer::http(200, content)});
  enrolledAt(server).download("J-2", "lease-2", target, digest);

  EXPECT_TRUE(read(target) == content);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/v1/jobs/J-2/artifact");
  EXPECT_EQ(requests[0].header("X-VEK-Lease"), "lease-2");
  EXPECT_EQ(entries(directory_.path()).size(), 2u);  // the target and the digest source
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(APIArtifacts, DigestThatDiffersOnlyInLetterCaseIsAMismatch) {
  std::string content = "encrypted build";
  std::string digest = digestOf(content);
  std::string upper = digest;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, digest);

  fs::path fresh = directory_ / "fresh.vekenc";
  fs::path existing = write("existing.vekenc", "kept as it was");
  ScriptedHttpServer server(
      {ScriptedAnswer::http(200, content), ScriptedAnswer::http(200, content)});
  API api = enrolledAt(server);
  EXPECT_EQ(failureOf([&] { api.download("J", "L", fresh, upper); }),
            "Downloaded build checksum mismatch");
  EXPECT_EQ(failureOf([&] { api.download("J", "L", existing, upper); }),
            "Downloaded build checksum mismatch");
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_EQ(read(existing), "kept as it was");
  EXPECT_EQ(entries(directory_.path()).size(), 2u);  // no temporary file left behind
}

TEST_F(APIArtifacts, ADownloadCutShortLeavesNothingAtTheDestination) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n";
  ScriptedHttpServer server({{head + std::string(4000, 'x')}});
  fs::path target = directory_ / "artifact.vekenc";
  std::string failure = failureOf<TransportError>(
      [&] { enrolledAt(server).download("J", "L", target, std::string(64, '0')); });
  EXPECT_TRUE(failure.starts_with(
      "The answer from the relay at 127.0.0.1:" + std::to_string(server.port()) + " was cut short"))
      << failure;
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(entries(directory_.path()).empty());
}

TEST_F(APIArtifacts, ARefusedDownloadReportsTheRelayAndKeepsTheDestination) {
  fs::path target = write("artifact.vekenc", "previous");
  ScriptedHttpServer server(
      {ScriptedAnswer::json(409, R"({"error":"This job is not installing."})"),
       ScriptedAnswer::http(404, "<html>Not Found</html>")});
  API api = enrolledAt(server);
  EXPECT_EQ(failureOf([&] { api.download("J", "L", target, "0"); }), "This job is not installing.");
  EXPECT_EQ(failureOf([&] { api.download("J", "L", target, "0"); }), "Relay returned HTTP 404");
  EXPECT_EQ(read(target), "previous");
  EXPECT_EQ(entries(directory_.path()).size(), 1u);
}

}  // namespace
}  // namespace vek
