// The builder's preparations: archive arguments only for what the project registered, export
// options that force the build kind over the project's file while keeping its other keys, and the
// relay check that stops a job the relay no longer wants built.
#include "pipeline/archive_export.h"

#include <gtest/gtest.h>

#include "foundation/errors.h"
#include "foundation/task.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

Project project(std::string path = "/src/App.xcodeproj") {
  Project result;
  result.id = "p1";
  result.name = "App";
  result.path = std::move(path);
  result.schemes = {"App", "App Extension"};
  result.configurations = {"Debug", "Release"};
  result.automaticSigning = false;
  return result;
}

TEST(ArchiveArguments, FollowTheProjectAndItsSigning) {
  const fs::path work = "/state/Jobs/j1";
  const Strings fixed{"-scheme",          "App Extension",
                      "-configuration",   "Release",
                      "-destination",     "generic/platform=iOS",
                      "-archivePath",     "/state/Jobs/j1/App.xcarchive",
                      "-derivedDataPath", "/state/Jobs/j1/DerivedData"};
  auto expected = [&](Strings head, Strings tail) {
    head.insert(head.end(), fixed.begin(), fixed.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  EXPECT_EQ(BuildPipeline::archiveArguments(project(), "App Extension", "Release", work),
            expected({"xcodebuild", "archive", "-project", "/src/App.xcodeproj"}, {}));

  Project automatic = project("/src/App.xcworkspace");
  automatic.automaticSigning = true;
  automatic.teamID = "ABCDE12345";
  EXPECT_EQ(BuildPipeline::archiveArguments(automatic, "App Extension", "Release", work),
            expected({"xcodebuild", "archive", "-workspace", "/src/App.xcworkspace"},
                     {"-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic",
                      "DEVELOPMENT_TEAM=ABCDE12345"}));
  // The suffix decides, exactly: an upper-case workspace is still passed as a project.
  automatic.path = "/src/App.XCWORKSPACE";
  automatic.teamID = "";
  EXPECT_EQ(BuildPipeline::archiveArguments(automatic, "App Extension", "Release", work),
            expected({"xcodebuild", "archive", "-project", "/src/App.XCWORKSPACE"},
                     {"-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic"}));
}

TEST(ArchiveArguments, RefuseWhatTheProjectDidNotRegister) {
  const std::string message =
      "Scheme/configuration is not allowed by this Mac's registered project. Refresh the project "
      "registration.";
  for (auto [scheme, configuration] :
       {std::pair{"Other", "Debug"}, std::pair{"App", "Profile"}, std::pair{"app", "Debug"},
        std::pair{"App", "Debug "}, std::pair{"", ""}}) {
    EXPECT_EQ(testing::failureOf(
                  [&] { BuildPipeline::archiveArguments(project(), scheme, configuration, "/w"); }),
              message)
        << scheme << "/" << configuration;
  }
}

TEST(ExportOptions, ForceTheBuildKind) {
  Project automatic = project();
  automatic.automaticSigning = true;
  automatic.teamID = "ABCDE12345";
  EXPECT_EQ(BuildPipeline::exportOptions(automatic, "adhoc"),
            Plist(Plist::Dictionary{{"method", "release-testing"},
                                    {"destination", "export"},
                                    {"signingStyle", "automatic"},
                                    {"thinning", "<none>"},
                                    {"manageAppVersionAndBuildNumber", false},
                                    {"teamID", "ABCDE12345"}}));
  const Plist debug = BuildPipeline::exportOptions(project(), "debug");
  EXPECT_EQ(debug["method"].text(), "debugging");
  EXPECT_EQ(debug["signingStyle"].text(), "manual");
  EXPECT_TRUE(debug["teamID"].isAbsent());
  // What build writes to ExportOptions.plist.
  EXPECT_NE(debug.xml().find("<key>thinning</key>\n\t<string>&lt;none&gt;</string>"),
            std::string::npos)
      << debug.xml();

  for (const char* mode : {"release", "Debug", "", "app-store"}) {
    Project withMissingFile = project();
    withMissingFile.exportOptionsPath = "/nonexistent/ExportOptions.plist";
    EXPECT_EQ(testing::failureOf([&] { BuildPipeline::exportOptions(withMissingFile, mode); }),
              "Unsupported deployment mode");
  }
}

TEST(ExportOptions, KeepTheProjectFilesOtherKeys) {
  testing::TempDir dir;
  Project manual = project();
  manual.exportOptionsPath =
      (testing::sourceDirectory() / "src/pipeline/testdata/ExportOptions-debugging-manual.plist")
          .string();
  const Plist options = BuildPipeline::exportOptions(manual, "adhoc");
  EXPECT_EQ(options["method"].text(), "release-testing");
  EXPECT_EQ(options["signingCertificate"].text(), "Apple Development");
  EXPECT_EQ(options["provisioningProfiles"]["com.example.test.share"].text(),
            "Test App Share Development");
  EXPECT_TRUE(options["stripSwiftSymbols"].flag());
  // Without a team of the project's own, the file's team stays.
  EXPECT_EQ(options["teamID"].text(), "ABCDE12345");
  manual.teamID = "ZZZZZ99999";
  EXPECT_EQ(BuildPipeline::exportOptions(manual, "adhoc")["teamID"].text(), "ZZZZZ99999");

  manual.exportOptionsPath = (dir / "array.plist").string();
  testing::writeText(dir / "array.plist", Plist(Plist::Array{"method"}).xml());
  EXPECT_EQ(testing::failureOf([&] { BuildPipeline::exportOptions(manual, "debug"); }),
            "Invalid export-options plist");
  testing::writeText(dir / "array.plist", "method = debugging;");
  EXPECT_THROW(BuildPipeline::exportOptions(manual, "debug"), DecodingError);
  manual.exportOptionsPath = (dir / "missing.plist").string();
  EXPECT_THROW(BuildPipeline::exportOptions(manual, "debug"), SystemError);
}

API enrolledAt(const testing::ScriptedHttpServer& server) {
  return API(Credentials{server.origin(), "dev-1", "tok-1", "grp", "Group", "Mac", "key"});
}

TEST(AssertActive, PassesTheExpectedStateAndAnOutageButNoOtherAnswer) {
  using testing::ScriptedAnswer;
  testing::ScriptedHttpServer server({
      ScriptedAnswer::json(200, R"({"id":"j/1","state":"building"})"),
      ScriptedAnswer{""},  // the connection closes without an answer
      ScriptedAnswer::http(502, "<html>Bad Gateway</html>"),
      ScriptedAnswer::json(200, R"({"state":"cancelled"})"),
      ScriptedAnswer::json(200, R"({"state":7})"),
      ScriptedAnswer::json(200, R"({"state":"Building"})"),
      ScriptedAnswer::json(404, R"({"error":"Job not found"})"),
  });
  const API api = enrolledAt(server);
  for (int i = 0; i < 3; ++i)
    EXPECT_NO_THROW(BuildPipeline::assertActive(api, "j/1", "building"));
  EXPECT_EQ(testing::failureOf([&] { BuildPipeline::assertActive(api, "j/1", "building"); }),
            "Job stopped: cancelled");
  EXPECT_EQ(testing::failureOf([&] { BuildPipeline::assertActive(api, "j/1", "building"); }),
            "Job stopped: ");
  EXPECT_EQ(testing::failureOf([&] { BuildPipeline::assertActive(api, "j/1", "building"); }),
            "Job stopped: Building");
  EXPECT_EQ(testing::failureOf([&] { BuildPipeline::assertActive(api, "j/1", "building"); }),
            "Job not found");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 7u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/v1/jobs/j%2F1");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer dev-1.tok-1");
  EXPECT_FALSE(requests[0].header("X-VEK-Lease"));
  EXPECT_FALSE(requests[0].header("X-VEK-Bootstrap"));
}

TEST(AssertActive, ACancelledTaskAsksNothing) {
  testing::ScriptedHttpServer server({});
  const API api = enrolledAt(server);
  std::stop_source stopped;
  stopped.request_stop();
  task::Scope scope(stopped.get_token());
  EXPECT_THROW(BuildPipeline::assertActive(api, "j1", "building"), CancellationError);
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace vek
