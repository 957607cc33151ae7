#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "artifacts/artifact_crypto.h"
#include "artifacts/test_files.h"
#include "foundation/errors.h"
#include "foundation/text.h"

namespace vek {
namespace {

using testing::be32;
using testing::failure;

constexpr std::size_t MiB4 = 4 * 1024 * 1024;

std::string oneShotSha256(const std::string& bytes) {
  unsigned char digest[32];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
  return text::hex(std::string_view(reinterpret_cast<char*>(digest), 32));
}

JSON manifestFor(const std::string& ipa) {
  return JSON::object({{"bundle_id", "com.example.App"},
                       {"job_id", "job-1"},
                       {"mode", "adhoc"},
                       {"ipa_sha256", oneShotSha256(ipa)}});
}

class Package : public testing::ScratchTest {
 protected:
  std::string unpackFailure(const std::string& package) {
    write(path("pkg"), package);
    return failure([&] { ArtifactCrypto::unpack(path("pkg"), path("ipa")); });
  }
};

TEST_F(Package, DigestIsLowerCaseHexOfTheWholeFile) {
  write(path("empty"), "");
  EXPECT_EQ(ArtifactCrypto::sha256(path("empty")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  write(path("abc"), "abc");
  EXPECT_EQ(ArtifactCrypto::sha256(path("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Four pieces: each of the two buffers is refilled while the digest may still lag behind.
  std::string big = pattern(3 * MiB4 + 1);
  write(path("big"), big);
  EXPECT_EQ(ArtifactCrypto::sha256(path("big")), oneShotSha256(big));
  EXPECT_THROW(ArtifactCrypto::sha256(path("missing")), SystemError);
}

TEST_F(Package, LayoutIsMagicLengthManifestThenIpa) {
  std::string ipa = pattern(MiB4 + 3);
  write(path("app.ipa"), ipa);
  JSON manifest = manifestFor(ipa);
  for (const char* out : {"pkg", "ipa"}) {
    write(path(out), std::string(MiB4 * 2, 'o'));
    std::filesystem::permissions(path(out), std::filesystem::perms(0644));
  }
  ArtifactCrypto::package(path("app.ipa"), manifest, path("pkg"));
  std::string text = manifest.data();
  EXPECT_TRUE(read(path("pkg")) == "VEKPKG1\n" + be32(text.size()) + text + ipa);
  EXPECT_EQ(ArtifactCrypto::unpack(path("pkg"), path("ipa")), manifest);
  EXPECT_TRUE(read(path("ipa")) == ipa);
  EXPECT_EQ(mode(path("pkg")), 0600u);
  EXPECT_EQ(mode(path("ipa")), 0600u);
}

TEST_F(Package, ManifestMayBeOneByteUnderOneMebibyte) {
  write(path("app.ipa"), "ipa");
  JSON manifest = manifestFor("ipa");
  std::size_t base = manifest.set("pad", "").data().size();
  manifest.set("pad", std::string(1048575 - base, 'p'));
  ArtifactCrypto::package(path("app.ipa"), manifest, path("pkg"));
  EXPECT_EQ(read(path("pkg")).substr(8, 4), be32(1048575));
  EXPECT_EQ(ArtifactCrypto::unpack(path("pkg"), path("ipa")), manifest);

  manifest.set("pad", std::string(1048576 - base, 'p'));
  EXPECT_EQ(failure([&] { ArtifactCrypto::package(path("app.ipa"), manifest, path("big")); }),
            "Manifest too large");
  EXPECT_FALSE(std::filesystem::exists(path("big")));
  EXPECT_THROW(ArtifactCrypto::package(path("missing.ipa"), manifest, path("big")), VEKError);
  EXPECT_THROW(ArtifactCrypto::package(path("missing.ipa"), manifestFor(""), path("big")),
               SystemError);
  EXPECT_FALSE(std::filesystem::exists(path("big")));
}

TEST_F(Package, EmptyIpaPassesOnlyWithTheDigestOfNothing) {
  write(path("app.ipa"), "");
  ArtifactCrypto::package(path("app.ipa"), manifestFor(""), path("pkg"));
  EXPECT_EQ(ArtifactCrypto::unpack(path("pkg"), path("ipa")), manifestFor(""));
  EXPECT_EQ(read(path("ipa")), "");
  ArtifactCrypto::package(path("app.ipa"), manifestFor("x"), path("pkg"));
  EXPECT_EQ(failure([&] { ArtifactCrypto::unpack(path("pkg"), path("ipa")); }),
            "Package checksum mismatch");
}

TEST_F(Package, MalformedPackagesAreRejected) {
  std::string magic = "VEKPKG1\n";
  for (const std::string& bad : {std::string(), magic, magic + std::string("\0\0\1", 3),
                                 "VEKENC1\n" + be32(2) + "{}", "vekpkg1\n" + be32(2)}) {
    EXPECT_EQ(unpackFailure(bad), "Invalid build package");
  }
  for (const std::string& bad :
       {magic + be32(0) + "{}", magic + be32(1048576) + '"' + std::string(1048574, 'a') + '"',
        magic + be32(10) + "{\"a\":1}"}) {
    EXPECT_EQ(unpackFailure(bad), "Invalid build manifest");
  }
  EXPECT_EQ(unpackFailure(magic + be32(5) + "{\"a\":ipa"), "DecodingError");
}

TEST_F(Package, AnyDigestDisagreementIsAChecksumMismatch) {
  std::string ipa = pattern(1000);
  write(path("app.ipa"), ipa);
  ArtifactCrypto::package(path("app.ipa"), manifestFor(ipa), path("pkg"));
  std::string good = read(path("pkg"));
  for (std::size_t back : {1ul, 500ul, 1000ul}) {
    std::string flipped = good;
    flipped[good.size() - back] ^= 0x80;
    EXPECT_EQ(unpackFailure(flipped), "Package checksum mismatch");
  }
  std::string digest = oneShotSha256(ipa);
  std::string upper = digest;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const JSON& manifest :
       {JSON::object({{"bundle_id", "x"}}), JSON::object({{"ipa_sha256", 7}}),
        JSON::object({{"ipa_sha256", upper}}), JSON::array({digest})}) {
    std::string text = manifest.data();
    EXPECT_EQ(unpackFailure("VEKPKG1\n" + be32(text.size()) + text + ipa),
              "Package checksum mismatch")
        << text;
  }
}

TEST_F(Package, NeverWritesOverItsOwnInput) {
  write(path("app.ipa"), "ipa");
  ArtifactCrypto::package(path("app.ipa"), manifestFor("ipa"), path("pkg"));
  std::string package = read(path("pkg"));
  EXPECT_THROW(ArtifactCrypto::package(path("app.ipa"), manifestFor("ipa"), path("app.ipa")),
               VEKError);
  EXPECT_THROW(ArtifactCrypto::unpack(path("pkg"), path("pkg")), VEKError);
  EXPECT_EQ(read(path("app.ipa")), "ipa");
  EXPECT_EQ(read(path("pkg")), package);
}

}  // namespace
}  // namespace vek
