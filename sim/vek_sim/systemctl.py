"""Stand-in for /usr/bin/systemctl: the calling user's systemd manager.

  systemctl --user daemon-reload
  systemctl --user enable [--now] UNIT      link it into default.target.wants (and start it)
  systemctl --user disable [--now] UNIT     unlink it (and stop it)
  systemctl --user start|stop|restart UNIT
  systemctl --user is-active UNIT

Units are read from ${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user. As with
systemd, a unit is read when it is first needed and again only on
daemon-reload: a unit file changed after that is used in its old form, with
systemd's warning. Running units are kept by services.py; only the user
manager exists here.
"""

import os
import re
import signal
import sys

from . import services
from .toolerror import ToolExit

# Signals after which systemd counts an exit as clean.
CLEAN_SIGNALS = [signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE]
DEFAULT_RESTART_SEC = 0.1
LOADED = "systemd-units.json"


def unit_directory():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "systemd", "user")


def _key(name):
    return "systemd:" + name


def _specifiers(value, name):
    out, i = "", 0
    while i < len(value):
        if value[i] != "%":
            out += value[i]
            i += 1
            continue
        code = value[i + 1] if i + 1 < len(value) else ""
        if code == "%":
            out += "%"
        elif code == "h":
            out += os.path.expanduser("~")
        elif code == "n":
            out += name
        else:
            raise ValueError("unknown or unsupported specifier %%%s" % code)
        i += 2
    return out


def _words(value, dollars):
    """systemd's splitting of a command line or an assignment list: words are
    separated by spaces; double or single quotes group, with C escapes."""
    words, i = [], 0
    while i < len(value):
        if value[i].isspace():
            i += 1
            continue
        word, quote = "", None
        if value[i] in "\"'":
            quote = value[i]
            i += 1
        while i < len(value):
            c = value[i]
            if quote and c == quote:
                i += 1
                break
            if not quote and c.isspace():
                break
            if c == "\\" and i + 1 < len(value):
                nxt = value[i + 1]
                if nxt == "x" and i + 3 < len(value):
                    word += chr(int(value[i + 2:i + 4], 16))
                    i += 4
                    continue
                word += {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", "\"": "\"", "'": "'", " ": " "}.get(nxt, nxt)
                i += 2
                continue
            if dollars and c == "$":
                if i + 1 < len(value) and value[i + 1] == "$":
                    word += "$"
                    i += 2
                    continue
                raise ValueError("variable expansion is not simulated")
            word += c
            i += 1
        else:
            if quote:
                raise ValueError("unterminated quote")
        words.append(word)
    return words


def _seconds(text):
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*(ms|s|sec|min|)\s*", text)
    if not match:
        raise ValueError("bad time span %r" % text)
    value = float(match.group(1))
    return value / 1000 if match.group(2) == "ms" else value * 60 if match.group(2) == "min" else value


def _output(value, name):
    if value in ("", "inherit", "journal", "null", "kmsg"):
        return None
    for prefix in ("append:", "file:", "truncate:"):
        if value.startswith(prefix):
            return _specifiers(value[len(prefix):], name)
    raise ValueError("unsupported output %r" % value)


def parse_unit(path, name):
    """The service a unit file describes; ValueError for what systemd would
    refuse to load."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    section, settings = None, {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("["):
            section = line
            continue
        if "=" not in line:
            raise ValueError("line without '=': %r" % line)
        key, value = line.split("=", 1)
        settings.setdefault((section, key.strip()), []).append(value.strip())

    def last(key, default=None):
        values = settings.get(("[Service]", key))
        return values[-1] if values else default

    if ("[Service]", "ExecStart") not in settings:
        raise ValueError("no ExecStart")
    argv = _words(_specifiers(last("ExecStart"), name), True)
    if not argv or not os.path.isabs(argv[0]):
        raise ValueError("ExecStart needs an absolute program path")
    env = {}
    for value in settings.get(("[Service]", "Environment"), []):
        for assignment in _words(_specifiers(value, name), False):
            if "=" in assignment:
                k, v = assignment.split("=", 1)
                env[k] = v
    restart = last("Restart", "no")
    restart = {"no": "no", "always": "always", "on-success": "on-success"}.get(restart, "on-failure")
    cwd = last("WorkingDirectory")
    return {
        "argv": argv,
        "env": env,
        "cwd": _specifiers(cwd, name).lstrip("-") if cwd else os.path.expanduser("~"),
        "stdout": _output(last("StandardOutput", ""), name),
        "stderr": _output(last("StandardError", ""), name),
        "restart": restart,
        "restart_delay": _seconds(last("RestartSec", str(DEFAULT_RESTART_SEC))),
        "throttle_from_start": False,
        "clean_signals": [int(s) for s in CLEAN_SIGNALS],
        "wanted_by": settings.get(("[Install]", "WantedBy"), []),
    }


def _unit_path(name):
    return os.path.join(unit_directory(), name)


def _loaded(root):
    return root.read_json(LOADED, {})


def daemon_reload(root):
    loaded = {}
    directory = unit_directory()
    for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
        path = os.path.join(directory, name)
        if name.endswith(".service") and os.path.isfile(path):
            try:
                loaded[name] = dict(parse_unit(path, name), mtime=os.stat(path).st_mtime_ns)
            except (OSError, ValueError, UnicodeDecodeError) as e:
                sys.stderr.write("%s: %s, ignoring.\n" % (path, e))
    with root.lock():
        root.write_json(LOADED, loaded)


def load_unit(root, name):
    """The unit as the manager knows it: the loaded form, else read now."""
    path = _unit_path(name)
    known = _loaded(root).get(name)
    if known is not None:
        if not os.path.exists(path) or os.stat(path).st_mtime_ns != known["mtime"]:
            sys.stderr.write("Warning: The unit file, source configuration file or drop-ins of %s changed on "
                             "disk. Run 'systemctl --user daemon-reload' to reload units.\n" % name)
        return known
    if not os.path.isfile(path):
        return None
    try:
        unit = dict(parse_unit(path, name), mtime=os.stat(path).st_mtime_ns)
    except (OSError, ValueError, UnicodeDecodeError) as e:
        raise ToolExit(1, "Failed to start %s: Unit %s has a bad unit file setting (%s).\n" % (name, name, e))
    with root.lock():
        loaded = _loaded(root)
        loaded[name] = unit
        root.write_json(LOADED, loaded)
    return unit


def start(root, name):
    if _key(name) in services.load(root):
        entry = services.load(root)[_key(name)]
        if services.alive(entry.get("supervisor"), entry.get("supervisor_started")):
            return
        services.unregister(root, _key(name))
    unit = load_unit(root, name)
    if unit is None:
        raise ToolExit(5, "Failed to start %s: Unit %s not found.\n" % (name, name))
    service = {k: v for k, v in unit.items() if k not in ("mtime", "wanted_by")}
    service.update(manager="systemd", name=name, definition=_unit_path(name))
    service["env"] = services.session_environment(root, service["env"])
    services.register(root, _key(name), service)


def stop(root, name):
    services.unregister(root, _key(name))


def enable(root, name):
    unit = load_unit(root, name)
    if unit is None:
        raise ToolExit(1, "Failed to enable unit: Unit file %s does not exist.\n" % name)
    for target in unit["wanted_by"] or []:
        wants = os.path.join(unit_directory(), target + ".wants")
        os.makedirs(wants, exist_ok=True)
        link = os.path.join(wants, name)
        if not os.path.lexists(link):
            os.symlink(_unit_path(name), link)
            sys.stdout.write("Created symlink %s \u2192 %s.\n" % (link, _unit_path(name)))


def disable(root, name):
    links = []
    directory = unit_directory()
    for entry in os.listdir(directory) if os.path.isdir(directory) else []:
        link = os.path.join(directory, entry, name)
        if entry.endswith(".wants") and os.path.islink(link):
            links.append(link)
    if not links and not os.path.exists(_unit_path(name)):
        raise ToolExit(1, "Failed to disable unit: Unit file %s does not exist.\n" % name)
    for link in links:
        os.remove(link)
        sys.stdout.write("Removed \"%s\".\n" % link)


def _unit_name(text):
    return text if "." in text else text + ".service"


def run(root, args):
    options = [a for a in args if a.startswith("-")]
    words = [a for a in args if not a.startswith("-")]
    if "--user" not in options:
        raise ToolExit(1, "Failed to connect to bus: the simulated Mac has only a user manager (use --user)\n")
    unknown = set(options) - {"--user", "--now", "--quiet", "-q", "--no-block"}
    if unknown:
        raise ToolExit(1, "systemctl: unrecognized option '%s'\n" % sorted(unknown)[0])
    if not words:
        raise ToolExit(1, "Too few arguments.\n")
    command, names = words[0], [_unit_name(w) for w in words[1:]]
    now = "--now" in options
    if command == "daemon-reload":
        daemon_reload(root)
        return 0
    if command in ("enable", "disable", "start", "stop", "restart", "is-active") and not names:
        raise ToolExit(1, "Too few arguments.\n")
    for name in names:
        if command == "enable":
            enable(root, name)
            if now:
                start(root, name)
        elif command == "disable":
            if now:
                stop(root, name)
            disable(root, name)
        elif command == "start":
            start(root, name)
        elif command == "stop":
            stop(root, name)
        elif command == "restart":
            stop(root, name)
            start(root, name)
        elif command == "is-active":
            entry = [s for s in services.listing(root) if s["key"] == _key(name)]
            active = bool(entry and entry[0]["pid"])
            if "--quiet" not in options and "-q" not in options:
                sys.stdout.write("active\n" if active else "inactive\n")
            if not active:
                return 3
        else:
            raise ToolExit(1, "Unknown command verb '%s'.\n" % command)
    return 0
