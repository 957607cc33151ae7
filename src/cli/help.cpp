#include "cli/help.h"

#include "foundation/constants.h"

namespace vek::cli {

const std::string& helpText() {
  static const std::string text = [] {
    const std::string lines[] = {
        "VEK " + std::string(VEK::version) +
            " \u2014 build on any Mac in your group, run on a nearby iPhone.",
        "",
        "vek doctor",
        "vek group create --name \"My Macs\" --bootstrap-file PATH [--device-name NAME]",
        "vek group join --invite-file PATH [--device-name NAME]",
        "vek group invite                         # secret; single use, expires in 15 minutes",
        "vek group status",
        "vek group revoke MAC_ID",
        "vek projects add /path/App.xcworkspace [--name NAME] [--team TEAM_ID]",
        "                 [--manual --export-options /path/ExportOptions.plist]",
        "vek projects list [--local]",
        "vek projects remove PROJECT_ID",
        "vek devices [--local]",
        "vek agent install                        # start at login and keep running",
        "vek agent run                            # foreground worker",
        "vek agent status",
        "vek agent uninstall",
        "vek run --project ID --scheme NAME --receiver MAC_ID --device UDID",
        "        [--builder MAC_ID] [--mode adhoc|debug] [--configuration NAME]",
        "        [--wait --timeout 7200]",
        "vek jobs",
        "vek job JOB_ID",
        "vek logs JOB_ID [--follow --timeout 7200]",
        "vek cancel JOB_ID",
        "",
        "JSON output is the default for machine use. Worker logs go to stdout/stderr.",
        "--server URL is used only during group creation (default " + std::string(VEK::server) +
            ").",
        "Join takes the server and encryption key from the invite. Keep invites private.",
        "Default mode is adhoc / Release. Debug defaults to Debug configuration.",
        "All Macs must run an agent; each builds only its explicitly registered projects.",
    };
    std::string joined;
    for (const auto& line : lines) {
      if (!joined.empty() || &line != &lines[0]) joined += '\n';
      joined += line;
    }
    return joined;
  }();
  return text;
}

}  // namespace vek::cli
