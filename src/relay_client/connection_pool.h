// One pool of connections to the relay, shared by every copy of an API value.
//
// libcurl keeps reusable connections in a multi handle, and a multi handle may be used by only one
// thread at a time. Requests, however, come from several threads at once (the worker loop and a
// running job, for instance). The pool therefore runs a leader/follower scheme around one multi
// handle:
//
//   - a thread that wants a transfer queues its easy handle and, if nobody is driving the multi
//     handle, becomes the driver; otherwise it sleeps until its transfer is done or the driver
//     leaves;
//   - the driver adds queued handles, runs curl_multi_perform and curl_multi_poll for everybody,
//     and hands each finished transfer back to its owner; once its own transfer is done it stops
//     driving and a waiting follower takes over;
//   - other threads touch the multi handle only through curl_multi_wakeup, which libcurl allows
//     from any thread, to get a newly queued or cancelled transfer noticed at once.
//
// Every transfer carries the stop token of the task that asked for it. The driver removes a
// transfer whose token was stopped, and perform() then throws CancellationError in its owner's
// thread.
//
// CURLMOPT_MAX_HOST_CONNECTIONS bounds the connections to one host at 6; further transfers wait
// inside libcurl for a connection to become free.
#pragma once

#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

namespace vek::relay_client {

class ConnectionPool {
 public:
  /// Most simultaneous connections to one host.
  static constexpr long maxHostConnections = 6;

  /// Initialises libcurl for the process on first use and creates the multi handle. Throws
  /// std::runtime_error when libcurl cannot be initialised.
  ConnectionPool();
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  /// Runs the configured easy handle to completion and returns libcurl's result for it. Blocks;
  /// may drive other threads' transfers meanwhile. Throws CancellationError (after the transfer
  /// was taken out of the pool) when `token` is stopped before the transfer ends.
  CURLcode perform(CURL* easy, std::stop_token token);

 private:
  struct Transfer;
  void drive(std::unique_lock<std::mutex>& lock, Transfer& mine);
  void finish(Transfer& transfer, CURLcode result, bool cancelled);

  CURLM* multi_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool driving_ = false;
  std::vector<Transfer*> queued_;
  std::vector<Transfer*> active_;
};

}  // namespace vek::relay_client
