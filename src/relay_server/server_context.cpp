#include "relay_server/server_context.h"

#include <vector>

namespace vek::relay_server {

std::uint64_t SessionRegistry::add(std::function<void()> stop) {
  std::lock_guard lock(mutex_);
  sessions_.emplace(++next_, std::move(stop));
  return next_;
}

void SessionRegistry::remove(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  sessions_.erase(key);
}

void SessionRegistry::stopAll() {
  std::vector<std::function<void()>> stops;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, stop] : sessions_)
      stops.push_back(stop);
  }
  for (auto& stop : stops)
    stop();
}

std::size_t SessionRegistry::size() {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

}  // namespace vek::relay_server
