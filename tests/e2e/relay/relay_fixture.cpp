#include "relay_fixture.h"

#include <openssl/evp.h>

#include <filesystem>

#include "foundation/random.h"
#include "foundation/text.h"

namespace vek::e2e {

Response RelayTest::upload(const Member& who, const Claimed& held, const std::string& bytes,
                           const std::string& sha) {
  Headers headers = who.auth(held.lease);
  headers.emplace_back("Content-Type", "application/octet-stream");
  headers.emplace_back("X-VEK-SHA256", sha.empty() ? sha256(bytes) : sha);
  return call(port(), "PUT", "/v1/jobs/" + held.job + "/artifact", bytes, headers);
}

std::vector<std::string> RelayTest::artifactFiles() {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(relay_->dataDirectory() / "artifacts")) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::string randomData(std::size_t count) {
  return randomBytes(count);
}

std::string sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return text::hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

}  // namespace vek::e2e
