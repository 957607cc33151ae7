"""Entry point of every stand-in script under a tool root.

The scripts are three lines that name their tool; the root is found from the
script's own location, so the code under test can run them as
$VEK_TOOL_ROOT/usr/bin/NAME with no other set-up. Modules are imported only
for the tool that runs, to keep start-up short.
"""

import importlib
import os
import sys

from .state import Root
from .toolerror import ToolExit

MODULES = {
    "xcrun": "vek_sim.xcrun",
    "xcodebuild": "vek_sim.xcodebuild",
    "devicectl": "vek_sim.devicectl",
    "security": "vek_sim.security",
    "codesign": "vek_sim.codesign",
    "ditto": "vek_sim.ditto",
    "launchctl": "vek_sim.launchctl",
    "systemctl": "vek_sim.systemctl",
    "caffeinate": "vek_sim.caffeinate",
    "systemd-inhibit": "vek_sim.systemd_inhibit",
}


def dispatch(root, name, args):
    """Run tool `name` in this process; returns its exit status."""
    module = importlib.import_module(MODULES[name])
    try:
        return module.run(root, args)
    except ToolExit as e:
        sys.stdout.flush()
        sys.stderr.write(e.message)
        return e.status


def main(name, script, args):
    root = Root.of_tool(script)
    if not os.path.isdir(root.state):
        sys.stderr.write("%s: %s is not a simulated Mac; run 'vek-sim init' on it\n" % (name, root.path))
        return 70
    root.log_call(name, args)
    try:
        status = dispatch(root, name, args)
        sys.stdout.flush()
    except BrokenPipeError:
        status = 1
    return status
