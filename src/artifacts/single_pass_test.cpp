#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <set>
#include <vector>

#include "artifacts/artifact_crypto.h"
#include "artifacts/test_files.h"
#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/text.h"

namespace vek {
namespace {

using testing::be32;
using testing::failure;
namespace fs = std::filesystem;

constexpr std::size_t MiB4 = 4 * 1024 * 1024;
const std::string keyBytes = "0123456789abcdef0123456789ABCDEF";
const std::string key = base64::encode(keyBytes);
const std::string job = "7c0d5e2a-1b3f-4a6c-8d9e-0f1a2b3c4d5e";

std::string sha256Of(const std::string& bytes) {
  unsigned char digest[32];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
  return text::hex(std::string_view(reinterpret_cast<char*>(digest), 32));
}

// A record sealed without the library under test, so artifacts can be cut into pieces of any size.
std::string sealRecord(const std::string& plain, std::size_t index, bool end) {
  std::string aad = job + ":" + std::to_string(index) + (end ? ":end" : ":data");
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(),
                                                                 EVP_CIPHER_CTX_free);
  auto u = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  std::string nonce(12, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), 12);
  std::string out(plain.size() + 16, '\0');
  auto m = reinterpret_cast<unsigned char*>(out.data());
  int n = 0;
  EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, u(keyBytes), u(nonce));
  EVP_EncryptUpdate(ctx.get(), nullptr, &n, u(aad), static_cast<int>(aad.size()));
  EVP_EncryptUpdate(ctx.get(), m, &n, u(plain), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx.get(), m + plain.size(), &n);
  EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, m + plain.size());
  return be32(12 + out.size()) + nonce + out;
}

// The artifact of `plain` cut into records of `piece` bytes.
std::string artifactOf(const std::string& plain, std::size_t piece) {
  std::string file = "VEKENC1\n";
  std::size_t index = 0;
  for (std::size_t at = 0; at < plain.size(); at += piece)
    file += sealRecord(plain.substr(at, piece), index++, false);
  return file + sealRecord("", index, true);
}

std::string packageOf(const std::string& manifest, const std::string& ipa) {
  return "VEKPKG1\n" + be32(manifest.size()) + manifest + ipa;
}

JSON manifestFor(const std::string& ipa) {
  return JSON::object({{"bundle_id", "com.example.App"}, {"ipa_sha256", sha256Of(ipa)}});
}

class SinglePass : public testing::ScratchTest {
 protected:
  JSON open() {
    return ArtifactCrypto::decryptAndUnpack(path("Build.vek"), path("App.ipa"), key, job);
  }
  // The files the scratch directory holds.
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(path(".")))
      names.insert(entry.path().filename().string());
    return names;
  }
  // Opens `artifact` and returns the failure, which must be the one decrypting and then
  // unpacking gives, with no decrypted file left behind.
  std::string openFailure(const std::string& artifact) {
    write(path("Build.vek"), artifact);
    std::string expected = failure([&] {
      ArtifactCrypto::decrypt(path("Build.vek"), path("two.vekpkg"), key, job);
      ArtifactCrypto::unpack(path("two.vekpkg"), path("two.ipa"));
    });
    std::string result = failure([&] { open(); });
    EXPECT_EQ(result, expected);
    EXPECT_FALSE(fs::exists(path("App.ipa"))) << result;
    return result;
  }
};

TEST_F(SinglePass, SealedPackageIsWhatPackingThenEncryptingWrites) {
  const std::string manifest = manifestFor("").data();
  const std::size_t head = 12 + manifest.size();
  // No IPA at all, a first record filled exactly, one byte more, and several records.
  for (std::size_t size : {std::size_t{0}, MiB4 - head, MiB4 - head + 1, 2 * MiB4 + 17}) {
    SCOPED_TRACE(size);
    const std::string ipa = testing::ScratchTest::pattern(size);
    write(path("in.ipa"), ipa);
    const JSON record = manifestFor(ipa);
    fs::remove(path("Build.vek"));
    std::string digest =
        ArtifactCrypto::packageAndEncrypt(path("in.ipa"), record, path("Build.vek"), key, job);
    // The package exists only inside the artifact, whichever side is at work.
    EXPECT_EQ(files(), (std::set<std::string>{"in.ipa", "Build.vek"}));
    EXPECT_EQ(mode(path("Build.vek")), 0600u);
    const std::string artifact = read(path("Build.vek"));
    EXPECT_EQ(digest, sha256Of(artifact));
    const std::string package = packageOf(record.data(), ipa);
    ArtifactCrypto::decrypt(path("Build.vek"), path("two.vekpkg"), key, job);
    EXPECT_TRUE(read(path("two.vekpkg")) == package);
    fs::remove(path("two.vekpkg"));
    // Records fall every 4 MiB of the package, as encrypting the package file gives.
    std::size_t records = (package.size() + MiB4 - 1) / MiB4;
    EXPECT_EQ(artifact.size(), 8 + package.size() + 32 * (records + 1));

    EXPECT_EQ(open(), record);
    EXPECT_TRUE(read(path("App.ipa")) == ipa);
    EXPECT_EQ(mode(path("App.ipa")), 0600u);
    EXPECT_EQ(files(), (std::set<std::string>{"in.ipa", "Build.vek", "App.ipa"}));
    fs::remove(path("App.ipa"));
  }
}

TEST_F(SinglePass, SealingFailsBeforeCreatingAnythingOrOverwritingItsInput) {
  const std::string ipa = "zip bytes";
  write(path("in.ipa"), ipa);
  const JSON record = manifestFor(ipa);
  auto seal = [&](const fs::path& ipaPath, const JSON& manifest, const fs::path& artifact,
                  const std::string& k) {
    return failure([&] { ArtifactCrypto::packageAndEncrypt(ipaPath, manifest, artifact, k, job); });
  };
  EXPECT_EQ(seal(path("in.ipa"), record, path("a"), base64::encode(std::string(31, 'k'))),
            "Invalid group encryption key");
  JSON huge = record;
  huge.set("padding", std::string(1024 * 1024, 'x'));
  EXPECT_EQ(seal(path("in.ipa"), huge, path("a"), key), "Manifest too large");
  EXPECT_NE(seal(path("missing.ipa"), record, path("a"), key), "(succeeded)");
  EXPECT_FALSE(fs::exists(path("a")));

  EXPECT_NE(seal(path("in.ipa"), record, path("in.ipa"), key), "(succeeded)");
  EXPECT_EQ(read(path("in.ipa")), ipa);
}

TEST_F(SinglePass, PackageIsParsedAcrossRecordsOfAnySize) {
  const std::string ipa = testing::ScratchTest::pattern(5000);
  const JSON record = manifestFor(ipa);
  const std::string package = packageOf(record.data(), ipa);
  // Pieces that split the magic, the length field, the manifest and the IPA.
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{13}, package.size()}) {
    SCOPED_TRACE(piece);
    write(path("Build.vek"), artifactOf(package, piece));
    EXPECT_EQ(open(), record);
    EXPECT_TRUE(read(path("App.ipa")) == ipa);
    fs::remove(path("App.ipa"));
  }
}

TEST_F(SinglePass, FailsAsDecryptingThenUnpackingWouldAndLeavesNothingDecrypted) {
  const std::string ipa = testing::ScratchTest::pattern(3000);
  const std::string manifest = manifestFor(ipa).data();
  const std::string good = packageOf(manifest, ipa);
  const std::string other = testing::ScratchTest::pattern(3001).substr(1);
  std::vector<std::pair<std::string, std::string>> cases = {
      {artifactOf(good, 1000).substr(0, 8), "Truncated encrypted build"},
      {"VEKENC", "Invalid VEK artifact header"},
      {artifactOf("", 1), "Invalid build package"},
      {artifactOf("VEKPKG1", 4), "Invalid build package"},
      {artifactOf("VEKPKGX\n" + be32(2) + "{}", 4), "Invalid build package"},
      {artifactOf(packageOf("", ipa), 7), "Invalid build manifest"},
      {artifactOf("VEKPKG1\n" + be32(1024 * 1024) + "{}", 7), "Invalid build manifest"},
      {artifactOf("VEKPKG1\n" + be32(100) + "{}", 7), "Invalid build manifest"},
      {artifactOf(packageOf("{not json", ipa), 7), "DecodingError"},
      {artifactOf(packageOf(manifest, other), 1000), "Package checksum mismatch"},
      {artifactOf(packageOf(R"({"ipa_sha256":1})", ""), 1000), "Package checksum mismatch"},
  };
  // A bad package inside an artifact that is itself damaged reports the artifact's fault.
  std::string badPackageCut = artifactOf(packageOf("{not json", ipa), 7);
  cases.push_back(
      {badPackageCut.substr(0, badPackageCut.size() - 32), "Truncated encrypted build"});
  std::string mismatchTail = artifactOf(packageOf(manifest, other), 1000) + "x";
  cases.push_back({mismatchTail, "Unexpected data after encrypted build"});
  std::string tampered = artifactOf(packageOf("", ipa), 1000);
  tampered[tampered.size() - 40] ^= 1;
  cases.push_back({tampered, "CryptoError"});

  for (const auto& [artifact, message] : cases) {
    SCOPED_TRACE(message);
    EXPECT_EQ(openFailure(artifact), message);
  }
}

TEST_F(SinglePass, RefusesToWriteOverTheArtifact) {
  const std::string ipa = "ipa";
  const std::string artifact = artifactOf(packageOf(manifestFor(ipa).data(), ipa), 1000);
  write(path("Build.vek"), artifact);
  EXPECT_NE(failure([&] {
              ArtifactCrypto::decryptAndUnpack(path("Build.vek"), path("Build.vek"), key, job);
            }),
            "(succeeded)");
  EXPECT_TRUE(read(path("Build.vek")) == artifact);
}

}  // namespace
}  // namespace vek
