"""Measures how long a deployment waits on VEK, how fast its progress reaches `vek logs --follow`,
and what an idle agent costs, each against a baseline measured in the same run.

Everything runs twice on the same machine: once against a relay that holds claims and event reads
(what VEK does now), and once against the same relay started with --max-wait-seconds 0, which
answers at once as a relay without held requests does, so the agents poll every 5 seconds and
`logs --follow` every 3 (the baseline).

Deployment overhead: each run is `vek run --wait` on the builder until the job has succeeded. The
simulated tools are real processes that the agents wait for, so their time is taken out: it is the
CPU time of the agents' finished children over the run (the stand-ins are CPU-bound Python and
openssl), read from /proc/PID/stat (cutime + cstime) before and after. What is left is VEK's own
share: waiting for the agents to pick the job up, the relay's round trips, the encryption and the
digests.

Idle agent: after the deployments, the builder's agent is left alone for a while; its own user and
system time (utime + stime, not its children's) over that window, as a share of one core, and its
resident set size at the end.

Event latency: with the agents stopped, this script plays the builder itself (a claimed job, its
lease) and posts progress messages at irregular intervals while `vek logs --follow` runs on the
builder; each message's latency is from just before its POST to the moment its line appears on
the command's standard error.
"""

import base64
import glob
import http.client
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BUILD, ROOT = sys.argv[1], sys.argv[2]
VEK = os.path.join(BUILD, "bin", "vek")
RELAY = os.path.join(BUILD, "bin", "vek-relay")
SIM = os.path.join(ROOT, "sim", "vek-sim")
UDID = "00008110-0000000000000001"
RUNS = int(os.environ.get("BENCH_RUNS", "10"))
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "60"))
EVENTS = int(os.environ.get("BENCH_EVENTS", "200"))
TICKS = os.sysconf("SC_CLK_TCK")


def env_of(work, mac):
    env = dict(os.environ)
    for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "VEK_SERVICE_MANAGER"):
        env.pop(name, None)
    home = os.path.join(work, mac)
    env.update(HOME=home, VEK_STATE_DIR=os.path.join(home, "state"),
               VEK_TOOL_ROOT=os.path.join(home, "tools"))
    return env


def vek(work, mac, *args):
    done = subprocess.run([VEK, *args], env=env_of(work, mac), capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"vek {' '.join(args)} failed: {done.stderr}")
    return json.loads(done.stdout) if done.stdout.strip() else None


def sim(*args):
    subprocess.run([SIM, *args], check=True, capture_output=True)


def stat_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    return text[text.rindex(")") + 2:].split()


def own_cpu(pid):
    fields = stat_fields(pid)
    return (int(fields[11]) + int(fields[12])) / TICKS


def children_cpu(pid):
    fields = stat_fields(pid)
    return (int(fields[13]) + int(fields[14])) / TICKS


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


class Fleet:
    """A relay and two simulated Macs with their agents, as scripts/demo sets them up."""

    def __init__(self, work, relay_arguments):
        self.work, self.processes = work, []
        token = os.path.join(work, "bootstrap")
        with open(token, "w") as f:
            f.write("bench-bootstrap-token\n")
        relay_log = open(os.path.join(work, "relay.log"), "w")
        self.relay = subprocess.Popen(
            [RELAY, "--listen", "127.0.0.1:0", "--data", os.path.join(work, "relay"),
             "--bootstrap-token-file", token, *relay_arguments],
            stdout=relay_log, stderr=subprocess.STDOUT)
        self.processes.append(self.relay)
        self.origin = None
        for _ in range(300):
            match = re.search(r"listening on (http\S+)", open(relay_log.name).read())
            if match:
                self.origin = match.group(1)
                break
            time.sleep(0.1)
        if not self.origin:
            raise SystemExit("the relay did not start")

        for mac in ("a", "b"):
            os.makedirs(os.path.join(work, mac))
            sim("init", os.path.join(work, mac, "tools"))
        self.builder = vek(work, "a", "group", "create", "--server", self.origin,
                           "--bootstrap-file", token, "--device-name", "Bench A")["device_id"]
        invite = os.path.join(work, "invite.json")
        with open(invite, "w") as f:
            f.write(json.dumps(vek(work, "a", "group", "invite")))
        self.receiver = vek(work, "b", "group", "join", "--invite-file", invite,
                            "--device-name", "Bench B")["device_id"]
        project_path = os.path.join(work, "a", "src", "Demo.xcodeproj")
        sim("project", "new", project_path, "--bundle-id", "com.example.demo", "--schemes",
            "Demo")
        self.project = vek(work, "a", "projects", "add", project_path)["id"]
        sim("device", "add", os.path.join(work, "b", "tools"), "--udid", UDID)
        sim("team", "register-device", os.path.join(work, "a", "tools"), UDID)

        self.agents = {}
        for mac in ("a", "b"):
            log = open(os.path.join(work, mac, "agent.log"), "w")
            self.agents[mac] = subprocess.Popen([VEK, "agent", "run"], env=env_of(work, mac),
                                                stdout=log, stderr=subprocess.STDOUT)
            self.processes.append(self.agents[mac])
        for _ in range(150):
            if UDID in json.dumps(vek(work, "a", "devices")):
                break
            time.sleep(0.2)

    def deploy(self):
        """One deployment: VEK's own seconds, and the simulated tools' seconds."""
        before = sum(children_cpu(p.pid) for p in self.agents.values())
        start = time.monotonic()
        job = vek(self.work, "a", "run", "--project", self.project, "--scheme", "Demo",
                  "--receiver", self.receiver, "--device", UDID, "--wait", "--timeout", "300")
        elapsed = time.monotonic() - start
        if job["state"] != "succeeded":
            raise SystemExit(f"a deployment ended {job['state']}")
        tools = sum(children_cpu(p.pid) for p in self.agents.values()) - before
        return elapsed - tools, tools

    def idle(self, seconds):
        """The builder's agent left alone: its share of one core, in percent, and its RSS."""
        pid = self.agents["a"].pid
        time.sleep(5)
        cpu_before, began = own_cpu(pid), time.monotonic()
        time.sleep(seconds)
        share = 100 * (own_cpu(pid) - cpu_before) / (time.monotonic() - began)
        return share, rss_kib(pid) / 1024

    def stop_agents(self):
        for agent in self.agents.values():
            agent.send_signal(signal.SIGTERM)
            agent.wait(timeout=30)

    def event_latencies(self, count):
        """Seconds from each event's POST to its line from `vek logs --follow`."""
        credentials = self.credentials("a")
        port = int(self.origin.rsplit(":", 1)[1])
        relay = http.client.HTTPConnection("127.0.0.1", port, timeout=60)

        def call(method, path, body, lease=None):
            headers = {"Authorization": f"Bearer {credentials['deviceID']}.{credentials['token']}",
                       "Content-Type": "application/json"}
            if lease:
                headers["X-VEK-Lease"] = lease
            relay.request(method, path, body=json.dumps(body), headers=headers)
            answer = relay.getresponse()
            payload = answer.read()
            if answer.status != 200:
                raise SystemExit(f"{method} {path} answered {answer.status}: {payload!r}")
            return json.loads(payload)

        job = vek(self.work, "a", "run", "--project", self.project, "--scheme", "Demo",
                  "--receiver", self.receiver, "--device", UDID)["id"]
        claimed = call("POST", "/v1/claim", {})
        if claimed["job"]["id"] != job:
            raise SystemExit("the claim handed out another job")
        follower = subprocess.Popen([VEK, "logs", job, "--follow", "--timeout", "600"],
                                    env=env_of(self.work, "a"), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, text=True)
        printed = []

        def read():
            for line in follower.stderr:
                printed.append((time.monotonic(), line.rstrip("\n")))

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(1)
        posted = []
        for index in range(count):
            time.sleep(random.uniform(0.02, 0.1))
            posted.append(time.monotonic())
            call("POST", f"/v1/jobs/{job}/event", {"message": f"event {index}"}, claimed["lease"])
        deadline = time.monotonic() + 30
        while len(printed) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        call("POST", f"/v1/jobs/{job}/cancel", {})
        follower.wait(timeout=30)
        reader.join()
        lines = [text for _, text in printed[:count]]
        if lines != [f"event {index}" for index in range(count)]:
            raise SystemExit("logs --follow did not print every event once, in order")
        return [printed[index][0] - posted[index] for index in range(count)]

    def credentials(self, mac):
        items = glob.glob(os.path.join(self.work, mac, ".local", "share", "vek-keychain",
                                       "*.item"))
        record = json.load(open(items[0]))
        return json.loads(base64.b64decode(record["data"]))

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()


def measure(name, relay_arguments):
    work = tempfile.mkdtemp(prefix="vek-agent-bench-")
    fleet = Fleet(work, relay_arguments)
    try:
        overheads = []
        for run in range(RUNS):
            overhead, tools = fleet.deploy()
            overheads.append(overhead)
            print(f"{name}, run {run + 1}: {overhead + tools:6.2f} s in all, {tools:5.2f} s in the"
                  f" simulated tools, {overhead:6.2f} s VEK's own", flush=True)
        share, rss = fleet.idle(IDLE_SECONDS)
        fleet.stop_agents()
        latencies = fleet.event_latencies(EVENTS)
        return {"overhead": statistics.median(overheads), "idle_cpu": share, "idle_rss": rss,
                "event_p50": percentile(latencies, 0.5), "event_p99": percentile(latencies, 0.99)}
    finally:
        fleet.close()
        subprocess.run(["rm", "-rf", work])


def main():
    baseline = measure("polling relay", ["--max-wait-seconds", "0"])
    held = measure("held requests", [])
    rows = [
        (f"deployment overhead, median of {RUNS}", f"{held['overhead']:.2f} s",
         f"{baseline['overhead']:.2f} s", "<= 1.5 s", held["overhead"] <= 1.5),
        (f"event latency p50 ({EVENTS} events)", f"{1000 * held['event_p50']:.0f} ms",
         f"{1000 * baseline['event_p50']:.0f} ms", "<= 100 ms", held["event_p50"] <= 0.1),
        (f"event latency p99 ({EVENTS} events)", f"{1000 * held['event_p99']:.0f} ms",
         f"{1000 * baseline['event_p99']:.0f} ms", "<= 500 ms", held["event_p99"] <= 0.5),
        (f"idle agent CPU over {IDLE_SECONDS:.0f} s", f"{held['idle_cpu']:.4f} %",
         f"{baseline['idle_cpu']:.4f} %", "< 0.1 %", held["idle_cpu"] < 0.1),
        ("idle agent RSS", f"{held['idle_rss']:.1f} MiB", f"{baseline['idle_rss']:.1f} MiB",
         "< 16 MiB", held["idle_rss"] < 16),
    ]
    header = ("measure", "held requests", "baseline: polling relay", "target", "met")
    table = [header] + [(a, b, c, d, "yes" if e else "NO") for a, b, c, d, e in rows]
    widths = [max(len(row[i]) for row in table) for i in range(5)]
    print()
    for index, row in enumerate(table):
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)))
        if index == 0:
            print("  ".join("-" * width for width in widths))


main()
