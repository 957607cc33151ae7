#include "relay_fixture.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "foundation/random.h"
#include "foundation/sha256.h"

namespace vek::e2e {

Response RelayTest::upload(const Member& who, const Claimed& held, const std::string& bytes,
                           const std::string& sha) {
  Headers headers = who.auth(held.lease);
  headers.emplace_back("Content-Type", "application/octet-stream");
  headers.emplace_back("X-VEK-SHA256", sha.empty() ? sha256(bytes) : sha);
  return call(port(), "PUT", "/v1/jobs/" + held.job + "/artifact", bytes, headers);
}

std::string RelayTest::uploadHead(const Member& who, const Claimed& held, std::uint64_t length,
                                  const std::string& sha, const std::string& extra) {
  return "PUT /v1/jobs/" + held.job +
         "/artifact HTTP/1.1\r\nHost: x\r\nAuthorization: " + who.bearer() +
         "\r\nX-VEK-Lease: " + held.lease + "\r\nX-VEK-SHA256: " + sha + "\r\n" + extra +
         "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

int RelayTest::metricsPort() {
  int port = relay_->metricsPort();
  if (port == 0) ADD_FAILURE() << "no metrics line in: " << relay_->output();
  return port;
}

std::vector<std::string> RelayTest::artifactFiles() {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(relay_->dataDirectory() / "artifacts")) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

Exposition MetricsRelayTest::scrape() {
  Response answer = call(metricsPort(), "GET", "/metrics");
  EXPECT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.headers["content-type"], "text/plain; version=0.0.4; charset=utf-8");
  text_ = answer.body;
  try {
    return parseExposition(answer.body);
  } catch (const std::exception& error) {
    ADD_FAILURE() << "invalid exposition: " << error.what() << "\n" << answer.body;
    return {};
  }
}

double MetricsRelayTest::value(const Exposition& exposition, const std::string& series) {
  auto found = exposition.value(series);
  EXPECT_TRUE(found.has_value()) << series << " missing from\n" << text_;
  return found.value_or(-1);
}

bool MetricsRelayTest::awaitValue(const std::string& series, double expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (value(series) == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string randomData(std::size_t count) {
  return randomBytes(count);
}

std::string sha256(const std::string& bytes) {
  return Sha256::hexOf(bytes);
}

}  // namespace vek::e2e
