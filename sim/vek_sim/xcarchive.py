"""`xcodebuild archive`: builds the scheme's app from the project's settings
into an .xcarchive laid out as Xcode lays it out, signed for development,
and prints a transcript shaped like xcodebuild's.

The archive is assembled beside its final path and renamed into place, so a
failed or killed run never leaves half an archive under that name.
"""

import datetime
import os
import plistlib
import shutil
import sys
import time

from . import bundles, cms, faults, team as teams, xctargets
from .toolerror import ToolExit
from .xcodebuild import container

XCODEBUILD = "/Applications/Xcode.app/Contents/Developer/usr/bin/xcodebuild"
_DESTINATIONS = {"generic/platform=iOS": "device", "generic/platform=iOS Simulator": "simulator"}


def _out(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def _fail(lines, target, project_name, status=65):
    """Ends the run as a failed build: the errors in the transcript, the
    summary on standard error."""
    _out("".join("%s (in target '%s' from project '%s')\n" % (line, target, project_name) for line in lines))
    _out("\n** ARCHIVE FAILED **\n\n")
    raise ToolExit(status, "\nThe following build commands failed:\n\tArchiving project %s with scheme %s\n"
                           "(1 failure)\n" % (project_name, target))


def _header(argv, options, settings, archive_path, derived):
    lines = ["Command line invocation:", "    " + " ".join([XCODEBUILD] + list(argv)), "",
             "User defaults from command line:", "    IDEArchivePathOverride = %s" % archive_path]
    if derived:
        lines.append("    IDEDerivedDataPathOverride = %s" % derived)
    lines.append("    IDEPackageSupportUseBuiltinSCM = YES")
    if settings:
        lines += ["", "Build settings from command line:"]
        lines += ["    %s = %s" % (k, v) for k, v in sorted(settings.items())]
    if "-allowProvisioningUpdates" in options:
        lines += ["", "Automatic signing may create and update provisioning profiles."]
    return "\n".join(lines) + "\n\nPrepare packages\n\n"


def _graph(app, project_name):
    lines = ["ComputeTargetDependencyGraph", "note: Building targets in dependency order",
             "note: Target dependency graph (%d targets)" % (1 + len(app["embedded"])),
             "    Target '%s' in project '%s'" % (app["name"], project_name)]
    lines += ["    ➜ Explicit dependency on target '%s' in project '%s'" % (t["name"], project_name)
              for _, t in app["embedded"]]
    lines += ["    Target '%s' in project '%s' (no dependencies)" % (t["name"], project_name) for _, t in app["embedded"]]
    return "\n".join(lines) + "\n\nGatherProvisioningInputs\n\nCreateBuildDescription\n\n"


def _build_steps(target, product, project_name, project_dir, identity, sha1, profile_name):
    where = "(in target '%s' from project '%s')" % (target["name"], project_name)
    name = target["settings"].get("PRODUCT_NAME") or target["name"]
    return ("CompileSwiftSources normal arm64 com.apple.xcode.tools.swift.compiler %s\n    cd %s\n\n"
            "Ld %s/%s normal %s\n    cd %s\n\n"
            "ProcessInfoPlistFile %s/Info.plist %s\n    cd %s\n\n"
            "CodeSign %s %s\n    cd %s\n\n    Signing Identity:     \"%s\"\n    Provisioning Profile: \"%s\"\n\n"
            "    /usr/bin/codesign --force --sign %s --entitlements %s.xcent --timestamp\\=none "
            "--generate-entitlement-der %s\n\n") % (
                where, project_dir, product, name, where, project_dir, product, where, project_dir,
                product, where, project_dir, identity, profile_name, sha1, product, product)


def _archive_path(options):
    path = options.get("-archivePath")
    if not path:
        now = datetime.datetime.now()
        path = os.path.expanduser(now.strftime("~/Library/Developer/Xcode/Archives/%Y-%m-%d/App %d-%m-%Y, %H.%M"))
    path = os.path.abspath(path)
    return path if path.endswith(".xcarchive") else path + ".xcarchive"


def _platform(options, app):
    destination = options.get("-destination")
    if destination is not None and destination not in _DESTINATIONS:
        raise ToolExit(70, "xcodebuild: error: Unable to find a destination matching the provided destination "
                           "specifier:\n\t\t{ %s }\n" % destination.replace("=", ":"))
    wanted = _DESTINATIONS.get(destination, "device")
    settings = app["settings"]
    if "iphonesimulator" in (settings.get("SDKROOT"), settings.get("SUPPORTED_PLATFORMS")):
        return "simulator"
    return wanted


def _push(app, project_dir):
    """The app's push setting: None, a pinned environment, or "automatic"."""
    settings = app["settings"]
    path = settings.get("CODE_SIGN_ENTITLEMENTS")
    if not path:
        return None
    try:
        with open(os.path.join(project_dir, path), "rb") as f:
            entitlements = plistlib.load(f)
    except (OSError, ValueError, plistlib.InvalidFileException):
        return None
    aps = entitlements.get("aps-environment") if isinstance(entitlements, dict) else None
    if not isinstance(aps, str):
        return None
    return "automatic" if settings.get("VEKSIM_PUSH_FOLLOWS_EXPORT") == "YES" else aps


def run(root, options, settings, argv):
    if "-scheme" not in options:
        raise ToolExit(64, "xcodebuild: error: The archive action requires that a scheme be specified "
                           "with the -scheme option.\n")
    kind, path = container(options)
    archive_path = _archive_path(options)
    derived = os.path.abspath(options["-derivedDataPath"]) if "-derivedDataPath" in options else None
    _out(_header(argv, options, settings, archive_path, derived))
    mode = faults.take(root, "xcodebuild-archive", path)
    if mode == "hang":
        faults.hang()
    if mode == "slow":
        time.sleep(30)
    try:
        scheme_file, base = xctargets.locate_scheme(kind, path, options["-scheme"])
        project, target_id, configuration = xctargets.scheme_target(scheme_file, base)
        configuration = options.get("-configuration", configuration)
        app = xctargets.read_app(project, target_id, configuration, settings)
    except xctargets.ReadError as e:
        raise ToolExit(65, "xcodebuild: error: %s\n" % e)
    project_name = os.path.basename(os.path.normpath(project))[:-len(".xcodeproj")]
    project_dir = os.path.dirname(os.path.abspath(os.path.normpath(project)))
    _out(_graph(app, project_name))
    if mode == "exit":
        _fail(["%s/%s/ContentView.swift:4:9: error: cannot find 'Txt' in scope" % (project_dir, app["name"])],
              app["name"], project_name)

    team = teams.load(root)
    for target in [app] + [t for _, t in app["embedded"]]:
        team_id = target["settings"].get("DEVELOPMENT_TEAM", "")
        if not team_id:
            _fail(['error: Signing for "%s" requires a development team. Select a development team in the '
                   'Signing & Capabilities editor.' % target["name"]], target["name"], project_name)
        if team_id != team["teamID"]:
            _fail(['error: No Account for Team "%s". Add a new account in Accounts settings or verify that your '
                   'accounts have valid credentials.' % team_id], target["name"], project_name)
        if not target["settings"].get("PRODUCT_BUNDLE_IDENTIFIER"):
            _fail(["error: Bundle identifier is missing. %s doesn't have a bundle identifier. Add a value for "
                   "PRODUCT_BUNDLE_IDENTIFIER in the build settings editor." % target["name"]],
                  target["name"], project_name)

    platform = _platform(options, app)
    name = app["settings"].get("PRODUCT_NAME") or app["name"]
    staging = "%s.partial-%d" % (archive_path, os.getpid())
    shutil.rmtree(staging, ignore_errors=True)
    try:
        app_dir = os.path.join(staging, "Products", "Applications", name + ".app")
        info = bundles.make(app_dir, app, "app", platform)
        plan = [bundles.plan_entry("", info, app, _push(app, project_dir))]
        built = [(app, app_dir)]
        for folder, target in app["embedded"]:
            kind = "extension" if folder == "PlugIns" else "watch"
            product = (target["settings"].get("PRODUCT_NAME") or target["name"]) + (
                ".appex" if kind == "extension" else ".app")
            inner_dir = os.path.join(app_dir, folder, product)
            inner = bundles.make(inner_dir, target, kind, platform)
            plan.append(bundles.plan_entry(folder + "/" + product, inner, target, None))
            built.append((target, inner_dir))
        try:
            identity = bundles.sign_app(root, team, app_dir, plan, "development")
        except cms.CMSError as e:
            _fail(["error: Code signing failed: %s" % e], app["name"], project_name)
        sha1 = next(i["sha1"] for i in team["identities"] if i["name"] == identity)
        for index in reversed(range(len(built))):
            target, product = built[index]
            profile = "iOS Team Provisioning Profile: %s" % plan[index]["identifier"]
            _out(_build_steps(target, product.replace(staging, archive_path), project_name, project_dir,
                              identity, sha1, profile))
        dsym = os.path.join(staging, "dSYMs", name + ".app.dSYM", "Contents")
        os.makedirs(os.path.join(dsym, "Resources", "DWARF"))
        with open(os.path.join(dsym, "Resources", "DWARF", name), "wb") as f:
            f.write(b"\xcf\xfa\xed\xfe" + info["CFBundleIdentifier"].encode())
        with open(os.path.join(dsym, "Info.plist"), "wb") as f:
            plistlib.dump({"CFBundleIdentifier": "com.apple.xcode.dsym." + info["CFBundleIdentifier"],
                           "CFBundlePackageType": "dSYM"}, f, sort_keys=True)
        archive_info = {
            "ApplicationProperties": {
                "ApplicationPath": "Applications/%s.app" % name, "Architectures": ["arm64"],
                "CFBundleIdentifier": info["CFBundleIdentifier"],
                "CFBundleShortVersionString": info["CFBundleShortVersionString"],
                "CFBundleVersion": info["CFBundleVersion"], "SigningIdentity": identity, "Team": team["teamID"],
            },
            "ArchiveVersion": 2,
            "CreationDate": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0, tzinfo=None),
            "Name": name, "SchemeName": options["-scheme"],
            bundles.PLAN_KEY: {"bundles": plan, "platform": platform},
        }
        with open(os.path.join(staging, "Info.plist"), "wb") as f:
            plistlib.dump(archive_info, f, sort_keys=True)
        if derived:
            os.makedirs(os.path.join(derived, "Build", "Intermediates.noindex", "ArchiveIntermediates",
                                     options["-scheme"]), exist_ok=True)
            os.makedirs(os.path.join(derived, "Logs", "Build"), exist_ok=True)
        os.makedirs(os.path.dirname(archive_path), exist_ok=True)
        if os.path.isdir(archive_path):
            shutil.rmtree(archive_path)
        os.rename(staging, archive_path)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    _out("** ARCHIVE SUCCEEDED **\n\n")
    return 0
