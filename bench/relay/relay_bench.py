#!/usr/bin/env python3
"""Helpers for bench/relay/run: enrol devices, prepare jobs, hold idle connections and claims.

Talks to a running vek-relay over plain HTTP with the standard library only.
"""
import argparse
import http.client
import json
import os
import selectors
import socket
import sys
import time

PHONE = "BENCH-PHONE-0001"


def request(port, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    data = None if body is None else json.dumps(body)
    connection.request(method, path, body=data, headers=headers or {})
    response = connection.getresponse()
    payload = response.read()
    connection.close()
    if response.status != 200:
        sys.exit(f"{method} {path} answered {response.status}: {payload!r}")
    return json.loads(payload)


def auth(device, lease=None):
    headers = {"Authorization": f"Bearer {device['device_id']}.{device['token']}",
               "Content-Type": "application/json"}
    if lease:
        headers["X-VEK-Lease"] = lease
    return headers


def inventory(index):
    """What an agent with two phones and three projects reports (about 2 KB)."""
    phones = [{
        "udid": PHONE if n == 0 else f"00008110-{index:04d}{n:08X}",
        "core_id": f"3F1C2B7A-{index:04d}-4E5F-8A9B-{n:012d}",
        "name": f"Test iPhone {n}", "model": "iPhone 15 Pro", "product_type": "iPhone16,1",
        "os": "17.5.1", "state": "connected", "developer_mode": True, "available": True,
        "transport": "wired"} for n in range(2)]
    projects = [{
        "id": f"C0FFEE00-0000-4000-8000-{index:06d}{n:06d}", "name": f"App {n}",
        "schemes": ["App", "App Staging", "App Tests"],
        "configurations": ["Debug", "Release", "Staging"]} for n in range(3)]
    return {"projects": projects, "phones": phones, "client_version": "0.1.0",
            "platform": "macOS"}


def lua_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def enroll(args):
    token = open(args.token_file).read().strip()
    first = request(args.port, "POST", "/v1/groups", {"name": "Bench", "device_name": "Mac 0"},
                    {"X-VEK-Bootstrap": token, "Content-Type": "application/json"})
    devices = [first]
    for index in range(1, args.devices):
        code = request(args.port, "POST", "/v1/invites", {}, auth(first))["code"]
        devices.append(request(args.port, "POST", "/v1/join",
                               {"code": code, "device_name": f"Mac {index}"}))
    with open(args.lua, "w") as lua:
        lua.write("return {\n")
        for index, device in enumerate(devices):
            body = json.dumps({"inventory": inventory(index), "leases": []},
                              separators=(",", ":"))
            request(args.port, "POST", "/v1/heartbeat", json.loads(body), auth(device))
            if index >= args.heartbeat_devices:
                continue
            header = f"Bearer {device['device_id']}.{device['token']}"
            lua.write(f"  {{auth = {lua_string(header)}, body = {lua_string(body)}}},\n")
        lua.write("}\n")
    with open(args.creds, "w") as out:
        json.dump(devices, out)
    print(f"enrolled {len(devices)} devices; heartbeat body {len(body)} bytes")


def prepare_upload(args):
    device = json.load(open(args.creds))[0]
    request(args.port, "POST", "/v1/heartbeat", {"inventory": inventory(0), "leases": []},
            auth(device))
    job_request = {"builder_id": device["device_id"], "receiver_id": device["device_id"],
            "project_id": "p", "scheme": "App", "configuration": "Release", "mode": "adhoc",
            "udid": PHONE}
    job = request(args.port, "POST", "/v1/jobs", job_request, auth(device))["id"]
    claimed = request(args.port, "POST", "/v1/claim", {}, auth(device))
    if claimed["job"]["id"] != job:
        sys.exit("the claim handed out another job")
    print(job, claimed["lease"], f"{device['device_id']}.{device['token']}")


def prepare_download(args):
    device = json.load(open(args.creds))[0]
    request(args.port, "POST", f"/v1/jobs/{args.job}/finish-build", {"manifest": {}},
            auth(device, args.lease))
    claimed = request(args.port, "POST", "/v1/claim", {}, auth(device))
    print(claimed["lease"])


def finish(args):
    """Ends the job as the receiver, which also deletes its artifact."""
    device = json.load(open(args.creds))[0]
    request(args.port, "POST", f"/v1/jobs/{args.job}/finish", {}, auth(device, args.lease))


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def idle(args):
    sockets = []
    for _ in range(args.connections):
        s = socket.create_connection(("127.0.0.1", args.port))
        s.sendall(b"GET /healthz HTTP/1.1\r\nHost: relay\r\n\r\n")
        sockets.append(s)
    for s in sockets:
        answer = b""
        while b"\r\n\r\n" not in answer or not answer.endswith(b"}"):
            chunk = s.recv(4096)
            if not chunk:
                sys.exit("the relay closed an idle connection early")
            answer += chunk
    time.sleep(1)
    ticks = os.sysconf("SC_CLK_TCK")
    start, began = cpu_ticks(args.pid), time.monotonic()
    time.sleep(args.seconds)
    used, elapsed = cpu_ticks(args.pid) - start, time.monotonic() - began
    rss = rss_kib(args.pid)
    open_now = sum(1 for s in sockets if s.fileno() >= 0)
    print(json.dumps({"connections": open_now, "cpu_percent": 100.0 * used / ticks / elapsed,
                      "rss_mib": rss / 1024.0}))
    for s in sockets:
        s.close()


def held(args):
    """Holds one claim per enrolled device (POST /v1/claim?wait=25), as that many idle agents do,
    and measures the relay over --seconds; then keeps them held, sending each answered claim again
    as an agent would, until its standard input closes."""
    devices = json.load(open(args.creds))
    claims = {}
    selector = selectors.DefaultSelector()

    def send(index):
        device = devices[index % len(devices)]
        s = claims.get(index)
        if s is None:
            s = socket.create_connection(("127.0.0.1", args.port))
            claims[index] = s
            selector.register(s, selectors.EVENT_READ, index)
        s.sendall(f"POST /v1/claim?wait=25 HTTP/1.1\r\nHost: relay\r\nAuthorization: Bearer "
                  f"{device['device_id']}.{device['token']}\r\nContent-Length: 2\r\n\r\n{{}}"
                  .encode())

    def answered(timeout):
        """Reads what the relay answered meanwhile and sends those claims again."""
        count = 0
        for key, _ in selector.select(timeout):
            chunk = key.fileobj.recv(65536)
            if not chunk:
                sys.exit("the relay closed a held claim")
            if b" 200 " not in chunk.split(b"\r\n", 1)[0]:
                sys.exit(f"a held claim was answered {chunk[:60]!r}")
            count += 1
            send(key.data)
        return count

    for index in range(args.connections):
        send(index)
    time.sleep(1)
    early = answered(0)
    ticks = os.sysconf("SC_CLK_TCK")
    start, began = cpu_ticks(args.pid), time.monotonic()
    time.sleep(args.seconds)
    used, elapsed = cpu_ticks(args.pid) - start, time.monotonic() - began
    with open(args.out, "w") as out:
        json.dump({"connections": len(claims), "answered_early": early + answered(0),
                   "cpu_percent": 100.0 * used / ticks / elapsed,
                   "rss_mib": rss_kib(args.pid) / 1024.0}, out)
    selector.register(sys.stdin, selectors.EVENT_READ, None)
    while True:
        for key, _ in selector.select():
            if key.data is None:
                if not sys.stdin.read(1):
                    return
                continue
            chunk = key.fileobj.recv(65536)
            if not chunk:
                sys.exit("the relay closed a held claim")
            send(key.data)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("enroll")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--token-file", required=True)
    p.add_argument("--devices", type=int, default=200)
    p.add_argument("--lua", required=True)
    p.add_argument("--creds", required=True)
    p.add_argument("--heartbeat-devices", type=int, default=200,
                   help="how many of the devices the Lua file lists")
    p.set_defaults(run=enroll)
    p = sub.add_parser("prepare-upload")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--creds", required=True)
    p.set_defaults(run=prepare_upload)
    p = sub.add_parser("prepare-download")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--creds", required=True)
    p.add_argument("--job", required=True)
    p.add_argument("--lease", required=True)
    p.set_defaults(run=prepare_download)
    p = sub.add_parser("finish")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--creds", required=True)
    p.add_argument("--job", required=True)
    p.add_argument("--lease", required=True)
    p.set_defaults(run=finish)
    p = sub.add_parser("idle")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--connections", type=int, default=1000)
    p.add_argument("--seconds", type=float, default=10)
    p.set_defaults(run=idle)
    p = sub.add_parser("held")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--creds", required=True)
    p.add_argument("--connections", type=int, default=1000)
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--out", required=True)
    p.set_defaults(run=held)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
