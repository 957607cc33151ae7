"""One registered service's supervisor: runs its program, restarts it after
an unsuccessful exit, and stops it when asked (SIGTERM).

Started detached by services.register; records itself and the program in the
registration so launchctl, systemctl and vek-sim can see and stop them. Ends
on its own when the program exits successfully or the registration is gone.
"""

import os
import signal
import subprocess
import time

from . import services
from .state import Root

_stop = False
_child = None


def _on_term(signum, frame):
    global _stop
    _stop = True
    if _child is not None and _child.poll() is None:
        services._signal_group(_child.pid, signal.SIGTERM)


def _open_log(path):
    if not path:
        return subprocess.DEVNULL
    try:
        return os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
    except OSError:
        return subprocess.DEVNULL


def _start(entry):
    out, err = _open_log(entry.get("stdout")), _open_log(entry.get("stderr"))
    try:
        return subprocess.Popen(entry["argv"], env=entry.get("env", {}), cwd=entry.get("cwd") or "/",
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err, close_fds=True,
                                start_new_session=True)
    except OSError:
        return None
    finally:
        for fd in (out, err):
            if isinstance(fd, int) and fd >= 0:
                os.close(fd)


def _wait(child):
    """The program's exit status; once a stop is asked for, SIGKILL after the grace period."""
    kill_at = None
    while True:
        try:
            return child.wait(timeout=0.1)
        except subprocess.TimeoutExpired:
            pass
        if _stop:
            if kill_at is None:
                kill_at = time.monotonic() + services.STOP_GRACE
            elif time.monotonic() >= kill_at:
                services._signal_group(child.pid, signal.SIGKILL)


def _restarts(entry, status):
    """Whether the definition's policy starts the program again after `status`
    (an exit code, or minus the signal number)."""
    successful = status == 0 or -status in entry.get("clean_signals", [])
    policy = entry.get("restart", "no")
    return policy == "always" or (policy == "on-failure" and not successful) or \
        (policy == "on-success" and successful)


def _sleep_until(deadline):
    while not _stop and time.monotonic() < deadline:
        time.sleep(min(0.1, max(0.0, deadline - time.monotonic())))


def main(root_path, key):
    global _child
    signal.signal(signal.SIGTERM, _on_term)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    root = Root(root_path)
    me, my_start = os.getpid(), services.start_time(os.getpid())

    def claim(entry):
        entry.update(supervisor=me, supervisor_started=my_start)

    entry = services.update(root, key, claim)
    while entry is not None and not _stop:
        started_at = time.monotonic()
        _child = _start(entry)
        if _child is None:
            status = 78  # the program could not be started: a configuration error
            restart = _restarts(entry, status)
            entry = services.update(root, key, lambda e: e.update(starts=e["starts"] + 1, last_exit=status,
                                                                  pid=None, state="failed to start"))
        else:
            pid, pid_start = _child.pid, services.start_time(_child.pid)
            services.update(root, key, lambda e: e.update(starts=e["starts"] + 1, pid=pid, pid_started=pid_start,
                                                          state="running"))
            if _stop:  # the signal came before the program was recorded
                services._signal_group(pid, signal.SIGTERM)
            status = _wait(_child)
            restart = _restarts(entry, status)
            state = "stopped" if _stop else ("waiting to restart" if restart else "exited")
            entry = services.update(root, key, lambda e: e.update(pid=None, pid_started=None, last_exit=status,
                                                                  state=state))
        if _stop or entry is None or not restart:
            break
        # launchd counts its throttle from the last start, systemd its delay from the exit.
        delay = float(entry.get("restart_delay", 15))
        if entry.get("throttle_from_start"):
            _sleep_until(started_at + delay)
        else:
            _sleep_until(time.monotonic() + delay)
        entry = services.load(root).get(key)
    if _child is not None and _child.poll() is None:
        services.stop_program(_child.pid, services.start_time(_child.pid))
        _child.wait()
    return 0
