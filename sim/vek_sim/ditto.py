"""The ditto stand-in: `ditto -x -k ARCHIVE DESTINATION` unpacks a zip
archive with the unzip command, which keeps symbolic links and refuses to
write outside the destination, as ditto does."""

import os
import subprocess

from .toolerror import ToolExit

_USAGE = ("Usage: ditto [ <options> ] src [ ... src ] dst\n"
          "    <options> are any of:\n"
          "    -x                   extract archive\n"
          "    -k                   PKZip archive\n")
_IGNORED = ("-V", "-v", "--rsrc", "--norsrc", "--noqtn", "--sequesterRsrc", "--noacl", "--noextattr")


def run(root, args):
    flags = {a for a in args if a.startswith("-")}
    paths = [a for a in args if not a.startswith("-")]
    if not {"-x", "-k"} <= flags or flags - {"-x", "-k"} - set(_IGNORED) or len(paths) != 2:
        raise ToolExit(1, _USAGE)
    archive, destination = paths
    if not os.path.isfile(archive):
        raise ToolExit(1, "ditto: %s: No such file or directory\n" % archive)
    try:
        os.makedirs(destination, exist_ok=True)
    except OSError as e:
        raise ToolExit(1, "ditto: %s: %s\n" % (destination, e.strerror))
    result = subprocess.run(["unzip", "-qq", "-o", archive, "-d", destination], capture_output=True, text=True)
    if result.returncode not in (0, 1):
        raise ToolExit(1, "ditto: Couldn't read PKZip signature\n" if result.returncode == 9 else
                       "ditto: %s: %s\n" % (archive, (result.stderr.strip().splitlines() or ["unzip failed"])[-1]))
    return 0
