// The commands and options of `vek`, declared once. The usage lines of `vek --help`, the shell
// completions and the checks of the manual page are all made from this table, so none of them
// can name a command or option the program does not have.
#pragma once

#include <string_view>
#include <vector>

namespace vek::cli {

/// Where a shell finds candidates for a value: nowhere (free text), the file system, a fixed
/// list, or one of this Mac's local records (never the relay): its registered projects, its job
/// folders, and what it last saw of its group's Macs and their phones (GroupCache).
enum class ValueSource { text, file, choice, projectId, jobId, macId, udid };

struct OptionSpec {
  /// As typed, with its two dashes.
  std::string_view name;
  /// The placeholder of its value in usage text; empty for a flag.
  std::string_view value;
  /// One line for completion menus and the manual page.
  std::string_view summary;
  ValueSource source = ValueSource::text;
  /// The accepted values when `source` is choice.
  std::vector<std::string_view> choices = {};

  bool isFlag() const { return value.empty(); }
};

struct CommandSpec {
  /// One or two words: the command and, for grouped commands, the sub-command.
  std::string_view words;
  /// The placeholder of its one operand, or empty when it takes none.
  std::string_view operand;
  ValueSource operandSource = ValueSource::text;
  /// One line for completion menus and the manual page.
  std::string_view summary;
  /// The options it reads, by name; each is in options().
  std::vector<std::string_view> options;
  /// Its lines in `vek --help`, exactly as printed.
  std::vector<std::string_view> usage;
};

/// Every option the argument parser knows, flags and valued ones.
const std::vector<OptionSpec>& options();

/// The options that belong to no command: --help, --version and --json.
const std::vector<std::string_view>& globalOptions();

/// Every command in the order `vek --help` lists them.
const std::vector<CommandSpec>& commands();

/// The option called `name`, or nullptr.
const OptionSpec* findOption(std::string_view name);

}  // namespace vek::cli
