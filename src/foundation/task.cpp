#include "foundation/task.h"

#include <utility>

namespace vek::task {

namespace {

// The token of the task running on this thread; default-constructed (never stopped) elsewhere.
thread_local std::stop_token currentToken;

}  // namespace

std::stop_token current() noexcept {
  return currentToken;
}

void checkCancelled() {
  if (currentToken.stop_requested()) throw CancellationError();
}

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
  std::stop_token token = current();
  if (token.stop_requested()) throw CancellationError();
  if (!token.stop_possible()) {
    std::this_thread::sleep_until(deadline);
    return;
  }
  // The callback sets the flag under the mutex, so a stop requested between the check above and
  // the wait below is never missed. `wake` is declared before `lock` and so outlives it, which
  // lets its destructor wait for a callback running on another thread.
  std::mutex mutex;
  std::condition_variable changed;
  bool stopped = false;
  std::stop_callback wake(token, [&] {
    std::lock_guard<std::mutex> guard(mutex);
    stopped = true;
    changed.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait_until(lock, deadline, [&] { return stopped; });
  if (stopped) throw CancellationError();
}

Scope::Scope(std::stop_token token) noexcept : previous_(std::exchange(currentToken, token)) {}

Scope::~Scope() {
  currentToken = std::move(previous_);
}

Task::Task(std::function<void()> body) {
  thread_ = std::thread([this, body = std::move(body)] {
    std::exception_ptr failure;
    try {
      Scope scope(source_.get_token());
      body();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(mutex_);
    failure_ = failure;
    finished_ = true;
  });
}

Task::~Task() {
  if (thread_.joinable()) {
    source_.request_stop();
    thread_.join();
  }
}

bool Task::finished() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return finished_;
}

void Task::join() {
  if (thread_.joinable()) thread_.join();
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vek::task
