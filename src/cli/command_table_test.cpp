#include "cli/command_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "cli/arguments.h"
#include "cli/help.h"
#include "foundation/file.h"
#include "test_support.h"

namespace vek::cli {
namespace {

std::set<std::string> optionsIn(std::string_view text) {
  std::set<std::string> found;
  for (std::size_t at = text.find("--"); at != std::string_view::npos; at = text.find("--", at)) {
    std::size_t end = at + 2;
    while (end < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-')) {
      ++end;
    }
    found.emplace(text.substr(at, end - at));
    at = end;
  }
  return found;
}

// The table is what completions and the manual page are made from; the parser keeps its own
// lists. An option the two disagree on would be offered by the shell and then refused.
TEST(CommandTable, EveryOptionIsOneTheParserTakesInTheSameWay) {
  for (const auto& option : options()) {
    SCOPED_TRACE(std::string(option.name));
    std::string name(option.name);
    if (option.isFlag()) {
      Arguments parsed({name, "word"});
      EXPECT_TRUE(parsed.has(name));
      EXPECT_EQ(parsed.positionalAt(0), "word");
    } else {
      Arguments parsed({name, "value"});
      EXPECT_EQ(parsed.value(name), "value");
      EXPECT_TRUE(parsed.positional().empty());
    }
  }
}

TEST(CommandTable, EveryOptionInTheHelpTextIsInTheTable) {
  for (const auto& name : optionsIn(helpText())) {
    EXPECT_NE(findOption(name), nullptr) << name;
  }
}

TEST(CommandTable, CommandsNameOnlyKnownOptionsAndShowTheirOwnInTheirUsage) {
  std::set<std::string_view> used(globalOptions().begin(), globalOptions().end());
  for (const auto& command : commands()) {
    SCOPED_TRACE(std::string(command.words));
    std::set<std::string> own(command.options.begin(), command.options.end());
    for (auto name : command.options) {
      EXPECT_NE(findOption(name), nullptr) << name;
      used.insert(name);
    }
    for (auto line : command.usage) {
      for (const auto& name : optionsIn(line))
        EXPECT_TRUE(own.count(name)) << name;
    }
  }
  for (const auto& option : options()) {
    EXPECT_TRUE(used.count(option.name)) << option.name << " belongs to no command";
  }
}

TEST(CommandTable, ChoicesAreGivenExactlyForChoiceOptions) {
  for (const auto& option : options()) {
    EXPECT_EQ(option.source == ValueSource::choice, !option.choices.empty()) << option.name;
    EXPECT_FALSE(option.isFlag() && option.source != ValueSource::text) << option.name;
  }
}

TEST(CommandTable, TheManualPageDescribesEveryCommandAndOption) {
  std::string page = vek::readFile(vek::testing::sourceDirectory() / "docs/man/vek.1.scd");
  for (const auto& command : commands()) {
    EXPECT_NE(page.find("*vek " + std::string(command.words) + "*"), std::string::npos)
        << command.words;
  }
  for (const auto& option : options()) {
    EXPECT_NE(page.find("\n*" + std::string(option.name) + "*"), std::string::npos)
        << option.name << " has no entry under OPTIONS";
  }
}

}  // namespace
}  // namespace vek::cli
