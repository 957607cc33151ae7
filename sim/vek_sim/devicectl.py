"""The devicectl stand-in (reached as `xcrun devicectl ...`).

Usage errors are reported the way devicectl's argument parser reports them:
`Error: ...` plus a usage hint on standard error, exit status 64. Failures
of an operation print `ERROR: ...` and exit 1.
"""

import os
import sys

from . import applejson, devicectl_entries, devices, faults
from .toolerror import ToolExit

VERSION = "397.28"

# A raw devicectl output stored by `vek-sim device listing`, written instead
# of the rendered devices.
LISTING_OVERRIDE = "devicectl-list.json"


def _usage_error(command, message):
    raise ToolExit(64, "Error: %s\nUsage: devicectl %s [<options>]\n  See 'devicectl %s --help' for more information.\n"
                   % (message, command, command))


def _parse_options(command, args, known):
    """Options of one subcommand. `known` maps each spelling to (key, takes_value)."""
    values = {}
    i = 0
    while i < len(args):
        arg = args[i]
        name, eq, inline = arg.partition("=") if arg.startswith("--") else (arg, "", "")
        if name not in known:
            if arg.startswith("-"):
                _usage_error(command, "Unknown option '%s'" % name)
            _usage_error(command, "Unexpected argument '%s'" % arg)
        key, takes_value = known[name]
        if takes_value:
            if eq:
                value = inline
            elif i + 1 < len(args):
                i += 1
                value = args[i]
            else:
                _usage_error(command, "Missing value for '%s <%s>'" % (name, key))
            values[key] = value
        else:
            values[key] = True
        i += 1
    return values


_LIST_DEVICES_OPTIONS = {
    "--timeout": ("seconds", True), "-t": ("seconds", True),
    "--json-output": ("path", True), "-j": ("path", True),
    "--log-output": ("log", True),
    "--quiet": ("quiet", False), "-q": ("quiet", False),
    "--verbose": ("verbose", False), "-v": ("verbose", False),
    "--hide-headers": ("hide-headers", False),
}


def _info(argv):
    environment = {"TERM": os.environ["TERM"]} if "TERM" in os.environ else {}
    return {
        "arguments": ["devicectl"] + list(argv),
        "commandType": "devicectl.list.devices",
        "environment": environment,
        "jsonVersion": 2,
        "outcome": "success",
        "version": VERSION,
    }


def _write_output(path, text):
    if path == "-":
        sys.stdout.write(text + "\n")
        return
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        raise ToolExit(1, "ERROR: The file couldn’t be saved. (NSCocoaErrorDomain error 4 (0x04))\n"
                          "         NSFilePath = %s\n         NSUnderlyingError = %s\n" % (path, e.strerror))


def list_devices(root, argv, args):
    options = _parse_options("list devices", args, _LIST_DEVICES_OPTIONS)
    if "seconds" in options:
        try:
            if float(options["seconds"]) < 0:
                raise ValueError
        except ValueError:
            _usage_error("list devices", "The value '%s' is invalid for '--timeout <seconds>'" % options["seconds"])

    mode = faults.take(root, "devicectl-list")
    if mode == "hang":
        faults.hang()
    if mode == "exit":
        raise ToolExit(1, "ERROR: Timed out while waiting for CoreDevice to list devices. "
                          "(com.apple.dt.CoreDeviceError error 4 (0x04))\n")

    try:
        with open(root.file(LISTING_OVERRIDE), encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        document = {"info": _info(argv),
                    "result": {"devices": [devicectl_entries.entry(d) for d in devices.load(root)]}}
        text = applejson.dumps(document)
    items = _items_of(text)

    if not options.get("quiet"):
        table = devicectl_entries.table(items)
        if options.get("hide-headers") and items:
            table = "\n".join(table.split("\n")[3:])
        sys.stdout.write(table)
    if mode == "nofile" or "path" not in options:
        return 0
    _write_output(options["path"], "{ this is not JSON" if mode == "garbage" else text)
    return 0


def _items_of(text):
    import json
    try:
        items = json.loads(text)["result"]["devices"]
    except (ValueError, KeyError, TypeError):
        return []
    return items if isinstance(items, list) else []


def _install(root, argv, args):
    from . import devicectl_apps
    return devicectl_apps.install(root, argv, args, _parse_options, _write_output)


def _launch(root, argv, args):
    from . import devicectl_apps
    return devicectl_apps.launch(root, argv, args, _parse_options, _write_output)


COMMANDS = {
    ("list", "devices"): list_devices,
    ("device", "install", "app"): _install,
    ("device", "process", "launch"): _launch,
}


def run(root, args):
    if args in (["--version"], ["version"]):
        sys.stdout.write(VERSION + "\n")
        return 0
    for words, handler in COMMANDS.items():
        if tuple(args[:len(words)]) == words:
            return handler(root, args, args[len(words):])
    if not args:
        raise ToolExit(64, "Error: Missing expected subcommand\nUsage: devicectl <subcommand>\n"
                           "  See 'devicectl help' for more information.\n")
    raise ToolExit(64, "Error: Unexpected argument '%s'\nUsage: devicectl <subcommand>\n"
                       "  See 'devicectl help' for more information.\n" % " ".join(args[:2]))
