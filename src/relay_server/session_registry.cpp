#include "relay_server/session_registry.h"

#include <vector>

namespace vek::relay_server {

SessionRegistry::SessionRegistry(std::size_t limit) : limit_(limit) {}

SessionRegistry::Admission SessionRegistry::admit() {
  std::function<void()> drop;
  {
    std::lock_guard lock(mutex_);
    if (sessions_.size() - dropping_ < limit_) return Admission::admitted;
    if (waiting_.empty()) return Admission::refused;
    Entry& oldest = sessions_.at(waiting_.front());
    dequeue(oldest);
    oldest.dropping = true;
    ++dropping_;
    drop = oldest.drop;
  }
  drop();
  return Admission::dropped;
}

std::uint64_t SessionRegistry::add(std::function<void()> stop, std::function<void()> drop) {
  std::lock_guard lock(mutex_);
  std::uint64_t key = ++next_;
  Entry& entry = sessions_[key];
  entry.stop = std::move(stop);
  entry.drop = std::move(drop);
  entry.place = waiting_.insert(waiting_.end(), key);
  entry.queued = true;
  return key;
}

void SessionRegistry::remove(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(key);
  if (found == sessions_.end()) return;
  dequeue(found->second);
  if (found->second.dropping) --dropping_;
  sessions_.erase(found);
}

void SessionRegistry::waiting(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(key);
  // One being dropped stays out of the queue: it must not be dropped, and uncounted, twice.
  if (found == sessions_.end() || found->second.dropping || found->second.queued) return;
  found->second.place = waiting_.insert(waiting_.end(), key);
  found->second.queued = true;
}

void SessionRegistry::busy(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(key);
  if (found != sessions_.end()) dequeue(found->second);
}

void SessionRegistry::spare(std::uint64_t key) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(key);
  if (found == sessions_.end() || !found->second.dropping) return;
  found->second.dropping = false;
  --dropping_;
}

void SessionRegistry::dequeue(Entry& entry) {
  if (!entry.queued) return;
  waiting_.erase(entry.place);
  entry.queued = false;
}

void SessionRegistry::stopAll() {
  std::vector<std::function<void()>> stops;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, entry] : sessions_)
      stops.push_back(entry.stop);
  }
  for (auto& stop : stops)
    stop();
}

std::size_t SessionRegistry::size() {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

}  // namespace vek::relay_server
