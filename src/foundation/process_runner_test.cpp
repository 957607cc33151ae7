#include "foundation/process_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/random.h"
#include "foundation/task.h"
#include "foundation/tool_root.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using ProcessRunner::Invocation;

// Sets or removes an environment variable for one test and restores it afterwards.
using testing::ScopedEnvironment;

int modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// Every test runs with a private temporary directory, so that capture files left behind are seen,
// and without a tool root.
class ProcessRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(captures());
    fs::create_directory(work());
    tmpdir_.emplace("TMPDIR", captures().c_str());
    toolRoot_.emplace("VEK_TOOL_ROOT", nullptr);
  }
  void TearDown() override {
    EXPECT_TRUE(fs::is_empty(captures())) << "capture files left in " << captures();
    toolRoot_.reset();
    tmpdir_.reset();
  }

  fs::path captures() const { return scratch_ / "captures"; }
  fs::path work() const { return scratch_ / "work"; }

  static Invocation shell(std::string script) {
    return {.executable = "/bin/sh", .arguments = {"-c", std::move(script)}, .timeout = 60};
  }

 private:
  testing::TempDir scratch_;
  std::optional<ScopedEnvironment> tmpdir_, toolRoot_;
};

std::string lineSequence(int last) {
  std::string text;
  for (int i = 1; i <= last; ++i)
    text += std::to_string(i) + '\n';
  return text;
}

// --- Capture ----------------------------------------------------------------------------------

TEST_F(ProcessRunnerTest, SilentSuccessGivesEmptyTextsAndStatusZero) {
  ProcessResult result = ProcessRunner::run({.executable = "/bin/true", .timeout = 30});
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(ProcessRunnerTest, ArgumentsReachTheToolVerbatimAndStreamsStaySeparate) {
  Invocation invocation = shell("printf '%s|' \"$@\"; printf 'warning' >&2");
  invocation.arguments.insert(invocation.arguments.end(),
                              {"sh", "two words", "$HOME", "*", "", "a;b"});
  ProcessResult result = ProcessRunner::run(invocation);
  EXPECT_EQ(result.output, "two words|$HOME|*||a;b|");
  EXPECT_EQ(result.error, "warning");
}

TEST_F(ProcessRunnerTest, CaptureFilesArePrivateAndNamedByOneUUID) {
  ProcessResult result = ProcessRunner::run(
      shell("readlink /proc/$$/fd/1; readlink /proc/$$/fd/2 >&2; stat -L -c %a /dev/stdout"));
  std::string stdoutPath = result.output.substr(0, result.output.find('\n'));
  std::string stderrPath = result.error.substr(0, result.error.find('\n'));
  EXPECT_EQ(fs::path(stdoutPath).parent_path(), captures());
  EXPECT_TRUE(isCanonicalUUID(fs::path(stdoutPath).filename().string())) << stdoutPath;
  EXPECT_EQ(stderrPath, stdoutPath + ".stderr");
  EXPECT_EQ(result.output.substr(result.output.find('\n') + 1), "600\n");
}

TEST_F(ProcessRunnerTest, LargeOutputKeepsTheLastEightMiBAndLogsEverything) {
  // About 20 MiB of numbered lines: the kept window must be the end of the output, not the start.
  const std::string expected = lineSequence(2'800'000);
  ASSERT_GT(expected.size(), 20u << 20);
  fs::path log = work() / "build.log";
  ProcessResult result = ProcessRunner::run(
      {.executable = "/usr/bin/seq", .arguments = {"1", "2800000"}, .log = log, .timeout = 120});
  EXPECT_EQ(result.output.size(), 8u << 20);
  EXPECT_TRUE(result.output == expected.substr(expected.size() - (8u << 20)));
  std::string transcript = readFile(log);
  EXPECT_EQ(transcript.size(), std::string("\n$ seq 1 2800000\n").size() + expected.size());
  EXPECT_TRUE(transcript == "\n$ seq 1 2800000\n" + expected);
}

TEST_F(ProcessRunnerTest, OutputIsRepairedAsUTF8IncludingACharacterCutByTheWindow) {
  const std::string fffd = "\xEF\xBF\xBD";
  // "é" (two bytes) followed by exactly 8 MiB - 1 bytes: the window starts on its second byte.
  ProcessResult cut =
      ProcessRunner::run(shell("printf '\\303\\251'; head -c 8388607 /dev/zero | tr '\\0' a"));
  ASSERT_EQ(cut.output.size(), fffd.size() + (8u << 20) - 1);
  EXPECT_EQ(cut.output.substr(0, 4), fffd + "a");
  EXPECT_EQ(cut.output.back(), 'a');

  ProcessResult broken = ProcessRunner::run(shell("printf 'a\\377b'; printf '\\342\\202' >&2"));
  EXPECT_EQ(broken.output, "a" + fffd + "b");
  EXPECT_EQ(broken.error, fffd);
}

// --- Environment, working directory, tool root --------------------------------------------------

TEST_F(ProcessRunnerTest, ToolSeesTheCallersEnvironmentLessInjectedLibrariesAndUnbuffered) {
  ScopedEnvironment inject("DYLD_INSERT_LIBRARIES", "/tmp/evil.dylib");
  ScopedEnvironment unbuffered("NSUnbufferedIO", "NO");
  ScopedEnvironment kept("VEK_RUNNER_TEST_MARK", "kept value");
  ProcessResult result = ProcessRunner::run({.executable = "/usr/bin/env", .timeout = 30});
  EXPECT_EQ(result.output.find("DYLD_INSERT_LIBRARIES"), std::string::npos);
  EXPECT_NE(result.output.find("\nVEK_RUNNER_TEST_MARK=kept value\n"), std::string::npos);
  std::size_t first = result.output.find("NSUnbufferedIO=");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(result.output.compare(first, 19, "NSUnbufferedIO=YES\n"), 0);
  EXPECT_EQ(result.output.find("NSUnbufferedIO=", first + 1), std::string::npos);
}

TEST_F(ProcessRunnerTest, ToolRunsInTheGivenWorkingDirectory) {
  ProcessResult result =
      ProcessRunner::run({.executable = "/bin/pwd", .cwd = work(), .timeout = 30});
  EXPECT_EQ(result.output, work().string() + "\n");

  try {
    ProcessRunner::run({.executable = "/bin/pwd", .cwd = work() / "missing", .timeout = 30});
    FAIL() << "a missing working directory must fail the start";
  } catch (const SystemError& error) {
    EXPECT_NE(std::string(error.what()).find(work() / "missing"), std::string::npos)
        << error.what();
  }
}

TEST_F(ProcessRunnerTest, ToolRootReplacesTheMacLocationOfEveryTool) {
  fs::path root = work() / "mac";
  testing::writeText(root / "usr/bin/xcrun", "#!/bin/sh\necho \"stand-in $*\"\nexit 65\n");
  fs::permissions(root / "usr/bin/xcrun", fs::perms::owner_all);
  ScopedEnvironment toolRoot("VEK_TOOL_ROOT", (root.string() + "/").c_str());

  EXPECT_EQ(toolPath("/usr/bin/xcrun"), root.string() + "/usr/bin/xcrun");
  ProcessResult result = ProcessRunner::run({.executable = "/usr/bin/xcrun",
                                             .arguments = {"devicectl", "list"},
                                             .timeout = 30,
                                             .allowFailure = true});
  EXPECT_EQ(result.output, "stand-in devicectl list\n");
  EXPECT_EQ(result.status, 65);
}

TEST(ToolPath, UnsetOrEmptyRootLeavesPathsAlone) {
  ScopedEnvironment unset("VEK_TOOL_ROOT", nullptr);
  EXPECT_EQ(toolPath("/usr/bin/codesign"), "/usr/bin/codesign");
  ScopedEnvironment empty("VEK_TOOL_ROOT", "");
  EXPECT_EQ(toolPath("/usr/bin/codesign"), "/usr/bin/codesign");
}

// --- Failures ----------------------------------------------------------------------------------

TEST_F(ProcessRunnerTest, NonZeroExitQuotesTheOutputTail) {
  try {
    ProcessRunner::run(shell("printf x; exit 3"));
    FAIL() << "exit 3 must fail";
  } catch (const VEKError& error) {
    EXPECT_EQ(error.message(), "sh failed (3): x");
  }

  Invocation allowed = shell("printf x; exit 3");
  allowed.allowFailure = true;
  ProcessResult result = ProcessRunner::run(allowed);
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.output, "x");

  // Standard error is preferred, cut to its last 1,600 characters (here multi-byte ones).
  try {
    ProcessRunner::run(
        shell("echo out; i=0; while [ $i -lt 1000 ]; do printf 'éa' >&2; "
              "i=$((i+1)); done; printf END >&2; exit 1"));
    FAIL() << "exit 1 must fail";
  } catch (const VEKError& error) {
    // 2,003 characters on standard error; the last 1,600 start with the "a" of a pair.
    std::string expected = "sh failed (1): a";
    for (int i = 0; i < 798; ++i)
      expected += "éa";
    expected += "END";
    EXPECT_EQ(error.message(), expected);
  }
}

TEST_F(ProcessRunnerTest, FailureWithALogNamesTheLog) {
  fs::path log = work() / "build.log";
  try {
    ProcessRunner::run({.executable = "/bin/sh",
                        .arguments = {"-c", "echo oops >&2; exit 65"},
                        .log = log,
                        .timeout = 30});
    FAIL() << "exit 65 must fail";
  } catch (const VEKError& error) {
    EXPECT_EQ(error.message(), "sh failed (65): oops\n\nFull log: " + log.string());
  }
}

TEST_F(ProcessRunnerTest, MissingToolFailsToStartAndLeavesNothingBehind) {
  try {
    ProcessRunner::run({.executable = "/nonexistent/xcodebuild", .timeout = 30});
    FAIL() << "a missing tool must fail";
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_NE(std::string(error.what()).find("/nonexistent/xcodebuild"), std::string::npos);
  }
  // TearDown checks that the capture files are gone.
}

TEST_F(ProcessRunnerTest, UnwritableLogFailsTheRunEvenWhenTheToolSucceeded) {
  EXPECT_THROW(ProcessRunner::run({.executable = "/bin/true",
                                   .log = work() / "no-such-folder" / "build.log",
                                   .timeout = 30}),
               SystemError);
}

// --- Transcript --------------------------------------------------------------------------------

TEST_F(ProcessRunnerTest, TranscriptIsCreatedPrivateAndOnlyEverAppended) {
  fs::path log = work() / "build.log";
  ProcessRunner::run({.executable = "/bin/sh",
                      .arguments = {"-c", "echo out; echo err >&2", "two words"},
                      .log = log,
                      .timeout = 30});
  EXPECT_EQ(modeOf(log), 0600);
  ProcessRunner::run({.executable = "/bin/true", .log = log, .timeout = 30});
  EXPECT_EQ(readFile(log),
            "\n$ sh -c echo out; echo err >&2 two words\nout\nerr\n"
            "\n$ true \n");

  fs::path shared = work() / "shared.log";
  testing::writeText(shared, "earlier lines\n");
  fs::permissions(shared, fs::perms(0644));
  ProcessRunner::run(
      {.executable = "/bin/echo", .arguments = {"hi"}, .log = shared, .timeout = 30});
  EXPECT_EQ(readFile(shared), "earlier lines\n\n$ echo hi\nhi\n");
}

// --- Stopping ----------------------------------------------------------------------------------

TEST_F(ProcessRunnerTest, TimeOutEndsTheToolWithSIGTERM) {
  ProcessResult result = ProcessRunner::run(
      {.executable = "/bin/sleep", .arguments = {"60"}, .timeout = 0.2, .allowFailure = true});
  EXPECT_EQ(result.status, SIGTERM);

  // Without allowFailure the message says the time-out ended it, and after how long.
  EXPECT_EQ(testing::failureOf([] {
              ProcessRunner::run({.executable = "/bin/sleep", .arguments = {"60"}, .timeout = 0.2});
            }),
            "sleep timed out after 0.2 seconds");
  EXPECT_EQ(testing::failureOf([] {
              ProcessRunner::run({.executable = "/bin/sh",
                                  .arguments = {"-c", "echo Waiting for the device; exec sleep 60"},
                                  .timeout = 0.5});
            }),
            "sh timed out after 0.5 seconds: Waiting for the device\n");
}

TEST_F(ProcessRunnerTest, ToolIgnoringSIGTERMIsKilled) {
  // The shell ignores SIGTERM before the time-out (one second is ample to start) and the sleep it
  // becomes inherits that, so only the SIGKILL that follows can end it.
  ProcessResult result = ProcessRunner::run({.executable = "/bin/sh",
                                             .arguments = {"-c", "trap '' TERM; exec sleep 60"},
                                             .timeout = 1,
                                             .allowFailure = true});
  EXPECT_EQ(result.status, SIGKILL);
}

TEST_F(ProcessRunnerTest, ToolStartsWithDefaultSignalsWhateverTheCallerIgnoresOrBlocks) {
  // A caller that ignores SIGTERM (and blocks it on its thread) must not pass that on: the tool
  // would then shrug off the time-out's SIGTERM and only die by the SIGKILL.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGTERM, &ignore, &previous), 0);
  sigset_t terminate, mask;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &terminate, &mask), 0);
  ProcessResult result = ProcessRunner::run(
      {.executable = "/bin/sleep", .arguments = {"60"}, .timeout = 0.2, .allowFailure = true});
  ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  ::sigaction(SIGTERM, &previous, nullptr);
  EXPECT_EQ(result.status, SIGTERM);
}

// Runs `invocation` on a task of its own; `result` and `failure` are filled when it ends.
struct BackgroundRun {
  explicit BackgroundRun(Invocation invocation)
      : task([this, invocation = std::move(invocation)] {
          try {
            result = ProcessRunner::run(invocation);
          } catch (...) {
            failure = std::current_exception();
          }
        }) {}
  std::optional<ProcessResult> result;
  std::exception_ptr failure;
  task::Task task;
};

// Calls `cancel(job)` until the run ends (the tool may not be registered yet on the first calls).
// Gives up after twenty seconds so a broken registry fails the test instead of hanging it.
bool cancelUntilFinished(const std::string& job, BackgroundRun& run) {
  for (int attempt = 0; attempt < 2000 && !run.task.finished(); ++attempt) {
    ProcessRunner::cancel(job);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return run.task.finished();
}

TEST_F(ProcessRunnerTest, CancelByJobEndsThatToolWithSIGTERM) {
  std::string job = randomUUID();
  BackgroundRun run({.executable = "/bin/sleep",
                     .arguments = {"60"},
                     .timeout = 120,
                     .job = job,
                     .allowFailure = true});
  ASSERT_TRUE(cancelUntilFinished(job, run));
  run.task.join();
  ASSERT_FALSE(run.failure);
  EXPECT_EQ(run.result->status, SIGTERM);
}

TEST_F(ProcessRunnerTest, CancelOfAnotherOrUnknownJobDoesNothing) {
  ProcessRunner::cancel("no such job");
  fs::path release = work() / "release";
  std::string job = randomUUID();
  BackgroundRun run({.executable = "/bin/sh",
                     .arguments = {"-c", "while [ ! -e '" + release.string() +
                                             "' ]; do sleep 0.02; done; echo done"},
                     .timeout = 60,
                     .job = job});
  for (int i = 0; i < 20; ++i) {
    ProcessRunner::cancel("another job");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  testing::writeText(release, "\n");
  run.task.join();
  ASSERT_FALSE(run.failure);
  EXPECT_EQ(run.result->output, "done\n");
  ProcessRunner::cancel(job);  // finished: nothing to reach
}

TEST_F(ProcessRunnerTest, LaterRunUnderTheSameJobStaysCancellableAfterTheEarlierEnds) {
  std::string job = randomUUID();
  fs::path first = work() / "first-started", second = work() / "second-started";
  // The first tool ends only once the second has started, i.e. after the second replaced its
  // registry entry.
  BackgroundRun earlier({.executable = "/bin/sh",
                         .arguments = {"-c", "touch '" + first.string() + "'; while [ ! -e '" +
                                                 second.string() + "' ]; do sleep 0.02; done"},
                         .timeout = 60,
                         .job = job});
  while (!fs::exists(first))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  BackgroundRun later({.executable = "/bin/sh",
                       .arguments = {"-c", "touch '" + second.string() + "'; exec sleep 60"},
                       .timeout = 120,
                       .job = job,
                       .allowFailure = true});
  earlier.task.join();
  ASSERT_FALSE(earlier.failure);
  ASSERT_TRUE(cancelUntilFinished(job, later));
  later.task.join();
  ASSERT_FALSE(later.failure);
  EXPECT_EQ(later.result->status, SIGTERM);
}

TEST_F(ProcessRunnerTest, AlreadyCancelledTaskStartsNothing) {
  std::stop_source source;
  source.request_stop();
  task::Scope scope(source.get_token());
  fs::path marker = work() / "started";
  EXPECT_THROW(ProcessRunner::run(shell("touch '" + marker.string() + "'")), CancellationError);
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(ProcessRunnerTest, CancellingTheTaskStopsAndReapsTheTool) {
  fs::path pidFile = work() / "pid";
  fs::path log = work() / "build.log";
  BackgroundRun run(
      {.executable = "/bin/sh",
       .arguments = {"-c", "echo partial; echo $$ > '" + pidFile.string() + "'; exec sleep 60"},
       .log = log,
       .timeout = 120});
  while (!fs::exists(pidFile) || fs::file_size(pidFile) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.task.requestStop();
  run.task.join();
  ASSERT_TRUE(run.failure);
  EXPECT_THROW(std::rethrow_exception(run.failure), CancellationError);
  // The runner reaped its child: this process has no children left, not even a zombie.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  // What the stopped tool printed is still in the transcript.
  EXPECT_EQ(readFile(log), "\n$ sh -c echo partial; echo $$ > '" + pidFile.string() +
                               "'; exec sleep 60\npartial\n");
}

}  // namespace
}  // namespace vek
