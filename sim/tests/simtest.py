"""Shared set-up for the tests: a fresh simulated Mac per test and ways to run
vek-sim and the stand-ins as separate processes, as the code under test does."""

import atexit
import json
import os
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
