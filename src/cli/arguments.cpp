#include "cli/arguments.h"

#include <array>
#include <charconv>

#include "foundation/errors.h"

namespace vek::cli {

namespace {

constexpr std::array<std::string_view, 7> kFlags = {"--json",   "--local", "--wait",   "--follow",
                                                    "--manual", "--help",  "--version"};

constexpr std::array<std::string_view, 16> kValued = {
    "--server",      "--name",          "--device-name", "--bootstrap-file",
    "--invite-file", "--invite",        "--team",        "--export-options",
    "--builder",     "--receiver",      "--device",      "--project",
    "--scheme",      "--configuration", "--mode",        "--timeout"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view word) {
  for (auto name : names) {
    if (name == word) return true;
  }
  return false;
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (contains(kFlags, argument)) {
      flags_.insert(argument);
    } else if (contains(kValued, argument)) {
      if (i + 1 == arguments.size() || arguments[i + 1].starts_with("--")) {
        throw VEKError("Missing value for " + argument);
      }
      values_[argument] = arguments[++i];
    } else if (argument.starts_with("-")) {
      throw VEKError("Unknown option: " + argument);
    } else {
      positional_.push_back(argument);
    }
  }
}

std::string Arguments::positionalAt(std::size_t index) const {
  return index < positional_.size() ? positional_[index] : std::string();
}

std::optional<std::string> Arguments::value(std::string_view option) const {
  auto it = values_.find(option);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::string Arguments::require(std::string_view option) const {
  auto found = value(option);
  if (!found || found->empty()) throw VEKError("Required option: " + std::string(option));
  return *found;
}

double timeout(const Arguments& arguments) {
  std::string text = arguments.value("--timeout").value_or("7200");
  double seconds = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  bool whole = error == std::errc() && end == text.data() + text.size() && !text.empty();
  if (!whole || !(seconds > 0 && seconds <= 86400)) {
    throw VEKError("Timeout must be between 1 and 86400 seconds");
  }
  return seconds;
}

}  // namespace vek::cli
