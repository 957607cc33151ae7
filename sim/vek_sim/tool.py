"""Entry point of every stand-in script under a tool root.

The scripts are three lines that name their tool; the root is found from the
script's own location, so the code under test can run them as
$VEK_TOOL_ROOT/usr/bin/NAME with no other set-up. Modules are imported only
for the tool that runs, to keep start-up short.
"""

import importlib
import os
import sys
import time

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
    _record_lifetime(name)
    return status


def _record_lifetime(name):
    """With VEK_SIM_TIMINGS naming a file, appends "NAME STARTED ENDED": this process's life, from
    its start (the interpreter's own included) to now, in seconds since boot. Benchmarks take the
    stand-ins' time out of what they measure with it, whatever the machine's load made of it."""
    path = os.environ.get("VEK_SIM_TIMINGS")
    if not path:
        return
    with open("/proc/self/stat") as f:
        started_ticks = int(f.read().rsplit(")", 1)[1].split()[19])
    started = started_ticks / os.sysconf("SC_CLK_TCK")
    ended = time.clock_gettime(time.CLOCK_BOOTTIME)
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    try:
        os.write(fd, ("%s %.3f %.3f\n" % (name, started, ended)).encode())
    finally:
        os.close(fd)
