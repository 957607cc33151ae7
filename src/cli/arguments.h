// The command line of `vek`, split into positionals, valued options and flags.
//
// The parser knows two fixed sets of option names; anything else that starts with a dash is
// refused. There are no short options, no "--name=value" form and no "--" end marker: a
// word that starts with two dashes is always an option, one with a single dash is a value only
// where an option expects one (so "--name -x" names something "-x").
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vek::cli {

class Arguments {
 public:
  /// Parses `arguments` (without the program name). Throws VEKError "Unknown option: " + argument
  /// or "Missing value for " + option at the first bad argument.
  explicit Arguments(const std::vector<std::string>& arguments);

  /// Every argument that is neither an option nor an option's value, in order.
  const std::vector<std::string>& positional() const { return positional_; }
  /// The positional at `index`, or the empty string when there are fewer.
  std::string positionalAt(std::size_t index) const;
  /// True when the flag (as typed, with its dashes) was given.
  bool has(std::string_view flag) const { return flags_.count(std::string(flag)) > 0; }
  /// The value of a valued option (the last one when repeated), absent when not given.
  std::optional<std::string> value(std::string_view option) const;
  /// The value of `option`; throws VEKError "Required option: " + option when it is absent or
  /// empty.
  std::string require(std::string_view option) const;

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string, std::less<>> values_;
  std::set<std::string> flags_;
};

/// The "--timeout" value in seconds ("7200" when absent). Throws VEKError "Timeout must be
/// between 1 and 86400 seconds" unless the whole text is a number greater than 0 and at most 86400.
double timeout(const Arguments& arguments);

}  // namespace vek::cli
