import json
import os
import plistlib
import signal
import subprocess
import time

import simtest
from vek_sim import services
from vek_sim.state import Root

# The "agent": records its pid, arguments and PATH, then either sleeps or exits
# with the status in its "exit-with" file (absent: sleep).
AGENT = """#!/bin/sh
echo "$$ $*" >> "%(dir)s/runs"
echo "out $PATH"
echo "err line" >&2
if [ -f "%(dir)s/exit-with" ]; then exit "$(cat "%(dir)s/exit-with")"; fi
exec /bin/sleep 60
"""


def wait_for(predicate, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def alive(pid):
    return services.start_time(pid) is not None


class ServiceCase(simtest.SimCase):
    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        self.agent = os.path.join(self.tmp, "my agent.sh")
        with open(self.agent, "w") as f:
            f.write(AGENT % {"dir": self.tmp})
        os.chmod(self.agent, 0o755)
        self.logs = os.path.join(self.tmp, "Logs")
        os.makedirs(self.logs)
        # Whatever a test registered is stopped, even when it fails half-way.
        self.addCleanup(services.stop_all, Root(self.root))

    def env(self, **extra):
        env = dict(os.environ, HOME=self.home, VEK_STATE_DIR=os.path.join(self.tmp, "state"))
        env.pop("XDG_CONFIG_HOME", None)
        env.update(extra)
        return env

    def runs(self):
        try:
            with open(os.path.join(self.tmp, "runs")) as f:
                return [line.split(" ", 1) for line in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def listing(self):
        return json.loads(self.sim("services", self.root).stdout)

    def exit_with(self, status):
        with open(os.path.join(self.tmp, "exit-with"), "w") as f:
            f.write(str(status))

    def kill_agent(self, sig=signal.SIGKILL):
        pid = self.listing()[0]["pid"]
        os.kill(pid, sig)
        return pid


class Launchctl(ServiceCase):
    def domain(self):
        return "gui/%d" % os.getuid()

    def write_plist(self, throttle=1, **changes):
        plist = {
            "Label": "com.ostrelsoftware.vek.agent",
            "ProgramArguments": [self.agent, "agent", "run"],
            "RunAtLoad": True,
            "KeepAlive": {"SuccessfulExit": False},
            "ThrottleInterval": throttle,
            "ProcessType": "Background",
            "StandardOutPath": os.path.join(self.logs, "agent.log"),
            "StandardErrorPath": os.path.join(self.logs, "agent-error.log"),
            "EnvironmentVariables": {"PATH": "/opt/homebrew/bin:/usr/bin:/bin"},
        }
        plist.update(changes)
        path = os.path.join(self.home, "agent.plist")
        with open(path, "wb") as f:
            plistlib.dump(plist, f)
        return path

    def launchctl(self, *args):
        return simtest.run([os.path.join(self.root, "bin", "launchctl")] + list(args), env=self.env())

    def test_bootstrap_starts_the_program_detached_with_its_definition(self):
        result = self.launchctl("bootstrap", self.domain(), self.write_plist())
        self.assertEqual(result.returncode, 0, result.stderr)
        [(pid, arguments)] = wait_for(self.runs)
        self.assertEqual(arguments, "agent run")
        pid = int(pid)
        self.assertTrue(alive(pid))
        self.assertEqual(os.getsid(pid), pid, "the agent leads a session of its own")
        with open("/proc/%d/environ" % pid, "rb") as f:
            environ = dict(item.split(b"=", 1) for item in f.read().split(b"\0") if b"=" in item)
        self.assertEqual(environ[b"PATH"], b"/opt/homebrew/bin:/usr/bin:/bin")
        self.assertEqual(environ[b"VEK_TOOL_ROOT"], os.path.realpath(self.root).encode())
        self.assertEqual(environ[b"HOME"], self.home.encode())
        self.assertEqual(wait_for(lambda: read(os.path.join(self.logs, "agent.log"))),
                         "out /opt/homebrew/bin:/usr/bin:/bin\n")
        self.assertEqual(wait_for(lambda: read(os.path.join(self.logs, "agent-error.log"))), "err line\n")
        [shown] = self.listing()
        self.assertEqual((shown["manager"], shown["name"], shown["pid"], shown["starts"]),
                         ("launchd", "com.ostrelsoftware.vek.agent", pid, 1))

        again = self.launchctl("bootstrap", self.domain(), self.write_plist())
        self.assertEqual((again.returncode, again.stderr), (5, "Bootstrap failed: 5: Input/output error\n"))

        result = self.launchctl("bootout", self.domain() + "/com.ostrelsoftware.vek.agent")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(alive(pid), "bootout stops the agent before it returns")
        self.assertEqual(self.listing(), [])
        result = self.launchctl("bootout", self.domain() + "/com.ostrelsoftware.vek.agent")
        self.assertEqual((result.returncode, result.stderr), (3, "Boot-out failed: 3: No such process\n"))

    def test_unsuccessful_exit_restarts_after_the_throttle_and_success_ends_it(self):
        self.launchctl("bootstrap", self.domain(), self.write_plist(throttle=1))
        first = int(wait_for(self.runs)[0][0])
        self.kill_agent()
        runs = wait_for(lambda: len(self.runs()) >= 2 and self.runs(), 5)
        self.assertEqual(len(runs), 2)
        self.assertNotEqual(int(runs[1][0]), first)
        self.assertEqual(self.listing()[0]["last_exit"], -signal.SIGKILL)

        self.exit_with(3)
        self.kill_agent()
        # Exits 3 each time: restarted no sooner than a second after each start.
        started = time.monotonic()
        wait_for(lambda: len(self.runs()) >= 5, 8)
        self.assertGreaterEqual(len(self.runs()), 5)
        self.assertGreaterEqual(time.monotonic() - started, 2.0)

        self.exit_with(0)
        wait_for(lambda: self.listing()[0]["state"] == "exited", 5)
        count = len(self.runs())
        time.sleep(1.5)
        self.assertEqual(len(self.runs()), count, "a successful exit is not restarted")
        self.assertEqual(self.listing()[0]["last_exit"], 0)
        self.assertEqual(self.launchctl("bootout", self.domain() + "/com.ostrelsoftware.vek.agent").returncode, 0)

    def test_foreign_domains_and_broken_definitions_are_refused(self):
        result = self.launchctl("bootstrap", "gui/%d" % (os.getuid() + 1), self.write_plist())
        self.assertEqual(result.returncode, 125)
        broken = os.path.join(self.home, "broken.plist")
        with open(broken, "wb") as f:
            f.write(b"<plist><dict><key>Label</key>")
        self.assertEqual(self.launchctl("bootstrap", self.domain(), broken).returncode, 5)
        self.assertEqual(self.launchctl("bootstrap", self.domain(), broken + ".missing").returncode, 2)
        no_program = self.write_plist(ProgramArguments=[])
        self.assertEqual(self.launchctl("bootstrap", self.domain(), no_program).returncode, 5)
        self.assertEqual(self.listing(), [])
        self.assertEqual(self.launchctl("kickstart").returncode, 64)


class Systemctl(ServiceCase):
    UNIT = "com.ostrelsoftware.vek.agent.service"

    def unit_dir(self, config=None):
        return os.path.join(config or os.path.join(self.home, ".config"), "systemd", "user")

    def write_unit(self, restart_sec="1", config=None, exec_start=None):
        os.makedirs(self.unit_dir(config), exist_ok=True)
        path = os.path.join(self.unit_dir(config), self.UNIT)
        with open(path, "w") as f:
            f.write("[Unit]\nDescription=VEK agent\nStartLimitIntervalSec=0\n\n[Service]\nType=simple\n"
                    "ExecStart=%s\nRestart=on-failure\nRestartSec=%s\n"
                    "Environment=\"PATH=/usr/local/bin:/usr/bin:/bin\"\n"
                    "StandardOutput=append:%s\nStandardError=append:%s\n\n[Install]\nWantedBy=default.target\n"
                    % (exec_start or '"%s" "agent" "run" "100%%%%" "$$HOME"' % self.agent, restart_sec,
                       os.path.join(self.logs, "agent.log").replace("%", "%%"),
                       os.path.join(self.logs, "agent-error.log")))
        return path

    def systemctl(self, *args, **env):
        return simtest.run([os.path.join(self.root, "usr", "bin", "systemctl")] + list(args), env=self.env(**env))

    def test_enable_now_starts_and_disable_now_stops(self):
        self.write_unit()
        self.assertEqual(self.systemctl("--user", "daemon-reload").returncode, 0)
        result = self.systemctl("--user", "enable", "--now", self.UNIT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.islink(os.path.join(self.unit_dir(), "default.target.wants", self.UNIT)))
        [(pid, arguments)] = wait_for(self.runs)
        self.assertEqual(arguments, "agent run 100% $HOME", "quoting and escapes are systemd's")
        pid = int(pid)
        self.assertEqual(os.getsid(pid), pid)
        self.assertEqual(wait_for(lambda: read(os.path.join(self.logs, "agent.log"))),
                         "out /usr/local/bin:/usr/bin:/bin\n")
        self.assertEqual(self.systemctl("--user", "is-active", self.UNIT).stdout, "active\n")
        # Enabling a running unit again leaves it running.
        self.assertEqual(self.systemctl("--user", "enable", "--now", self.UNIT).returncode, 0)
        self.assertEqual(len(self.runs()), 1)

        result = self.systemctl("--user", "disable", "--now", self.UNIT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(alive(pid))
        self.assertFalse(os.path.lexists(os.path.join(self.unit_dir(), "default.target.wants", self.UNIT)))
        self.assertEqual(self.listing(), [])
        os.remove(os.path.join(self.unit_dir(), self.UNIT))
        result = self.systemctl("--user", "disable", "--now", self.UNIT)
        self.assertEqual(result.returncode, 1)
        self.assertIn("does not exist", result.stderr)

    def test_failures_restart_after_the_delay_and_clean_exits_do_not(self):
        self.write_unit()
        self.systemctl("--user", "enable", "--now", self.UNIT)
        wait_for(self.runs)
        self.kill_agent(signal.SIGKILL)
        self.assertTrue(wait_for(lambda: len(self.runs()) == 2, 5))
        # SIGTERM from outside is a clean stop for systemd: no restart.
        self.kill_agent(signal.SIGTERM)
        wait_for(lambda: self.listing()[0]["state"] == "exited", 5)
        time.sleep(1.5)
        self.assertEqual(len(self.runs()), 2)

    def test_units_are_read_from_xdg_config_home_and_reloaded_only_on_request(self):
        config = os.path.join(self.tmp, "config")
        self.write_unit(config=config)
        self.systemctl("--user", "daemon-reload", XDG_CONFIG_HOME=config)
        self.write_unit(config=config, exec_start='"%s" "changed"' % self.agent)
        result = self.systemctl("--user", "start", self.UNIT, XDG_CONFIG_HOME=config)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("daemon-reload", result.stderr)
        self.assertEqual(wait_for(self.runs)[0][1], "agent run 100% $HOME")
        self.systemctl("--user", "stop", self.UNIT, XDG_CONFIG_HOME=config)
        self.systemctl("--user", "daemon-reload", XDG_CONFIG_HOME=config)
        self.systemctl("--user", "start", self.UNIT, XDG_CONFIG_HOME=config)
        self.assertEqual(wait_for(lambda: len(self.runs()) == 2 and self.runs())[1][1], "changed")
        self.assertEqual(self.systemctl("--user", "start", "absent.service").returncode, 5)
        self.assertEqual(self.systemctl("start", self.UNIT).returncode, 1, "only the user manager exists")


class KeepAwake(simtest.SimCase):
    def watched(self):
        process = subprocess.Popen(["/bin/sleep", "30"])
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        return process

    def test_caffeinate_lasts_until_the_watched_process_exits(self):
        target = self.watched()
        caffeinate = subprocess.Popen([os.path.join(self.root, "usr/bin/caffeinate"), "-i", "-w", str(target.pid)])
        self.addCleanup(caffeinate.kill)
        time.sleep(0.5)
        self.assertIsNone(caffeinate.poll())
        target.kill()
        target.wait()
        self.assertEqual(caffeinate.wait(timeout=5), 0)
        self.assertIn(("caffeinate", ["-i", "-w", str(target.pid)]),
                      [(c["tool"], c["argv"]) for c in Root(self.root).calls()])
        self.assertEqual(self.tool("caffeinate", "-x").returncode, 1)

    def test_systemd_inhibit_runs_its_command_and_checks_its_options(self):
        result = self.tool("systemd-inhibit", "--what=idle:sleep", "--who=VEK", "--why=A job", "--mode=block",
                           "/bin/sh", "-c", "exit 4")
        self.assertEqual(result.returncode, 4)
        self.assertEqual(self.tool("systemd-inhibit", "--what=naps", "/bin/true").returncode, 1)
        self.assertEqual(self.tool("systemd-inhibit", "--mode=block").returncode, 1)
