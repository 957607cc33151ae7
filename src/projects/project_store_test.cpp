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

Project sample(const std::string& id, const std::string& path) {
  return Project{id,           "App",        path, {"App", "App"}, {"Debug", "Release"},
                 std::nullopt, std::nullopt, true};
}

std::vector<std::string> ids(const std::vector<Project>& projects) {
  std::vector<std::string> result;
  for (const Project& project : projects)
    result.push_back(project.id);
  return result;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(ProjectRecord, OptionalMembersAreLeftOutWhenAbsentAndReadAsAbsentWhenNull) {
  Project bare = sample("a", "/p/A.xcodeproj");
  JSON encoded = bare.encoded();
  EXPECT_EQ(encoded["teamID"], JSON());
  EXPECT_EQ(encoded.fields().count("teamID"), 0u);
  EXPECT_EQ(encoded.fields().count("exportOptionsPath"), 0u);
  EXPECT_EQ(encoded.fields().size(), 6u);
  EXPECT_EQ(Project::decode(encoded), bare);

  encoded.set("teamID", JSON()).set("exportOptionsPath", JSON()).set("extra", 1);
  EXPECT_EQ(Project::decode(encoded), bare);

  Project manual = bare;
  manual.teamID = "ABCDE12345";
  manual.exportOptionsPath = "/p/ExportOptions.plist";
  manual.automaticSigning = false;
  EXPECT_EQ(Project::decode(JSON::decode(manual.encoded().data())), manual);
}

TEST(ProjectRecord, RequiredMembersMustBePresentWithTheirTypes) {
  const JSON good = sample("a", "/p/A.xcodeproj").encoded();
  auto changed = [&](const char* key, JSON value) {
    JSON copy = good;
    copy.set(key, std::move(value));
    return copy;
  };
  JSON withoutSigning = JSON::object();
  for (const auto& [key, value] : good.fields()) {
    if (key != "automaticSigning") withoutSigning.set(key, value);
  }
  for (const JSON& bad :
       {withoutSigning, changed("automaticSigning", 1), changed("automaticSigning", JSON()),
        changed("id", 7), changed("schemes", "App"), changed("configurations", JSON::array({1})),
        changed("teamID", 5), JSON::array()}) {
    EXPECT_THROW(Project::decode(bad), DecodingError) << bad.data();
  }
}

TEST(ProjectRecord, SelectionAndSummary) {
  Project project = sample("a", "/p/A.xcworkspace");
  EXPECT_EQ(project.selection(), (std::vector<std::string>{"-workspace", "/p/A.xcworkspace"}));
  project.path = "/p/A.xcodeproj";
  EXPECT_EQ(project.selection(), (std::vector<std::string>{"-project", "/p/A.xcodeproj"}));
  project.path = "/p/A.XCWORKSPACE";
  EXPECT_EQ(project.selection(), (std::vector<std::string>{"-project", "/p/A.XCWORKSPACE"}));

  project.teamID = "T";
  project.exportOptionsPath = "/e.plist";
  EXPECT_EQ(project.json(), JSON::object({{"id", "a"},
                                          {"name", "App"},
                                          {"schemes", JSON::array({"App", "App"})},
                                          {"configurations", JSON::array({"Debug", "Release"})}}));
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("VEK_STATE_DIR", state().c_str(), 1); }
  void TearDown() override { ::unsetenv("VEK_STATE_DIR"); }
  fs::path state() const { return home_ / "state"; }
  fs::path file() const { return state() / "projects.json"; }

  testing::TempDir home_;
};

TEST_F(Registry, LoadWithoutAFileIsEmptyAndCreatesNothing) {
  EXPECT_TRUE(ProjectStore::load().empty());
  EXPECT_FALSE(fs::exists(state()));
  EXPECT_EQ(ProjectStore::file(), file());
}

TEST_F(Registry, FirstUpsertCreatesAPrivateDirectoryAndFile) {
  ProjectStore::upsert(sample("a", "/p/A.xcodeproj"));
  EXPECT_EQ(modeOf(state()), 0700u);
  EXPECT_EQ(modeOf(file()), 0600u);
  const std::string content = testing::readText(file());
  EXPECT_EQ(content.find('\n'), std::string::npos);  // compact
  JSON stored = JSON::decode(content);
  ASSERT_EQ(stored.items().size(), 1u);
  EXPECT_EQ(Project::decode(stored.items()[0]), sample("a", "/p/A.xcodeproj"));
}

TEST_F(Registry, UpsertReplacesBySameIdOrSamePathAndMovesToTheEnd) {
  ProjectStore::upsert(sample("a", "/p/A.xcodeproj"));
  ProjectStore::upsert(sample("b", "/p/B.xcodeproj"));
  ProjectStore::upsert(sample("c", "/p/C.xcodeproj"));

  // Same path, new id: the old entry goes, the new one is last.
  ProjectStore::upsert(sample("a2", "/p/A.xcodeproj"));
  EXPECT_EQ(ids(ProjectStore::load()), (std::vector<std::string>{"b", "c", "a2"}));

  // Same id, new path that a third entry holds: both earlier entries go.
  ProjectStore::upsert(sample("b", "/p/C.xcodeproj"));
  std::vector<Project> projects = ProjectStore::load();
  EXPECT_EQ(ids(projects), (std::vector<std::string>{"a2", "b"}));
  EXPECT_EQ(projects.back().path, "/p/C.xcodeproj");
}

TEST_F(Registry, RemoveAlwaysRewritesTheFile) {
  ProjectStore::remove("nothing");
  EXPECT_EQ(testing::readText(file()), "[]");
  EXPECT_EQ(modeOf(file()), 0600u);

  ProjectStore::upsert(sample("a", "/p/A.xcodeproj"));
  ProjectStore::upsert(sample("b", "/p/B.xcodeproj"));
  const std::string before = testing::readText(file());
  struct stat old {};
  ::stat(file().c_str(), &old);
  ProjectStore::remove("unknown");
  struct stat now {};
  ::stat(file().c_str(), &now);
  EXPECT_NE(old.st_ino, now.st_ino);  // replaced, with the same content
  EXPECT_EQ(testing::readText(file()), before);

  ProjectStore::remove("a");
  ProjectStore::remove("b");
  EXPECT_EQ(testing::readText(file()), "[]");
}

TEST_F(Registry, AnInvalidFileFailsEveryOperationAndIsLeftUntouched) {
  const std::string good = sample("a", "/p/A.xcodeproj").encoded().data();
  for (const std::string& content : {
           "[" + good +
               ",{\"id\":\"b\",\"name\":\"B\",\"path\":\"/p/B.xcodeproj\",\"schemes\":"
               "[\"B\"],\"configurations\":[\"Debug\"]}]",
           "[" + good +
               ",{\"id\":\"b\",\"name\":\"B\",\"path\":\"/p/B.xcodeproj\",\"schemes\":"
               "[\"B\"],\"configurations\":[\"Debug\"],\"automaticSigning\":1}]",
           std::string("{\"projects\":[]}"),
           std::string("[") + good,
           std::string(""),
       }) {
    testing::writeText(file(), content);
    ::chmod(file().c_str(), 0644);
    EXPECT_THROW(ProjectStore::load(), DecodingError) << content;
    EXPECT_THROW(ProjectStore::upsert(sample("c", "/p/C.xcodeproj")), DecodingError);
    EXPECT_THROW(ProjectStore::remove("a"), DecodingError);
    EXPECT_EQ(testing::readText(file()), content);
    EXPECT_EQ(modeOf(file()), 0644u);
  }
  try {
    testing::writeText(file(), "[" + good + ",{\"id\":\"b\"}]");
    ProjectStore::load();
    FAIL() << "an element without most members was accepted";
  } catch (const DecodingError& error) {
    EXPECT_NE(std::string(error.what()).find(file().string()), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("project 2"), std::string::npos) << error.what();
  }
}

TEST_F(Registry, ReadsSlashesEscapedOrNot) {
  testing::writeText(file(),
                     "[{\"id\":\"a\",\"name\":\"A\",\"path\":\"\\/p\\/A.xcodeproj\",\"schemes\":"
                     "[],\"configurations\":[],\"automaticSigning\":false,\"teamID\":null},"
                     "{\"id\":\"b\",\"name\":\"B\",\"path\":\"/p/B.xcodeproj\",\"schemes\":[],"
                     "\"configurations\":[],\"automaticSigning\":true}]");
  std::vector<Project> projects = ProjectStore::load();
  ASSERT_EQ(projects.size(), 2u);
  EXPECT_EQ(projects[0].path, "/p/A.xcodeproj");
  EXPECT_EQ(projects[1].path, "/p/B.xcodeproj");
}

TEST_F(Registry, ConcurrentWritersLoseNothingAndReadersNeverSeeHalfAFile) {
  constexpr int writers = 6, each = 15;
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
  std::vector<std::thread> threads;
  for (int writer = 0; writer < writers; ++writer) {
    threads.emplace_back([writer] {
      for (int i = 0; i < each; ++i) {
        const std::string id = std::to_string(writer) + "-" + std::to_string(i);
        ProjectStore::upsert(sample(id, "/p/" + id + ".xcodeproj"));
        if (i % 3 == 2) ProjectStore::remove(std::to_string(writer) + "-" + std::to_string(i - 1));
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  done = true;
  reader.join();
  EXPECT_EQ(readerFailures, 0);
  EXPECT_EQ(ProjectStore::load().size(), static_cast<std::size_t>(writers * (each - each / 3)));
  // Only the registry itself is left: no temporary file of a write.
  EXPECT_EQ(std::distance(fs::directory_iterator(state()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vek
