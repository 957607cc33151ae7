"""Laying out a tool root: the stand-in scripts, the real tools that are
linked in, and the state folder.

Running init again on an existing root rewrites the scripts (say, after the
sim folder moved) and keeps the devices, team and faults.
"""

import os
import sys

from . import team
from .state import Root, SimError

# Scripts under the root, by path, and the tool each one runs.
STAND_INS = {
    "usr/bin/xcrun": "xcrun",
    "usr/bin/xcodebuild": "xcodebuild",
    "usr/bin/security": "security",
    "usr/bin/codesign": "codesign",
    "usr/bin/ditto": "ditto",
    "bin/launchctl": "launchctl",
    "usr/bin/systemctl": "systemctl",
    "usr/bin/caffeinate": "caffeinate",
    "usr/bin/systemd-inhibit": "systemd-inhibit",
}
# Tools whose real Linux build behaves as the Mac's does.
SYSTEM_TOOLS = {
    "usr/bin/zipinfo": "/usr/bin/zipinfo",
}
# Folders the code's other absolute tool paths live in.
FOLDERS = ("usr/bin", "bin")

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def stand_in_script(tool):
    # An absolute interpreter, so the scripts run whatever PATH the caller
    # passes; -I -S keeps the caller's Python settings and site packages out.
    return ("#!%s -IS\n"
            "# Stand-in for %s, made by vek-sim; its state is the .vek-sim folder of this tool root.\n"
            "import sys\n"
            "sys.path.insert(0, %r)\n"
            "from vek_sim.tool import main\n"
            "sys.exit(main(%r, __file__, sys.argv[1:]))\n") % (sys.executable, tool, _PACKAGE_DIR, tool)


def init(path, team_id=None, team_name="Sim Team"):
    root = Root(path)
    for folder in FOLDERS:
        os.makedirs(os.path.join(root.path, folder), exist_ok=True)
    os.makedirs(root.state, mode=0o700, exist_ok=True)
    for rel, tool in STAND_INS.items():
        target = os.path.join(root.path, rel)
        tmp = target + ".tmp"
        with open(tmp, "w") as f:
            f.write(stand_in_script(tool))
        os.chmod(tmp, 0o755)
        os.replace(tmp, target)
    warnings = []
    for rel, real in SYSTEM_TOOLS.items():
        link = os.path.join(root.path, rel)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(real, link)
        if not os.path.exists(real):
            warnings.append("%s is missing on this machine; %s will not run" % (real, rel))
    with root.lock():
        for name, empty in (("devices.json", {"devices": []}), ("faults.json", {"faults": []})):
            if not os.path.exists(root.file(name)):
                root.write_json(name, empty)
        if os.path.exists(root.file("team.json")):
            existing = team.load(root)["teamID"]
            if team_id not in (None, existing):
                raise SimError("%s already has team %s" % (path, existing))
        else:
            team.create(root, team_id or "ABCDE12345", team_name)
    return root, warnings


