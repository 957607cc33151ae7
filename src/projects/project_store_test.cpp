// The project record's coding and the registry file: replacement by id and by path, rewriting on
// remove, refusal to touch an invalid file, owner-only permissions, and concurrent writers.
#include "projects/project_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

Project sample(const std::string& id, const std::string& path) {
  return Project{id, "App", path, {"App", "App"}, {"Debug"}, std::nullopt, std::nullopt, true};
}

std::vector<std::string> ids() {
  std::vector<std::string> result;
  for (const Project& project : ProjectStore::load())
    result.push_back(project.id);
  return result;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

TEST(ProjectRecord, CodingSelectionAndSummary) {
  Project project = sample("a", "/p/A.xcworkspace");
  EXPECT_EQ(project.encoded().fields().size(), 6u);  // no "teamID", no "exportOptionsPath"
  const JSON stored = JSON::decode(
      R"({"id":"a","name":"App","path":"\/p\/A.xcworkspace","schemes":["App","App"],"unknown":1,)"
      R"("configurations":["Debug"],"automaticSigning":true,"teamID":null,"exportOptionsPath":null})");
  EXPECT_EQ(Project::decode(stored), project);
  for (auto [key, value] : {std::pair{"automaticSigning", JSON(1)}, std::pair{"id", JSON(7)},
                            std::pair{"schemes", JSON::array({1})}, std::pair{"teamID", JSON(5)}}) {
    EXPECT_THROW(Project::decode(JSON(stored).set(key, value)), DecodingError) << key;
  }
  project.teamID = "T";
  project.exportOptionsPath = "/e.plist";
  EXPECT_EQ(Project::decode(project.encoded()), project);
  EXPECT_EQ(project.json(), JSON::decode(R"({"id":"a","name":"App","schemes":["App","App"],)"
                                         R"("configurations":["Debug"]})"));
  EXPECT_EQ(project.selection()[0], "-workspace");
  project.path = "/p/A.XCWORKSPACE";
  EXPECT_EQ(project.selection(), (std::vector<std::string>{"-project", "/p/A.XCWORKSPACE"}));
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("VEK_STATE_DIR", state_.c_str(), 1); }
  void TearDown() override { ::unsetenv("VEK_STATE_DIR"); }

  testing::TempDir home_;
  const fs::path state_ = home_ / "state";
  const fs::path file_ = state_ / "projects.json";
};

TEST_F(Registry, UpsertReplacesBySameIdOrSamePath) {
  EXPECT_TRUE(ProjectStore::load().empty());
  EXPECT_FALSE(fs::exists(state_));  // loading creates nothing

  ProjectStore::upsert(sample("a", "/p/A.xcodeproj"));
  EXPECT_EQ(modeOf(state_), 0700u);
  EXPECT_EQ(modeOf(file_), 0600u);
  EXPECT_EQ(testing::readText(file_).find('\n'), std::string::npos);  // compact
  ProjectStore::upsert(sample("b", "/p/B.xcodeproj"));
  ProjectStore::upsert(sample("c", "/p/C.xcodeproj"));

  ProjectStore::upsert(sample("a2", "/p/A.xcodeproj"));  // same path: replaced, moved last
  EXPECT_EQ(ids(), (std::vector<std::string>{"b", "c", "a2"}));
  ProjectStore::upsert(sample("b", "/p/C.xcodeproj"));  // same id, and a third entry's path
  EXPECT_EQ(ids(), (std::vector<std::string>{"a2", "b"}));
  EXPECT_EQ(ProjectStore::load().back().path, "/p/C.xcodeproj");
}

TEST_F(Registry, RemoveAlwaysRewritesTheFile) {
  ProjectStore::remove("nothing");
  EXPECT_EQ(testing::readText(file_), "[]");
  ProjectStore::upsert(sample("a", "/p/A.xcodeproj"));
  const std::string before = testing::readText(file_);
  ::chmod(file_.c_str(), 0644);
  ProjectStore::remove("unknown");
  EXPECT_EQ(testing::readText(file_), before);
  EXPECT_EQ(modeOf(file_), 0600u);  // written again
  ProjectStore::remove("a");
  EXPECT_EQ(testing::readText(file_), "[]");
}

TEST_F(Registry, AnInvalidFileFailsEveryOperationAndIsLeftUntouched) {
  const std::string good = sample("a", "/p/A.xcodeproj").encoded().data();
  const std::string noSigning = R"({"id":"b","name":"B","path":"/p/B","schemes":[],)"
                                R"("configurations":[]})";
  for (const std::string& content : {"[" + good + "," + noSigning + "]", "[" + good, "{}"s}) {
    testing::writeText(file_, content);
    EXPECT_THROW(ProjectStore::load(), DecodingError) << content;
    EXPECT_THROW(ProjectStore::upsert(sample("c", "/p/C.xcodeproj")), DecodingError);
    EXPECT_THROW(ProjectStore::remove("a"), DecodingError);
    EXPECT_EQ(testing::readText(file_), content);
  }
  try {
    testing::writeText(file_, "[" + good + "," + noSigning + "]");
    ProjectStore::load();
  } catch (const DecodingError& error) {
    EXPECT_STREQ(error.what(), ("The project registry " + file_.string() +
                                " is not valid: in project 2, the member \"automaticSigning\" is "
                                "missing")
                                   .c_str());
  }
}

TEST_F(Registry, ConcurrentWritersLoseNothingAndReadersNeverSeeHalfAFile) {
  std::atomic<bool> done = false;
  std::atomic<int> readerFailures = 0;
  std::thread reader([&] {
    while (!done) {
      try {
        ProjectStore::load();
      } catch (...) {
        ++readerFailures;
      }
    }
  });
  std::vector<std::thread> writers;
  for (int writer = 0; writer < 6; ++writer) {
    writers.emplace_back([writer] {
      for (int i = 0; i < 12; ++i) {
        const std::string id = std::to_string(writer) + "-" + std::to_string(i);
        ProjectStore::upsert(sample(id, "/p/" + id));
        if (i % 2 == 1) ProjectStore::remove(id);
      }
    });
  }
  for (auto& writer : writers)
    writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(readerFailures, 0);
  EXPECT_EQ(ProjectStore::load().size(), 36u);
  // The registry and its lock file; no temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(state_), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace vek
