#include "relay_client/connection_pool.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "foundation/errors.h"
#include "relay_client/libcurl.h"

namespace vek::relay_client {

namespace {

// How long the driver sleeps when libcurl has nothing to wait for. libcurl shortens it to its own
// next timer; a wakeup ends it at once.
constexpr int pollMilliseconds = 1000;

}  // namespace

struct ConnectionPool::Transfer {
  CURL* easy;
  std::stop_token token;
  bool done = false;
  bool cancelled = false;
  CURLcode result = CURLE_OK;
};

ConnectionPool::ConnectionPool() {
  multi_ = libcurl().multi_init();
  if (!multi_) throw std::runtime_error("Cannot initialise the HTTP library: out of memory");
  libcurl().multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, maxHostConnections);
}

ConnectionPool::~ConnectionPool() {
  libcurl().multi_cleanup(multi_);
}

CURLcode ConnectionPool::perform(CURL* easy, std::stop_token token) {
  Transfer transfer{easy, token};
  std::unique_lock lock(mutex_);
  queued_.push_back(&transfer);
  libcurl().multi_wakeup(multi_);
  // Gets a stop noticed by whoever drives, even while it sleeps in curl_multi_poll. The callback
  // may run right here when stop was already requested; it takes no lock.
  std::stop_callback wake(token, [this] { libcurl().multi_wakeup(multi_); });
  while (!transfer.done) {
    if (driving_) {
      changed_.wait(lock);
      continue;
    }
    driving_ = true;
    try {
      drive(lock, transfer);
    } catch (...) {
      // Never leave the handle inside the multi handle: its owner frees it on the way out.
      if (!transfer.done) {
        std::erase(queued_, &transfer);
        if (std::find(active_.begin(), active_.end(), &transfer) != active_.end())
          finish(transfer, CURLE_OUT_OF_MEMORY, false);
      }
      driving_ = false;
      changed_.notify_all();
      throw;
    }
    driving_ = false;
    changed_.notify_all();
  }
  if (transfer.cancelled) throw CancellationError();
  return transfer.result;
}

void ConnectionPool::finish(Transfer& transfer, CURLcode result, bool cancelled) {
  libcurl().multi_remove_handle(multi_, transfer.easy);
  std::erase(active_, &transfer);
  transfer.done = true;
  transfer.cancelled = cancelled;
  transfer.result = result;
}

// Runs with `lock` held on entry and exit; releases it around every call into libcurl that may
// take time, so that other threads can queue transfers meanwhile. Only the driver calls libcurl
// on the multi handle (besides curl_multi_wakeup), so those calls need no lock.
void ConnectionPool::drive(std::unique_lock<std::mutex>& lock, Transfer& mine) {
  std::vector<std::pair<CURL*, CURLcode>> completed;
  while (true) {
    for (Transfer* transfer : std::exchange(queued_, {})) {
      CURLMcode added = libcurl().multi_add_handle(multi_, transfer->easy);
      if (added != CURLM_OK) {
        transfer->done = true;
        transfer->result = CURLE_OUT_OF_MEMORY;
        continue;
      }
      active_.push_back(transfer);
    }
    for (Transfer* transfer : std::vector<Transfer*>(active_)) {
      if (transfer->token.stop_requested()) finish(*transfer, CURLE_ABORTED_BY_CALLBACK, true);
    }
    changed_.notify_all();
    if (mine.done) return;

    lock.unlock();
    int running = 0;
    CURLMcode status = libcurl().multi_perform(multi_, &running);
    completed.clear();
    int pending = 0;
    while (CURLMsg* message = libcurl().multi_info_read(multi_, &pending)) {
      if (message->msg == CURLMSG_DONE)
        completed.emplace_back(message->easy_handle, message->data.result);
    }
    lock.lock();

    for (const auto& done : completed) {
      auto found = std::find_if(active_.begin(), active_.end(), [&done](Transfer* transfer) {
        return transfer->easy == done.first;
      });
      if (found != active_.end()) finish(**found, done.second, false);
    }
    if (status != CURLM_OK) {
      // The multi handle itself failed (out of memory); nothing in it can progress.
      for (Transfer* transfer : std::vector<Transfer*>(active_))
        finish(*transfer, CURLE_OUT_OF_MEMORY, false);
    }
    changed_.notify_all();
    if (mine.done) return;

    if (queued_.empty()) {
      lock.unlock();
      libcurl().multi_poll(multi_, nullptr, 0, pollMilliseconds, nullptr);
      lock.lock();
    }
  }
}

}  // namespace vek::relay_client
