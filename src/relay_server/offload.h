// Running blocking work (SQLite, fsync) on a worker pool from a coroutine on an I/O thread.
//
// `co_await offload(pool, f)` suspends the coroutine, runs `f` on `pool`, and resumes the
// coroutine on its own executor with f's result, or rethrows what f threw. The I/O thread is free
// to serve other connections meanwhile.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>

#include "relay_server/asio.h"

namespace vek::relay_server {

template <typename Function, typename Result = std::invoke_result_t<Function&>>
asio::awaitable<Result> offload(asio::thread_pool& pool, Function function) {
  // Results travel in an optional so they need no default constructor; void becomes a bool.
  using Carried = std::conditional_t<std::is_void_v<Result>, bool, Result>;
  auto initiate = [&pool, function = std::move(function)](auto handler) mutable {
    auto work = asio::make_work_guard(asio::get_associated_executor(handler));
    asio::post(pool, [function = std::move(function), handler = std::move(handler),
                      work = std::move(work)]() mutable {
      std::exception_ptr failure;
      std::optional<Carried> result;
      try {
        if constexpr (std::is_void_v<Result>) {
          function();
          result = true;
        } else {
          result.emplace(function());
        }
      } catch (...) {
        failure = std::current_exception();
      }
      auto executor = work.get_executor();
      asio::post(executor,
                 [handler = std::move(handler), failure, result = std::move(result)]() mutable {
                   handler(failure, std::move(result));
                 });
    });
  };
  std::optional<Carried> result =
      co_await asio::async_initiate<decltype(asio::use_awaitable),
                                    void(std::exception_ptr, std::optional<Carried>)>(
          std::move(initiate), asio::use_awaitable);
  if constexpr (!std::is_void_v<Result>) co_return std::move(*result);
}

}  // namespace vek::relay_server
