"""Shared set-up for the tests: a fresh simulated Mac per test and ways to run
vek-sim and the stand-ins as separate processes, as the code under test does."""

import atexit
import json
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import unittest

SIM_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, SIM_DIR)
VEK_SIM = os.path.join(SIM_DIR, "vek-sim")
from vek_sim import toolroot  # noqa: E402

REFERENCE_DIR = os.path.join(os.path.dirname(os.path.dirname(SIM_DIR)), "shared", "reference")


_template = None


def _fresh_root(path):
    """A new simulated Mac at `path`. The first is made by init; later ones
    are copies of it, which spares the certificate making."""
    global _template
    if _template is None:
        holder = tempfile.mkdtemp(prefix="vek-sim-template-")
        atexit.register(shutil.rmtree, holder, True)
        _template = os.path.join(holder, "root")
        toolroot.init(_template)
    shutil.copytree(_template, path, symlinks=True)


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=30, **kwargs)


class SimCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self._tmp.cleanup)
        self.tmp = self._tmp.name
        self.root = os.path.join(self.tmp, "root")
        _fresh_root(self.root)

    def sim(self, *args, ok=True):
        result = run([sys.executable, "-IS", VEK_SIM] + list(args))
        if ok:
            self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def tool(self, name, *args, **kwargs):
        return run([os.path.join(self.root, "usr", "bin", name)] + list(args), **kwargs)

    def list_devices(self, *extra):
        """Runs the listing as the system does; returns (process, decoded file or None)."""
        out = os.path.join(self.tmp, "devices.json")
        if os.path.exists(out):
            os.remove(out)
        result = self.tool("xcrun", "devicectl", "list", "devices", "--timeout", "20", "--json-output", out, *extra)
        document = None
        if os.path.exists(out):
            with open(out) as f:
                document = json.load(f)
        return result, document

    def add_device(self, udid, *options):
        self.sim("device", "add", self.root, "--udid", udid, *options)

    def new_project(self, rel, *options):
        path = os.path.join(self.tmp, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.sim("project", "new", path, *options)
        return path

    def listing(self, *args, cwd=None):
        result = self.tool("xcrun", "xcodebuild", "-list", "-json", *args, cwd=cwd)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)


EXPORT_METHODS = {"debug": "debugging", "adhoc": "release-testing"}


class AppCase(SimCase):
    """A simulated Mac that builds: archive, export and unpack as the
    deployment pipeline runs them."""

    def archive(self, project, scheme=None, configuration="Release", *extra, ok=True, job="job"):
        work = os.path.join(self.tmp, job)
        scheme = scheme or os.path.basename(project)[:-len(".xcodeproj")]
        kind = "-workspace" if project.endswith(".xcworkspace") else "-project"
        result = self.tool("xcrun", "xcodebuild", "archive", kind, project, "-scheme", scheme, "-configuration",
                           configuration, "-destination", "generic/platform=iOS", "-archivePath",
                           os.path.join(work, "App.xcarchive"), "-derivedDataPath", os.path.join(work, "DerivedData"),
                           "-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic", *extra,
                           cwd=os.path.dirname(project))
        if ok:
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result, os.path.join(work, "App.xcarchive")

    def export(self, archive, method="debugging", ok=True, options=None, export="Export"):
        folder = os.path.dirname(archive)
        plist = os.path.join(folder, "ExportOptions-%s.plist" % method)
        values = {"destination": "export", "method": method, "signingStyle": "automatic", "thinning": "<none>",
                  "manageAppVersionAndBuildNumber": False, "teamID": "ABCDE12345"}
        values.update(options or {})
        with open(plist, "wb") as f:
            plistlib.dump(values, f)
        out = os.path.join(folder, export)
        result = self.tool("xcrun", "xcodebuild", "-exportArchive", "-archivePath", archive, "-exportPath", out,
                           "-exportOptionsPlist", plist, "-allowProvisioningUpdates")
        if ok:
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result, out

    def unpack(self, ipa, where="Extracted"):
        destination = os.path.join(os.path.dirname(os.path.dirname(ipa)), where)
        result = self.tool("ditto", "-x", "-k", ipa, destination)
        self.assertEqual(result.returncode, 0, result.stderr)
        apps = [e for e in os.listdir(os.path.join(destination, "Payload")) if e.endswith(".app")]
        self.assertEqual(len(apps), 1, apps)
        return os.path.join(destination, "Payload", apps[0])

    def built_app(self, project, mode="debug", job="job"):
        """The unpacked app of a whole archive and export for `mode`."""
        _, archive = self.archive(project, job=job)
        _, export = self.export(archive, EXPORT_METHODS[mode])
        ipas = [e for e in os.listdir(export) if e.endswith(".ipa")]
        self.assertEqual(len(ipas), 1, ipas)
        return self.unpack(os.path.join(export, ipas[0]))

    def register(self, udid, root=None):
        self.sim("team", "register-device", root or self.root, udid)

    def entitlements(self, bundle):
        result = self.tool("codesign", "-d", "--entitlements", ":-", bundle)
        self.assertEqual(result.returncode, 0, result.stderr)
        return plistlib.loads(result.stdout.encode()) if result.stdout else {}

    def profile(self, bundle):
        result = self.tool("security", "cms", "-D", "-i", os.path.join(bundle, "embedded.mobileprovision"))
        self.assertEqual(result.returncode, 0, result.stderr)
        return plistlib.loads(result.stdout.encode())

    def info(self, bundle):
        with open(os.path.join(bundle, "Info.plist"), "rb") as f:
            return plistlib.load(f)
