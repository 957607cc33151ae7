// Inspection against a simulated Mac: the spellings of one location, the checks made before any
// tool runs, how schemes and configurations are read from xcodebuild's listings (the real samples
// included), and the workspace's configurations gathered from its neighbours.
#include <gtest/gtest.h>
#include <unistd.h>

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
    const char* home = std::getenv("HOME");
    if (home) savedHome_ = home;
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("VEK_TOOL_ROOT", root_.path().c_str(), 1);
    ::setenv("VEK_STATE_DIR", (home_ / "state").c_str(), 1);
    savedDirectory_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(savedDirectory_);
    if (savedHome_) ::setenv("HOME", savedHome_->c_str(), 1);
    ::unsetenv("VEK_TOOL_ROOT");
    ::unsetenv("VEK_STATE_DIR");
  }

  void sim(const Strings& arguments) {
    auto result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim", arguments);
    ASSERT_EQ(result.status, 0) << result.err;
  }
  // A project under the temporary home, e.g. newProject("Apps/App.xcodeproj", "Debug,Beta").
  fs::path newProject(const std::string& relative, const std::string& configurations = "",
                      const std::string& schemes = "") {
    Strings arguments{"project", "new", (home_ / relative).string(), "--bundle-id", "com.ex.app"};
    if (!configurations.empty())
      arguments.insert(arguments.end(), {"--configurations", configurations});
    if (!schemes.empty()) arguments.insert(arguments.end(), {"--schemes", schemes});
    sim(arguments);
    return fs::canonical(home_ / relative);
  }
  fs::path newWorkspace(const std::string& relative) {
    sim({"project", "new", (home_ / relative).string()});
    return fs::canonical(home_ / relative);
  }
  // Makes xcodebuild print `listing` for the container at `path`.
  void listing(const fs::path& path, const std::string& text) {
    const fs::path file = home_ / "listing.json";
    testing::writeText(file, text);
    sim({"project", "listing", path.string(), "--json", file.string()});
  }
  void listingFromSample(const fs::path& path, const std::string& sample) {
    listing(path, testing::readText(testing::sourceDirectory() / "src/projects/testdata" / sample));
  }
  // How many tools ran on the simulated Mac so far.
  std::size_t toolRuns() {
    auto result = testing::runProgram(testing::sourceDirectory() / "sim/vek-sim",
                                      {"calls", root_.path().string()});
    return std::count(result.out.begin(), result.out.end(), '\n');
  }
  static Project inspect(const std::string& path, std::optional<std::string> name = std::nullopt) {
    return ProjectStore::inspect(path, name, std::nullopt, std::nullopt, true);
  }
  static std::string failureOf(const std::string& path) {
    try {
      inspect(path);
    } catch (const VEKError& error) {
      return error.message();
    }
    return "(no failure)";
  }

  testing::TempDir root_;
  testing::TempDir home_;
  std::optional<std::string> savedHome_;
  fs::path savedDirectory_;
};

TEST_F(Inspection, EverySpellingOfOneLocationGivesOnePathAndOneId) {
  const fs::path real = newProject("Apps/App.xcodeproj");
  fs::create_directory_symlink(home_ / "Apps", home_ / "Linked");
  fs::create_directory(home_ / "Other");

  Project first = inspect("~/Apps/App.xcodeproj");
  EXPECT_EQ(first.path, real.string());
  EXPECT_EQ(first.name, "App");
  ProjectStore::upsert(first);

  fs::current_path(home_ / "Other");
  for (const std::string& spelling :
       {std::string("~/Apps/App.xcodeproj/"), std::string("../Apps/App.xcodeproj"),
        std::string("./../Other/../Apps/./App.xcodeproj//"),
        (home_ / "Linked/App.xcodeproj").string(), std::string("~/Linked/../Apps/App.xcodeproj")}) {
    Project again = inspect(spelling);
    EXPECT_EQ(again.path, real.string()) << spelling;
    EXPECT_EQ(again.id, first.id) << spelling;
  }
  // Another location gets a fresh lower-case id.
  Project other = inspect((newProject("Other/App.xcodeproj")).string());
  EXPECT_NE(other.id, first.id);
  EXPECT_EQ(other.id.size(), 36u);
  EXPECT_EQ(other.id.find_first_of("ABCDEF"), std::string::npos);
}

TEST_F(Inspection, PathsThatAreNotAnExistingContainerAreRefusedBeforeAnyToolRuns) {
  newProject("Apps/App.xcodeproj");
  fs::create_directories(home_ / "Apps/Plain");
  fs::create_directories(home_ / "Apps/Upper.XCODEPROJ");
  fs::create_directories(home_ / "Apps/Mixed.XcWorkspace");
  const std::string message = "Select an existing .xcodeproj or .xcworkspace.";
  for (const char* path :
       {"~/Apps/Missing.xcodeproj", "~/Apps/Missing.xcworkspace", "~/Apps/Plain",
        "~/Apps/Upper.XCODEPROJ", "~/Apps/Mixed.XcWorkspace",
        "~/Apps/App.xcodeproj/project.pbxproj", "", "~"}) {
    EXPECT_EQ(failureOf(path), message) << path;
  }
  EXPECT_EQ(toolRuns(), 0u);
}

TEST_F(Inspection, ReadsAProjectsSchemesAndConfigurations) {
  const fs::path path = newProject("Apps/Shop.xcodeproj", "Release,Debug,Beta,Debug", "Shop,Admin");
  Project project = ProjectStore::inspect(path.string(), std::nullopt, "TEAM123",
                                          "/x/ExportOptions.plist", false);
  EXPECT_EQ(project.name, "Shop");
  EXPECT_EQ(project.schemes, (Strings{"Admin", "Shop"}));  // xcodebuild lists them sorted
  EXPECT_EQ(project.configurations, (Strings{"Beta", "Debug", "Release"}));
  EXPECT_EQ(project.teamID, "TEAM123");
  EXPECT_EQ(project.exportOptionsPath, "/x/ExportOptions.plist");
  EXPECT_FALSE(project.automaticSigning);
  // Inspection stores nothing; a given name is used as it is, even when empty.
  EXPECT_FALSE(fs::exists(ProjectStore::file()));
  EXPECT_EQ(inspect(path.string(), "").name, "");
}

TEST_F(Inspection, ReadsTheRealListingSamples) {
  const fs::path project = newProject("Apps/TestApp.xcodeproj");
  listingFromSample(project, "xcodebuild-list-project.json");
  Project fromProject = inspect(project.string());
  EXPECT_EQ(fromProject.schemes, (Strings{"TestApp", "TestAppShareExtension"}));
  EXPECT_EQ(fromProject.configurations, (Strings{"Debug", "Release"}));

  const fs::path workspace = newWorkspace("Apps/TestApp.xcworkspace");
  listingFromSample(workspace, "xcodebuild-list-workspace.json");
  Project fromWorkspace = inspect(workspace.string());
  EXPECT_EQ(fromWorkspace.schemes, (Strings{"Pods-TestApp", "TestApp", "TestAppShareExtension"}));
  EXPECT_EQ(fromWorkspace.configurations, (Strings{"Debug", "Release"}));
}

TEST_F(Inspection, AWorkspaceTakesTheConfigurationsOfTheProjectsBesideIt) {
  const fs::path workspace = newWorkspace("Apps/Suite.xcworkspace");
  listing(workspace, R"({"workspace":{"name":"Suite","schemes":["Suite"]}})");
  EXPECT_EQ(inspect(workspace.string()).configurations, (Strings{"Debug", "Release"}));

  newProject("Apps/One.xcodeproj", "Release");
  newProject("Apps/Two.xcodeproj", "Debug,Release");
  newProject("Apps/Three.xcodeproj", "Release,Beta");
  const fs::path broken = newProject("Apps/Broken.xcodeproj", "Broken");
  const fs::path garbage = newProject("Apps/Garbage.xcodeproj", "Garbage");
  newProject("Elsewhere/Far.xcodeproj", "Far");
  sim({"fault", "set", root_.path().string(), "xcodebuild-list", "exit", "--only",
       broken.string()});
  sim({"fault", "set", root_.path().string(), "xcodebuild-list", "garbage", "--only",
       garbage.string()});
  EXPECT_EQ(inspect(workspace.string()).configurations, (Strings{"Beta", "Debug", "Release"}));
}

TEST_F(Inspection, ReadsTheContainerTheListingNames) {
  const fs::path path = newProject("Apps/App.xcodeproj");
  // A null "workspace" is read through "project"; schemes keep order and twins, non-strings go.
  listing(path, R"({"workspace":null,"project":{"schemes":["B",1,"A","B",null],)"
                R"("configurations":["Release","Debug",3,"Release"]}})");
  Project project = inspect(path.string());
  EXPECT_EQ(project.schemes, (Strings{"B", "A", "B"}));
  EXPECT_EQ(project.configurations, (Strings{"Debug", "Release"}));

  const std::string noSchemes = "No schemes found. Share your app scheme in Xcode and try again.";
  for (const char* text :
       {R"({"project":{"schemes":[1,null,{"name":"A"}],"configurations":["Debug"]}})",
        R"({"project":{"schemes":"App"}})", R"({"workspace":{"schemes":[]}})",
        R"({"workspace":"App","project":{"schemes":["A"]}})", R"(["App"])", "{}"}) {
    listing(path, text);
    EXPECT_EQ(failureOf(path.string()), noSchemes) << text;
  }
}

TEST_F(Inspection, ListingFailuresAreReportedAsTheyCame) {
  const fs::path path = newProject("Apps/App.xcodeproj");
  sim({"fault", "set", root_.path().string(), "xcodebuild-list", "exit"});
  EXPECT_TRUE(failureOf(path.string()).starts_with("xcrun failed (65): "))
      << failureOf(path.string());
  sim({"fault", "set", root_.path().string(), "xcodebuild-list", "garbage"});
  EXPECT_THROW(inspect(path.string()), DecodingError);
  EXPECT_FALSE(fs::exists(ProjectStore::file()));
}

TEST_F(Inspection, ACancelledTaskRunsNoTool) {
  const fs::path path = newProject("Apps/App.xcodeproj");
  std::stop_source stop;
  stop.request_stop();
  task::Scope scope(stop.get_token());
  EXPECT_THROW(inspect(path.string()), CancellationError);
  EXPECT_EQ(toolRuns(), 0u);
}

TEST_F(Inspection, AnInvalidRegistryFailsInspection) {
  const fs::path path = newProject("Apps/App.xcodeproj");
  testing::writeText(home_ / "state/projects.json", "[{}]");
  EXPECT_THROW(inspect(path.string()), DecodingError);
}

}  // namespace
}  // namespace vek
