import os
import subprocess
import zipfile

import simtest


class Export(simtest.AppCase):
    def setUp(self):
        super().setUp()
        self.project = self.new_project("Shop.xcodeproj", "--bundle-id", "com.example.shop", "--extension", "Share",
                                        "--push", "automatic")
        _, self.archive_path = self.archive(self.project)

    def ipas(self, export):
        return sorted(e for e in os.listdir(export) if e.lower().endswith(".ipa"))

    def test_methods_sign_for_development_or_ad_hoc(self):
        for method, debuggable, aps, identity in (("debugging", True, "development", "Apple Development"),
                                                  ("release-testing", False, "production", "Apple Distribution")):
            with self.subTest(method=method):
                result, export = self.export(self.archive_path, method, export=method)
                self.assertIn("** EXPORT SUCCEEDED **", result.stdout)
                self.assertEqual(self.ipas(export), ["Shop.ipa"])
                for name in ("ExportOptions.plist", "DistributionSummary.plist", "Packaging.log"):
                    self.assertTrue(os.path.isfile(os.path.join(export, name)), name)
                with zipfile.ZipFile(os.path.join(export, "Shop.ipa")) as zf:
                    names = zf.namelist()
                self.assertTrue(all(n.startswith("Payload/") for n in names))
                self.assertIn("Payload/Shop.app/PlugIns/Share.appex/embedded.mobileprovision", names)
                app = self.unpack(os.path.join(export, "Shop.ipa"), "Extracted-" + method)
                signed = self.entitlements(app)
                self.assertEqual((signed["get-task-allow"], signed["aps-environment"]), (debuggable, aps))
                profile = self.profile(app)["Entitlements"]
                self.assertEqual((profile["get-task-allow"], profile["aps-environment"]), (debuggable, aps))
                self.assertIs(self.entitlements(os.path.join(app, "PlugIns", "Share.appex"))["get-task-allow"],
                              debuggable)
                shown = self.tool("codesign", "-d", "-v", app).stderr
                self.assertIn("Authority=%s" % identity, shown)
                verify = self.tool("codesign", "--verify", "--deep", "--strict", app)
                self.assertEqual(verify.returncode, 0, verify.stderr)

    def test_export_leaves_the_archive_signed_for_development(self):
        self.export(self.archive_path, "release-testing")
        app = os.path.join(self.archive_path, "Products", "Applications", "Shop.app")
        self.assertIs(self.entitlements(app)["get-task-allow"], True)
        self.assertEqual(self.tool("codesign", "--verify", "--deep", "--strict", app).returncode, 0)

    def test_unknown_methods_and_other_teams_are_refused(self):
        for options, message in ((dict(method="over-the-air"), 'for key "method"'),
                                 (dict(method="app-store-connect"), "app-store-connect"),
                                 (dict(teamID="ZZZZZ99999"), 'No Account for Team "ZZZZZ99999"')):
            with self.subTest(options=options):
                result, export = self.export(self.archive_path, options.get("method", "debugging"), ok=False,
                                             options=options, export="refused")
                self.assertEqual(result.returncode, 70)
                self.assertIn(message, result.stderr)
                self.assertIn("** EXPORT FAILED **", result.stdout)
                self.assertEqual(self.ipas(export) if os.path.isdir(export) else [], [])

    def test_deprecated_method_name_is_accepted_with_xcodes_warning(self):
        result, export = self.export(self.archive_path, "ad-hoc")
        self.assertIn('Command line name "ad-hoc" is deprecated. Use "release-testing" instead.', result.stderr)
        app = self.unpack(os.path.join(export, "Shop.ipa"))
        self.assertIs(self.entitlements(app)["get-task-allow"], False)

    def test_missing_archive_or_options(self):
        result = self.tool("xcrun", "xcodebuild", "-exportArchive", "-archivePath", os.path.join(self.tmp, "No.xcarchive"),
                           "-exportPath", os.path.join(self.tmp, "E"), "-exportOptionsPlist",
                           os.path.join(self.tmp, "none.plist"))
        self.assertNotEqual(result.returncode, 0)
        result = self.tool("xcrun", "xcodebuild", "-exportArchive", "-archivePath", self.archive_path)
        self.assertEqual(result.returncode, 64)


class ExportFaults(simtest.AppCase):
    def setUp(self):
        super().setUp()
        project = self.new_project("App.xcodeproj", "--bundle-id", "com.example.app")
        _, self.archive_path = self.archive(project)

    def faulty_export(self, mode):
        self.sim("fault", "set", self.root, "xcodebuild-export", mode)
        return self.export(self.archive_path, ok=False, export=mode)

    def zipinfo(self, option, ipa):
        return subprocess.run([os.path.join(self.root, "usr/bin/zipinfo"), option, ipa], capture_output=True,
                              text=True).stdout.splitlines()

    def test_export_folder_shapes(self):
        for mode, expected in (("no-ipa", []), ("two-ipas", ["App 2.ipa", "App.ipa"]), ("upper-ipa", ["App.IPA"])):
            with self.subTest(mode=mode):
                result, export = self.faulty_export(mode)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(sorted(e for e in os.listdir(export) if e.lower().endswith(".ipa")), expected)
        result, export = self.faulty_export("no-folder")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(export))

    def test_unusual_ipa_contents(self):
        _, export = self.faulty_export("symlink")
        ipa = os.path.join(export, "App.ipa")
        self.assertTrue(any(line.startswith("l") and line.endswith("Payload/App.app/Link.plist")
                            for line in self.zipinfo("-l", ipa)))
        _, export = self.faulty_export("unsafe-path")
        self.assertIn("Payload/../../escaped.txt", self.zipinfo("-1", os.path.join(export, "App.ipa")))
        _, export = self.faulty_export("two-apps")
        destination = os.path.join(self.tmp, "two")
        self.assertEqual(self.tool("ditto", "-x", "-k", os.path.join(export, "App.ipa"), destination).returncode, 0)
        self.assertEqual(sorted(os.listdir(os.path.join(destination, "Payload"))), ["App.app", "Second.app"])

    def test_tampered_app_fails_verification(self):
        _, export = self.faulty_export("tamper")
        app = self.unpack(os.path.join(export, "App.ipa"))
        result = self.tool("codesign", "--verify", "--deep", "--strict", app)
        self.assertEqual(result.returncode, 1)
        self.assertIn("file modified: %s" % os.path.join(app, "Assets.car"), result.stderr)

    def test_exit(self):
        result, export = self.faulty_export("exit")
        self.assertEqual(result.returncode, 70)
        self.assertTrue(result.stderr.startswith("error: exportArchive: "), result.stderr)
        self.assertFalse(os.path.exists(os.path.join(export, "App.ipa")))


class Padding(simtest.AppCase):
    def test_padding_makes_an_ipa_of_the_asked_size(self):
        project = self.new_project("Big.xcodeproj", "--bundle-id", "com.example.big", "--pad-bytes", "6M")
        _, archive = self.archive(project)
        _, export = self.export(archive)
        size = os.path.getsize(os.path.join(export, "Big.ipa"))
        self.assertGreaterEqual(size, 6 << 20)
        self.assertLess(size, (6 << 20) + (256 << 10))
        app = self.unpack(os.path.join(export, "Big.ipa"))
        self.assertEqual(os.path.getsize(os.path.join(app, "Resources.pak")), 6 << 20)
        self.assertEqual(self.tool("codesign", "--verify", "--deep", "--strict", app).returncode, 0)


if __name__ == "__main__":
    import unittest
    unittest.main()
