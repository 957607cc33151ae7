"""The attached devices of a simulated Mac, in the order they were plugged in.

A device is kept as one flat record (see DEFAULTS); how devicectl presents it
is decided when it is listed. An empty text value means the device does not
report that property at all, which is how odd devices are made.
"""

import hashlib
import uuid

from .state import SimError

_FILE = "devices.json"

DEFAULTS = {
    "name": "iPhone",
    "model": "iPhone 15",
    "productType": "iPhone16,1",
    "os": "17.5",
    "type": "iPhone",
    "reality": "physical",
    "state": "connected",
    "developerMode": True,
    "transport": "wired",
    "shape": "flat",
    "locked": False,
    "paired": True,
}

# What a device of another type reports unless told otherwise.
TYPE_DEFAULTS = {
    "iPhone": {},
    "iPad": {"name": "iPad", "model": "iPad (10th generation)", "productType": "iPad13,18"},
    "Watch": {"name": "Apple Watch", "model": "Apple Watch Series 9", "productType": "Watch7,1", "os": "10.5"},
    "AppleTV": {"name": "Apple TV", "model": "Apple TV 4K (3rd generation)", "productType": "AppleTV14,1"},
    "Mac": {"name": "Mac", "model": "Mac mini", "productType": "Mac14,3", "os": "14.5"},
}

# The spelling vek-sim takes -> devicectl's deviceType.
DEVICE_TYPES = {"iPhone": "iPhone", "iPad": "iPad", "Watch": "appleWatch", "AppleTV": "appleTV", "Mac": "mac"}
REALITIES = ("physical", "virtual")
SHAPES = ("flat", "nested")


def _device_type(value):
    for name, devicectl_name in DEVICE_TYPES.items():
        if value.lower() in (name.lower(), devicectl_name.lower()):
            return name
    raise SimError("unknown device type '%s' (one of %s)" % (value, ", ".join(DEVICE_TYPES)))


def _choice(value, choices, what):
    if value not in choices:
        raise SimError("unknown %s '%s' (one of %s)" % (what, value, ", ".join(choices)))
    return value


def _switch(value, what):
    if isinstance(value, bool):
        return value
    words = {"on": True, "yes": True, "true": True, "off": False, "no": False, "false": False}
    if value.lower() not in words:
        raise SimError("%s must be on or off, not '%s'" % (what, value))
    return words[value.lower()]


def _checked(changes):
    """Validate and normalise the values given on the command line."""
    checks = {
        "type": _device_type,
        "reality": lambda v: _choice(v, REALITIES, "reality"),
        "shape": lambda v: _choice(v, SHAPES, "shape"),
        "developerMode": lambda v: _switch(v, "--developer-mode"),
        "locked": lambda v: _switch(v, "--locked"),
        "paired": lambda v: _switch(v, "--paired"),
    }
    out = {}
    for key, value in changes.items():
        if value is None:
            continue
        if key not in DEFAULTS:
            raise SimError("devices have no property '%s'" % key)
        out[key] = checks[key](value) if key in checks else value
    return out


def load(root):
    return root.read_json(_FILE, {"devices": []})["devices"]


def _save(root, devices):
    root.write_json(_FILE, {"devices": devices})


def _find(devices, udid):
    for device in devices:
        if device["udid"] == udid:
            return device
    raise SimError("no device with UDID '%s' is attached" % udid)


def add(root, udid, **changes):
    if not udid:
        raise SimError("a device needs a non-empty --udid")
    changes = _checked(changes)
    device = dict(DEFAULTS)
    device.update(TYPE_DEFAULTS[changes.get("type", "iPhone")])
    device.update(changes)
    device.update({
        "udid": udid,
        "identifier": str(uuid.uuid4()).upper(),
        # A 52-bit chip id like real ones, derived from the UDID so a device keeps its
        # ECID across remove/add.
        "ecid": int(hashlib.sha256(udid.encode()).hexdigest()[:13], 16),
        "installed": [],
        "launched": [],
    })
    with root.lock():
        devices = load(root)
        if any(d["udid"] == udid for d in devices):
            raise SimError("a device with UDID '%s' is already attached" % udid)
        devices.append(device)
        _save(root, devices)
    return device


def update(root, udid, **changes):
    changes = _checked(changes)
    with root.lock():
        devices = load(root)
        device = _find(devices, udid)
        device.update(changes)
        _save(root, devices)
    return device


def remove(root, udid):
    with root.lock():
        devices = load(root)
        devices.remove(_find(devices, udid))
        _save(root, devices)


def get(root, udid):
    return _find(load(root), udid)


def record(root, udid, key, entry, same=None, keep=50):
    """Appends `entry` to the device's "installed" or "launched" list; an
    earlier entry for which `same(earlier)` is true is dropped first."""
    with root.lock():
        devices = load(root)
        device = _find(devices, udid)
        entries = [e for e in device.get(key, []) if same is None or not same(e)]
        device[key] = (entries + [entry])[-keep:]
        _save(root, devices)
