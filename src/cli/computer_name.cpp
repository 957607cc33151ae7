#include "cli/computer_name.h"

#include <unistd.h>

#include <climits>
#include <fstream>

#include "foundation/text.h"

namespace vek::cli {

namespace {

// The value of PRETTY_HOSTNAME in a machine-info file: shell-style KEY=VALUE lines whose value may
// be quoted.
std::string prettyHostname(const char* path) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
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

std::string computerName() {
  if (auto pretty = prettyHostname("/etc/machine-info"); !pretty.empty()) return pretty;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "My Mac";
}

}  // namespace vek::cli
