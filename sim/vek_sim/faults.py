"""Fault switches: named points in the stand-ins that can be told to misbehave.

A switch is set on a root with a mode, optionally limited to one subject (the
project path of a listing, a device's UDID, ...) and optionally to a number of
runs after which it clears itself. Each stand-in asks `take` at its fault
point and acts out the mode it gets back; the catalogue below is the single
list of points and their modes, so a new fault is one entry here plus the
code at its point.
"""

import os
import signal
import time

from .state import SimError

# name -> (kind of subject or None, {mode: what the stand-in does})
CATALOG = {
    "devicectl-list": (None, {
        "exit": "exit 1 with an ERROR line on standard error and write no file",
        "nofile": "exit 0 without writing the JSON file",
        "garbage": "exit 0 with a file that is not JSON",
        "hang": "never finish; dies on SIGTERM",
    }),
    "xcodebuild-list": ("path", {
        "exit": "exit 65 with an xcodebuild error on standard error",
        "garbage": "exit 0 printing text that is not JSON",
        "hang": "never finish; dies on SIGTERM",
    }),
    "xcodebuild-archive": ("path", {
        "exit": "exit 65 after a compile error in the transcript (** ARCHIVE FAILED **), no archive",
        "hang": "print the start of the transcript, then never finish; dies on SIGTERM",
    }),
    "xcodebuild-export": (None, {
        "exit": "exit 70 with an exportArchive error (** EXPORT FAILED **), no IPA",
        "hang": "never finish; dies on SIGTERM",
        "no-ipa": "exit 0 with the export folder's other files but no .ipa",
        "no-folder": "exit 0 without creating the export folder",
        "two-ipas": "exit 0 with NAME.ipa and a second IPA beside it",
        "upper-ipa": "exit 0 with the only IPA named NAME.IPA",
        "symlink": "exit 0; the IPA holds a symbolic-link entry inside the app",
        "unsafe-path": "exit 0; the IPA holds an entry whose path climbs out with ..",
        "two-apps": "exit 0; the IPA's Payload holds a second .app",
        "tamper": "exit 0; a file of the app is changed after signing, so its signature breaks",
    }),
    "codesign-verify": ("path", {
        "broken": "exit 1 with codesign's complaint that a sealed resource is invalid",
    }),
    "devicectl-install": ("udid", {
        "exit": "exit 1 with devicectl's install error on standard error; nothing is installed",
        "hang": "never finish; dies on SIGTERM",
    }),
    "devicectl-launch": ("udid", {
        "exit": "exit 1 with devicectl's launch error on standard error; nothing is launched",
    }),
}

_FILE = "faults.json"


def _normalise(name, subject):
    kind = CATALOG[name][0]
    if subject is not None and kind == "path":
        return os.path.realpath(subject)
    return subject


def set_fault(root, name, mode, only=None, times=None):
    if name not in CATALOG:
        raise SimError("unknown fault '%s' (known: %s)" % (name, ", ".join(sorted(CATALOG))))
    kind, modes = CATALOG[name]
    if mode not in modes:
        raise SimError("fault '%s' has no mode '%s' (modes: %s)" % (name, mode, ", ".join(modes)))
    if only is not None and kind is None:
        raise SimError("fault '%s' does not take --only" % name)
    if times is not None and times < 1:
        raise SimError("--times must be at least 1")
    entry = {"name": name, "mode": mode, "only": _normalise(name, only), "times": times}
    with root.lock():
        faults = [f for f in active(root) if (f["name"], f["only"]) != (name, entry["only"])]
        faults.append(entry)
        root.write_json(_FILE, {"faults": faults})


def clear(root, name=None):
    with root.lock():
        faults = [f for f in active(root) if name is not None and f["name"] != name]
        root.write_json(_FILE, {"faults": faults})


def active(root):
    return root.read_json(_FILE, {"faults": []})["faults"]


def _matches(entry, name, subject):
    return entry["name"] == name and (entry["only"] is None or entry["only"] == subject)


def take(root, name, subject=None):
    """The mode of the fault set for this run at point `name`, or None.

    A switch limited to a subject wins over a general one. A switch with a run
    count is used up here.
    """
    subject = _normalise(name, subject)
    candidates = [f for f in active(root) if _matches(f, name, subject)]
    if not candidates:
        return None
    candidates.sort(key=lambda f: f["only"] is None)
    chosen = candidates[0]
    if chosen["times"] is None:
        return chosen["mode"]
    with root.lock():
        faults = active(root)
        for f in faults:
            if f["name"] == chosen["name"] and f["only"] == chosen["only"]:
                mode = f["mode"]
                if f["times"] is not None:
                    f["times"] -= 1
                    if f["times"] <= 0:
                        faults.remove(f)
                root.write_json(_FILE, {"faults": faults})
                return mode
    return None  # used up by a concurrent run


def hang():
    """Sleep until killed. The default signal actions are restored, since a
    parent that ignores SIGTERM would otherwise pass that on to us."""
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    while True:
        time.sleep(3600)
