// Clients that misbehave on the wire: garbage, stalls, huge headers, idle sockets; and the
// transports a real deployment uses (pipelining, chunked bodies, 100-continue, TLS).
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "relay_fixture.h"
#include "test_support.h"

namespace vek::e2e {
namespace {

class WireTest : public RelayTest {
  std::vector<std::string> arguments() override {
    return {"--header-timeout-seconds", "1", "--idle-timeout-seconds", "2"};
  }
};

TEST_F(WireTest, GarbageIsAnsweredThenDropped) {
  Connection garbage(port());
  static constexpr char kTlsHello[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 hello\r\n\r\n";
  garbage.send(std::string(kTlsHello, sizeof kTlsHello - 1));
  Response answer = garbage.readResponse();
  EXPECT_EQ(answer.status, 400);
  EXPECT_EQ(answer.error(), "The request is not valid HTTP/1.1.");
  EXPECT_TRUE(garbage.waitForClose());

  Connection huge(port());
  huge.send("GET /healthz HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n");
  EXPECT_EQ(huge.readResponse().status, 431);
  EXPECT_EQ(call(port(), "GET", "/healthz").body, R"({"ok":true})");
}

TEST_F(WireTest, AStalledClientIsCutOffWithoutHoldingUpOthers) {
  Connection stalled(port());
  stalled.send("POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\nContent-Le");
  Connection silent(port());  // never sends a byte
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(call(port(), "GET", "/healthz").status, 200);
  EXPECT_TRUE(stalled.waitForClose());
  EXPECT_TRUE(silent.waitForClose());

  // A JSON body that never completes is cut off too.
  Connection slowBody(port());
  slowBody.send("POST /v1/join HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"co");
  EXPECT_TRUE(slowBody.waitForClose());
}

// Idle connections may stay for minutes, but a request once begun must be completed in time.
class LongIdleTest : public RelayTest {
  std::vector<std::string> arguments() override {
    return {"--header-timeout-seconds", "1", "--idle-timeout-seconds", "600"};
  }
};

TEST_F(LongIdleTest, ARequestStalledOnAKeptAliveConnectionIsCutOffByTheHeaderTimeout) {
  Connection connection(port());
  EXPECT_EQ(connection.request("GET", "/healthz").status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // idle past the first deadline
  connection.send("GET /healthz HTTP/1.1\r\nHo");
  // The connection's 60-second receive limit is far below the idle time-out: only the header
  // time-out can close it in time.
  EXPECT_TRUE(connection.waitForClose());
}

TEST_F(WireTest, KeepAliveConnectionsServeManyRequestsThenIdleOut) {
  Member member = createGroup();
  Connection connection(port());
  // Two requests in one write are answered in order.
  connection.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\nGET /v1/group HTTP/1.1\r\nHost: x\r\n" +
                  std::string("Authorization: ") + member.bearer() + "\r\n\r\n");
  EXPECT_EQ(connection.readResponse().body, R"({"ok":true})");
  EXPECT_EQ(connection.readResponse().json()["devices"].items().size(), 1u);
  // Refusals that come after the body keep the connection.
  EXPECT_EQ(connection.request("POST", "/v1/heartbeat", "{}", member.auth()).status, 400);
  EXPECT_EQ(connection.request("GET", "/v1/group", "", member.auth()).status, 200);
  EXPECT_TRUE(connection.waitForClose());
}

TEST_F(WireTest, HeadAnswersEndWithTheirHeaderAndEvery405NamesTheAllowedMethods) {
  Member member = createGroup();
  Connection connection(port());
  Response head = connection.request("HEAD", "/v1/group", "", member.auth());
  EXPECT_EQ(head.status, 405);
  EXPECT_EQ(head.headers["allow"], "GET");
  // Had a body followed the header, this answer would be read from the middle of it.
  Response next = connection.request("GET", "/v1/group", "", member.auth());
  EXPECT_EQ(next.status, 200);
  EXPECT_EQ(next.json()["devices"].items().size(), 1u);
  EXPECT_EQ(connection.request("HEAD", "/healthz").headers["allow"], "GET");
  EXPECT_EQ(connection.request("GET", "/healthz").body, R"({"ok":true})");

  Response patch = connection.request("PATCH", "/v1/jobs", "", member.auth());
  EXPECT_EQ(patch.status, 405);
  EXPECT_EQ(patch.headers["allow"], "GET, POST");
  EXPECT_NE(patch.error().find("does not accept PATCH"), std::string::npos);
  EXPECT_EQ(connection.request("DELETE", "/v1/group").headers["allow"], "GET");
  EXPECT_EQ(connection.request("HEAD", "/v1/nothing").status, 404);
  EXPECT_EQ(connection.request("GET", "/healthz").status, 200);
}

TEST_F(WireTest, ChunkedBodiesAndContinueAreUnderstood) {
  Member member = createGroup();
  std::string body = R"({"inventory":{"phones":[]},"leases":[]})";
  std::string rest = body.substr(5);
  char size[16];
  std::snprintf(size, sizeof size, "%zx", rest.size());
  Connection chunked(port());
  chunked.send("POST /v1/heartbeat HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n" +
               std::string("Authorization: ") + member.bearer() + "\r\n\r\n5\r\n" +
               body.substr(0, 5) + "\r\n" + size + "\r\n" + rest + "\r\n0\r\n\r\n");
  EXPECT_EQ(chunked.readResponse().status, 200);

  std::string job = queue(member, member, member);
  Claimed held = claim(member);
  std::string build = randomData(5000);
  Connection upload(port());
  ASSERT_EQ(held.job, job);
  upload.send(uploadHead(member, held, build.size(), sha256(build), "Expect: 100-continue\r\n"));
  // The go-ahead comes before any body byte is sent.
  EXPECT_EQ(upload.readResponse(false).status, 100);
  upload.send(build);
  EXPECT_EQ(upload.readResponse().status, 200);
}

TEST(RelayStart, GeneratesAPrivateBootstrapTokenAndNeverPrintsIt) {
  RelayProcess relay;
  relay.start();
  std::filesystem::path file = relay.dataDirectory() / "bootstrap-token";
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(relay.bootstrapToken().size(), 43u);
  EXPECT_NE(relay.output().find(file.string()), std::string::npos);
  EXPECT_EQ(relay.output().find(relay.bootstrapToken()), std::string::npos);
  std::string token = relay.bootstrapToken();
  EXPECT_EQ(relay.stop(), 0);
  relay.start();
  EXPECT_EQ(relay.bootstrapToken(), token);
}

TEST(RelayStart, AcceptsTheTokensOfABootstrapFile) {
  testing::TempDir directory;
  std::filesystem::path file = directory / "tokens";
  std::ofstream(file) << "# admins\n\n  first-token-0123456789  \nsecond-token-0123456789\n";
  RelayProcess relay({"--bootstrap-token-file", file.string()});
  relay.start();
  auto create = [&](const std::string& token) {
    return call(relay.port(), "POST", "/v1/groups", R"({"name":"G","device_name":"D"})",
                {{"X-VEK-Bootstrap", token}})
        .status;
  };
  EXPECT_EQ(create("second-token-0123456789"), 200);
  EXPECT_EQ(create("first-token-0123456789"), 200);
  EXPECT_EQ(create("# admins"), 403);
  EXPECT_FALSE(std::filesystem::exists(relay.dataDirectory() / "bootstrap-token"));
  std::ofstream(file) << "short\n";
  RelayProcess refused({"--bootstrap-token-file", file.string()});
  EXPECT_THROW(refused.start(), std::runtime_error);
}

// Runs a shell command; its exit status.
int shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A self-signed certificate for 127.0.0.1 and its key, in a directory of their own.
class SelfSigned {
 public:
  SelfSigned() {
    created_ = shell(
                   "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost "
                   "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                   key() + " -out " + cert() + " 2>/dev/null") == 0;
  }
  bool created() const { return created_; }
  std::string cert() const { return (dir_ / "cert.pem").string(); }
  std::string key() const { return (dir_ / "key.pem").string(); }

 private:
  testing::TempDir dir_;
  bool created_ = false;
};

TEST(RelayTls, ServesTheSameApiOverHttps) {
  if (shell("command -v openssl >/dev/null && command -v curl >/dev/null") != 0) {
    GTEST_SKIP() << "openssl and curl are needed to test TLS";
  }
  SelfSigned certificate;
  ASSERT_TRUE(certificate.created());
  std::string cert = certificate.cert();
  RelayProcess relay({"--tls-cert", cert, "--tls-key", certificate.key()});
  relay.start();
  EXPECT_NE(relay.output().find("listening on https://127.0.0.1:"), std::string::npos);
  std::string origin = "https://127.0.0.1:" + std::to_string(relay.port());
  auto fetch = [&](const std::string& options) {
    std::string output;
    FILE* pipe = ::popen(("curl -sS --cacert " + cert + " " + options + " 2>&1").c_str(), "r");
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
      output.append(buffer, n);
    ::pclose(pipe);
    return output;
  };
  EXPECT_EQ(fetch(origin + "/healthz"), R"({"ok":true})");
  std::string created = fetch("-X POST -H 'X-VEK-Bootstrap: " + relay.bootstrapToken() + "' -d " +
                              R"('{"name":"G","device_name":"D"}' )" + origin + "/v1/groups");
  EXPECT_EQ(JSON::decode(created)["group_name"].text(), "G");
  // Plain HTTP on the TLS port gets nothing usable.
  EXPECT_THROW(call(relay.port(), "GET", "/healthz"), std::runtime_error);
}

// TLS 1.2 offers forward-secret AEAD suites only: CBC suites invite padding-oracle attacks
// (LUCKY13), and suites without ECDHE give up forward secrecy. TLS 1.3 stays as it is.
TEST(RelayTls, Tls12OffersOnlyForwardSecretAeadSuites) {
  if (shell("command -v openssl >/dev/null") != 0) GTEST_SKIP() << "openssl is needed";
  SelfSigned certificate;
  ASSERT_TRUE(certificate.created());
  RelayProcess relay({"--tls-cert", certificate.cert(), "--tls-key", certificate.key()});
  relay.start();
  auto handshake = [&](const std::string& options) {
    return shell("openssl s_client -connect 127.0.0.1:" + std::to_string(relay.port()) + " " +
                 options + " </dev/null >/dev/null 2>&1") == 0;
  };
  EXPECT_FALSE(handshake("-tls1_2 -cipher ECDHE-RSA-AES128-SHA256"));
  EXPECT_FALSE(handshake("-tls1_2 -cipher ECDHE-RSA-AES256-SHA"));
  EXPECT_FALSE(handshake("-tls1_2 -cipher AES128-GCM-SHA256"));
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256"));
  EXPECT_TRUE(handshake("-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305"));
  EXPECT_TRUE(handshake("-tls1_3"));
}

}  // namespace
}  // namespace vek::e2e
