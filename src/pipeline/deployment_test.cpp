// The parts of the two stages that need no simulated Mac: the upload's retries against a scripted
// relay, the refusals that must come before any tool runs or any byte moves, and the job folder's
// name. The stages end to end live with the end-to-end tests.
#include "pipeline/deployment.h"

#include <gtest/gtest.h>

#include <atomic>
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
const std::string build = "sealed build bytes";

// A relay without resumable uploads: HEAD is not one of its methods.
ScriptedAnswer noTus(const testing::RecordedRequest& request) {
  return request.method == "HEAD" ? ScriptedAnswer::json(405, R"({"error":"no HEAD"})")
                                  : ScriptedAnswer::json(500, R"({"error":"unexpected"})");
}

// A relay with resumable uploads that holds `held` bytes of the build.
ScriptedAnswer tusOffset(std::size_t held) {
  return ScriptedAnswer::http(200, "",
                              {{"Tus-Resumable", "1.0.0"},
                               {"Upload-Offset", std::to_string(held)},
                               {"Upload-Length", std::to_string(build.size())},
                               {"X-VEK-SHA256", digest}});
}

class Upload : public ::testing::Test {
 protected:
  void SetUp() override { testing::writeText(file_, build); }

  API enrolledAt(const testing::ScriptedHttpServer& server) const {
    return API(Credentials{server.origin(), "dev-1", "tok-1", "grp", "Group", "Mac", "key"});
  }
  std::string upload(const API& api, std::chrono::milliseconds pause) const {
    return testing::failureOf(
        [&] { BuildPipeline::uploadArtifact(api, "j1", "lease-1", file_, digest, {}, pause); });
  }
  static std::vector<testing::RecordedRequest> only(const testing::ScriptedHttpServer& server,
                                                    const std::string& method) {
    std::vector<testing::RecordedRequest> found;
    for (const testing::RecordedRequest& request : server.requests()) {
      if (request.method == method) found.push_back(request);
    }
    return found;
  }

  testing::TempDir scratch_;
  const fs::path file_ = scratch_ / "Build.vek";
};

TEST_F(Upload, ARelayWithoutResumableUploadsGetsTheWholeFileEachAttemptFiveSecondsApart) {
  std::vector<ScriptedAnswer> puts{ScriptedAnswer::json(503, R"({"error":"Relay is busy"})"),
                                   ScriptedAnswer::http(502, "<html>Bad gateway</html>"),
                                   ScriptedAnswer::json(500, "{}"),
                                   ScriptedAnswer::json(200, "{}")};
  std::size_t next = 0;
  auto server = testing::ScriptedHttpServer::answering([&](const testing::RecordedRequest& r) {
    return r.method == "PUT" ? puts.at(next++) : noTus(r);
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(upload(enrolledAt(*server), BuildPipeline::transferPause), "(no failure)");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 15s);

  const auto requests = only(*server, "PUT");
  ASSERT_EQ(requests.size(), 4u);
  for (const testing::RecordedRequest& request : requests) {
    // Every attempt sends the whole file with the digest it was given.
    EXPECT_EQ(request.target, "/v1/jobs/j1/artifact");
    EXPECT_EQ(request.header("X-VEK-SHA256"), digest);
    EXPECT_EQ(request.header("X-VEK-Lease"), "lease-1");
    EXPECT_EQ(request.body, build);
  }
}

TEST_F(Upload, FourAttemptsInARowWithoutProgressPassOnTheLastError) {
  // Without resumable uploads, and with them when the relay's offset never moves.
  for (const char* method : {"PUT", "PATCH"}) {
    int failures = 0;
    auto server = testing::ScriptedHttpServer::answering([&](const testing::RecordedRequest& r) {
      if (r.method == "HEAD") return std::string(method) == "PUT" ? noTus(r) : tusOffset(0);
      ++failures;
      return ScriptedAnswer::json(failures == 4 ? 409 : 503,
                                  failures == 4 ? R"({"error":"Lease expired"})" : "{}");
    });
    EXPECT_EQ(upload(enrolledAt(*server), 10ms), "Lease expired") << method;
    EXPECT_EQ(only(*server, method).size(), 4u) << method;
  }
}

TEST_F(Upload, AttemptsThatMoveTheRelaysOffsetDoNotCountAndNothingHeldIsSentAgain) {
  // Each connection breaks after three bytes, which the relay keeps.
  std::size_t held = 0;
  auto server = testing::ScriptedHttpServer::answering([&](const testing::RecordedRequest& r) {
    if (r.method == "HEAD") return tusOffset(held);
    held += std::min<std::size_t>(3, r.body.size());
    return held == build.size() ? ScriptedAnswer::http(204, "", {{"Tus-Resumable", "1.0.0"}})
                                : ScriptedAnswer::json(503, R"({"error":"cut"})");
  });
  EXPECT_EQ(upload(enrolledAt(*server), 1ms), "(no failure)");
  const auto patches = only(*server, "PATCH");
  ASSERT_EQ(patches.size(), 6u);
  for (std::size_t i = 0; i < patches.size(); ++i) {
    EXPECT_EQ(patches[i].header("Upload-Offset"), std::to_string(3 * i));
    EXPECT_EQ(patches[i].header("Upload-Length"), std::to_string(build.size()));
    EXPECT_EQ(patches[i].header("Content-Type"), "application/offset+octet-stream");
    EXPECT_EQ(patches[i].body, build.substr(3 * i));
  }
}

TEST_F(Upload, ACancelledTaskStopsWaitingAndIsNotRetried) {
  std::atomic<int> puts = 0;
  auto server = testing::ScriptedHttpServer::answering([&](const testing::RecordedRequest& r) {
    if (r.method != "PUT") return noTus(r);
    return ++puts == 1 ? ScriptedAnswer::json(503, "{}") : ScriptedAnswer::json(200, "{}");
  });
  const API api = enrolledAt(*server);
  std::stop_source stop;
  std::string result;
  std::thread worker([&] {
    task::Scope scope(stop.get_token());
    result = testing::failureOf<CancellationError>(
        [&] { BuildPipeline::uploadArtifact(api, "j1", "lease-1", file_, digest, {}, 1h); });
  });
  while (puts == 0)
    std::this_thread::sleep_for(10ms);
  stop.request_stop();
  worker.join();
  EXPECT_EQ(result, CancellationError().what());
  EXPECT_EQ(puts, 1);
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
