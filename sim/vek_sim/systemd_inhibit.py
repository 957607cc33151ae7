"""Stand-in for /usr/bin/systemd-inhibit: takes a (pretend) inhibitor lock
for as long as the command it runs lives.

  systemd-inhibit [--what=WHAT] [--who=WHO] [--why=WHY] [--mode=block|delay] COMMAND...

The run is recorded in calls.log. A SIGTERM is passed on to the command; the
exit status is the command's.
"""

import signal
import subprocess

from .toolerror import ToolExit

WHATS = {"shutdown", "sleep", "idle", "handle-power-key", "handle-suspend-key", "handle-hibernate-key",
         "handle-lid-switch"}


def run(root, args):
    i = 0
    while i < len(args) and args[i].startswith("--"):
        option, _, value = args[i].partition("=")
        if option == "--what":
            if not value or not set(value.split(":")) <= WHATS:
                raise ToolExit(1, "Failed to parse the --what= list: %s\n" % value)
        elif option == "--mode":
            if value not in ("block", "delay"):
                raise ToolExit(1, "Failed to parse mode: %s\n" % value)
        elif option not in ("--who", "--why"):
            raise ToolExit(1, "systemd-inhibit: unrecognized option '%s'\n" % args[i])
        i += 1
    command = args[i:]
    if not command:
        raise ToolExit(1, "Missing command line.\n")
    try:
        child = subprocess.Popen(command)
    except OSError as e:
        raise ToolExit(1, "Failed to execute %s: %s\n" % (command[0], e.strerror))
    signal.signal(signal.SIGTERM, lambda s, f: child.send_signal(signal.SIGTERM))
    status = child.wait()
    return status if status >= 0 else 128 - status
