#include "foundation/computer_name.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

#include "foundation/text.h"

namespace vek {

namespace {

// The first PRETTY_HOSTNAME line's value, without one pair of matching quotes around it.
std::string prettyHostname(std::string_view machineInfo) {
  std::istringstream lines{std::string(machineInfo)};
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.starts_with("PRETTY_HOSTNAME=")) continue;
    std::string value = line.substr(16);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return text::trim(value);
  }
  return {};
}

}  // namespace

std::string computerNameFrom(std::string_view machineInfo, std::string_view hostName) {
  if (auto pretty = prettyHostname(machineInfo); !pretty.empty()) return pretty;
  if (!hostName.empty()) return std::string(hostName);
  return "My Mac";
}

std::string computerName() {
  std::ifstream file("/etc/machine-info");
  std::ostringstream content;
  if (file) content << file.rdbuf();
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return computerNameFrom(content.str(), host);
}

}  // namespace vek
