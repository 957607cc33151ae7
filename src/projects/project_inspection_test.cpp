// Inspection on a simulated Mac: the spellings of one location, the checks made before any tool
// runs, how schemes and configurations are read from xcodebuild's listings (the real samples
// included), and a workspace's configurations gathered from the projects beside it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/errors.h"
#include "foundation/task.h"
#include "projects/project_store.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

class Inspection : public ::testing::Test {
 protected:
  void SetUp() override {
    sim({"init", root_.path().string()});
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("VEK_TOOL_ROOT", root_.path().c_str(), 1);
    ::setenv("VEK_STATE_DIR", (home_ / "state").c_str(), 1);
  }
  void TearDown() override {
    fs::current_path(directory_);
    if (savedHome_)
      ::setenv("HOME", savedHome_->c_str(), 1);
    else
      ::unsetenv("HOME");
    ::unsetenv("VEK_TOOL_ROOT");
    ::unsetenv("VEK_STATE_DIR");
  }

  void sim(const Strings& arguments) {
    auto result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", arguments);
    ASSERT_EQ(result.status, 0) << result.err;
  }
  // A project or workspace under the temporary home, e.g. make("A/B.xcodeproj", "Debug,Beta").
  fs::path make(const std::string& relative, const std::string& configurations = "Debug") {
    sim({"project", "new", (home_ / relative).string(), "--bundle-id", "com.ex.app",
         "--configurations", configurations});
    return fs::canonical(home_ / relative);
  }
  // Makes xcodebuild print `text` as the listing of `path`.
  void listing(const fs::path& path, const std::string& text) {
    testing::writeText(home_ / "listing.json", text);
    sim({"project", "listing", path.string(), "--json", (home_ / "listing.json").string()});
  }
  std::string sample(const std::string& name) {
    return testing::readText(testing::sourceDirectory() / "src/projects/testdata" / name);
  }
  std::size_t toolRuns() {
    auto result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim",
                                      {"calls", root_.path().string()});
    return std::count(result.out.begin(), result.out.end(), '\n');
  }
  static Project inspect(const std::string& path) {
    return ProjectStore::inspect(path, std::nullopt, std::nullopt, std::nullopt, true);
  }
  static std::string failureOf(const std::string& path) {
    try {
      inspect(path);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(no failure)";
  }

  testing::TempDir root_, home_;
  const fs::path directory_ = fs::current_path();
  const std::optional<std::string> savedHome_ =
      std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
};

TEST_F(Inspection, EverySpellingOfOneLocationGivesOnePathAndOneId) {
  const fs::path real = make("Apps/App.xcodeproj", "Release,Beta,Debug,Beta");
  fs::create_directory_symlink(home_ / "Apps", home_ / "Linked");
  fs::create_directory(home_ / "Other");
  Project first =
      ProjectStore::inspect("~/Apps/App.xcodeproj", std::nullopt, "TEAM", "/e.plist", false);
  EXPECT_EQ(first.path, real.string());
  EXPECT_EQ(first.name, "App");
  EXPECT_EQ(first.configurations, (Strings{"Beta", "Debug", "Release"}));
  EXPECT_EQ(first.teamID, "TEAM");
  EXPECT_EQ(first.exportOptionsPath, "/e.plist");
  EXPECT_FALSE(first.automaticSigning);
  ProjectStore::upsert(first);

  fs::current_path(home_ / "Other");
  for (const char* spelling :
       {"~/Apps/App.xcodeproj/", "../Apps/App.xcodeproj", "./../Other/../Apps/./App.xcodeproj//",
        "~/Linked/App.xcodeproj", "~/Linked/../Apps/App.xcodeproj"}) {
    Project again = inspect(spelling);
    EXPECT_EQ(again.path, real.string()) << spelling;
    EXPECT_EQ(again.id, first.id) << spelling;
  }
  Project other = ProjectStore::inspect(make("Other/App.xcodeproj").string(), "", std::nullopt,
                                        std::nullopt, true);
  EXPECT_NE(other.id, first.id);
  EXPECT_EQ(other.id.find_first_of("ABCDEF"), std::string::npos);  // lower-case UUID
  EXPECT_EQ(other.name, "");                                       // a given name, even empty
}

TEST_F(Inspection, PathsThatAreNotAnExistingContainerAreRefusedBeforeAnyToolRuns) {
  make("Apps/App.xcodeproj");
  for (const char* folder : {"Apps/Plain", "Apps/Upper.XCODEPROJ", "Apps/Mixed.XcWorkspace"}) {
    fs::create_directories(home_ / folder);
  }
  for (const char* path : {"~/Apps/Missing.xcodeproj", "~/Apps/Missing.xcworkspace", "~/Apps/Plain",
                           "~/Apps/Upper.XCODEPROJ", "~/Apps/Mixed.XcWorkspace",
                           "~/Apps/App.xcodeproj/project.pbxproj", ""}) {
    EXPECT_EQ(failureOf(path), "Select an existing .xcodeproj or .xcworkspace.") << path;
  }
  // Nor when the task was cancelled before the listing.
  std::stop_source stop;
  stop.request_stop();
  {
    task::Scope scope(stop.get_token());
    EXPECT_THROW(inspect((home_ / "Apps/App.xcodeproj").string()), CancellationError);
  }
  EXPECT_EQ(toolRuns(), 0u);
}

TEST_F(Inspection, ReadsTheListingsContainer) {
  const fs::path app = make("Apps/App.xcodeproj");
  listing(app, sample("xcodebuild-list-project.json"));
  EXPECT_EQ(inspect(app.string()).schemes, (Strings{"TestApp", "TestAppShareExtension"}));

  // A null "workspace" is read through "project"; schemes keep order and twins, non-strings go.
  listing(app, R"({"workspace":null,"project":{"schemes":["B",1,"A","B"],)"
               R"("configurations":["Release",3,"Debug","Release"]}})");
  Project project = inspect(app.string());
  EXPECT_EQ(project.schemes, (Strings{"B", "A", "B"}));
  EXPECT_EQ(project.configurations, (Strings{"Debug", "Release"}));

  for (const char* text :
       {R"({"project":{"schemes":[1,null,{"name":"A"}]}})", R"({"project":{"schemes":"App"}})",
        R"({"workspace":"App","project":{"schemes":["A"]}})", "[]"}) {
    listing(app, text);
    EXPECT_EQ(failureOf(app.string()),
              "No schemes found. Share your app scheme in Xcode and try again.")
        << text;
  }
  listing(app, "not json");
  EXPECT_THROW(inspect(app.string()), DecodingError);
  EXPECT_TRUE(failureOf(app.string())
                  .starts_with("xcodebuild wrote a project listing that is not valid JSON: "));
  sim({"fault", "set", root_.path().string(), "xcodebuild-list", "exit"});
  EXPECT_TRUE(failureOf(app.string()).starts_with("xcrun failed (65): "));
}

TEST_F(Inspection, AWorkspaceTakesTheConfigurationsOfTheProjectsBesideIt) {
  const fs::path workspace = make("Apps/Suite.xcworkspace");
  listing(workspace, sample("xcodebuild-list-workspace.json"));
  Project alone = inspect(workspace.string());
  EXPECT_EQ(alone.schemes, (Strings{"Pods-TestApp", "TestApp", "TestAppShareExtension"}));
  EXPECT_EQ(alone.configurations, (Strings{"Debug", "Release"}));

  make("Apps/One.xcodeproj", "Release,Debug");
  make("Apps/Two.xcodeproj", "Release,Beta");
  make("Elsewhere/Far.xcodeproj", "Far");
  // Neighbours whose listing fails or is not JSON are skipped.
  for (auto [name, mode] : {std::pair{"Apps/Broken.xcodeproj", "exit"},
                            std::pair{"Apps/Garbage.xcodeproj", "garbage"}}) {
    sim({"fault", "set", root_.path().string(), "xcodebuild-list", mode, "--only",
         make(name, "Bad").string()});
  }
  EXPECT_EQ(inspect(workspace.string()).configurations, (Strings{"Beta", "Debug", "Release"}));
}

TEST_F(Inspection, AnInvalidRegistryFailsInspection) {
  const fs::path app = make("Apps/App.xcodeproj");
  testing::writeText(home_ / "state/projects.json", "[{}]");
  EXPECT_THROW(inspect(app.string()), DecodingError);
}

}  // namespace
}  // namespace vek
