// A receiver must not trust what it downloads. Here the test plays a builder that uploads, under
// its real lease, artifacts that are damaged, sealed for another job, or that hold a manifest or an
// IPA meant for something else or built to escape the receiver's folder or fill its disk; the
// receiver refuses each one, installs nothing and keeps no decrypted or unpacked byte of it. Then
// it plays a relay that recorded a finished deployment and offers it to the receiver again.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "artifacts/artifact_crypto.h"
#include "deployment_fixture.h"
#include "foundation/file.h"
#include "relay_client/relay_url.h"
#include "scripted_http_server.h"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

// What a forged build differs in from an honest one.
struct Forgery {
  std::string name;
  JSON manifestChanges = JSON::object();
  std::string sealFor;         // another job id to encrypt for
  bool alterArtifact = false;  // flip a byte of the encrypted file
  bool alterPackage = false;   // flip a byte of the IPA after its digest is sealed
  std::string ipa;             // a crafted IPA in place of the exported one
};

void flipByte(const fs::path& file, std::uintmax_t fromEnd) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekg(static_cast<std::streamoff>(fs::file_size(file) - fromEnd));
  char byte = 0;
  stream.read(&byte, 1);
  stream.seekp(static_cast<std::streamoff>(fs::file_size(file) - fromEnd));
  byte = static_cast<char>(byte ^ 0x20);
  stream.write(&byte, 1);
}

class HostileBuilds : public DeploymentTest {
 protected:
  void SetUp() override {
    DeploymentTest::SetUp();
    project_ = registerProject("Demo");
    // One honest build, for an IPA the team really signed.
    const std::string honest = queue(project_, "debug");
    EXPECT_EQ(build(claim(builder_)), "(no failure)");
    signedIPA_ = builderJob(honest) / "Export/Demo.ipa";
    cancel(honest);
    makeZip("unsafe.ipa",
            "z.writestr('Payload/Demo.app/Info.plist', 'x')\n"
            "z.writestr('Payload/../../escaped.txt', 'x')\n");
    makeZip("link.ipa",
            "i = zipfile.ZipInfo('Payload/Demo.app/Link')\n"
            "i.create_system = 3\n"
            "i.external_attr = 0o120777 << 16\n"
            "z.writestr(i, '/etc/passwd')\n");
  }

  // One of the IPAs hostile_ipa.py writes.
  void craftIPA(const std::string& kind) {
    const auto made = runProgram(
        "/usr/bin/python3", {(sourceDirectory() / "tests/e2e/pipeline/hostile_ipa.py").string(),
                             kind, (scratch_ / (kind + ".ipa")).string()});
    ASSERT_EQ(made.status, 0) << made.err;
  }

  void makeZip(const std::string& name, const std::string& entries) {
    const fs::path script = scratch_ / "zip.py";
    writeText(script, "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n" +
                          indent(entries));
    ASSERT_EQ(runProgram("/usr/bin/python3", {script.string(), (scratch_ / name).string()}).status,
              0);
  }
  static std::string indent(const std::string& lines) {
    std::string out = "    ";
    for (char c : lines)
      out += c == '\n' ? std::string("\n    ") : std::string(1, c);
    return out;
  }

  // Queues a job and uploads the forged build for it as its builder; returns the receiver's claim.
  Claimed upload(const Forgery& forgery) {
    const std::string id = queue(project_, "debug");
    const Claimed building = claim(builder_);
    EXPECT_EQ(building.id(), id);
    JSON manifest = JSON::object({{"bundle_id", "com.example.demo"},
                                  {"version", "1.0"},
                                  {"build", "1"},
                                  {"minimum_os", "16.0"},
                                  {"aps_environment", "none"},
                                  {"job_id", id},
                                  {"receiver_id", receiverCredentials_.deviceID},
                                  {"udid", phoneUDID},
                                  {"mode", "debug"}});
    for (const auto& [key, value] : forgery.manifestChanges.fields())
      manifest.set(key, value);
    const fs::path ipa = forgery.ipa.empty() ? signedIPA_ : scratch_ / forgery.ipa;
    const fs::path package = scratch_ / "Build.vekpkg";
    const fs::path artifact = scratch_ / "Build.vek";
    manifest.set("ipa_sha256", ArtifactCrypto::sha256(ipa));
    ArtifactCrypto::package(ipa, manifest, package);
    if (forgery.alterPackage) flipByte(package, 100);
    ArtifactCrypto::encrypt(package, artifact, builderCredentials_.encryptionKey,
                            forgery.sealFor.empty() ? id : forgery.sealFor);
    if (forgery.alterArtifact) flipByte(artifact, 1000);

    const API api(builderCredentials_);
    api.upload(id, building.lease, artifact);
    api.call("POST", "/v1/jobs/" + pathSegment(id) + "/finish-build",
             JSON::object({{"manifest", manifest}}), building.lease);
    const Claimed installing = claim(receiver_);
    EXPECT_EQ(installing.id(), id);
    return installing;
  }

  // Delivers the forged build and runs the receiver's install.
  std::string deliver(const Forgery& forgery) {
    const Claimed installing = upload(forgery);
    const std::string result = install(installing);
    const Names left = entries(receiverJob(installing.id()) / "Receive");
    EXPECT_TRUE(left.empty() || left == Names{"install.log"}) << forgery.name;
    EXPECT_EQ(job(installing.id())["state"],
              JSON(result == "(no failure)" ? "succeeded" : "failed"))
        << forgery.name;
    return result;
  }

  std::string project_;
  fs::path signedIPA_;
  TempDir scratch_;
};

TEST_F(HostileBuilds, AreRefusedAndLeaveNothingBehind) {
  const std::string authentication =
      "The encrypted build could not be authenticated (wrong key, wrong job or altered data).";
  const std::string mismatch = "Encrypted manifest does not match this deployment";
  std::vector<std::pair<Forgery, std::string>> cases;
  auto forge = [&](const std::string& name, const std::string& message,
                   const std::function<void(Forgery&)>& change) {
    Forgery forgery;
    forgery.name = name;
    change(forgery);
    cases.emplace_back(forgery, message);
  };
  auto manifest = [&](const std::string& name, const std::string& key, const JSON& value,
                      const std::string& message) {
    forge(name, message, [&](Forgery& f) { f.manifestChanges.set(key, value); });
  };
  forge("sealed for another job", authentication, [](Forgery& f) { f.sealFor = "another-job"; });
  forge("altered in transit", authentication, [](Forgery& f) { f.alterArtifact = true; });
  forge("IPA altered", "Package checksum mismatch", [](Forgery& f) { f.alterPackage = true; });
  manifest("another job", "job_id", "another-job", mismatch);
  manifest("another Mac", "receiver_id", builderCredentials_.deviceID, mismatch);
  manifest("another phone", "udid", "00008110-0000000000000009", mismatch);
  manifest("another mode", "mode", "adhoc", mismatch);
  manifest("mode missing", "mode", JSON(), mismatch);
  manifest("another app", "bundle_id", "com.example.x",
           "App bundle ID does not match the encrypted manifest");
  forge("unsafe entry", "Unsafe IPA archive path", [](Forgery& f) { f.ipa = "unsafe.ipa"; });
  forge("symbolic link", "IPAs containing symbolic links are not supported by this VEK version.",
        [](Forgery& f) { f.ipa = "link.ipa"; });
  // Each a way past zipinfo's listings: a link it does not show as one, bad entries ahead of
  // more output than is kept, and a bomb.
  for (const char* kind : {"vms-link", "long", "zeros"})
    craftIPA(kind);
  forge("symbolic link made on VMS",
        "IPAs containing symbolic links are not supported by this VEK version.",
        [](Forgery& f) { f.ipa = "vms-link.ipa"; });
  forge("escape ahead of 9.6 MB of names", "Unsafe IPA archive path",
        [](Forgery& f) { f.ipa = "long.ipa"; });
  forge("1 MiB that unpacks to 1 GiB",
        "The IPA would unpack to more than 100 times its own size, which no real app does.",
        [](Forgery& f) { f.ipa = "zeros.ipa"; });
  const auto twoDaysAgo = std::chrono::duration_cast<std::chrono::seconds>(
      (std::chrono::system_clock::now() - std::chrono::hours(48)).time_since_epoch());
  manifest("sealed two days ago", "built_at", JSON(static_cast<std::int64_t>(twoDaysAgo.count())),
           "This build was sealed more than 30 hours ago, longer than a relay keeps a build; it "
           "may be a replay of an old deployment, so it is refused.");
  for (const auto& [forgery, message] : cases) {
    EXPECT_EQ(deliver(forgery), message) << forgery.name;
  }
  EXPECT_TRUE(phone()["installed"].items().empty()) << phone().pretty();
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(receiver_.home())) {
    EXPECT_NE(entry.path().filename(), "escaped.txt") << entry.path();
    EXPECT_NE(entry.path().filename(), "escape.txt") << entry.path();
    EXPECT_NE(entry.path().filename(), "leak") << entry.path();
  }
}

TEST_F(HostileBuilds, AReplayedDeploymentCannotRollThePhoneBack) {
  // A build from a builder that seals no time is installed, as it was before builders did.
  const Claimed offered = upload({});
  const fs::path recorded = scratch_ / "recorded.vek";
  API(receiverCredentials_)
      .download(offered.id(), offered.lease, recorded, offered.job["artifact_sha"].text());
  const JSON installing = job(offered.id());
  ASSERT_EQ(install(offered), "(no failure)");
  const JSON installed = phone()["installed"];

  // A relay that recorded the deployment offers it again and answers for it from its recording.
  const std::string artifact = readFile(recorded);
  const auto replaying = ScriptedHttpServer::answering([&](const RecordedRequest& request) {
    if (request.target.ends_with("/artifact")) return ScriptedAnswer::http(200, artifact);
    if (request.method == "GET") return ScriptedAnswer::json(200, installing.data());
    return ScriptedAnswer::json(200, "{}");
  });
  EXPECT_EQ(installThrough(replaying->origin(), offered),
            "This Mac already received this job once; a relay that offers it again may be "
            "replaying an old build, so it is refused.");
  // It was refused before anything was asked of the relay but to take the failure report.
  for (const RecordedRequest& request : replaying->requests())
    EXPECT_TRUE(request.target.ends_with("/fail")) << request.target;
  EXPECT_EQ(phone()["installed"], installed);
}

}  // namespace
}  // namespace vek::testing
