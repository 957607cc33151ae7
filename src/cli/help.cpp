#include "cli/help.h"

#include <vector>

#include "cli/command_table.h"
#include "foundation/constants.h"
#include "foundation/default_relay.h"

namespace vek::cli {

std::string serverLine(std::string_view builtIn) {
  // A build without a real default would otherwise promise a relay that group create refuses.
  if (isPlaceholderRelay(builtIn))
    return "--server URL is required for group creation (this build has no default relay).";
  return "--server URL is used only during group creation (default " + std::string(builtIn) + ").";
}

const std::string& helpText() {
  static const std::string text = [] {
    std::vector<std::string> lines = {
        "VEK " + std::string(VEK::version) +
            " \u2014 build on any Mac in your group, run on a nearby iPhone.",
        "",
    };
    for (const auto& command : commands()) {
      lines.insert(lines.end(), command.usage.begin(), command.usage.end());
    }
    const std::string footer[] = {
        "",
        "JSON output is the default for machine use. Worker logs go to stdout/stderr.",
        serverLine(VEK::server),
        "Join takes the server and encryption key from the invite. Keep invites private.",
        "Default mode is adhoc / Release. Debug defaults to Debug configuration.",
        "All Macs must run an agent; each builds only its explicitly registered projects.",
    };
    lines.insert(lines.end(), std::begin(footer), std::end(footer));
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) joined += '\n';
      joined += lines[i];
    }
    return joined;
  }();
  return text;
}

}  // namespace vek::cli
