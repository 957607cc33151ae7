"""The simulated Mac's service manager: registered services and their processes.

launchctl and systemctl stand-ins register a service here from its definition
(a LaunchAgent property list or a systemd user unit) and hand it to a
supervisor: a detached Python process (its own session, no terminal, output
discarded) that runs the service's program with the definition's arguments,
environment and log files, waits for it, and starts it again after an
unsuccessful exit, no sooner than the definition's throttle allows. A
successful exit is not restarted. Removing the registration stops the
supervisor, which stops the program (SIGTERM to its process group, SIGKILL 5
seconds later).

The registrations live in ROOT/.vek-sim/services.json, keyed by manager and
name, with the supervisor's and the program's pids and their start times (so
a pid that was reused is never signalled).

The program's environment is the caller's session environment (what a user's
login session would hand the service manager), with VEK_TOOL_ROOT pointing at
this simulated Mac, and the definition's variables on top.
"""

import os
import signal
import subprocess
import sys
import time

from .state import SimError

STATE_FILE = "services.json"
STOP_GRACE = 5.0
START_WAIT = 5.0

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load(root):
    return root.read_json(STATE_FILE, {"services": {}}).get("services", {})


def _save(root, services):
    root.write_json(STATE_FILE, {"services": services})


def update(root, key, change):
    """Applies change(entry) to the registration `key` under the root's lock;
    returns the entry, or None when `key` is not registered (change not run)."""
    with root.lock():
        services = load(root)
        entry = services.get(key)
        if entry is None:
            return None
        change(entry)
        _save(root, services)
        return entry


def start_time(pid):
    """The kernel's start time of `pid` (clock ticks since boot), or None when
    there is no such process or it is a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError, ValueError):
        return None
    if fields[0] in ("Z", "X"):
        return None
    return fields[19]


def alive(pid, started):
    return bool(pid) and started is not None and start_time(pid) == started


def session_environment(root, definition_env):
    env = {k: v for k, v in os.environ.items() if k not in ("NSUnbufferedIO",)}
    env["VEK_TOOL_ROOT"] = root.path
    env.update(definition_env)
    return env


def _add(root, key, service, state):
    """Records `service` under `key` in `state`, with nothing run yet; refuses a key in use."""
    service = dict(service, supervisor=None, supervisor_started=None, pid=None, pid_started=None,
                   starts=0, last_exit=None, state=state, registered=time.time())
    with root.lock():
        services = load(root)
        if key in services:
            raise SimError("%s is already registered" % key)
        services[key] = service
        _save(root, services)


def register(root, key, service):
    """Registers `service` (manager, name, argv, env, cwd, stdout, stderr,
    restart_delay, throttle_from_start) under `key`, replacing nothing: the
    caller removes an old registration first. Starts the supervisor and waits
    until the program has been started once."""
    _add(root, key, service, "starting")
    code = ("import sys; sys.path.insert(0, %r); from vek_sim.supervisor import main; "
            "sys.exit(main(sys.argv[1], sys.argv[2]))" % _PACKAGE_DIR)
    process = subprocess.Popen([sys.executable, "-IS", "-c", code, root.path, key],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               close_fds=True, start_new_session=True, cwd="/")
    deadline = time.monotonic() + START_WAIT
    while time.monotonic() < deadline:
        entry = load(root).get(key)
        if entry is None or entry.get("starts", 0) > 0 or process.poll() is not None:
            break
        time.sleep(0.02)


def unregister(root, key):
    """Removes the registration `key` and stops its supervisor and program,
    waiting until both are gone. Returns False when `key` was not registered."""
    with root.lock():
        services = load(root)
        entry = services.pop(key, None)
        if entry is None:
            return False
        _save(root, services)
    supervisor = entry.get("supervisor")
    if alive(supervisor, entry.get("supervisor_started")):
        try:
            os.kill(supervisor, signal.SIGTERM)
        except ProcessLookupError:
            pass
        _wait_gone(supervisor, entry.get("supervisor_started"), STOP_GRACE + 2)
    # A supervisor that died without stopping its program leaves it behind.
    stop_program(entry.get("pid"), entry.get("pid_started"))
    return True


def stop_program(pid, started):
    if not alive(pid, started):
        return
    _signal_group(pid, signal.SIGTERM)
    if not _wait_gone(pid, started, STOP_GRACE):
        _signal_group(pid, signal.SIGKILL)
        _wait_gone(pid, started, 2)


def _signal_group(pid, sig):
    try:
        os.killpg(pid, sig)
    except (ProcessLookupError, PermissionError):
        try:
            os.kill(pid, sig)
        except (ProcessLookupError, PermissionError):
            pass


def _wait_gone(pid, started, seconds):
    deadline = time.monotonic() + seconds
    while alive(pid, started):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


def listing(root):
    """Every registration with whether its supervisor and program are alive."""
    shown = []
    for key, entry in sorted(load(root).items()):
        shown.append({
            "key": key,
            "manager": entry.get("manager"),
            "name": entry.get("name"),
            "definition": entry.get("definition"),
            "argv": entry.get("argv"),
            "state": entry.get("state"),
            "pid": entry.get("pid") if alive(entry.get("pid"), entry.get("pid_started")) else None,
            "starts": entry.get("starts"),
            "last_exit": entry.get("last_exit"),
            "supervised": alive(entry.get("supervisor"), entry.get("supervisor_started")),
        })
    return shown


def stop_all(root):
    """Stops every registered service (for tests and `vek-sim services --stop-all`)."""
    for key in list(load(root)):
        unregister(root, key)


def register_loaded(root, key, service):
    """Registers `service` without starting it (a definition not run at load)."""
    _add(root, key, service, "loaded")
