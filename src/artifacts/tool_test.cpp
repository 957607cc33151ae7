// vek-artifact run as a real process: what scripts see on stdout, stderr and the exit status.
#include <gtest/gtest.h>

#include <vector>

#include "artifacts/test_files.h"
#include "foundation/base64.h"
#include "foundation/json.h"
#include "test_support.h"

namespace vek {
namespace {

using Outcome = vek::testing::ProgramResult;

class Tool : public testing::ScratchTest {
 protected:
  Outcome run(const std::vector<std::string>& arguments) {
    return vek::testing::runProgram(vek::testing::programDirectory() / "vek-artifact", arguments);
  }
  static std::string error(const std::string& message) {
    return JSON::object({{"error", message}}).pretty() + "\n";
  }
  static void expectFailure(const Outcome& outcome, const std::string& message) {
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, error(message));
  }
};

TEST_F(Tool, EncryptsAndDecryptsAcrossChunkBoundaries) {
  Outcome created = run({"newkey"});
  ASSERT_EQ(created.status, 0) << created.err;
  std::string key = JSON::decode(created.out)["key"].text();
  ASSERT_EQ(base64::decode(key).value_or("").size(), 32u);
  for (std::size_t size : {0ul, 4194304ul, 4194305ul}) {
    write(path("plain"), pattern(size));
    Outcome encrypted = run({"encrypt", path("plain"), path("enc"), "--key", key, "--job", "j"});
    ASSERT_EQ(encrypted.status, 0) << encrypted.err;
    EXPECT_EQ(JSON::decode(encrypted.out)["size"].integer(),
              std::filesystem::file_size(path("enc")));
    Outcome decrypted = run({"decrypt", path("enc"), path("dec"), "--job", "j", "--key", key});
    ASSERT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_TRUE(read(path("dec")) == pattern(size)) << size;
  }
  expectFailure(run({"decrypt", path("enc"), path("dec"), "--key", key, "--job", "other"}),
                "The encrypted build could not be authenticated (wrong key, wrong job or "
                "altered data).");
  EXPECT_FALSE(std::filesystem::exists(path("dec")));
  expectFailure(run({"encrypt", path("plain"), path("enc"), "--key", "AAAA", "--job", "j"}),
                "Invalid group encryption key");
}

TEST_F(Tool, TakesTheKeyFromAFileOrStandardInputRatherThanTheCommandLine) {
  std::string key = JSON::decode(run({"newkey"}).out)["key"].text();
  testing::writeText(path("key"), key + "\n");
  testing::writeText(path("plain"), "a build");
  Outcome encrypted =
      run({"encrypt", path("plain"), path("enc"), "--key-file", path("key"), "--job", "j"});
  ASSERT_EQ(encrypted.status, 0) << encrypted.err;
  Outcome decrypted = vek::testing::runProgram(
      "/bin/sh",
      {"-c", "printf '%s\\n' \"$0\" | \"$1\" decrypt \"$2\" \"$3\" --key-file - --job j", key,
       (vek::testing::programDirectory() / "vek-artifact").string(), path("enc"), path("dec")});
  ASSERT_EQ(decrypted.status, 0) << decrypted.err;
  EXPECT_EQ(testing::readText(path("dec")), "a build");
  expectFailure(
      run({"decrypt", path("enc"), path("dec2"), "--key-file", path("plain"), "--job", "j"}),
      "Invalid group encryption key");
}

TEST_F(Tool, PacksUnpacksAndDigests) {
  write(path("app.ipa"), "ipa bytes");
  Outcome digest = run({"sha256", path("app.ipa")});
  ASSERT_EQ(digest.status, 0) << digest.err;
  JSON manifest =
      JSON::object({{"job_id", "j/1"}, {"ipa_sha256", JSON::decode(digest.out)["sha256"]}});
  write(path("manifest.json"), manifest.pretty());
  Outcome packed = run({"pack", path("app.ipa"), path("manifest.json"), path("pkg")});
  ASSERT_EQ(packed.status, 0) << packed.err;
  Outcome unpacked = run({"unpack", path("pkg"), path("out.ipa")});
  EXPECT_EQ(unpacked.status, 0);
  EXPECT_EQ(unpacked.out, manifest.pretty() + "\n");
  EXPECT_EQ(read(path("out.ipa")), "ipa bytes");

  expectFailure(run({"unpack", path("app.ipa"), path("out.ipa")}), "Invalid build package");
  expectFailure(run({"sha256", path("missing")}),
                "Cannot open " + path("missing").string() + ": No such file or directory");
  write(path("manifest.json"), "{");
  EXPECT_EQ(run({"pack", path("app.ipa"), path("manifest.json"), path("pkg")}).status, 1);
}

TEST_F(Tool, ReportsUsageMistakes) {
  Outcome help = run({});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("vek-artifact encrypt IN OUT --key-file KEY_FILE --job JOB_ID"),
            std::string::npos);
  expectFailure(run({"encrypt", "a", "b", "--job", "j"}), "Required option: --key-file");
  expectFailure(run({"encrypt", "a", "b", "--job", "j", "--key", "k", "--key-file", "f"}),
                "Give the key with --key-file or --key, not both");
  expectFailure(run({"encrypt", "a", "b", "--key"}), "Missing value for --key");
  expectFailure(run({"sha256", "-x"}), "Unknown option: -x");
  expectFailure(run({"sha256"}), "Usage: vek-artifact sha256 FILE");
  expectFailure(run({"newkey", "extra"}), "Usage: vek-artifact newkey");
  expectFailure(run({"shred", "a"}), "Unknown command. Run vek-artifact --help.");
}

}  // namespace
}  // namespace vek
