"""The vek-sim command line: makes and drives simulated Macs."""

import argparse
import json
import os
import sys

from . import applejson, devicectl, devices, faults, services, team, toolroot, xclisting, xcproject
from .state import Root, SimError, write_atomic

# option -> device property
_DEVICE_OPTIONS = {
    "name": "name", "model": "model", "product_type": "productType", "os": "os", "type": "type",
    "reality": "reality", "state": "state", "developer_mode": "developerMode", "transport": "transport",
    "shape": "shape", "locked": "locked", "paired": "paired",
}


def _device_options(parser):
    parser.add_argument("--name", help="device name (empty: not reported)")
    parser.add_argument("--model", help="marketing name, e.g. 'iPhone 15' (empty: not reported)")
    parser.add_argument("--product-type", help="e.g. iPhone16,1 (empty: not reported)")
    parser.add_argument("--os", help="OS version, e.g. 17.5 (empty: not reported)")
    parser.add_argument("--type", help="iPhone, iPad, Watch, AppleTV or Mac")
    parser.add_argument("--reality", help="physical or virtual")
    parser.add_argument("--state", help="tunnel state: connected, disconnected, unavailable, ... "
                                        "(empty: not reported)")
    parser.add_argument("--developer-mode", metavar="on|off")
    parser.add_argument("--transport", help="wired or localNetwork (empty: not reported)")
    parser.add_argument("--shape", help="flat or nested: the form of devicectl's JSON entry")
    parser.add_argument("--locked", metavar="on|off")
    parser.add_argument("--paired", metavar="on|off")


def _changes(args):
    return {prop: getattr(args, opt) for opt, prop in _DEVICE_OPTIONS.items()}


def _print_json(value):
    sys.stdout.write(applejson.dumps(value) + "\n")


def _read_input(name):
    if name == "-":
        return sys.stdin.buffer.read()
    with open(name, "rb") as f:
        return f.read()


def cmd_init(args):
    root, warnings = toolroot.init(args.root, args.team, args.team_name)
    for warning in warnings:
        sys.stderr.write("vek-sim: warning: %s\n" % warning)
    print("Simulated Mac at %s (team %s)" % (root.path, team.load(root)["teamID"]))


def cmd_device(args):
    root = Root.existing(args.root)
    if args.action == "add":
        devices.add(root, args.udid, **_changes(args))
    elif args.action == "set":
        devices.update(root, args.udid, **_changes(args))
    elif args.action == "remove":
        devices.remove(root, args.udid)
    elif args.action == "show":
        _print_json(devices.get(root, args.udid))
    elif args.action == "list":
        _print_json(devices.load(root))
    elif args.action == "listing":
        path = root.file(devicectl.LISTING_OVERRIDE)
        if args.clear:
            if os.path.exists(path):
                os.remove(path)
        elif args.json:
            write_atomic(path, _read_input(args.json))
        else:
            raise SimError("device listing needs --json FILE or --clear")


def cmd_fault(args):
    if args.action == "catalog":
        for name in sorted(faults.CATALOG):
            subject, modes = faults.CATALOG[name]
            print(name + ("  (--only %s)" % subject if subject else ""))
            for mode, effect in modes.items():
                print("    %-12s %s" % (mode, effect))
        return
    root = Root.existing(args.root)
    if args.action == "set":
        faults.set_fault(root, args.name, args.mode, args.only, args.times)
    elif args.action == "clear":
        faults.clear(root, args.name)
    elif args.action == "show":
        _print_json(faults.active(root))


def cmd_project(args):
    if args.action == "new":
        path = args.path.rstrip("/")
        if path.endswith(".xcworkspace"):
            xcproject.new_workspace(path, args.projects)
        elif path.endswith(".xcodeproj"):
            if not args.bundle_id:
                raise SimError("a project needs --bundle-id")
            extensions = [e.strip() for value in args.extension or [] for e in value.split(",") if e.strip()]
            xcproject.new_project(path, args.bundle_id, args.schemes, args.configurations, args.team,
                                  args.min_os, args.version, args.build, args.push, args.signing, extensions,
                                  args.extension_profile, args.watch_app, args.simulator_only, args.pad_bytes)
        else:
            raise SimError("'%s' must end in .xcodeproj or .xcworkspace" % args.path)
    elif args.action == "listing":
        if not os.path.isdir(args.path):
            raise SimError("'%s' is not a project or workspace folder" % args.path)
        target = os.path.join(args.path, xclisting.LISTING_OVERRIDE)
        if args.clear:
            if os.path.exists(target):
                os.remove(target)
        elif args.json:
            write_atomic(target, _read_input(args.json), 0o644)
        else:
            raise SimError("project listing needs --json FILE or --clear")


def _on_off(value, what):
    if value is None:
        return None
    if value not in ("on", "off"):
        raise SimError("%s must be on or off, not '%s'" % (what, value))
    return value == "on"


def cmd_team(args):
    root = Root.existing(args.root)
    if args.action == "register-device":
        team.register_device(root, args.udid)
    elif args.action == "unregister-device":
        team.register_device(root, args.udid, register=False)
    elif args.action == "set":
        team.set_profiles(root, expired=_on_off(args.expired, "--expired"),
                          wildcard=_on_off(args.wildcard, "--wildcard"), prefix=args.prefix)
    shown = team.load(root)
    _print_json({key: shown[key] for key in ("teamID", "teamName", "devices", "profiles")})


def cmd_calls(args):
    root = Root.existing(args.root)
    if args.clear:
        with root.lock():
            write_atomic(root.file("calls.log"), b"")
        return
    for call in root.calls():
        print(json.dumps(call))


def cmd_services(args):
    root = Root.existing(args.root)
    if args.stop_all:
        services.stop_all(root)
        return
    _print_json(services.listing(root))


def parser():
    top = argparse.ArgumentParser(prog="vek-sim", description="Make and drive a simulated Mac.")
    sub = top.add_subparsers(dest="command", required=True)

    p = sub.add_parser("init", help="lay out a tool root")
    p.add_argument("root")
    p.add_argument("--team", help="team id of the simulated developer team (default ABCDE12345)")
    p.add_argument("--team-name", default="Sim Team")
    p.set_defaults(run=cmd_init)

    p = sub.add_parser("device", help="attach, change, detach and inspect devices")
    acts = p.add_subparsers(dest="action", required=True)
    a = acts.add_parser("add", help="attach a device")
    a.add_argument("root")
    a.add_argument("--udid", required=True)
    _device_options(a)
    a = acts.add_parser("set", help="change an attached device")
    a.add_argument("root")
    a.add_argument("udid")
    _device_options(a)
    for name, text in (("remove", "detach a device"), ("show", "print a device's state")):
        a = acts.add_parser(name, help=text)
        a.add_argument("root")
        a.add_argument("udid")
    a = acts.add_parser("list", help="print every device's state")
    a.add_argument("root")
    a = acts.add_parser("listing", help="make devicectl write a given JSON document instead")
    a.add_argument("root")
    a.add_argument("--json", metavar="FILE", help="the document, verbatim ('-' for standard input)")
    a.add_argument("--clear", action="store_true", help="go back to listing the attached devices")
    p.set_defaults(run=cmd_device)

    p = sub.add_parser("fault", help="make stand-ins fail on purpose")
    acts = p.add_subparsers(dest="action", required=True)
    a = acts.add_parser("set", help="switch a fault on")
    a.add_argument("root")
    a.add_argument("name")
    a.add_argument("mode")
    a.add_argument("--only", metavar="SUBJECT", help="only for this subject (a project path, ...)")
    a.add_argument("--times", type=int, help="only for the next N runs")
    a = acts.add_parser("clear", help="switch one fault, or all, off")
    a.add_argument("root")
    a.add_argument("name", nargs="?")
    a = acts.add_parser("show", help="print the faults that are on")
    a.add_argument("root")
    acts.add_parser("catalog", help="list every fault and its modes")
    p.set_defaults(run=cmd_fault)

    p = sub.add_parser("team", help="register devices with the team and shape its profiles")
    acts = p.add_subparsers(dest="action", required=True)
    for name, text in (("register-device", "add a UDID to the team's profiles"),
                       ("unregister-device", "take a UDID out of the team's profiles")):
        a = acts.add_parser(name, help=text)
        a.add_argument("root")
        a.add_argument("udid")
    a = acts.add_parser("set", help="change the profiles the team issues from now on")
    a.add_argument("root")
    a.add_argument("--expired", metavar="on|off", help="profiles that ran out a day ago")
    a.add_argument("--wildcard", metavar="on|off", help="profiles for the wildcard app id PREFIX.*")
    a.add_argument("--prefix", metavar="TEAMID", help="app id prefix written into profiles ('' for the team's)")
    a = acts.add_parser("show", help="print the team, its devices and profile settings")
    a.add_argument("root")
    p.set_defaults(run=cmd_team)

    p = sub.add_parser("project", help="write Xcode projects and workspaces")
    acts = p.add_subparsers(dest="action", required=True)
    a = acts.add_parser("new", help="write PATH.xcodeproj or PATH.xcworkspace")
    a.add_argument("path")
    a.add_argument("--bundle-id")
    a.add_argument("--schemes", help="comma-separated (default: the project's name; '' for none)")
    a.add_argument("--configurations", default="Debug,Release")
    a.add_argument("--team", default="ABCDE12345", help="DEVELOPMENT_TEAM ('' leaves it unset)")
    a.add_argument("--min-os", default="16.0")
    a.add_argument("--version", default="1.0")
    a.add_argument("--build", default="1")
    a.add_argument("--push", default="none", choices=xcproject.PUSH_MODES)
    a.add_argument("--signing", default="automatic", choices=("automatic", "manual"))
    a.add_argument("--extension", action="append", metavar="NAME",
                   help="an app extension target NAME (repeatable or comma-separated)")
    a.add_argument("--extension-profile", default="own", choices=xcproject.EXTENSION_PROFILES,
                   help="what the extensions embed: their own profile, none, or the app's")
    a.add_argument("--watch-app", metavar="NAME", help="a companion Watch app target NAME")
    a.add_argument("--simulator-only", action="store_true", help="the app target builds for the simulator")
    a.add_argument("--pad-bytes", default="0", metavar="N[K|M|G]",
                   help="add N bytes of incompressible data to the app")
    a.add_argument("--projects", help="workspace: comma-separated project paths")
    a = acts.add_parser("listing", help="make 'xcodebuild -list -json' print a given text for PATH")
    a.add_argument("path")
    a.add_argument("--json", metavar="FILE", help="the text, verbatim ('-' for standard input)")
    a.add_argument("--clear", action="store_true", help="go back to reading the project")
    p.set_defaults(run=cmd_project)

    p = sub.add_parser("services", help="print the registered services (launchd and systemd) and their "
                                        "processes")
    p.add_argument("root")
    p.add_argument("--stop-all", action="store_true", help="stop and remove every registration")
    p.set_defaults(run=cmd_services)

    p = sub.add_parser("calls", help="print the stand-in runs logged on a root, one JSON per line")
    p.add_argument("root")
    p.add_argument("--clear", action="store_true")
    p.set_defaults(run=cmd_calls)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except SimError as e:
        sys.stderr.write("vek-sim: error: %s\n" % e)
        return 1
    return 0
