"""The xcrun stand-in: finds a developer tool and runs it.

devicectl and xcodebuild run in this process; any other tool of the root's
usr/bin is executed in its place, as xcrun does.
"""

import os
import sys

from .toolerror import ToolExit

_IN_PROCESS = ("devicectl", "xcodebuild")
_FLAGS = ("-v", "--verbose", "-l", "--log", "-n", "--no-cache", "-r", "--run", "-k", "--kill-cache")
_WITH_VALUE = ("-sdk", "--sdk", "--toolchain")


def _locate(root, tool):
    if tool in _IN_PROCESS:
        return os.path.join(root.path, "usr", "bin", tool)
    path = os.path.join(root.path, "usr", "bin", tool)
    if tool != "xcrun" and os.path.isfile(path) and os.access(path, os.X_OK):
        return path
    raise ToolExit(72, 'xcrun: error: unable to find utility "%s", not a developer tool or in PATH\n' % tool)


def run(root, args):
    find = False
    i = 0
    while i < len(args) and args[i].startswith("-"):
        arg = args[i]
        if arg == "--version":
            sys.stdout.write("xcrun version 70.\n")
            return 0
        if arg in ("-f", "--find"):
            find = True
        elif arg in _WITH_VALUE:
            i += 1
        elif arg not in _FLAGS:
            raise ToolExit(64, "xcrun: error: unrecognized option: %s\n" % arg)
        i += 1
    if i >= len(args):
        raise ToolExit(64, "Usage: xcrun [options] <tool name> ... arguments ...\n")
    tool, rest = args[i], args[i + 1:]
    path = _locate(root, tool)
    if find:
        sys.stdout.write(path + "\n")
        return 0
    if tool in _IN_PROCESS:
        from .tool import dispatch
        return dispatch(root, tool, rest)
    sys.stdout.flush()
    os.execv(path, [path] + rest)
