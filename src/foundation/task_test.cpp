#include "foundation/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace vek {
namespace {

using namespace std::chrono_literals;

TEST(Task, OutsideAnyTaskNothingIsEverCancelled) {
  EXPECT_FALSE(task::current().stop_possible());
  EXPECT_NO_THROW(task::checkCancelled());
  EXPECT_NO_THROW(task::sleepFor(1ms));
}

TEST(Task, ScopesInstallTokensAndRestoreThePreviousOne) {
  std::stop_source outer, inner;
  {
    task::Scope first(outer.get_token());
    {
      task::Scope second(inner.get_token());
      inner.request_stop();
      EXPECT_THROW(task::checkCancelled(), CancellationError);
    }
    EXPECT_NO_THROW(task::checkCancelled());
    EXPECT_TRUE(task::current().stop_possible());
  }
  EXPECT_FALSE(task::current().stop_possible());
}

TEST(Task, SleepEndsEarlyWithCancellationWhenStopped) {
  std::stop_source source;
  source.request_stop();
  {
    task::Scope scope(source.get_token());
    EXPECT_THROW(task::sleepFor(1h), CancellationError);  // already stopped: no wait at all
  }
  // Stopped while asleep: a broken wake-up would hang here for an hour.
  task::Task sleeper([] { task::sleepFor(1h); });
  sleeper.requestStop();
  EXPECT_THROW(sleeper.join(), CancellationError);
}

TEST(Task, SleepWithoutStopReturnsNormally) {
  std::stop_source source;
  task::Scope scope(source.get_token());
  EXPECT_NO_THROW(task::sleepFor(5ms));
}

TEST(Task, BodyRunsUnderItsOwnTokenAndItsFailureReachesTheJoiner) {
  std::stop_token seen;
  task::Task task([&] {
    seen = task::current();
    throw std::runtime_error("body failed");
  });
  try {
    task.join();
    FAIL() << "join must rethrow";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "body failed");
  }
  EXPECT_TRUE(task.finished());
  EXPECT_TRUE(seen.stop_possible());
  EXPECT_FALSE(seen.stop_requested());
  task.requestStop();
  EXPECT_TRUE(seen.stop_requested());
  EXPECT_NO_THROW(task.join());  // the failure is delivered once
  // The creating thread's own token is untouched by the task's.
  EXPECT_FALSE(task::current().stop_possible());
}

TEST(Task, DestroyingAnUnjoinedTaskStopsAndWaitsForIt) {
  std::atomic<bool> ended = false;
  {
    task::Task task([&] {
      try {
        task::sleepFor(1h);
      } catch (const CancellationError&) {
        ended = true;
        throw;
      }
    });
  }
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace vek
