"""The products of a simulated build: app, extension and Watch app bundles
laid out as Xcode lays them out, and their signing for one kind of
distribution.

A bundle holds a binary Info.plist, PkgInfo (apps), a stand-in Mach-O
executable, a few compiled resources, optionally padding, its
embedded.mobileprovision and its _CodeSignature. The signing plan of an
archive (which bundle has which identifier, profile and push setting) is
kept in the archive's Info.plist under VEKSimulator, so that an export can
re-sign it as the project asked.
"""

import hashlib
import os
import plistlib
import shutil

from . import profiles, signing, team as teams

PLAN_KEY = "VEKSimulator"
PADDING = "Resources.pak"
_CHUNK = 4 << 20
_SDK = "18.2"
_MACHO_ARM64 = bytes.fromhex("cffaedfe0c000001000000000200000010000000e80600008500200000000000")


def _write(path, data, mode=0o644):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def _executable(identifier, version):
    """A Mach-O header followed by filler that differs per build."""
    seed = hashlib.sha256(("%s %s" % (identifier, version)).encode()).digest()
    return _MACHO_ARM64 + (seed * 512)


def pad(path, size):
    """`size` bytes of incompressible data, written in pieces."""
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = min(left, _CHUNK)
            f.write(os.urandom(piece))
            left -= piece


def _info(target, kind, platform):
    s = target["settings"]
    name = s.get("PRODUCT_NAME") or target["name"]
    info = {
        "CFBundleDevelopmentRegion": "en",
        "CFBundleExecutable": name,
        "CFBundleIdentifier": s.get("PRODUCT_BUNDLE_IDENTIFIER", ""),
        "CFBundleInfoDictionaryVersion": "6.0",
        "CFBundleName": name,
        "CFBundleShortVersionString": s.get("MARKETING_VERSION", "1.0"),
        "CFBundleVersion": s.get("CURRENT_PROJECT_VERSION", "1"),
        "DTCompiler": "com.apple.compilers.llvm.clang.1_0",
        "DTPlatformBuild": "22C146",
        "DTXcode": "1620",
        "DTXcodeBuild": "16C5032a",
    }
    if kind == "watch":
        info.update({"CFBundlePackageType": "APPL", "CFBundleSupportedPlatforms": ["WatchOS"],
                     "DTPlatformName": "watchos", "DTSDKName": "watchos11.2",
                     "MinimumOSVersion": s.get("WATCHOS_DEPLOYMENT_TARGET", "10.0"), "UIDeviceFamily": [4],
                     "WKApplication": True,
                     "WKCompanionAppBundleIdentifier": s.get("INFOPLIST_KEY_WKCompanionAppBundleIdentifier", "")})
        return info
    sdk = "iphonesimulator" if platform == "simulator" else "iphoneos"
    info.update({"CFBundleSupportedPlatforms": ["iPhoneSimulator" if platform == "simulator" else "iPhoneOS"],
                 "DTPlatformName": sdk, "DTPlatformVersion": _SDK, "DTSDKName": sdk + _SDK,
                 "MinimumOSVersion": s.get("IPHONEOS_DEPLOYMENT_TARGET", "16.0"),
                 "UIDeviceFamily": [int(f) for f in s.get("TARGETED_DEVICE_FAMILY", "1").split(",") if f.isdigit()]})
    if kind == "extension":
        info.update({"CFBundlePackageType": "XPC!", "CFBundleDisplayName": s.get("INFOPLIST_KEY_CFBundleDisplayName",
                                                                                  name),
                     "NSExtension": {"NSExtensionPointIdentifier": "com.apple.share-services",
                                     "NSExtensionPrincipalClass": "%s.ShareViewController" % name}})
    else:
        info.update({"CFBundlePackageType": "APPL", "LSRequiresIPhoneOS": True,
                     "UIApplicationSceneManifest": {"UIApplicationSupportsMultipleScenes": True},
                     "UILaunchScreen": {}, "UIRequiredDeviceCapabilities": ["arm64"]})
    return info


def make(folder, target, kind, platform):
    """Writes the unsigned bundle of `target` ("app", "extension" or
    "watch") into `folder`; returns its Info.plist dictionary."""
    os.makedirs(folder)
    info = _info(target, kind, platform)
    _write(os.path.join(folder, "Info.plist"), plistlib.dumps(info, fmt=plistlib.FMT_BINARY))
    if kind != "extension":
        _write(os.path.join(folder, "PkgInfo"), b"APPL????")
    _write(os.path.join(folder, info["CFBundleExecutable"]),
           _executable(info["CFBundleIdentifier"], info["CFBundleVersion"]), 0o755)
    _write(os.path.join(folder, "Assets.car"), hashlib.sha256(info["CFBundleIdentifier"].encode()).digest() * 64)
    if kind == "app":
        storyboard = os.path.join(folder, "Base.lproj", "LaunchScreen.storyboardc")
        os.makedirs(storyboard)
        _write(os.path.join(storyboard, "Info.plist"),
               plistlib.dumps({"UIStoryboardDesignatedEntryPointIdentifier": "UIViewController-01J"},
                              fmt=plistlib.FMT_BINARY))
        size = int(target["settings"].get("VEKSIM_PAD_BYTES", "0") or 0)
        if size > 0:
            pad(os.path.join(folder, PADDING), size)
    return info


def plan_entry(path, info, target, push):
    """How bundle `path` (relative to the app; "" for the app) is signed."""
    return {"path": path, "identifier": info["CFBundleIdentifier"],
            "profile": target["settings"].get("VEKSIM_EMBEDDED_PROFILE", "own"), "push": push or "none"}


def _entitlements(team_id, identifier, kind, aps):
    out = {"application-identifier": "%s.%s" % (team_id, identifier),
           "com.apple.developer.team-identifier": team_id,
           "get-task-allow": kind == "development",
           "keychain-access-groups": ["%s.%s" % (team_id, identifier)]}
    if aps:
        out["aps-environment"] = aps
    return out


def _aps(push, kind):
    if push in (None, "none"):
        return None
    if push == "automatic":
        return "development" if kind == "development" else "production"
    return push


def sign_app(root, team, app, plan, kind):
    """Embeds a profile of `kind` ("development" or "adhoc") in every bundle
    of the plan that asks for one and signs them all, innermost first, with
    the team's matching identity. Returns the identity's name."""
    certificate, key, name = teams.identity(root, team, "development" if kind == "development" else "distribution")
    identity = (certificate, key, name, root.file(team["ca"]["certificate"]))
    by_path = {entry["path"]: entry for entry in plan}

    def profile_of(entry):
        if entry["profile"] == "none":
            return None
        if entry["profile"] == "app":
            entry = by_path[""]
        return profiles.issue(root, team, entry["identifier"], kind, _aps(entry["push"], kind) is not None,
                              certificate)

    for entry in sorted(plan, key=lambda e: -len(e["path"])):
        bundle = os.path.join(app, entry["path"]) if entry["path"] else app
        embedded = os.path.join(bundle, "embedded.mobileprovision")
        if os.path.lexists(embedded):
            os.remove(embedded)
        shutil.rmtree(os.path.join(bundle, signing.SIGNATURE_DIR), ignore_errors=True)
        profile = profile_of(entry)
        if profile is not None:
            _write(embedded, profile)
        signing.sign(bundle, entry["identifier"], team["teamID"],
                     _entitlements(team["teamID"], entry["identifier"], kind, _aps(entry["push"], kind)), identity)
    return name
