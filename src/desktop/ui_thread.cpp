#include "desktop/ui_thread.h"

#include <condition_variable>
#include <exception>

#include "foundation/errors.h"

namespace vek::desktop {

namespace {

// One hand-over from a worker to the UI thread.
struct Handover {
  std::mutex mutex;
  std::condition_variable_any ranCondition;
  bool ran = false;
  std::exception_ptr failure;
};

}  // namespace

Workers::Workers(UiThread& ui) : ui_(ui), alive_(std::make_shared<bool>(true)) {}

Workers::~Workers() {
  *alive_ = false;
  std::list<task::Task> tasks;
  {
    std::lock_guard lock(mutex_);
    tasks.swap(tasks_);
  }
  for (task::Task& task : tasks)
    task.requestStop();
  // The list's destructor waits for each task.
}

void Workers::start(std::function<void()> body) {
  std::lock_guard lock(mutex_);
  tasks_.remove_if([](const task::Task& task) { return task.finished(); });
  tasks_.emplace_back([body = std::move(body)] {
    try {
      body();
    } catch (...) {
    }
  });
}

void Workers::onUiThread(const std::function<void()>& function) {
  auto handover = std::make_shared<Handover>();
  ui_.post([alive = alive_, handover, function] {
    if (!*alive) return;
    std::exception_ptr failure;
    try {
      function();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(handover->mutex);
    handover->ran = true;
    handover->failure = failure;
    handover->ranCondition.notify_all();
  });
  std::unique_lock lock(handover->mutex);
  std::stop_token token = task::current();
  handover->ranCondition.wait(lock, token, [&] { return handover->ran; });
  if (!handover->ran) throw CancellationError();
  if (handover->failure) std::rethrow_exception(handover->failure);
}

std::size_t Workers::running() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const task::Task& task : tasks_)
    count += task.finished() ? 0 : 1;
  return count;
}

}  // namespace vek::desktop
