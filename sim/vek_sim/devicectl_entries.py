"""How devicectl presents a device: the JSON entry of `list devices` in either
of its two shapes, and the human table it prints.

The flat shape (`hardwareProperties`, `deviceProperties`,
`connectionProperties`) is what devicectl's JSON version 2 writes. The nested
shape keeps the same facts under `properties.hardware`, `properties.state`,
`properties.connection` and `properties.software`.
"""

from .devices import DEVICE_TYPES

_PLATFORMS = {"iPhone": "iOS", "iPad": "iOS", "Watch": "watchOS", "AppleTV": "tvOS", "Mac": "macOS"}
_FAMILIES = {"iPhone": [1], "iPad": [1, 2], "Watch": [4], "AppleTV": [3], "Mac": [2, 6]}
_ARM64E = {"name": "arm64e", "subType": 2, "type": 16777228}
_ARM64_32 = {"name": "arm64_32", "subType": 1, "type": 33554444}

_CAPABILITIES = [
    {"featureIdentifier": "com.apple.coredevice.feature.unpairdevice", "name": "Unpair Device"},
    {"featureIdentifier": "com.apple.coredevice.feature.connectdevice", "name": "Connect to Device"},
    {"featureIdentifier": "com.apple.coredevice.feature.acquireusageassertion", "name": "Acquire Usage Assertion"},
]


def _put(block, key, value):
    """Empty text means the device does not report the property."""
    if value not in ("", None):
        block[key] = value


def _os_build(version):
    # iOS N ships builds named (N+4)<letter><number>: 17.5 -> 21F100.
    parts = (version.split(".") + ["0", "0"])[:3]
    try:
        major, minor, patch = (int(p) for p in parts)
    except ValueError:
        return "1A100"
    return "%d%s%d" % (major + 4, chr(ord("A") + minor % 26), 100 + patch)


def _version_object(version):
    parts = (version.split(".") + ["0", "0"])[:3]
    out = {"stringValue": version}
    for key, part in zip(("majorVersion", "minorVersion", "patchVersion"), parts):
        if part.isdigit():
            out[key] = int(part)
    return out


def _hostnames(device):
    return ["%s.coredevice.local" % device["udid"], "%s.coredevice.local" % device["identifier"]]


def hardware(device):
    kind = device["type"]
    block = {
        "cpuType": dict(_ARM64_32 if kind == "Watch" else _ARM64E),
        "deviceType": DEVICE_TYPES[kind],
        "ecid": device["ecid"],
        "isProductionFused": True,
        "platform": _PLATFORMS[kind],
        "reality": device["reality"],
        "supportedDeviceFamilies": list(_FAMILIES[kind]),
        "udid": device["udid"],
    }
    _put(block, "marketingName", device["model"])
    _put(block, "productType", device["productType"])
    _put(block, "thinningProductType", device["productType"])
    return block


def _flat(device):
    connected = device["state"] == "connected"
    props = {
        "bootState": "booted",
        "ddiServicesAvailable": connected,
        "developerModeStatus": "enabled" if device["developerMode"] else "disabled",
        "hasInternalOSBuild": False,
    }
    _put(props, "name", device["name"])
    _put(props, "osVersionNumber", device["os"])
    if device["os"]:
        props["osBuildUpdate"] = _os_build(device["os"])
    conn = {
        "authenticationType": "manualPairing",
        "isMobileDeviceOnly": False,
        "pairingState": "paired" if device["paired"] else "unpaired",
        "potentialHostnames": _hostnames(device),
        "tunnelTransportProtocol": "tcp",
    }
    _put(conn, "transportType", device["transport"])
    _put(conn, "tunnelState", device["state"])
    if connected:
        conn["localHostnames"] = _hostnames(device)
        conn["tunnelIPAddress"] = "fd00:0:0:1::%x" % (device["ecid"] % 0xFFFF + 1)
    return {"connectionProperties": conn, "deviceProperties": props, "hardwareProperties": hardware(device)}


def _nested(device):
    # devicectl models Developer Mode as an enum, so the member present names
    # the case. A reader counts a present `enabled` as on whatever its value;
    # writing {"enabled": false} for "off" would therefore read as on.
    state = {"developerModeStatus": {"enabled": True} if device["developerMode"] else {"disabled": True}}
    _put(state, "name", device["name"])
    connection = {"pairingState": "paired" if device["paired"] else "unpaired"}
    _put(connection, "state", device["state"])
    _put(connection, "transportType", device["transport"])
    software = {}
    if device["os"]:
        software["osVersionNumber"] = _version_object(device["os"])
        software["osBuildUpdate"] = _os_build(device["os"])
    return {"properties": {
        "connection": connection,
        "hardware": hardware(device),
        "software": software,
        "state": state,
    }}


def entry(device):
    out = {
        "capabilities": [dict(c) for c in _CAPABILITIES],
        "identifier": device["identifier"],
        "tags": [],
        "visibilityClass": "default",
    }
    out.update(_nested(device) if device["shape"] == "nested" else _flat(device))
    return out


# --- the human table ------------------------------------------------------

def _get(value, *path):
    for key in path:
        value = value.get(key) if isinstance(value, dict) else None
    return value


def _row(item):
    """Table cells read back from either shape of entry, so a raw listing
    set by a test still gets a table."""
    hw = _get(item, "properties", "hardware") or _get(item, "hardwareProperties") or {}
    name = _get(item, "properties", "state", "name") or _get(item, "deviceProperties", "name") or ""
    state = _get(item, "properties", "connection", "state") or _get(item, "connectionProperties", "tunnelState") or ""
    paired = (_get(item, "properties", "connection", "pairingState")
              or _get(item, "connectionProperties", "pairingState")) == "paired"
    if state == "disconnected":
        state = "available (paired)" if paired else "available"
    elif not state:
        state = "unavailable"
    model, product = _get(hw, "marketingName"), _get(hw, "productType")
    if model and product:
        model = "%s (%s)" % (model, product)
    udid = _get(hw, "udid") or ""
    cells = [name, "%s.coredevice.local" % udid if udid else "", _get(item, "identifier") or "", state, model or product or ""]
    return [c if isinstance(c, str) else str(c) for c in cells]


def table(items):
    if not items:
        return "No devices found.\n"
    header = ["Name", "Hostname", "Identifier", "State", "Model"]
    rows = [_row(i) for i in items if isinstance(i, dict)]
    widths = [max(len(r[c]) for r in [header] + rows) for c in range(len(header))]

    def line(cells):
        return "   ".join(cell.ljust(w) for cell, w in zip(cells, widths)).rstrip()

    out = ["Devices:", line(header), "   ".join("-" * w for w in widths)]
    out += [line(r) for r in rows]
    return "\n".join(out) + "\n"
