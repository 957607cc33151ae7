import os

import simtest


class ArchiveLayout(simtest.AppCase):
    def test_archive_of_an_app_with_an_extension_and_a_watch_app(self):
        project = self.new_project("src/Shop.xcodeproj", "--bundle-id", "com.example.shop", "--version", "3.2",
                                   "--build", "45", "--min-os", "17.0", "--extension", "Share",
                                   "--watch-app", "ShopWatch")
        result, archive = self.archive(project)
        self.assertTrue(result.stdout.startswith("Command line invocation:\n    /Applications/Xcode.app/"))
        self.assertIn("CodeSign %s/Products/Applications/Shop.app" % archive, result.stdout)
        self.assertTrue(result.stdout.rstrip().endswith("** ARCHIVE SUCCEEDED **"))
        with open(os.path.join(archive, "Info.plist"), "rb") as f:
            self.assertTrue(f.read(6) == b"<?xml ")
        archive_info = self.info(archive)
        self.assertEqual((archive_info["ArchiveVersion"], archive_info["Name"], archive_info["SchemeName"]),
                         (2, "Shop", "Shop"))
        self.assertEqual(archive_info["ApplicationProperties"]["ApplicationPath"], "Applications/Shop.app")

        app = os.path.join(archive, "Products", "Applications", "Shop.app")
        with open(os.path.join(app, "Info.plist"), "rb") as f:
            self.assertEqual(f.read(8), b"bplist00")
        info = self.info(app)
        self.assertEqual({k: info[k] for k in ("CFBundleIdentifier", "CFBundleSupportedPlatforms", "MinimumOSVersion",
                                               "CFBundleShortVersionString", "CFBundleVersion")},
                         {"CFBundleIdentifier": "com.example.shop", "CFBundleSupportedPlatforms": ["iPhoneOS"],
                          "MinimumOSVersion": "17.0", "CFBundleShortVersionString": "3.2", "CFBundleVersion": "45"})
        self.assertTrue(os.access(os.path.join(app, info["CFBundleExecutable"]), os.X_OK))
        for bundle, identifier in ((app, "com.example.shop"),
                                   (os.path.join(app, "PlugIns", "Share.appex"), "com.example.shop.Share"),
                                   (os.path.join(app, "Watch", "ShopWatch.app"), "com.example.shop.watchkitapp")):
            with self.subTest(bundle=os.path.basename(bundle)):
                self.assertEqual(self.info(bundle)["CFBundleIdentifier"], identifier)
                self.assertTrue(os.path.isdir(os.path.join(bundle, "_CodeSignature")))
                self.assertEqual(self.entitlements(bundle)["application-identifier"], "ABCDE12345." + identifier)
                self.assertIn("ABCDE12345." + identifier, self.profile(bundle)["Entitlements"]["application-identifier"])
        verify = self.tool("codesign", "--verify", "--deep", "--strict", app)
        self.assertEqual(verify.returncode, 0, verify.stderr)
        self.assertTrue(os.path.isdir(os.path.join(archive, "dSYMs", "Shop.app.dSYM")))
        self.assertEqual(os.listdir(os.path.dirname(archive)).count("App.xcarchive"), 1)

    def test_settings_come_from_the_archived_configuration(self):
        project = self.new_project("Multi.xcodeproj", "--bundle-id", "com.example.multi",
                                   "--configurations", "Debug,Release,Beta")
        settings_file = os.path.join(project, "project.pbxproj")
        with open(settings_file) as f:
            text = f.read()
        # Give the Beta configuration a version of its own, as a person would in Xcode.
        beta = text.rindex("MARKETING_VERSION", 0, text.rindex("name = Beta;"))
        text = text[:beta] + text[beta:].replace("MARKETING_VERSION = 1.0;", "MARKETING_VERSION = 9.9-beta;", 1)
        with open(settings_file, "w") as f:
            f.write(text)
        for configuration, version in (("Release", "1.0"), ("Beta", "9.9-beta")):
            with self.subTest(configuration=configuration):
                _, archive = self.archive(project, None, configuration, job=configuration)
                app = os.path.join(archive, "Products", "Applications", "Multi.app")
                self.assertEqual(self.info(app)["CFBundleShortVersionString"], version)

    def test_workspace_archives_the_project_holding_the_scheme(self):
        self.new_project("ws/App.xcodeproj", "--bundle-id", "com.example.app", "--schemes", "App,AppBeta")
        self.new_project("ws/Pods/Pods.xcodeproj", "--bundle-id", "org.cocoapods.pods")
        ws = os.path.join(self.tmp, "ws", "App.xcworkspace")
        self.sim("project", "new", ws, "--projects", "Pods/Pods.xcodeproj,App.xcodeproj")
        _, archive = self.archive(ws, "AppBeta")
        self.assertEqual(self.info(archive)["ApplicationProperties"]["CFBundleIdentifier"], "com.example.app")
        self.assertEqual(self.info(archive)["SchemeName"], "AppBeta")

    def test_archiving_again_replaces_the_archive(self):
        project = self.new_project("Again.xcodeproj", "--bundle-id", "com.example.again")
        _, archive = self.archive(project)
        stale = os.path.join(archive, "stale.txt")
        open(stale, "w").close()
        self.archive(project)
        self.assertFalse(os.path.exists(stale))


class ArchiveFailures(simtest.AppCase):
    def setUp(self):
        super().setUp()
        self.project = self.new_project("App.xcodeproj", "--bundle-id", "com.example.app")

    def expect_failure(self, *extra, status=65, message, scheme=None):
        result, archive = self.archive(self.project, scheme, "Release", *extra, ok=False)
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        self.assertIn(message, result.stdout + result.stderr)
        self.assertFalse(os.path.exists(archive))
        folder = os.path.dirname(archive)
        self.assertEqual([e for e in os.listdir(folder) if ".partial" in e] if os.path.isdir(folder) else [], [])
        return result

    def test_signing_team_must_be_this_macs(self):
        self.expect_failure("DEVELOPMENT_TEAM=ZZZZZ99999", message='No Account for Team "ZZZZZ99999"')
        no_team = self.new_project("NoTeam.xcodeproj", "--bundle-id", "com.example.noteam", "--team", "")
        result, _ = self.archive(no_team, ok=False)
        self.assertIn('Signing for "NoTeam" requires a development team', result.stdout)
        self.archive(no_team, None, "Release", "DEVELOPMENT_TEAM=ABCDE12345", job="with-team")

    def test_unknown_scheme_and_configuration(self):
        self.expect_failure(scheme="Nope", message='does not contain a scheme named "Nope"')
        result, _ = self.archive(self.project, None, "Staging", ok=False)
        self.assertEqual(result.returncode, 65)
        self.assertIn('build configuration named "Staging"', result.stderr)

    def test_fault_exit(self):
        self.sim("fault", "set", self.root, "xcodebuild-archive", "exit", "--only", self.project)
        result = self.expect_failure(message="error: cannot find 'Txt' in scope")
        self.assertIn("** ARCHIVE FAILED **", result.stdout)


if __name__ == "__main__":
    import unittest
    unittest.main()
