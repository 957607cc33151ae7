// Constants several subsystems share.
#pragma once

#include <array>
#include <string_view>

#ifndef VEK_VERSION
#error "VEK_VERSION must be set by the build (from project(... VERSION ...))"
#endif

namespace vek {

struct VEK {
  /// The version of every program of the system, also sent as the relay client's user agent. It
  /// comes from the one `project(vek VERSION ...)` in the top-level CMakeLists.txt.
  static constexpr std::string_view version = VEK_VERSION;
  /// The relay origin `vek group create` uses when --server is not given (a build setting).
  static const std::string_view server;
  /// Job states after which a job never changes again, in this order.
  static constexpr std::array<std::string_view, 3> terminal = {"succeeded", "failed", "cancelled"};

  static constexpr bool isTerminal(std::string_view state) {
    for (auto terminalState : terminal) {
      if (state == terminalState) return true;
    }
    return false;
  }
};

}  // namespace vek
