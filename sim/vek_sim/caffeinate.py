"""Stand-in for /usr/bin/caffeinate: holds a (pretend) power assertion.

  caffeinate [-disum] [-t SECONDS] [-w PID] [UTILITY ARGUMENTS...]

The run itself is recorded in calls.log like every stand-in's. It lasts until
the process -w names exits, the -t time-out passes, the utility it runs ends,
or it is sent a signal; with none of these it lasts until signalled, as the
real one does.
"""

import os
import select
import subprocess
import time

from .toolerror import ToolExit

USAGE = "usage: caffeinate [-disu] [-t timeout] [-w pid] [command arguments...]\n"


def _wait_for(pid, deadline):
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    try:
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        select.select([fd], [], [], timeout)
    finally:
        os.close(fd)


def run(root, args):
    timeout = watched = None
    i = 0
    while i < len(args) and args[i].startswith("-") and args[i] != "-":
        option = args[i]
        if option in ("-t", "-w"):
            if i + 1 >= len(args) or not args[i + 1].isdigit():
                raise ToolExit(1, USAGE)
            if option == "-t":
                timeout = int(args[i + 1])
            else:
                watched = int(args[i + 1])
            i += 2
            continue
        if any(c not in "disum" for c in option[1:]) or len(option) < 2:
            raise ToolExit(1, USAGE)
        i += 1
    command = args[i:]
    deadline = None if timeout is None else time.monotonic() + timeout
    if command:
        try:
            return subprocess.call(command, timeout=None if deadline is None else timeout)
        except FileNotFoundError:
            raise ToolExit(1, "caffeinate: failed to exec %s\n" % command[0])
        except subprocess.TimeoutExpired:
            return 0
    if watched is not None:
        _wait_for(watched, deadline)
        return 0
    while deadline is None or time.monotonic() < deadline:
        time.sleep(1 if deadline is None else min(1, max(0, deadline - time.monotonic())))
    return 0
