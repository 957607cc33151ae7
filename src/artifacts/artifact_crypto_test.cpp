#include "artifacts/artifact_crypto.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "artifacts/test_files.h"
#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/file.h"

namespace vek {
namespace {

using testing::be32;
using testing::failure;

constexpr std::size_t MiB4 = 4 * 1024 * 1024;
const std::string keyBytes = "0123456789abcdef0123456789ABCDEF";
const std::string key = base64::encode(keyBytes);
const std::string job = "3f1c9a7e-5b2d-4c8e-9f10-2a3b4c5d6e7f";

// An AES-256-GCM independent of the library's: a fresh context per record, as a reader written
// from the format description alone would do it.
std::string gcm(bool seal, const std::string& k, const std::string& nonce, const std::string& aad,
                std::string text, std::string tag = std::string(16, '\0')) {
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(),
                                                                 EVP_CIPHER_CTX_free);
  auto u = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  auto m = [](std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); };
  int n = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, u(k), u(nonce), seal), 1);
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), nullptr, &n, u(aad), static_cast<int>(aad.size())), 1);
  std::string out(text.size(), '\0');
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), m(out), &n, u(text), static_cast<int>(text.size())), 1);
  if (!seal) EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, m(tag));
  if (EVP_CipherFinal_ex(ctx.get(), m(out), &n) != 1) throw std::runtime_error("tag mismatch");
  if (seal) EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, m(tag));
  return seal ? out + tag : out;
}

// One record as it sits in the file: length field, nonce, ciphertext, tag.
std::string sealRecord(const std::string& plain, const std::string& aad,
                       const std::string& k = keyBytes) {
  std::string nonce(12, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), 12);
  std::string body = nonce + gcm(true, k, nonce, aad, plain);
  return be32(body.size()) + body;
}

std::string aad(std::size_t index, bool end) {
  return job + ":" + std::to_string(index) + (end ? ":end" : ":data");
}

std::string artifactOf(const std::vector<std::string>& chunks) {
  std::string file = "VEKENC1\n";
  for (std::size_t i = 0; i < chunks.size(); ++i)
    file += sealRecord(chunks[i], aad(i, false));
  return file + sealRecord("", aad(chunks.size(), true));
}

// Reads an artifact by its documented layout and returns each record's plaintext.
std::vector<std::string> openRecords(const std::string& file) {
  EXPECT_EQ(file.substr(0, 8), "VEKENC1\n");
  std::vector<std::string> plains;
  for (std::size_t at = 8; at < file.size();) {
    auto b = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<uint8_t>(file[i])); };
    std::size_t length = b(at) << 24 | b(at + 1) << 16 | b(at + 2) << 8 | b(at + 3);
    std::string body = file.substr(at + 4, length);
    bool end = length == 28;
    plains.push_back(gcm(false, keyBytes, body.substr(0, 12), aad(plains.size(), end),
                         body.substr(12, length - 28), body.substr(length - 16)));
    at += 4 + length;
    EXPECT_EQ(end, at == file.size());
  }
  return plains;
}

class Artifact : public testing::ScratchTest {
 protected:
  // Decrypts `file` and returns the failure, checking that no output was left behind.
  std::string decryptFailure(const std::string& file, const std::string& k = key,
                             const std::string& j = job) {
    write(path("in"), file);
    std::string result = failure([&] { ArtifactCrypto::decrypt(path("in"), path("out"), k, j); });
    EXPECT_FALSE(std::filesystem::exists(path("out"))) << result;
    return result;
  }
  std::string encrypted(const std::string& plain) {
    write(path("plain"), plain);
    ArtifactCrypto::encrypt(path("plain"), path("enc"), key, job);
    return read(path("enc"));
  }
};

TEST_F(Artifact, EncryptReturnsTheDigestOfWhatItWrote) {
  // Around the record boundaries, where a piece could be hashed twice or not at all.
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, MiB4, MiB4 + 1, 2 * MiB4 + 7}) {
    write(path("plain"), pattern(size));
    std::string digest = ArtifactCrypto::encrypt(path("plain"), path("enc"), key, job);
    EXPECT_EQ(digest, ArtifactCrypto::sha256(path("enc"))) << size;
  }
}

TEST_F(Artifact, EmptyInputIsTheMagicAndOneEndRecord) {
  std::string file = encrypted("");
  ASSERT_EQ(file.size(), 40u);
  EXPECT_EQ(file.substr(8, 4), be32(28));
  EXPECT_EQ(openRecords(file), std::vector<std::string>{""});
  ArtifactCrypto::decrypt(path("enc"), path("out"), key, job);
  EXPECT_EQ(read(path("out")), "");
}

TEST_F(Artifact, PlaintextIsCutIntoFourMebibyteRecords) {
  for (std::size_t size : {std::size_t{1}, MiB4, MiB4 + 1}) {
    std::string plain = pattern(size);
    std::vector<std::string> expected = {plain.substr(0, MiB4)};
    if (size > MiB4) expected.push_back(plain.substr(MiB4));
    expected.push_back("");
    EXPECT_EQ(openRecords(encrypted(plain)), expected) << size;
    ArtifactCrypto::decrypt(path("enc"), path("out"), key, job);
    EXPECT_TRUE(read(path("out")) == plain) << size;
  }
}

TEST_F(Artifact, ReadsRecordsSealedByAnotherWriter) {
  // Records of any size up to 4 MiB, in any order of sizes, are valid.
  std::string big = pattern(70000);
  write(path("in"), artifactOf({"abc", big, "hello"}));
  ArtifactCrypto::decrypt(path("in"), path("out"), key, job);
  EXPECT_TRUE(read(path("out")) == "abc" + big + "hello");
}

TEST_F(Artifact, EveryRecordHasItsOwnNonce) {
  std::string first = encrypted(pattern(MiB4 + 1));
  EXPECT_NE(first, encrypted(pattern(MiB4 + 1)));
  std::string endNonce = first.substr(first.size() - 28, 12);
  EXPECT_NE(first.substr(12, 12), endNonce);
}

TEST_F(Artifact, EveryCutPointFailsAndLeavesNoOutput) {
  std::string file = artifactOf({"hello", "abc"});
  std::vector<std::size_t> recordStarts;
  for (std::size_t at = 8; at < file.size(); at += 4 + static_cast<uint8_t>(file[at + 3])) {
    recordStarts.push_back(at);
  }
  for (std::size_t cut = 0; cut < file.size(); ++cut) {
    std::string expected = "Invalid VEK artifact header";
    for (std::size_t start : recordStarts) {
      if (cut >= start)
        expected = cut < start + 4 ? "Truncated encrypted build" : "Invalid encrypted chunk";
    }
    EXPECT_EQ(decryptFailure(file.substr(0, cut)), expected) << "cut at " << cut;
  }
}

TEST_F(Artifact, FailedDecryptLeavesNoPlaintextUnderAnyName) {
  std::string file = artifactOf({"secret", "more"});
  write(path("out"), "");
  std::filesystem::create_hard_link(path("out"), path("alias"));
  EXPECT_EQ(decryptFailure(file.substr(0, file.size() - 32)), "Truncated encrypted build");
  EXPECT_EQ(read(path("alias")), "");
}

TEST_F(Artifact, AlteredOrForeignRecordsFailAuthentication) {
  std::string file = encrypted("The quick brown fox jumps over the lazy dog");
  for (std::size_t at = 12; at < file.size(); ++at) {
    if (at >= file.size() - 32 && at < file.size() - 28) continue;  // the end record's length
    std::string flipped = file;
    flipped[at] ^= 0x01;
    EXPECT_EQ(decryptFailure(flipped), "CryptoError") << "byte " << at;
  }
  EXPECT_EQ(decryptFailure(file, key, job + "x"), "CryptoError");
  EXPECT_EQ(decryptFailure(file, base64::encode(std::string(32, 'k'))), "CryptoError");

  std::string magic = "VEKENC1\n";
  std::string a = sealRecord("one", aad(0, false)), b = sealRecord("two", aad(1, false));
  std::string end = sealRecord("", aad(2, true));
  EXPECT_EQ(decryptFailure(magic + b + a + end), "CryptoError");  // reordered
  std::string other = sealRecord("xyz", aad(0, false));           // same key and job
  EXPECT_EQ(decryptFailure(magic + a + other + end), "CryptoError");
  EXPECT_EQ(decryptFailure(magic + sealRecord("", aad(0, false))), "CryptoError");  // end as data
  EXPECT_EQ(decryptFailure(magic + sealRecord("x", aad(0, true)) + end), "CryptoError");
  EXPECT_EQ(decryptFailure(magic + a + b + sealRecord("", aad(2, true), std::string(32, 'k'))),
            "CryptoError");
}

TEST_F(Artifact, ImpossibleLengthsAndTrailingBytesAreRejected) {
  std::string magic = "VEKENC1\n";
  for (std::size_t length : {0ul, 27ul, 4194333ul, 0xFFFFFFFFul}) {
    EXPECT_EQ(decryptFailure(magic + be32(length) + std::string(64, 'x')),
              "Invalid encrypted chunk")
        << length;
  }
  EXPECT_EQ(decryptFailure(artifactOf({"hello"}) + std::string(1, '\0')),
            "Unexpected data after encrypted build");
}

TEST_F(Artifact, BadKeysFailBeforeAnyFileIsTouched) {
  write(path("plain"), "data");
  write(path("existing"), "keep me");
  std::string good = base64::encode(std::string(32, 'k'));
  for (const std::string& bad :
       {base64::encode(std::string(31, 'k')), base64::encode(std::string(33, 'k')),
        std::string("not base64 at all"), " " + good, good.substr(0, 43),
        base64::encodeURLSafe(std::string(32, '\xff')), std::string()}) {
    for (const auto& target : {path("existing"), path("absent")}) {
      EXPECT_EQ(failure([&] { ArtifactCrypto::encrypt(path("plain"), target, bad, job); }),
                "Invalid group encryption key");
      EXPECT_EQ(failure([&] { ArtifactCrypto::decrypt(path("missing"), target, bad, job); }),
                "Invalid group encryption key");
    }
  }
  EXPECT_EQ(read(path("existing")), "keep me");
  EXPECT_FALSE(std::filesystem::exists(path("absent")));
}

TEST_F(Artifact, NewKeysAreFreshThirtyTwoByteKeys) {
  std::string first = ArtifactCrypto::newKey();
  EXPECT_EQ(first.size(), 44u);
  EXPECT_EQ(base64::decode(first).value_or("").size(), 32u);
  EXPECT_NE(first, ArtifactCrypto::newKey());
  write(path("plain"), "x");
  ArtifactCrypto::encrypt(path("plain"), path("enc"), first, job);
  ArtifactCrypto::decrypt(path("enc"), path("out"), first, job);
  EXPECT_EQ(read(path("out")), "x");
}

TEST_F(Artifact, BadHeaderNeverCreatesOrTouchesTheOutput) {
  for (const std::string& file : {std::string("VEKENC1"), std::string("VEKPKG1\n") + be32(28)}) {
    EXPECT_EQ(decryptFailure(file), "Invalid VEK artifact header");
    write(path("out"), "keep me");
    EXPECT_EQ(failure([&] { ArtifactCrypto::decrypt(path("in"), path("out"), key, job); }),
              "Invalid VEK artifact header");
    EXPECT_EQ(read(path("out")), "keep me");
    std::filesystem::remove(path("out"));
  }
}

TEST_F(Artifact, OutputsArePrivateAndReplaceOldContent) {
  write(path("plain"), "new");
  for (const char* out : {"enc", "dec"}) {
    write(path(out), std::string(1000, 'o'));
    std::filesystem::permissions(path(out), std::filesystem::perms(0644));
  }
  ArtifactCrypto::encrypt(path("plain"), path("enc"), key, job);
  ArtifactCrypto::decrypt(path("enc"), path("dec"), key, job);
  EXPECT_EQ(read(path("dec")), "new");
  EXPECT_EQ(mode(path("enc")), 0600u);
  EXPECT_EQ(mode(path("dec")), 0600u);
}

TEST_F(Artifact, WritesOnlyRegularFilesOtherThanItsInput) {
  std::string file = encrypted("precious");
  std::filesystem::create_hard_link(path("enc"), path("hard"));
  std::filesystem::create_symlink(path("enc"), path("soft"));
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  UniqueFd reader = openFile(path("fifo"), O_RDONLY | O_NONBLOCK);  // so no open would block
  for (const char* alias : {"enc", "hard", "soft", "fifo"}) {
    EXPECT_NE(failure([&] { ArtifactCrypto::decrypt(path("enc"), path(alias), key, job); }),
              "(succeeded)");
    EXPECT_NE(failure([&] { ArtifactCrypto::encrypt(path("enc"), path(alias), key, job); }),
              "(succeeded)");
    EXPECT_EQ(read(path("enc")), file);
  }
  EXPECT_EQ(mode(path("fifo")), 0644u);
  EXPECT_EQ(failure([&] { ArtifactCrypto::encrypt(path("missing"), path("out"), key, job); }),
            "Cannot open " + path("missing").string() + ": No such file or directory");
}

}  // namespace
}  // namespace vek
