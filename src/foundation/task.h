// Cooperative cancellation.
//
// "Asynchronous" operations in VEK are ordinary blocking functions. What makes them cancellable is
// the task they run in: a task carries a std::stop_token, installed as the current token of the
// thread that runs it. Every cancellable wait (a sleep, a tool run, an HTTP transfer) watches
// `task::current()` and, once stop is requested, ends early by throwing CancellationError. Code
// that does not wait need not care; long loops call `task::checkCancelled()` between steps.
//
// A thread that is not running a task sees a token that can never be stopped, so the same code
// runs unchanged from a plain main() or a test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include "foundation/errors.h"

namespace vek::task {

/// The stop token of the task running on this thread; a token that is never stopped when the
/// thread runs no task.
std::stop_token current() noexcept;

/// Throws CancellationError when stop has been requested for the current task.
void checkCancelled();

/// Sleeps until `deadline` (a steady-clock time point). Returns normally at the deadline; wakes at
/// once and throws CancellationError when stop is requested for the current task before it, or
/// had already been requested.
void sleepUntil(std::chrono::steady_clock::time_point deadline);

/// Sleeps for `duration`, cancellably, as `sleepUntil`.
template <typename Rep, typename Period>
void sleepFor(std::chrono::duration<Rep, Period> duration) {
  sleepUntil(std::chrono::steady_clock::now() +
             std::chrono::ceil<std::chrono::steady_clock::duration>(duration));
}

/// Installs `token` as the current token of this thread for the guard's lifetime and restores
/// the previous one on destruction. Scopes nest; they must end in reverse order on one thread.
class Scope {
 public:
  explicit Scope(std::stop_token token) noexcept;
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  std::stop_token previous_;
};

/// Runs a callable on a thread of its own, as a task with its own stop source: inside the body,
/// `task::current()` is that source's token. The task is not tied to the task that created it;
/// stopping one does not stop the other.
///
/// `join()` waits for the body and rethrows whatever it threw (CancellationError after a stop, for
/// instance). Destroying a task that was not joined requests stop, waits for the body and drops
/// its exception, so a task never outlives its owner.
class Task {
 public:
  explicit Task(std::function<void()> body);
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  /// Asks the body to stop; never blocks. Calling it again, or after the body ended, is harmless.
  void requestStop() noexcept { source_.request_stop(); }

  /// The token the body sees as current.
  std::stop_token token() const noexcept { return source_.get_token(); }

  /// True once the body has returned or thrown (without waiting for it).
  bool finished() const;

  /// Waits for the body to end, then rethrows its exception, if any, once. Later calls return at
  /// once. Must not be called from the body itself.
  void join();

 private:
  std::stop_source source_;
  mutable std::mutex mutex_;
  bool finished_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace vek::task
