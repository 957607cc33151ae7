// The parts of the two stages that need no simulated Mac: the upload's retries against a scripted
// relay, the refusals that must come before any tool runs or any byte moves, and the job folder's
// name. The stages end to end live with the end-to-end tests.
#include "pipeline/deployment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <thread>

#include "foundation/errors.h"
#include "foundation/task.h"
#include "scripted_http_server.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ScriptedAnswer;

const std::string digest(64, 'a');

class Upload : public ::testing::Test {
 protected:
  void SetUp() override { testing::writeText(file_, "sealed build bytes"); }

  API enrolledAt(const testing::ScriptedHttpServer& server) const {
    return API(Credentials{server.origin(), "dev-1", "tok-1", "grp", "Group", "Mac", "key"});
  }
  std::string upload(const API& api, std::chrono::milliseconds pause) const {
    return testing::failureOf(
        [&] { BuildPipeline::uploadArtifact(api, "j1", "lease-1", file_, digest, pause); });
  }

  testing::TempDir scratch_;
  const fs::path file_ = scratch_ / "Build.vek";
};

TEST_F(Upload, ThreeFailuresThenSuccessWaitFiveSecondsEach) {
  testing::ScriptedHttpServer server({ScriptedAnswer::json(503, R"({"error":"Relay is busy"})"),
                                      ScriptedAnswer::http(502, "<html>Bad gateway</html>"),
                                      ScriptedAnswer::json(500, "{}"),
                                      ScriptedAnswer::json(200, "{}")});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(upload(enrolledAt(server), BuildPipeline::uploadPause), "(no failure)");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 15s);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const testing::RecordedRequest& request : requests) {
    // Every attempt sends the whole file with the digest it was given.
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.target, "/v1/jobs/j1/artifact");
    EXPECT_EQ(request.header("X-VEK-SHA256"), digest);
    EXPECT_EQ(request.header("X-VEK-Lease"), "lease-1");
    EXPECT_EQ(request.body, "sealed build bytes");
  }
}

TEST_F(Upload, FourFailuresPassOnTheLastError) {
  testing::ScriptedHttpServer server({ScriptedAnswer::json(503, R"({"error":"first"})"),
                                      ScriptedAnswer::json(503, R"({"error":"second"})"),
                                      ScriptedAnswer::json(503, R"({"error":"third"})"),
                                      ScriptedAnswer::json(409, R"({"error":"Lease expired"})"),
                                      ScriptedAnswer::json(200, "{}")});
  EXPECT_EQ(upload(enrolledAt(server), 10ms), "Lease expired");
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(Upload, OnlyWhatCanChangeIsTriedAgain) {
  for (int status : {401, 403, 404, 409, 413}) {
    testing::ScriptedHttpServer server(
        {ScriptedAnswer::json(status, R"({"error":"final"})"), ScriptedAnswer::json(200, "{}")});
    EXPECT_EQ(upload(enrolledAt(server), 10ms), "final") << status;
    EXPECT_EQ(server.requests().size(), 1u) << status;
  }
  testing::ScriptedHttpServer cut({ScriptedAnswer{""},
                                   ScriptedAnswer::json(400, R"({"error":"torn"})"),
                                   ScriptedAnswer::json(200, "{}")});
  EXPECT_EQ(upload(enrolledAt(cut), 10ms), "(no failure)");
  EXPECT_EQ(cut.requests().size(), 3u);
}

TEST_F(Upload, ACancelledTaskStopsWaitingAndIsNotRetried) {
  testing::ScriptedHttpServer server(
      {ScriptedAnswer::json(503, "{}"), ScriptedAnswer::json(200, "{}")});
  const API api = enrolledAt(server);
  std::stop_source stop;
  std::string result;
  std::thread worker([&] {
    task::Scope scope(stop.get_token());
    result = testing::failureOf<CancellationError>(
        [&] { BuildPipeline::uploadArtifact(api, "j1", "lease-1", file_, digest, 1h); });
  });
  while (server.requests().empty())
    std::this_thread::sleep_for(10ms);
  stop.request_stop();
  worker.join();
  EXPECT_EQ(result, CancellationError().what());
  EXPECT_EQ(server.requests().size(), 1u);
}

class Stages : public ::testing::Test {
 protected:
  testing::TempDir state_;
  testing::ScopedEnvironment stateDirectory_{"VEK_STATE_DIR", state_.path().c_str()};
  // No tools at all: a stage that ran one would fail with another message.
  testing::TempDir tools_;
  testing::ScopedEnvironment toolRoot_{"VEK_TOOL_ROOT", tools_.path().c_str()};
  testing::ScriptedHttpServer relay_{std::vector<ScriptedAnswer>{}};
  const Credentials credentials_{relay_.origin(), "mac-2", "tok", "grp", "Group", "Mac", "key"};
  const API api_{credentials_};
  std::vector<std::string> events_;
  const BuildPipeline::ProgressCallback event_ = [this](const std::string& message) {
    events_.push_back(message);
  };
};

TEST_F(Stages, AJobForAnotherMacIsRefusedBeforeAnythingHappens) {
  for (const JSON& receiver : {JSON("mac-3"), JSON(), JSON("")}) {
    const JSON job = JSON::object({{"id", "j1"},
                                   {"receiver_id", receiver},
                                   {"spec", JSON::object({{"udid", "U1"}, {"mode", "debug"}})}});
    EXPECT_EQ(testing::failureOf(
                  [&] { BuildPipeline::install(job, "lease", credentials_, api_, event_); }),
              "Job is addressed to another Mac");
  }
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(relay_.requests().empty());
  EXPECT_FALSE(fs::exists(state_ / "Jobs"));
}

TEST_F(Stages, AProjectThatIsNotRegisteredIsRefusedBeforeAnythingHappens) {
  const JSON job = JSON::object(
      {{"id", "j1"}, {"spec", JSON::object({{"project_id", "p1"}, {"mode", "debug"}})}});
  EXPECT_EQ(
      testing::failureOf([&] { BuildPipeline::build(job, "lease", credentials_, api_, event_); }),
      "Project is no longer registered on this Mac");
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(relay_.requests().empty());
}

TEST(JobDirectory, IsOneFolderOfItsOwnBelowJobs) {
  testing::TempDir state;
  testing::ScopedEnvironment stateDirectory("VEK_STATE_DIR", state.path().c_str());
  EXPECT_EQ(BuildPipeline::jobDirectory("0f1e-2d3c"), state / "Jobs/0f1e-2d3c");
  EXPECT_TRUE(fs::is_directory(state / "Jobs/0f1e-2d3c"));
  for (const char* id : {"", ".", "..", "a/b", "../x", "/abs"}) {
    EXPECT_EQ(testing::failureOf([&] { BuildPipeline::jobDirectory(id); }),
              "Invalid job identifier")
        << id;
  }
  EXPECT_EQ(testing::failureOf([&] { BuildPipeline::jobDirectory(std::string("a\0b", 3)); }),
            "Invalid job identifier");
}

}  // namespace
}  // namespace vek
