#include "desktop/enrollment_defaults.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>

namespace vek::desktop {

namespace {

std::string lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

// The value of KEY=VALUE, unquoted; "" when the key is missing.
std::string machineInfoValue(const std::string& content, std::string_view key) {
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != '=') continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return "";
}

}  // namespace

std::string proposedRelay(std::string_view builtIn) {
  std::string_view rest = builtIn;
  std::size_t scheme = rest.find("://");
  if (scheme == std::string_view::npos) return "";
  rest.remove_prefix(scheme + 3);
  std::string_view host = rest.substr(0, rest.find_first_of(":/?#"));
  std::string name = lower(host);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name == "example" || name.ends_with(".example")) return "";
  return std::string(builtIn);
}

std::string proposedDeviceName(const std::string& machineInfo, const std::string& hostName) {
  std::string pretty = machineInfoValue(machineInfo, "PRETTY_HOSTNAME");
  if (!pretty.empty()) return pretty;
  if (!hostName.empty()) return hostName;
  return "My Mac";
}

std::string computerName() {
  std::ifstream file("/etc/machine-info");
  std::stringstream content;
  content << file.rdbuf();
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return proposedDeviceName(content.str(), host);
}

}  // namespace vek::desktop
