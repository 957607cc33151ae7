#include "agent/service_definition.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/errors.h"

namespace vek {
namespace {

// Arguments that a careless rendering would mangle in one format or the other.
ServiceDefinition awkwardDefinition() {
  ServiceDefinition definition;
  definition.label = "com.ostrelsoftware.vek.agent";
  definition.programArguments = {"/Users/ann smith/100% \"real\"/$HOME\\vek & <tools>", "agent",
                                 "run"};
  definition.standardOutPath = "/home/ann smith/VEK/Logs 50%/agent.log";
  definition.standardErrorPath = "/home/ann smith/VEK/Logs 50%/agent-error.log";
  definition.path = ServiceDefinitions::agentPath;
  return definition;
}

std::string stringOf(plist_t node) {
  EXPECT_EQ(plist_get_node_type(node), PLIST_STRING);
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  free(value);
  return text;
}

TEST(AgentLaunchdPlist, ReadsBackWithExactlyTheDefinedKeysAndValues) {
  ServiceDefinition definition = awkwardDefinition();
  std::string xml = ServiceDefinitions::launchAgentPlist(definition);
  ASSERT_EQ(xml.rfind("<?xml", 0), 0u);
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(plist_get_node_type(root), PLIST_DICT);
  EXPECT_EQ(plist_dict_get_size(root), 9u);

  EXPECT_EQ(stringOf(plist_dict_get_item(root, "Label")), definition.label);
  plist_t arguments = plist_dict_get_item(root, "ProgramArguments");
  ASSERT_EQ(plist_get_node_type(arguments), PLIST_ARRAY);
  ASSERT_EQ(plist_array_get_size(arguments), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(stringOf(plist_array_get_item(arguments, i)), definition.programArguments[i]);
  }
  uint8_t flag = 0;
  plist_get_bool_val(plist_dict_get_item(root, "RunAtLoad"), &flag);
  EXPECT_EQ(flag, 1);
  plist_t keepAlive = plist_dict_get_item(root, "KeepAlive");
  ASSERT_EQ(plist_get_node_type(keepAlive), PLIST_DICT);
  EXPECT_EQ(plist_dict_get_size(keepAlive), 1u);
  plist_t successful = plist_dict_get_item(keepAlive, "SuccessfulExit");
  ASSERT_EQ(plist_get_node_type(successful), PLIST_BOOLEAN);
  flag = 1;
  plist_get_bool_val(successful, &flag);
  EXPECT_EQ(flag, 0);
  plist_t throttle = plist_dict_get_item(root, "ThrottleInterval");
  ASSERT_EQ(plist_get_node_type(throttle), PLIST_UINT);
  uint64_t seconds = 0;
  plist_get_uint_val(throttle, &seconds);
  EXPECT_EQ(seconds, 15u);
  EXPECT_EQ(stringOf(plist_dict_get_item(root, "ProcessType")), "Background");
  EXPECT_EQ(stringOf(plist_dict_get_item(root, "StandardOutPath")),
            definition.standardOutPath.string());
  EXPECT_EQ(stringOf(plist_dict_get_item(root, "StandardErrorPath")),
            definition.standardErrorPath.string());
  plist_t environment = plist_dict_get_item(root, "EnvironmentVariables");
  ASSERT_EQ(plist_get_node_type(environment), PLIST_DICT);
  EXPECT_EQ(plist_dict_get_size(environment), 1u);
  EXPECT_EQ(stringOf(plist_dict_get_item(environment, "PATH")),
            "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
  plist_free(root);
}

// systemd's reading of a unit: specifiers ("%%") everywhere, then for command lines and
// environment assignments its word splitting with double quotes and C escapes, and "$$" in
// ExecStart.
std::string unspecify(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%') {
      EXPECT_LT(i + 1, value.size());
      EXPECT_EQ(value[i + 1], '%') << "unescaped specifier in " << value;
      ++i;
    }
    out += value[i];
  }
  return out;
}

std::vector<std::string> words(const std::string& line, bool dollars) {
  std::vector<std::string> result;
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    EXPECT_EQ(line[i], '"') << "every word is quoted: " << line;
    std::string word;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      char c = line[i];
      if (c == '\\') {
        char next = line[++i];
        if (next == 'x') {
          word += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          word += next;
        }
      } else if (c == '%') {
        EXPECT_EQ(line[++i], '%');
        word += '%';
      } else if (c == '$' && dollars) {
        EXPECT_EQ(line[++i], '$') << "unescaped variable in " << line;
        word += '$';
      } else {
        word += c;
      }
    }
    ++i;
    result.push_back(word);
  }
  return result;
}

std::multimap<std::string, std::string> settings(const std::string& unit) {
  std::multimap<std::string, std::string> result;
  std::string section;
  std::size_t start = 0;
  while (start < unit.size()) {
    std::size_t end = unit.find('\n', start);
    std::string line = unit.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.front() == '[') {
      section = line;
      continue;
    }
    auto equals = line.find('=');
    result.emplace(section + line.substr(0, equals), line.substr(equals + 1));
  }
  return result;
}

TEST(AgentSystemdUnit, ReadsBackToTheSameProgramLogsAndRestartRules) {
  ServiceDefinition definition = awkwardDefinition();
  auto unit = settings(ServiceDefinitions::systemdUnit(definition));
  auto one = [&](const std::string& key) {
    EXPECT_EQ(unit.count(key), 1u) << key;
    auto it = unit.find(key);
    return it == unit.end() ? std::string() : it->second;
  };
  EXPECT_EQ(words(one("[Service]ExecStart"), true), definition.programArguments);
  EXPECT_EQ(one("[Service]Restart"), "on-failure");
  EXPECT_EQ(one("[Service]RestartSec"), "15");
  EXPECT_EQ(one("[Unit]StartLimitIntervalSec"), "0");
  EXPECT_EQ(words(one("[Service]Environment"), false),
            std::vector<std::string>{"PATH=" + std::string(ServiceDefinitions::agentPath)});
  EXPECT_EQ(unspecify(one("[Service]StandardOutput")),
            "append:" + definition.standardOutPath.string());
  EXPECT_EQ(unspecify(one("[Service]StandardError")),
            "append:" + definition.standardErrorPath.string());
  EXPECT_EQ(one("[Install]WantedBy"), "default.target");
}

TEST(AgentSystemdUnit, ControlCharactersNeverBreakTheFile) {
  ServiceDefinition definition = awkwardDefinition();
  definition.programArguments[0] = "/opt/odd\nname/vek";
  std::string unit = ServiceDefinitions::systemdUnit(definition);
  EXPECT_EQ(words(settings(unit).find("[Service]ExecStart")->second, true)[0],
            "/opt/odd\nname/vek");

  definition.standardErrorPath = "/logs/line\nbreak.log";
  EXPECT_THROW(ServiceDefinitions::systemdUnit(definition), VEKError);
}

}  // namespace
}  // namespace vek
