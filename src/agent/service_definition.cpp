#include "agent/service_definition.h"

#include <plist/plist.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "foundation/errors.h"

namespace vek::ServiceDefinitions {

namespace {

struct PlistDeleter {
  void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

plist_t stringNode(const std::string& value) {
  return plist_new_string(value.c_str());
}

// systemd expands "%" specifiers in every setting below and "$" variables in ExecStart; doubling
// them keeps the text literal.
std::string escapeSpecifiers(const std::string& value, bool dollars) {
  std::string out;
  for (char c : value) {
    if (c == '%' || (dollars && c == '$')) out += c;
    out += c;
  }
  return out;
}

// One word in double quotes, with the C-style escapes systemd's unquoting undoes.
std::string quoted(const std::string& value, bool dollars) {
  std::string out = "\"";
  for (char c : escapeSpecifiers(value, dollars)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string logTarget(const std::filesystem::path& path) {
  for (unsigned char c : path.string()) {
    if (c < 0x20 || c == 0x7f) {
      throw VEKError("The log path " + path.string() + " cannot be named in a systemd unit");
    }
  }
  return "append:" + escapeSpecifiers(path.string(), false);
}

}  // namespace

std::string launchAgentPlist(const ServiceDefinition& definition) {
  Plist root(plist_new_dict());
  plist_t dict = static_cast<plist_t>(root.get());
  plist_dict_set_item(dict, "Label", stringNode(definition.label));
  plist_t arguments = plist_new_array();
  for (const auto& argument : definition.programArguments) {
    plist_array_append_item(arguments, stringNode(argument));
  }
  plist_dict_set_item(dict, "ProgramArguments", arguments);
  plist_dict_set_item(dict, "RunAtLoad", plist_new_bool(1));
  plist_t keepAlive = plist_new_dict();
  plist_dict_set_item(keepAlive, "SuccessfulExit", plist_new_bool(0));
  plist_dict_set_item(dict, "KeepAlive", keepAlive);
  plist_dict_set_item(dict, "ThrottleInterval",
                      plist_new_uint(static_cast<uint64_t>(definition.throttleInterval)));
  plist_dict_set_item(dict, "ProcessType", plist_new_string("Background"));
  plist_dict_set_item(dict, "StandardOutPath", stringNode(definition.standardOutPath.string()));
  plist_dict_set_item(dict, "StandardErrorPath", stringNode(definition.standardErrorPath.string()));
  plist_t environment = plist_new_dict();
  plist_dict_set_item(environment, "PATH", stringNode(definition.path));
  plist_dict_set_item(dict, "EnvironmentVariables", environment);

  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  // libplist 2.2 reports no errors; a missing result is the only sign of one.
  if (!xml) throw std::runtime_error("Cannot render the LaunchAgent property list");
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::string systemdUnit(const ServiceDefinition& definition) {
  std::string command;
  for (const auto& argument : definition.programArguments) {
    if (!command.empty()) command += ' ';
    command += quoted(argument, true);
  }
  std::string unit;
  unit += "[Unit]\n";
  unit += "Description=VEK agent\n";
  // Never give up restarting, as launchd does not.
  unit += "StartLimitIntervalSec=0\n";
  unit += "\n[Service]\n";
  unit += "Type=simple\n";
  unit += "ExecStart=" + command + "\n";
  unit += "Restart=on-failure\n";
  unit += "RestartSec=" + std::to_string(definition.throttleInterval) + "\n";
  unit += "Environment=" + quoted("PATH=" + definition.path, false) + "\n";
  unit += "StandardOutput=" + logTarget(definition.standardOutPath) + "\n";
  unit += "StandardError=" + logTarget(definition.standardErrorPath) + "\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=default.target\n";
  return unit;
}

}  // namespace vek::ServiceDefinitions
