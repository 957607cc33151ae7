// The thread that owns the desktop app's state, and the workers that wait on its behalf.
//
// Every field of the app model belongs to one thread, the UI thread: the widgets read it there and
// only that thread writes it. Anything that waits (a relay request, a tool run, a file or the
// secret store) runs on a worker of its own and hands its result back by posting a function to
// the UI thread. A worker that needs to read or change the state does so with `onUiThread`, which
// runs the function there and waits for it, so the state is never touched from two threads.
//
// Workers belong to a `Workers` set. Destroying the set stops every worker (their waits end with
// CancellationError) and waits for them, and functions they posted that have not run yet are
// dropped, so nothing outlives the state it refers to.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "foundation/task.h"

namespace vek::desktop {

/// Where functions meant for the UI thread are queued. `post` may be called from any thread; the
/// function runs later on the UI thread, in posting order.
class UiThread {
 public:
  virtual ~UiThread() = default;
  virtual void post(std::function<void()> function) = 0;
};

/// The workers of one owner, and the way back from them to the UI thread.
class Workers {
 public:
  explicit Workers(UiThread& ui);
  /// Stops every worker and waits for them; must run on the UI thread.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  /// Runs `body` on a new worker thread as a cancellable task. Call from the UI thread. An
  /// exception that leaves `body` is dropped: bodies report their own failures.
  void start(std::function<void()> body);

  /// From a worker: runs `function` on the UI thread and waits for it; rethrows what it threw.
  /// Throws CancellationError when the set is being destroyed before the function ran.
  void onUiThread(const std::function<void()>& function);

  /// How many workers have not finished yet (for tests that wait for quiet).
  std::size_t running() const;

 private:
  UiThread& ui_;
  std::shared_ptr<bool> alive_;
  mutable std::mutex mutex_;
  std::list<task::Task> tasks_;
};

}  // namespace vek::desktop
