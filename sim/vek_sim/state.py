"""The state of one simulated Mac, kept under ROOT/.vek-sim.

Every whole-file write goes through a temporary file and a rename, so a
stand-in reading the state never sees half a file. Read-modify-write cycles
(adding a device, using up a one-shot fault) hold an exclusive lock on
ROOT/.vek-sim/lock so that concurrent tools do not lose each other's changes.
"""

import contextlib
import fcntl
import json
import os
import time

STATE_DIR = ".vek-sim"


class SimError(Exception):
    """A mistake in how vek-sim was asked to do something; shown as one line."""


class Root:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.state = os.path.join(self.path, STATE_DIR)

    @classmethod
    def of_tool(cls, tool_path):
        """The root a stand-in at ROOT/usr/bin/NAME or ROOT/bin/NAME belongs to."""
        bindir = os.path.dirname(os.path.realpath(tool_path))
        above = os.path.dirname(bindir)
        for candidate in (os.path.dirname(above), above):
            if os.path.isdir(os.path.join(candidate, STATE_DIR)):
                return cls(candidate)
        return cls(os.path.dirname(above) if os.path.basename(above) == "usr" else above)

    @classmethod
    def existing(cls, path):
        root = cls(path)
        if not os.path.isdir(root.state):
            raise SimError("%s is not a simulated Mac (run 'vek-sim init %s' first)" % (path, path))
        return root

    def file(self, *parts):
        return os.path.join(self.state, *parts)

    @contextlib.contextmanager
    def lock(self):
        fd = os.open(self.file("lock"), os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

    def read_json(self, name, default):
        try:
            with open(self.file(name), encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return default

    def write_json(self, name, value):
        write_atomic(self.file(name), (json.dumps(value, indent=2, sort_keys=True) + "\n").encode())

    def log_call(self, tool, argv):
        """Append one line per stand-in run so tests can see what was run, and how."""
        line = json.dumps({"tool": tool, "argv": list(argv), "cwd": os.getcwd(), "time": time.time()})
        fd = os.open(self.file("calls.log"), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
        try:
            os.write(fd, (line + "\n").encode())
        finally:
            os.close(fd)

    def calls(self):
        try:
            with open(self.file("calls.log"), encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []


def write_atomic(path, data, mode=0o600):
    tmp = "%s.tmp.%d" % (path, os.getpid())
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
