"""devicectl's app commands: `device install app` and `device process
launch`, acted out on the simulated devices.

A device takes an app the way a real one does: it must be reachable, paired
and in Developer Mode, and the app must be an iOS app for its OS version
whose embedded profile is valid and names the device (the code signature
itself is left to codesign). What was installed and launched is recorded on
the device and shown by `vek-sim device show`. Failures print devicectl's
`ERROR: ...` text and exit 1.
"""

import datetime
import hashlib
import os
import plistlib
import sys
import uuid

from . import applejson, cms, devices, faults
from .toolerror import ToolExit

_INSTALL_OPTIONS = {"--device": ("device", True), "-d": ("device", True), "--json-output": ("path", True),
                    "-j": ("path", True), "--timeout": ("seconds", True), "-t": ("seconds", True),
                    "--quiet": ("quiet", False), "-q": ("quiet", False), "--verbose": ("verbose", False),
                    "-v": ("verbose", False), "--log-output": ("log", True)}
_LAUNCH_OPTIONS = dict(_INSTALL_OPTIONS, **{"--terminate-existing": ("terminate", False),
                                            "--start-stopped": ("stopped", False), "--console": ("console", False),
                                            "--environment-variables": ("environment", True)})


def _usage(command, message):
    from .devicectl import _usage_error
    _usage_error(command, message)


def _error(text):
    raise ToolExit(1, "ERROR: %s\n" % text)


def _install_failed(reason, recovery=None):
    text = ("Failed to install the app on the device. (com.apple.dt.CoreDeviceError error 3002 (0xBBA))\n"
            "           NSLocalizedFailureReason = %s" % reason)
    if recovery:
        text += "\n           NSLocalizedRecoverySuggestion = %s" % recovery
    _error(text)


def _split(command, args, known, parse):
    """Options, then the positional arguments (devicectl allows them anywhere)."""
    options, positional, rest = {}, [], list(args)
    while rest:
        arg = rest.pop(0)
        if arg.startswith("-"):
            name = arg.split("=", 1)[0]
            if name in known and known[name][1] and "=" not in arg:
                if not rest:
                    parse(command, [arg], known)
                options.update(parse(command, [arg, rest.pop(0)], known))
            else:
                options.update(parse(command, [arg], known))
        else:
            positional.append(arg)
    return options, positional


def _device(root, wanted):
    for device in devices.load(root):
        if wanted in (device["udid"], device["identifier"], device["name"], str(device["ecid"])):
            return device
    _error("The specified device was not found. (Name: %s) (com.apple.dt.CoreDeviceError error 1000 (0x3E8))\n"
           "           DeviceName = %s" % (wanted, wanted))


def _reachable(device):
    if not device["paired"]:
        _error("The device must be paired before it can be connected. (com.apple.dt.CoreDeviceError error 2 (0x02))")
    if device["state"] in ("", "unavailable"):
        _error("A connection to this device could not be established. (com.apple.dt.CoreDeviceError error 4000)\n"
               "Timed out while attempting to establish tunnel (com.apple.dt.RemotePairingError error 1001)")
    if not device["developerMode"]:
        _error("The operation failed because Developer Mode is disabled. (com.apple.dt.CoreDeviceError error 10005)")


def _tunnel(quiet):
    if quiet:
        return
    now = datetime.datetime.now().strftime("%H:%M:%S")
    sys.stdout.write("%s  Acquired tunnel connection to device.\n%s  Enabling developer disk image services.\n"
                     "%s  Acquired usage assertion.\n" % (now, now, now))
    sys.stdout.flush()


def _version_key(text):
    return [int(part) if part.isdigit() else 0 for part in str(text).split(".")]


def _check_app(app, device):
    """The bundle identifier of an app the device accepts."""
    try:
        with open(os.path.join(app, "Info.plist"), "rb") as f:
            info = plistlib.load(f)
        identifier = info["CFBundleIdentifier"]
        if not isinstance(identifier, str) or not identifier:
            raise ValueError("no bundle identifier")
    except (OSError, ValueError, KeyError, TypeError, plistlib.InvalidFileException):
        _install_failed("The application's Info.plist could not be read or has no CFBundleIdentifier.")
    name = info.get("CFBundleName", os.path.basename(app))
    platforms = info.get("CFBundleSupportedPlatforms")
    if "iPhoneOS" not in (platforms if isinstance(platforms, list) else []):
        _install_failed("This app is not made for this device. Unable to Install “%s”." % name)
    if device["os"] and _version_key(info.get("MinimumOSVersion", "0")) > _version_key(device["os"]):
        _install_failed("This app requires iOS %s or later. Unable to Install “%s”."
                        % (info.get("MinimumOSVersion"), name))
    try:
        with open(os.path.join(app, "embedded.mobileprovision"), "rb") as f:
            profile = plistlib.loads(cms.content(f.read()))
        if not isinstance(profile, dict):
            raise ValueError("not a dictionary")
    except (OSError, ValueError, cms.CMSError, plistlib.InvalidFileException):
        _install_failed("This app cannot be installed because its integrity could not be verified.",
                        "Failed to verify code signature of %s : 0xe8008015 (A valid provisioning profile for "
                        "this executable was not found.)" % app)
    expires = profile.get("ExpirationDate")
    if not isinstance(expires, datetime.datetime) or expires <= datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None):
        _install_failed("This app cannot be installed because its integrity could not be verified.",
                        "Failed to verify code signature of %s : 0xe8008018 (The identity used to sign the "
                        "executable is no longer valid.)" % app)
    provisioned = profile.get("ProvisionedDevices")
    if not profile.get("ProvisionsAllDevices") and device["udid"] not in (provisioned if isinstance(provisioned, list)
                                                                            else []):
        _install_failed("This app cannot be installed because its integrity could not be verified.",
                        "Failed to install embedded profile for %s : 0xe8008012 (This provisioning profile "
                        "cannot be installed on this device.)" % identifier)
    return identifier, info


def _info_block(argv, command, outcome="success"):
    environment = {"TERM": os.environ["TERM"]} if "TERM" in os.environ else {}
    return {"arguments": ["devicectl"] + list(argv), "commandType": command, "environment": environment,
            "jsonVersion": 2, "outcome": outcome, "version": "397.28"}


def install(root, argv, args, parse, write_output):
    options, positional = _split("device install app", args, _INSTALL_OPTIONS, parse)
    if "device" not in options:
        parse("device install app", ["--device"], _INSTALL_OPTIONS)
    if len(positional) != 1:
        _usage("device install app", "Unexpected argument '%s'" % positional[1] if positional
               else "Missing expected argument '<path>'")
    wanted, app = options["device"], positional[0]
    mode = faults.take(root, "devicectl-install", wanted)
    if mode == "hang":
        faults.hang()
    device = _device(root, wanted)
    _reachable(device)
    _tunnel(options.get("quiet"))
    if mode == "exit":
        _error("Failed to install the app on the device. (com.apple.dt.CoreDeviceError error 3002)\n"
               "Could not get service com.apple.remote.installcoordination_proxy (IXRemoteErrorDomain error 5)")
    if not os.path.isdir(app):
        _error("Could not obtain access to one or more requested file system resources because CoreDevice was "
               "unable to create bookmark data. (com.apple.dt.CoreDeviceError error 1005.)\n"
               "         NSURL = file://%s\n" % os.path.abspath(app) + "-" * 80 +
               "\nERROR: The file couldn’t be opened because it doesn’t exist. (NSCocoaErrorDomain error 260.)")
    identifier, info = _check_app(app, device)
    container = str(uuid.UUID(hashlib.sha256((device["udid"] + identifier).encode()).hexdigest()[:32])).upper()
    url = "file:///private/var/containers/Bundle/Application/%s/%s/" % (container, os.path.basename(
        os.path.normpath(app)))
    entry = {"bundleID": identifier, "databaseSequenceNumber": 1000 + len(device.get("installed", [])),
             "databaseUUID": str(uuid.uuid4()).upper(), "installationURL": url, "launchServicesIdentifier": "unknown",
             "options": {}}
    devices.record(root, device["udid"], "installed", dict(entry, **{
        "version": info.get("CFBundleShortVersionString", ""), "build": info.get("CFBundleVersion", ""),
        "source": os.path.abspath(app), "installedAt": datetime.datetime.now(datetime.timezone.utc).isoformat()}),
        same=lambda e: e.get("bundleID") == identifier)
    if not options.get("quiet"):
        sys.stdout.write("".join("%d%%... " % p for p in (4, 12, 20, 36, 52, 68, 84, 96)) + "Complete!\n"
                         "App installed:\n" + "".join("• %s: %s\n" % (k, entry[k] if k != "options" else "")
                                                      for k in ("bundleID", "installationURL",
                                                                "launchServicesIdentifier", "databaseUUID",
                                                                "databaseSequenceNumber", "options")))
    if "path" in options:
        write_output(options["path"], applejson.dumps({
            "info": _info_block(argv, "devicectl.device.install.app"),
            "result": {"deviceIdentifier": device["identifier"], "installedApplications": [entry]}}))
    return 0


def launch(root, argv, args, parse, write_output):
    options, positional = _split("device process launch", args, _LAUNCH_OPTIONS, parse)
    if "device" not in options:
        parse("device process launch", ["--device"], _LAUNCH_OPTIONS)
    if not positional:
        _usage("device process launch", "Missing expected argument '<bundle-identifier-or-path>'")
    wanted, bundle_id = options["device"], positional[0]
    mode = faults.take(root, "devicectl-launch", wanted)
    device = _device(root, wanted)
    _reachable(device)
    _tunnel(options.get("quiet"))
    failed = ("The application failed to launch. (com.apple.dt.CoreDeviceError error 10002 (0x2712))\n"
              "       BundleIdentifier = %s\n" % bundle_id)
    if mode == "exit":
        _error(failed + "           The request to open \"%s\" failed. (FBSOpenApplicationServiceErrorDomain "
                        "error 1 (0x01))" % bundle_id)
    if device["locked"]:
        _error(failed + '           The request was denied by service delegate (SBMainWorkspace) for reason: '
                        'Locked ("Unable to launch %s because the device was not, or could not be, unlocked").\n'
                        '           BSErrorCodeDescription = Locked' % bundle_id)
    installed = [e for e in device.get("installed", []) if e.get("bundleID") == bundle_id]
    if not installed:
        _error(failed + '           The request to open "%s" failed. The application is not installed. '
                        '(FBSOpenApplicationServiceErrorDomain error 4 (0x04))' % bundle_id)
    pid = 1000 + int(hashlib.sha256(os.urandom(8)).hexdigest()[:4], 16) % 60000
    devices.record(root, device["udid"], "launched", {
        "bundleID": bundle_id, "processIdentifier": pid, "terminatedExisting": bool(options.get("terminate")),
        "arguments": positional[1:], "launchedAt": datetime.datetime.now(datetime.timezone.utc).isoformat()})
    if not options.get("quiet"):
        sys.stdout.write("Launched application with %s bundle identifier.\n" % bundle_id)
    if "path" in options:
        executable = installed[-1]["installationURL"] + installed[-1]["installationURL"].rstrip("/").rsplit("/", 1)[-1][:-4]
        write_output(options["path"], applejson.dumps({
            "info": _info_block(argv, "devicectl.device.process.launch"),
            "result": {"deviceIdentifier": device["identifier"],
                       "launchOptions": {"activatedWhenStarted": True, "arguments": positional[1:],
                                         "environmentVariables": {"TERM": "vt100"}, "platformSpecificOptions": {},
                                         "startStopped": bool(options.get("stopped")),
                                         "terminateExistingInstances": bool(options.get("terminate")),
                                         "user": {"active": True}},
                       "process": {"auditToken": [12345, pid], "executable": executable, "processIdentifier": pid}}}))
    return 0
