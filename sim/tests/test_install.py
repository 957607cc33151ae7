import json
import os
import plistlib

import simtest

UDID = "00008110-0000000000000001"


class InstallAndLaunch(simtest.AppCase):
    def setUp(self):
        super().setUp()
        self.add_device(UDID, "--name", "Test iPhone", "--os", "17.5")
        self.register(UDID)
        self.app = self.built_app(self.new_project("App.xcodeproj", "--bundle-id", "com.example.app",
                                                   "--version", "1.4", "--build", "9"))

    def install(self, udid=UDID, app=None, *extra):
        return self.tool("xcrun", "devicectl", "device", "install", "app", "--device", udid, app or self.app, *extra)

    def launch(self, udid=UDID, bundle_id="com.example.app"):
        return self.tool("xcrun", "devicectl", "device", "process", "launch", "--device", udid,
                         "--terminate-existing", bundle_id)

    def device(self):
        return json.loads(self.sim("device", "show", self.root, UDID).stdout)

    def assert_error(self, result, text):
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertTrue(result.stderr.startswith("ERROR: "), result.stderr)
        self.assertIn(text, result.stderr)

    def test_install_and_launch_are_recorded_on_the_device(self):
        out = os.path.join(self.tmp, "install.json")
        result = self.install(UDID, None, "--json-output", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("App installed:\n• bundleID: com.example.app\n", result.stdout)
        with open(out) as f:
            document = json.load(f)
        self.assertEqual(document["info"]["outcome"], "success")
        self.assertEqual(document["result"]["installedApplications"][0]["bundleID"], "com.example.app")
        result = self.launch()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith("Launched application with com.example.app bundle identifier.\n"))
        device = self.device()
        self.assertEqual([(a["bundleID"], a["version"], a["build"]) for a in device["installed"]],
                         [("com.example.app", "1.4", "9")])
        self.assertEqual([(l["bundleID"], l["terminatedExisting"]) for l in device["launched"]],
                         [("com.example.app", True)])
        self.assertEqual(self.install().returncode, 0)
        self.assertEqual(len(self.device()["installed"]), 1, "a reinstall replaces the app")

    def test_device_states_that_refuse(self):
        cases = [
            (("--paired", "off"), "The device must be paired before it can be connected."),
            (("--state", "unavailable"), "A connection to this device could not be established."),
            (("--developer-mode", "off"), "The operation failed because Developer Mode is disabled."),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                self.sim("device", "set", self.root, UDID, *options)
                self.assert_error(self.install(), message)
                self.assert_error(self.launch(), message)
                self.sim("device", "set", self.root, UDID, "--paired", "on", "--state", "connected",
                         "--developer-mode", "on")
        self.assertEqual(self.device()["installed"], [])
        self.sim("device", "remove", self.root, UDID)
        self.assert_error(self.install(), "The specified device was not found. (Name: %s)" % UDID)

    def test_locked_device_installs_but_does_not_launch(self):
        self.sim("device", "set", self.root, UDID, "--locked", "on")
        self.assertEqual(self.install().returncode, 0)
        self.assert_error(self.launch(), "Unable to launch com.example.app because the device was not, or could not "
                                         "be, unlocked")
        self.assertEqual(self.device()["launched"], [])

    def test_the_device_checks_the_app(self):
        self.assert_error(self.launch(), "The application is not installed.")
        self.assert_error(self.install(UDID, os.path.join(self.tmp, "Missing.app")), "error 1005")
        self.sim("team", "unregister-device", self.root, UDID)
        unprovisioned = self.built_app(self.new_project("Other.xcodeproj", "--bundle-id", "com.example.other"),
                                       job="other")
        self.assert_error(self.install(UDID, unprovisioned), "0xe8008012")
        self.register(UDID)
        newer = self.built_app(self.new_project("New.xcodeproj", "--bundle-id", "com.example.new", "--min-os", "18.0"),
                               job="new")
        self.assert_error(self.install(UDID, newer), "requires iOS 18.0")
        self.assertEqual(self.device()["installed"], [])

    def test_malformed_bundles_get_devicectl_errors(self):
        fake = os.path.join(self.tmp, "Fake.app")
        os.makedirs(fake)
        for info, profile, message in (([1, 2], None, "has no CFBundleIdentifier"),
                                       ({"CFBundleIdentifier": 7}, None, "has no CFBundleIdentifier"),
                                       ({"CFBundleIdentifier": "a.b", "CFBundleSupportedPlatforms": ["iPhoneOS"]},
                                        b"0\x82\x01", "0xe8008015")):
            with self.subTest(info=info):
                with open(os.path.join(fake, "Info.plist"), "wb") as f:
                    plistlib.dump(info, f)
                if profile is not None:
                    with open(os.path.join(fake, "embedded.mobileprovision"), "wb") as f:
                        f.write(profile)
                result = self.install(UDID, fake)
                self.assert_error(result, message)
                self.assertNotIn("Traceback", result.stderr)


class InstallFaults(simtest.AppCase):
    def setUp(self):
        super().setUp()
        self.add_device(UDID)
        self.add_device("OTHER")
        for udid in (UDID, "OTHER"):
            self.register(udid)
        self.app = self.built_app(self.new_project("App.xcodeproj", "--bundle-id", "com.example.app"))

    def run_devicectl(self, *args):
        return self.tool("xcrun", "devicectl", "device", *args)

    def test_install_exit_for_one_device(self):
        self.sim("fault", "set", self.root, "devicectl-install", "exit", "--only", UDID)
        result = self.run_devicectl("install", "app", "--device", UDID, self.app)
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.startswith("ERROR: Failed to install the app on the device."))
        self.assertEqual(self.run_devicectl("install", "app", "--device", "OTHER", self.app).returncode, 0)

    def test_launch_exit(self):
        self.assertEqual(self.run_devicectl("install", "app", "--device", UDID, self.app).returncode, 0)
        self.sim("fault", "set", self.root, "devicectl-launch", "exit", "--times", "1")
        launch = ("process", "launch", "--device", UDID, "--terminate-existing", "com.example.app")
        result = self.run_devicectl(*launch)
        self.assertEqual(result.returncode, 1)
        self.assertIn("The application failed to launch.", result.stderr)
        self.assertEqual(self.run_devicectl(*launch).returncode, 0)


if __name__ == "__main__":
    import unittest
    unittest.main()
