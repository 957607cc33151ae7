import json
import os
import signal
import subprocess
import time

import simtest


class DevicectlListFaults(simtest.SimCase):
    def setUp(self):
        super().setUp()
        self.add_device("U")

    def fault(self, *args):
        self.sim("fault", "set", self.root, "devicectl-list", *args)

    def test_exit_fails_without_a_file(self):
        self.fault("exit")
        result, document = self.list_devices()
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.startswith("ERROR: "), result.stderr)
        self.assertIsNone(document)

    def test_nofile_succeeds_without_a_file(self):
        self.fault("nofile")
        result, document = self.list_devices()
        self.assertEqual(result.returncode, 0)
        self.assertIsNone(document)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "devices.json")))

    def test_garbage_writes_a_file_that_is_not_json(self):
        self.fault("garbage")
        out = os.path.join(self.tmp, "g.json")
        result = self.tool("xcrun", "devicectl", "list", "devices", "--json-output", out)
        self.assertEqual(result.returncode, 0)
        with open(out) as f:
            self.assertRaises(ValueError, json.loads, f.read())

    def test_limited_fault_clears_itself(self):
        self.fault("exit", "--times", "2")
        codes = [self.list_devices()[0].returncode for _ in range(3)]
        self.assertEqual(codes, [1, 1, 0])

    def test_clear_one_or_all(self):
        self.fault("exit")
        self.sim("fault", "set", self.root, "xcodebuild-list", "garbage")
        self.sim("fault", "clear", self.root, "devicectl-list")
        self.assertEqual([f["name"] for f in json.loads(self.sim("fault", "show", self.root).stdout)],
                         ["xcodebuild-list"])
        self.assertEqual(self.list_devices()[0].returncode, 0)
        self.sim("fault", "clear", self.root)
        self.assertEqual(json.loads(self.sim("fault", "show", self.root).stdout), [])

    def test_unknown_faults_and_modes_are_refused(self):
        for args in (["no-such-point", "exit"], ["devicectl-list", "explode"],
                     ["devicectl-list", "exit", "--only", "U"], ["devicectl-list", "exit", "--times", "0"]):
            with self.subTest(args=args):
                result = self.sim("fault", "set", self.root, *args, ok=False)
                self.assertEqual(result.returncode, 1)
                self.assertIn("vek-sim: error:", result.stderr)


class Hanging(simtest.SimCase):
    """A hanging tool must still end when the runner's time-out sends SIGTERM,
    even when it was started with SIGTERM ignored."""

    def start_and_terminate(self, argv, ignore_sigterm):
        def child_setup():
            if ignore_sigterm:
                signal.signal(signal.SIGTERM, signal.SIG_IGN)
        proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                preexec_fn=child_setup)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        deadline = time.time() + 10
        while not any(c["argv"] == argv[1:] for c in self.calls()) and time.time() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        # A tool started with SIGTERM ignored takes it back when it starts to
        # hang; on a busy machine that can be well after it logged its call.
        while ignore_sigterm and self.ignores_sigterm(proc.pid) and time.time() < deadline:
            time.sleep(0.05)
        self.assertIsNone(proc.poll(), "the tool finished instead of hanging")
        proc.terminate()
        self.assertEqual(proc.wait(timeout=5), -signal.SIGTERM)

    @staticmethod
    def ignores_sigterm(pid):
        try:
            with open("/proc/%d/status" % pid) as f:
                mask = next(int(line.split()[1], 16) for line in f if line.startswith("SigIgn:"))
        except (OSError, StopIteration):
            return False
        return bool(mask & (1 << (signal.SIGTERM - 1)))

    def calls(self):
        path = os.path.join(self.root, ".vek-sim", "calls.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def test_devicectl_hang(self):
        self.sim("fault", "set", self.root, "devicectl-list", "hang")
        for ignore in (False, True):
            with self.subTest(ignore_sigterm=ignore):
                argv = [os.path.join(self.root, "usr/bin/xcrun"), "devicectl", "list", "devices",
                        "--json-output", os.path.join(self.tmp, "h%d.json" % ignore)]
                self.start_and_terminate(argv, ignore)

    def test_archive_export_and_install_hang(self):
        project = self.new_project("Slow.xcodeproj", "--bundle-id", "com.example.slow")
        xcrun = os.path.join(self.root, "usr/bin/xcrun")
        for fault in ("xcodebuild-archive", "xcodebuild-export", "devicectl-install"):
            self.sim("fault", "set", self.root, fault, "hang")
        archive = [xcrun, "xcodebuild", "archive", "-project", project, "-scheme", "Slow", "-archivePath",
                   os.path.join(self.tmp, "A.xcarchive")]
        export = [xcrun, "xcodebuild", "-exportArchive", "-archivePath", os.path.join(self.tmp, "A.xcarchive"),
                  "-exportPath", os.path.join(self.tmp, "E"), "-exportOptionsPlist", os.path.join(self.tmp, "o.plist")]
        with open(os.path.join(self.tmp, "o.plist"), "w") as f:
            f.write('<plist version="1.0"><dict><key>method</key><string>debugging</string></dict></plist>')
        self.start_and_terminate(archive, True)
        self.sim("fault", "clear", self.root, "xcodebuild-archive")
        self.assertEqual(simtest.run(archive).returncode, 0)
        self.start_and_terminate(export, False)
        self.sim("device", "add", self.root, "--udid", "U")
        self.start_and_terminate([xcrun, "devicectl", "device", "install", "app", "--device", "U",
                                  os.path.join(self.tmp, "A.xcarchive", "Products", "Applications", "Slow.app")], True)

    def test_xcodebuild_hang(self):
        project = self.new_project("App.xcodeproj", "--bundle-id", "com.example.app")
        self.sim("fault", "set", self.root, "xcodebuild-list", "hang")
        argv = [os.path.join(self.root, "usr/bin/xcodebuild"), "-list", "-json", "-project", project]
        self.start_and_terminate(argv, True)


class XcodebuildListFaults(simtest.SimCase):
    def setUp(self):
        super().setUp()
        self.app = self.new_project("App.xcodeproj", "--bundle-id", "com.example.app")
        self.other = self.new_project("Other.xcodeproj", "--bundle-id", "com.example.other")

    def run_listing(self, path):
        return self.tool("xcrun", "xcodebuild", "-list", "-json", "-project", path)

    def test_exit(self):
        self.sim("fault", "set", self.root, "xcodebuild-list", "exit")
        result = self.run_listing(self.app)
        self.assertEqual(result.returncode, 65)
        self.assertEqual(result.stdout, "")
        self.assertTrue(result.stderr.startswith("xcodebuild: error: "), result.stderr)

    def test_garbage(self):
        self.sim("fault", "set", self.root, "xcodebuild-list", "garbage")
        result = self.run_listing(self.app)
        self.assertEqual(result.returncode, 0)
        self.assertRaises(ValueError, json.loads, result.stdout)

    def test_fault_for_one_project_leaves_the_others_alone(self):
        # Given as a relative path with a "..": it must still match the
        # absolute path the listing is asked for.
        relative = os.path.relpath(self.app, os.getcwd())
        relative = os.path.join(os.path.dirname(relative), "..", os.path.basename(self.tmp), "App.xcodeproj")
        self.sim("fault", "set", self.root, "xcodebuild-list", "exit", "--only", relative)
        self.assertEqual(self.run_listing(self.app).returncode, 65)
        self.assertEqual(self.run_listing(self.other).returncode, 0)

    def test_specific_fault_wins_over_general(self):
        self.sim("fault", "set", self.root, "xcodebuild-list", "garbage")
        self.sim("fault", "set", self.root, "xcodebuild-list", "exit", "--only", self.app)
        self.assertEqual(self.run_listing(self.app).returncode, 65)
        self.assertEqual(self.run_listing(self.other).returncode, 0)
        self.assertRaises(ValueError, json.loads, self.run_listing(self.other).stdout)


if __name__ == "__main__":
    import unittest
    unittest.main()
