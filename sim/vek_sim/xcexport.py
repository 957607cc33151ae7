"""`xcodebuild -exportArchive`: re-signs an archive's app for the export
method and writes exactly one NAME.ipa (a zip whose top level is Payload/)
with the files Xcode writes beside it.

"debugging" signs for development (the debugger allowed, the development
push environment); "release-testing" signs Ad Hoc with the distribution
identity (no debugger, production push). The app is staged next to the
export folder with hard links to the archive's files, so a large app costs
no copy; signing only ever replaces whole files, never writes into a linked
one. The IPA is written under a temporary name and renamed into place.
"""

import datetime
import os
import plistlib
import shutil
import sys
import zipfile

from . import bundles, cms, faults, team as teams
from .toolerror import ToolExit

METHODS = {"debugging": "development", "release-testing": "adhoc"}
DEPRECATED = {"development": "debugging", "ad-hoc": "release-testing", "app-store": "app-store-connect"}
KNOWN = ("app-store-connect", "release-testing", "enterprise", "debugging", "developer-id", "mac-application",
         "validation", "package")
_STORE_ABOVE = 1 << 20  # larger files are stored: deflating them is slow and gains little


def _failed(message, status=70):
    sys.stdout.write("** EXPORT FAILED **\n")
    sys.stdout.flush()
    raise ToolExit(status, "error: exportArchive: %s\n" % message)


def _load_options(path):
    try:
        with open(path, "rb") as f:
            options = plistlib.load(f)
    except FileNotFoundError:
        raise ToolExit(64, "xcodebuild: error: The file “%s” couldn’t be opened because there is no such file.\n"
                       % os.path.basename(path))
    except (OSError, ValueError, plistlib.InvalidFileException):
        raise ToolExit(64, "xcodebuild: error: Couldn't load -exportOptionsPlist: The data couldn’t be read "
                           "because it isn’t in the correct format.\n")
    if not isinstance(options, dict):
        raise ToolExit(64, "xcodebuild: error: Couldn't load -exportOptionsPlist: the top level is not a "
                           "dictionary.\n")
    return options


def _method(options):
    method = options.get("method", "app-store-connect")
    if not isinstance(method, str) or (method not in KNOWN and method not in DEPRECATED):
        _failed('exportOptionsPlist error for key "method": expected one of {%s}, but found %s'
                % (", ".join(KNOWN), method))
    if method in DEPRECATED:
        sys.stderr.write('IDEDistribution: Command line name "%s" is deprecated. Use "%s" instead.\n'
                         % (method, DEPRECATED[method]))
        method = DEPRECATED[method]
    if method not in METHODS:
        _failed('The simulated Mac exports only with method "debugging" or "release-testing", not "%s".' % method)
    return method


def _stage(source, target):
    def link(src, dst):
        try:
            os.link(src, dst)
        except OSError:
            shutil.copy2(src, dst)
    shutil.copytree(source, target, symlinks=True, copy_function=link)


def _replace(path, data):
    """Gives `path` new content without touching a file it may be linked to."""
    os.remove(path)
    with open(path, "wb") as f:
        f.write(data)


def _zip(ipa, payload_parent, app_name, extra):
    """Writes Payload/APP.app/... (plus `extra` (name, data, mode) entries) to `ipa`."""
    with zipfile.ZipFile(ipa, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        zf.write(payload_parent, "Payload/", zipfile.ZIP_STORED)
        for folder, dirs, files in os.walk(os.path.join(payload_parent, app_name)):
            dirs.sort()
            rel_folder = os.path.relpath(folder, payload_parent)
            zf.write(folder, "Payload/" + rel_folder + "/", zipfile.ZIP_STORED)
            links = [d for d in dirs if os.path.islink(os.path.join(folder, d))]
            for name in sorted(files) + links:
                path, arcname = os.path.join(folder, name), "Payload/%s/%s" % (rel_folder, name)
                if os.path.islink(path):
                    info = zipfile.ZipInfo(arcname)
                    info.external_attr = (0o120755 << 16)
                    zf.writestr(info, os.readlink(path), zipfile.ZIP_STORED)
                else:
                    size = os.path.getsize(path)
                    zf.write(path, arcname, zipfile.ZIP_STORED if size >= _STORE_ABOVE else zipfile.ZIP_DEFLATED)
            dirs[:] = [d for d in dirs if d not in links]
        for name, data, mode in extra:
            info = zipfile.ZipInfo(name, date_time=(2025, 1, 1, 0, 0, 0))
            info.external_attr = mode << 16
            zf.writestr(info, data)


def run(root, options, argv):
    for required in ("-archivePath", "-exportPath", "-exportOptionsPlist"):
        if required not in options:
            raise ToolExit(64, "xcodebuild: error: -exportArchive requires %s.\n" % required)
    archive = os.path.abspath(options["-archivePath"])
    export = os.path.abspath(options["-exportPath"])
    export_options = _load_options(options["-exportOptionsPlist"])
    try:
        with open(os.path.join(archive, "Info.plist"), "rb") as f:
            archive_info = plistlib.load(f)
        properties = archive_info["ApplicationProperties"]
        app_rel = properties["ApplicationPath"]
        plan = archive_info[bundles.PLAN_KEY]["bundles"]
    except (OSError, ValueError, KeyError, TypeError, plistlib.InvalidFileException):
        raise ToolExit(70, "xcodebuild: error: archive not found at path '%s'\n" % archive)
    method = _method(export_options)
    team = teams.load(root)
    for wanted in (export_options.get("teamID"), properties.get("Team")):
        if wanted not in (None, team["teamID"]):
            _failed('No Account for Team "%s". Add a new account in Accounts settings or verify that your '
                    'accounts have valid credentials.' % wanted)
    if export_options.get("signingStyle", "automatic") not in ("automatic", "manual"):
        _failed('exportOptionsPlist error for key "signingStyle": expected one of {automatic, manual}')
    if export_options.get("destination", "export") != "export":
        _failed("The simulated Mac cannot upload; set destination to export.")

    mode = faults.take(root, "xcodebuild-export")
    if mode == "hang":
        faults.hang()
    if mode == "no-folder":
        sys.stdout.write("** EXPORT SUCCEEDED **\n\n")
        return 0
    if mode == "exit":
        _failed('No signing certificate "iOS Distribution" found: No "iOS Distribution" signing certificate '
                'matching team ID "%s" with a private key was found.' % team["teamID"])

    app_name = os.path.basename(app_rel)
    name = app_name[:-len(".app")]
    started = datetime.datetime.now()
    sys.stderr.write('%s xcodebuild[%d:%d] [MT] IDEDistribution: -[IDEDistributionLogging _createLoggingBundleAtPath:]: '
                     'Created bundle at path "/var/folders/xx/T/%s_%s.xcdistributionlogs".\n'
                     % (started.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3], os.getpid(), os.getpid() * 7 % 100000,
                        name, started.strftime("%Y-%m-%d_%H-%M-%S.%f")[:-3]))
    os.makedirs(export, exist_ok=True)
    staging = os.path.join(os.path.dirname(export), ".%s.export-%d" % (os.path.basename(export), os.getpid()))
    shutil.rmtree(staging, ignore_errors=True)
    try:
        staged_app = os.path.join(staging, app_name)
        _stage(os.path.join(archive, "Products", app_rel), staged_app)
        try:
            bundles.sign_app(root, team, staged_app, plan, METHODS[method])
        except cms.CMSError as e:
            _failed("Code signing failed: %s" % e)
        extra = []
        if mode == "tamper":
            assets = os.path.join(staged_app, "Assets.car")
            with open(assets, "rb") as f:
                data = f.read()
            _replace(assets, data + b"tampered after signing")
        elif mode == "symlink":
            os.symlink("Info.plist", os.path.join(staged_app, "Link.plist"))
        elif mode == "unsafe-path":
            extra.append(("Payload/../../escaped.txt", b"outside the destination\n", 0o100644))
        elif mode == "two-apps":
            extra.append(("Payload/Second.app/Info.plist", plistlib.dumps({"CFBundleIdentifier": "com.example.second"},
                                                                         fmt=plistlib.FMT_BINARY), 0o100644))
        if mode != "no-ipa":
            ipa = os.path.join(export, name + (".IPA" if mode == "upper-ipa" else ".ipa"))
            partial = os.path.join(staging, "partial.ipa")
            _zip(partial, staging, app_name, extra)
            os.replace(partial, ipa)
            if mode == "two-ipas":
                shutil.copyfile(ipa, os.path.join(export, name + " 2.ipa"))
        used = dict(export_options, method=method)
        with open(os.path.join(export, "ExportOptions.plist"), "wb") as f:
            plistlib.dump(used, f, sort_keys=True)
        kind = METHODS[method]
        identity = next(i for i in team["identities"]
                        if i["kind"] == ("development" if kind == "development" else "distribution"))
        summary = {name + ".ipa": [{
            "certificate": {"SHA1": identity["sha1"], "type": identity["name"].split(":")[0]},
            "name": app_name, "team": {"id": team["teamID"], "name": team["teamName"]},
        }]}
        with open(os.path.join(export, "DistributionSummary.plist"), "wb") as f:
            plistlib.dump(summary, f, sort_keys=True)
        with open(os.path.join(export, "Packaging.log"), "w") as f:
            f.write("%s Packaging %s for %s with method %s\n" % (started.isoformat(), app_name, export, method))
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    sys.stdout.write("Exported %s to: %s\n** EXPORT SUCCEEDED **\n\n" % (name, export))
    return 0
