// Constants several subsystems share.
#pragma once

#include <array>
#include <string_view>

namespace vek {

struct VEK {
  /// The version of every program of the system, also sent as the relay client's user agent.
  static constexpr std::string_view version = "0.1.0";
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
