#include "agent/agent_status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "agent/agent_service.h"
#include "foundation/paths.h"
#include "test_support.h"

namespace vek {
namespace {

using testing::ScopedEnvironment;

// A pid that belonged to a process that has ended and been reaped.
pid_t deadPid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

std::string statusText(const std::string& pid, double updated) {
  return R"({"pid":)" + pid + R"(,"updated":)" + std::to_string(updated) +
         R"(,"device_id":"dev-1","job_id":null,"error":"relay down","extra":[1]})";
}

TEST(AgentStatusLiveness, FreshWriteOfALiveProcessIsRunningAndKeepsEveryMember) {
  double now = AgentStatus::now();
  JSON status = AgentStatus::evaluate(statusText(std::to_string(::getpid()), now - 3), now);
  EXPECT_TRUE(status["running"].flag());
  EXPECT_EQ(status["device_id"].text(), "dev-1");
  EXPECT_TRUE(status["job_id"].isNull());
  EXPECT_EQ(status["error"].text(), "relay down");
  EXPECT_EQ(status["pid"].integer(), ::getpid());
  EXPECT_EQ(status["extra"].items().size(), 1u);
}

TEST(AgentStatusLiveness, StaleWritesAndEndedProcessesAreNotRunning) {
  // A whole number of seconds, so the times below survive their decimal rendering exactly.
  const double now = 2000000000;
  std::string self = std::to_string(::getpid());
  JSON stale = AgentStatus::evaluate(statusText(self, now - 60), now);
  EXPECT_FALSE(stale["running"].flag());
  EXPECT_EQ(stale["device_id"].text(), "dev-1");
  EXPECT_FALSE(AgentStatus::evaluate(statusText(self, now - 45), now)["running"].flag());
  EXPECT_TRUE(AgentStatus::evaluate(statusText(self, now - 44.5), now)["running"].flag());
  std::string dead = std::to_string(deadPid());
  EXPECT_FALSE(AgentStatus::evaluate(statusText(dead, now - 1), now)["running"].flag());
}

TEST(AgentStatusLiveness, ImpossiblePidsMeanNotRunningNeverAFailure) {
  double now = AgentStatus::now();
  for (const char* pid : {"0", "-1", "1e300", "-1e300", "2147483648", "4294967297", "\"123\"",
                          "null", "true", "{}"}) {
    JSON status = AgentStatus::evaluate(statusText(pid, now), now);
    EXPECT_FALSE(status["running"].flag()) << pid;
    EXPECT_TRUE(status["running"].isBool()) << pid;
  }
  EXPECT_FALSE(AgentStatus::isAlive(NAN, now, now));
  EXPECT_FALSE(AgentStatus::isAlive(INFINITY, now, now));
  // A fraction is cut toward zero: still this process.
  EXPECT_TRUE(AgentStatus::isAlive(::getpid() + 0.75, now, now));
  // An "updated" that is missing or not a number is the distant past.
  JSON noTime = AgentStatus::evaluate(R"({"pid":)" + std::to_string(::getpid()) + "}", now);
  EXPECT_FALSE(noTime["running"].flag());
}

TEST(AgentStatusLiveness, DamagedOrForeignContentGivesNotRunning) {
  double now = AgentStatus::now();
  EXPECT_EQ(AgentStatus::evaluate(std::nullopt, now).data(), R"({"running":false})");
  for (const char* bytes : {"", "{", "not json", "\xff\xfe{}", "{\"pid\":1,}"}) {
    EXPECT_EQ(AgentStatus::evaluate(std::string(bytes), now).data(), R"({"running":false})")
        << bytes;
  }
  // JSON that is not an object contributes no members.
  EXPECT_EQ(AgentStatus::evaluate(std::string("[1,2]"), now).data(), R"({"running":false})");
  EXPECT_EQ(AgentStatus::evaluate(std::string("\"x\""), now).data(), R"({"running":false})");
  // A "running" member the file claims is replaced by the real answer.
  EXPECT_FALSE(AgentStatus::evaluate(std::string(R"({"running":true})"), now)["running"].flag());
}

class AgentStatusFile : public ::testing::Test {
 protected:
  testing::TempDir scratch_;
  ScopedEnvironment state_{"VEK_STATE_DIR", (scratch_.path() / "state").c_str()};
};

TEST_F(AgentStatusFile, WrittenRecordReadsBackAsARunningAgent) {
  AgentStatus::Record record;
  record.pid = ::getpid();
  record.updated = AgentStatus::now();
  record.deviceID = "dev-7";
  record.jobID = "job-1";
  AgentStatus::write(record);
  struct stat info {};
  ASSERT_EQ(::stat(AgentStatus::file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  JSON status = AgentService::status();
  EXPECT_TRUE(status["running"].flag());
  EXPECT_EQ(status["job_id"].text(), "job-1");
  EXPECT_EQ(status["device_id"].text(), "dev-7");
  EXPECT_FALSE(status["error"].isString()) << "no error member unless one is reported";

  record.jobID.reset();
  record.error = "offline";
  AgentStatus::write(record);
  status = AgentService::status();
  EXPECT_TRUE(status["job_id"].isNull());
  EXPECT_EQ(status["error"].text(), "offline");

  // A relay's long error is cut as failure reports are, and a single character made of
  // thousands of combining marks is cut by size, so the file stays readable and the agent running.
  std::string marks = "a";
  for (int i = 0; i < 60000; ++i)
    marks += "\xCC\x81";
  for (const auto& [error, kept] : {std::pair{std::string(100000, 'x'), std::string(1950, 'x')},
                                    std::pair{marks, marks.substr(0, 8191)}}) {
    record.error = error;
    AgentStatus::write(record);
    status = AgentService::status();
    EXPECT_TRUE(status["running"].flag());
    EXPECT_EQ(status["error"].text(), kept);
  }
}

TEST_F(AgentStatusFile, MissingFolderFifoAndHugeFileAreNotRunning) {
  EXPECT_EQ(AgentService::status().data(), R"({"running":false})");
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "state")) << "status creates nothing";

  Paths::directory("");
  // A FIFO in its place must not hang the reader.
  ASSERT_EQ(::mkfifo(AgentStatus::file().c_str(), 0600), 0);
  EXPECT_EQ(AgentService::status().data(), R"({"running":false})");
  std::filesystem::remove(AgentStatus::file());

  std::string huge = R"({"pid":)" + std::to_string(::getpid()) + R"(,"updated":)" +
                     std::to_string(AgentStatus::now()) + R"(,"pad":")" + std::string(100000, 'x') +
                     "\"}";
  testing::writeText(AgentStatus::file(), huge);
  EXPECT_EQ(AgentService::status().data(), R"({"running":false})");
}

}  // namespace
}  // namespace vek
