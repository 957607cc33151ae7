#include "relay_server/notifier.h"

#include <vector>

namespace vek::relay_server {

// A waiter's state. The fields below the executor are touched only on that executor; the
// notifier's map keeps the registration alive while a wake for it may still be queued.
struct Notifier::Registration {
  Registration(std::string key, asio::any_io_executor executor)
      : key(std::move(key)), executor(executor), timer(executor) {}

  const std::string key;
  const asio::any_io_executor executor;
  asio::steady_timer timer;
  bool posted = false;
  bool abandoned = false;
};

void Notifier::setBroadcaster(Broadcaster broadcaster) {
  broadcaster_ = std::move(broadcaster);
}

void Notifier::post(const Topic& topic) {
  deliver(topic);
  if (broadcaster_) broadcaster_(topic);
}

void Notifier::deliver(const Topic& topic) {
  std::vector<std::shared_ptr<Registration>> woken;
  {
    std::lock_guard guard(mutex_);
    auto [first, last] = waiters_.equal_range(topic.text());
    for (auto it = first; it != last; ++it)
      woken.push_back(it->second);
  }
  wakes_.fetch_add(woken.size(), std::memory_order_relaxed);
  for (auto& registration : woken) {
    asio::post(registration->executor, [registration] {
      registration->posted = true;
      registration->timer.cancel();
    });
  }
}

std::size_t Notifier::waiters() const {
  std::lock_guard guard(mutex_);
  return waiters_.size();
}

std::shared_ptr<Notifier::Registration> Notifier::add(const Topic& topic,
                                                      asio::any_io_executor executor) {
  auto registration = std::make_shared<Registration>(topic.text(), executor);
  std::lock_guard guard(mutex_);
  waiters_.emplace(registration->key, registration);
  return registration;
}

void Notifier::remove(const std::shared_ptr<Registration>& registration) {
  std::lock_guard guard(mutex_);
  auto [first, last] = waiters_.equal_range(registration->key);
  for (auto it = first; it != last; ++it) {
    if (it->second == registration) {
      waiters_.erase(it);
      return;
    }
  }
}

Notifier::Waiter::Waiter(Notifier& notifier, const Topic& topic, asio::any_io_executor executor)
    : notifier_(notifier), registration_(notifier.add(topic, executor)) {}

Notifier::Waiter::~Waiter() {
  notifier_.remove(registration_);
}

asio::awaitable<Notifier::Waiter::Wake> Notifier::Waiter::wait(
    std::chrono::steady_clock::time_point deadline) {
  Registration& state = *registration_;
  // Any completion of the timer (its deadline, or a cancel by a wake) leads back to the checks,
  // which the flags alone decide.
  for (;;) {
    if (state.abandoned) co_return Wake::abandoned;
    if (state.posted) {
      state.posted = false;
      co_return Wake::posted;
    }
    if (std::chrono::steady_clock::now() >= deadline) co_return Wake::deadline;
    state.timer.expires_at(deadline);
    error_code ignored;
    co_await state.timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
}

void Notifier::Waiter::abandon() {
  registration_->abandoned = true;
  registration_->timer.cancel();
}

}  // namespace vek::relay_server
