"""Stand-in for /bin/launchctl: the user's gui domain of launchd.

  bootstrap gui/UID PLIST     load a LaunchAgent and, with RunAtLoad, start it
  bootout gui/UID/LABEL       stop and unload it (also: bootout gui/UID PLIST)
  print gui/UID/LABEL         show a loaded service

Registrations and their processes are kept by services.py. Only the gui
domain of the calling user exists; the messages and exit statuses are
launchctl's.
"""

import os
import plistlib
import sys

from . import services
from .toolerror import ToolExit

USAGE = "Usage: launchctl <subcommand> ... | help [subcommand]\n"
# launchd's own throttle when a definition names none.
DEFAULT_THROTTLE = 10


def _domain(text, action):
    if text != "gui/%d" % os.getuid():
        raise ToolExit(125 if action else 113, "%s failed: 125: Domain does not support specified action\n" % action
                       if action else "Could not find domain for %s\n" % text)
    return text


def _key(domain, label):
    return "launchd:%s/%s" % (domain, label)


def _fail(action, code, reason):
    raise ToolExit(code, "%s failed: %d: %s\n" % (action, code, reason))


def _strings(value):
    return isinstance(value, list) and value and all(isinstance(v, str) for v in value)


def read_definition(path):
    """The service a LaunchAgent property list describes, or ToolExit as
    launchctl reports an unusable file."""
    try:
        with open(path, "rb") as f:
            plist = plistlib.load(f)
    except FileNotFoundError:
        _fail("Bootstrap", 2, "No such file or directory")
    except Exception:  # noqa: BLE001 - any unreadable or malformed file
        _fail("Bootstrap", 5, "Input/output error")
    if not isinstance(plist, dict) or not isinstance(plist.get("Label"), str) or not plist["Label"]:
        _fail("Bootstrap", 5, "Input/output error")
    argv = plist.get("ProgramArguments")
    program = plist.get("Program")
    if argv is None and isinstance(program, str):
        argv = [program]
    elif isinstance(program, str) and _strings(argv):
        argv = [program] + argv[1:]
    if not _strings(argv):
        _fail("Bootstrap", 5, "Input/output error")
    env = plist.get("EnvironmentVariables", {})
    if not isinstance(env, dict) or not all(isinstance(k, str) and isinstance(v, str) for k, v in env.items()):
        _fail("Bootstrap", 5, "Input/output error")
    keep_alive = plist.get("KeepAlive", False)
    if keep_alive is True:
        restart = "always"
    elif isinstance(keep_alive, dict) and keep_alive.get("SuccessfulExit") is False:
        restart = "on-failure"
    elif isinstance(keep_alive, dict) and keep_alive.get("SuccessfulExit") is True:
        restart = "on-success"
    else:
        restart = "no"
    throttle = plist.get("ThrottleInterval", DEFAULT_THROTTLE)
    if not isinstance(throttle, int) or isinstance(throttle, bool) or throttle < 0:
        throttle = DEFAULT_THROTTLE
    return plist["Label"], {
        "argv": argv,
        "env": env,
        "cwd": plist.get("WorkingDirectory") if isinstance(plist.get("WorkingDirectory"), str) else "/",
        "stdout": plist.get("StandardOutPath") if isinstance(plist.get("StandardOutPath"), str) else None,
        "stderr": plist.get("StandardErrorPath") if isinstance(plist.get("StandardErrorPath"), str) else None,
        "restart": restart,
        "restart_delay": throttle,
        "throttle_from_start": True,
        "run_at_load": plist.get("RunAtLoad") is True,
    }


def bootstrap(root, args):
    if len(args) != 2:
        raise ToolExit(64, "Usage: launchctl bootstrap <domain-target> [service-path, service-path2, ...]\n")
    domain = _domain(args[0], "Bootstrap")
    label, service = read_definition(args[1])
    key = _key(domain, label)
    if key in services.load(root):
        _fail("Bootstrap", 5, "Input/output error")
    service.update(manager="launchd", name=label, domain=domain, definition=os.path.abspath(args[1]))
    service["env"] = services.session_environment(root, service["env"])
    if service.pop("run_at_load"):
        services.register(root, key, service)
    else:
        services.register_loaded(root, key, service)
    return 0


def bootout(root, args):
    if len(args) == 1 and args[0].count("/") >= 2:
        domain, label = args[0].rsplit("/", 1)
    elif len(args) == 2:
        domain = args[0]
        try:
            with open(args[1], "rb") as f:
                label = plistlib.load(f).get("Label")
        except Exception:  # noqa: BLE001
            _fail("Boot-out", 5, "Input/output error")
    else:
        raise ToolExit(64, "Usage: launchctl bootout <domain-target> [service-path1, service-path2, ...] | "
                           "<service-target>\n")
    domain = _domain(domain, "Boot-out")
    if not services.unregister(root, _key(domain, label)):
        _fail("Boot-out", 3, "No such process")
    return 0


def print_service(root, args):
    if len(args) != 1 or args[0].count("/") < 2:
        raise ToolExit(64, "Usage: launchctl print <domain-target> | <service-target>\n")
    domain, label = args[0].rsplit("/", 1)
    domain = _domain(domain, None)
    shown = [s for s in services.listing(root) if s["key"] == _key(domain, label)]
    if not shown:
        raise ToolExit(113, "Could not find service \"%s\" in domain for user gui: %d\n" % (label, os.getuid()))
    service = shown[0]
    sys.stdout.write("%s = {\n\tstate = %s\n\tprogram = %s\n\tpid = %s\n\truns = %d\n\tlast exit code = %s\n}\n" % (
        args[0], "running" if service["pid"] else "not running", service["argv"][0],
        service["pid"] or "", service["starts"] or 0, service["last_exit"]))
    return 0


def run(root, args):
    if not args:
        raise ToolExit(64, USAGE)
    command, rest = args[0], args[1:]
    if command == "bootstrap":
        return bootstrap(root, rest)
    if command == "bootout":
        return bootout(root, rest)
    if command == "print":
        return print_service(root, rest)
    raise ToolExit(64, "Unrecognized subcommand: %s\n%s" % (command, USAGE))
