"""Measures a deployment's latency through two agents and the cost of an idle agent.

Latency: each run is `vek run --wait` on the builder until the job has succeeded. The simulated
tools are real processes that the agents wait for, so their time is taken out: it is the CPU time
of the agents' finished children over the run (the stand-ins are CPU-bound Python and openssl),
read from /proc/PID/stat (cutime + cstime) before and after. What is left is VEK's own share: the
heartbeat and claim cycles, the relay's round trips, the encryption and the digests.

Idle: after the deployments, the builder's agent is left alone for a while; its own user and
system time (utime + stime, not its children's) over that window, scaled to an hour, and its
resident set size at the end.
"""

import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BUILD, ROOT = sys.argv[1], sys.argv[2]
VEK = os.path.join(BUILD, "bin", "vek")
RELAY = os.path.join(BUILD, "bin", "vek-relay")
SIM = os.path.join(ROOT, "sim", "vek-sim")
UDID = "00008110-0000000000000001"
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "60"))
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


def main():
    work = tempfile.mkdtemp(prefix="vek-agent-bench-")
    processes = []
    try:
        token = os.path.join(work, "bootstrap")
        with open(token, "w") as f:
            f.write("bench-bootstrap-token\n")
        relay_log = open(os.path.join(work, "relay.log"), "w")
        relay = subprocess.Popen([RELAY, "--listen", "127.0.0.1:0", "--data",
                                  os.path.join(work, "relay"), "--bootstrap-token-file", token],
                                 stdout=relay_log, stderr=subprocess.STDOUT)
        processes.append(relay)
        origin = None
        for _ in range(300):
            match = re.search(r"listening on (http\S+)", open(relay_log.name).read())
            if match:
                origin = match.group(1)
                break
            time.sleep(0.1)
        if not origin:
            raise SystemExit("the relay did not start")

        for mac in ("a", "b"):
            os.makedirs(os.path.join(work, mac))
            sim("init", os.path.join(work, mac, "tools"))
        builder = vek(work, "a", "group", "create", "--server", origin, "--bootstrap-file", token,
                      "--device-name", "Bench A")["device_id"]
        invite = os.path.join(work, "invite.json")
        with open(invite, "w") as f:
            f.write(json.dumps(vek(work, "a", "group", "invite")))
        receiver = vek(work, "b", "group", "join", "--invite-file", invite,
                       "--device-name", "Bench B")["device_id"]
        project_path = os.path.join(work, "a", "src", "Demo.xcodeproj")
        sim("project", "new", project_path, "--bundle-id", "com.example.demo", "--schemes", "Demo")
        project = vek(work, "a", "projects", "add", project_path)["id"]
        sim("device", "add", os.path.join(work, "b", "tools"), "--udid", UDID)
        sim("team", "register-device", os.path.join(work, "a", "tools"), UDID)

        agents = {}
        for mac in ("a", "b"):
            log = open(os.path.join(work, mac, "agent.log"), "w")
            agents[mac] = subprocess.Popen([VEK, "agent", "run"], env=env_of(work, mac),
                                           stdout=log, stderr=subprocess.STDOUT)
            processes.append(agents[mac])
        for _ in range(150):
            if UDID in json.dumps(vek(work, "a", "devices")):
                break
            time.sleep(0.2)

        latencies, tool_times = [], []
        for run in range(RUNS):
            before = sum(children_cpu(p.pid) for p in agents.values())
            start = time.monotonic()
            job = vek(work, "a", "run", "--project", project, "--scheme", "Demo", "--receiver",
                      receiver, "--device", UDID, "--wait", "--timeout", "300")
            elapsed = time.monotonic() - start
            if job["state"] != "succeeded":
                raise SystemExit(f"run {run + 1} ended {job['state']}")
            tools = sum(children_cpu(p.pid) for p in agents.values()) - before
            latencies.append(elapsed - tools)
            tool_times.append(tools)
            print(f"run {run + 1}: {elapsed:6.2f} s in all, {tools:5.2f} s in the simulated tools,"
                  f" {elapsed - tools:6.2f} s VEK's own")

        median = statistics.median(latencies)
        print(f"deployment latency without the tools: median {median:.2f} s over {RUNS} runs"
              f" (target: under 12 s with the 5 s cycle)")

        pid = agents["a"].pid
        time.sleep(5)
        cpu_before = own_cpu(pid)
        time.sleep(IDLE_SECONDS)
        cpu = own_cpu(pid) - cpu_before
        per_hour = cpu * 3600 / IDLE_SECONDS
        share = 100 * cpu / IDLE_SECONDS
        rss = rss_kib(pid) / 1024
        print(f"idle agent over {IDLE_SECONDS:.0f} s: {per_hour:.2f} s CPU per hour"
              f" ({share:.4f}% of one core; target under 0.1%), RSS {rss:.1f} MiB"
              f" (target under 16 MiB)")
    finally:
        for process in reversed(processes):
            process.send_signal(signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
        subprocess.run(["rm", "-rf", work])


main()
