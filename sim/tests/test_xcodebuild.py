import json
import os
import plistlib
import sys

import simtest
from vek_sim import pbxproj


def target_settings(project_path):
    """configuration name -> build settings of the app target."""
    with open(os.path.join(project_path, "project.pbxproj")) as f:
        data = pbxproj.parse(f.read())
    objects = data["objects"]
    target = objects[objects[data["rootObject"]]["targets"][0]]
    configs = objects[target["buildConfigurationList"]]["buildConfigurations"]
    return {objects[c]["name"]: objects[c]["buildSettings"] for c in configs}


class ProjectRoundTrip(simtest.SimCase):
    def test_listing_reads_back_what_was_written(self):
        path = self.new_project("src/TestApp.xcodeproj", "--bundle-id", "com.example.test",
                                "--schemes", "TestAppShareExtension,TestApp,alpha",
                                "--configurations", "Release,Debug,Beta")
        self.assertEqual(self.listing("-project", path), {"project": {
            "configurations": ["Release", "Debug", "Beta"],
            "name": "TestApp",
            "schemes": ["alpha", "TestApp", "TestAppShareExtension"],
            "targets": ["TestApp"]}})

    def test_output_is_apple_styled_and_direct_call_matches_xcrun(self):
        path = self.new_project("TestApp.xcodeproj", "--bundle-id", "com.example.test")
        via_xcrun = self.tool("xcrun", "xcodebuild", "-list", "-json", "-project", path).stdout
        direct = self.tool("xcodebuild", "-list", "-json", "-project", path).stdout
        self.assertEqual(via_xcrun, direct)
        self.assertTrue(via_xcrun.startswith('{\n  "project" : {\n    "configurations" : [\n      "Debug",'))
        self.assertTrue(via_xcrun.endswith("}\n"))

    def test_build_settings_for_every_configuration(self):
        path = self.new_project("Shop.xcodeproj", "--bundle-id", "com.example.shop", "--team", "ZYXWV98765",
                                "--min-os", "17.0", "--version", "2.3", "--build", "42",
                                "--configurations", "Debug,Release,Staging", "--signing", "manual")
        settings = target_settings(path)
        self.assertEqual(sorted(settings), ["Debug", "Release", "Staging"])
        for name, s in settings.items():
            with self.subTest(configuration=name):
                self.assertEqual((s["PRODUCT_BUNDLE_IDENTIFIER"], s["DEVELOPMENT_TEAM"],
                                  s["IPHONEOS_DEPLOYMENT_TARGET"], s["MARKETING_VERSION"],
                                  s["CURRENT_PROJECT_VERSION"], s["CODE_SIGN_STYLE"]),
                                 ("com.example.shop", "ZYXWV98765", "17.0", "2.3", "42", "Manual"))

    def test_push_setting_lands_in_the_entitlements(self):
        for push in ("none", "development", "production"):
            with self.subTest(push=push):
                path = self.new_project("%s/P.xcodeproj" % push, "--bundle-id", "com.example.p", "--push", push)
                entitlements_path = target_settings(path)["Release"]["CODE_SIGN_ENTITLEMENTS"]
                with open(os.path.join(os.path.dirname(path), entitlements_path), "rb") as f:
                    entitlements = plistlib.load(f)
                self.assertEqual(entitlements.get("aps-environment"), None if push == "none" else push)

    def test_schemes_build_the_app_target_with_the_right_configurations(self):
        path = self.new_project("A.xcodeproj", "--bundle-id", "com.example.a", "--configurations", "Debug,Release")
        from xml.etree import ElementTree
        scheme = ElementTree.parse(os.path.join(path, "xcshareddata/xcschemes/A.xcscheme")).getroot()
        self.assertEqual(scheme.find("ArchiveAction").get("buildConfiguration"), "Release")
        self.assertEqual(scheme.find("LaunchAction").get("buildConfiguration"), "Debug")
        ref = scheme.find("BuildAction/BuildActionEntries/BuildActionEntry/BuildableReference")
        with open(os.path.join(path, "project.pbxproj")) as f:
            objects = pbxproj.parse(f.read())["objects"]
        self.assertEqual(objects[ref.get("BlueprintIdentifier")]["name"], "A")
        self.assertEqual(ref.get("ReferencedContainer"), "container:A.xcodeproj")

    def test_project_without_shared_schemes(self):
        path = self.new_project("Private.xcodeproj", "--bundle-id", "com.example.p", "--schemes", "")
        self.assertEqual(self.listing("-project", path)["project"]["schemes"], [])

    def test_project_in_the_current_directory(self):
        self.new_project("here/Only.xcodeproj", "--bundle-id", "com.example.only")
        listing = self.listing(cwd=os.path.join(self.tmp, "here"))
        self.assertEqual(listing["project"]["name"], "Only")


class WorkspaceListing(simtest.SimCase):
    def test_schemes_of_referenced_projects_and_no_configurations(self):
        self.new_project("ws/App.xcodeproj", "--bundle-id", "com.example.app", "--schemes", "App,AppShare")
        self.new_project("ws/Pods/Pods.xcodeproj", "--bundle-id", "org.cocoapods", "--schemes", "Pods-App",
                         "--configurations", "Debug,Release,Beta")
        self.new_project("ws/Unreferenced.xcodeproj", "--bundle-id", "com.example.u")
        ws = os.path.join(self.tmp, "ws", "App.xcworkspace")
        self.sim("project", "new", ws, "--projects", "App.xcodeproj,Pods/Pods.xcodeproj,Gone.xcodeproj")
        self.assertEqual(self.listing("-workspace", ws),
                         {"workspace": {"name": "App", "schemes": ["App", "AppShare", "Pods-App"]}})

    def test_groups_and_the_workspaces_own_schemes(self):
        self.new_project("g/Sub/Lib.xcodeproj", "--bundle-id", "com.example.lib")
        ws = os.path.join(self.tmp, "g", "W.xcworkspace")
        os.makedirs(os.path.join(ws, "xcshareddata", "xcschemes"))
        with open(os.path.join(ws, "xcshareddata", "xcschemes", "Everything.xcscheme"), "w") as f:
            f.write("<Scheme/>")
        with open(os.path.join(ws, "contents.xcworkspacedata"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<Workspace version = "1.0">\n'
                    '<Group location = "group:Sub" name = "Sub">\n'
                    '<FileRef location = "group:Lib.xcodeproj"></FileRef>\n</Group>\n</Workspace>\n')
        self.assertEqual(self.listing("-workspace", ws)["workspace"]["schemes"], ["Everything", "Lib"])

    def test_empty_workspace_lists_no_schemes(self):
        ws = os.path.join(self.tmp, "Empty.xcworkspace")
        self.sim("project", "new", ws)
        out = self.tool("xcodebuild", "-list", "-json", "-workspace", ws).stdout
        self.assertEqual(out, '{\n  "workspace" : {\n    "name" : "Empty",\n    "schemes" : [\n\n    ]\n  }\n}\n')


class ListingErrors(simtest.SimCase):
    def expect(self, args, status, message, cwd=None):
        result = self.tool("xcrun", "xcodebuild", *args, cwd=cwd)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertIn(message, result.stderr)
        self.assertEqual(result.stdout, "")

    def test_missing_and_mistyped_paths(self):
        missing = os.path.join(self.tmp, "Nope.xcodeproj")
        self.expect(["-list", "-json", "-project", missing], 66,
                    "xcodebuild: error: '%s' does not exist." % missing)
        os.makedirs(os.path.join(self.tmp, "Folder.xcodeprojx"))
        self.expect(["-list", "-json", "-project", os.path.join(self.tmp, "Folder.xcodeprojx")], 66, "error:")
        project = self.new_project("P.xcodeproj", "--bundle-id", "com.example.p")
        self.expect(["-list", "-json", "-workspace", project], 66, "error:")
        self.expect(["-list", "-json"], 66, "does not contain an Xcode project", cwd=os.path.join(self.tmp, "P"))

    def test_damaged_project(self):
        project = self.new_project("Bad.xcodeproj", "--bundle-id", "com.example.bad")
        with open(os.path.join(project, "project.pbxproj"), "w") as f:
            f.write("// !$*UTF8*$!\n{ objects = { ")
        self.expect(["-list", "-json", "-project", project], 74, "Unable to read project 'Bad.xcodeproj'")

    def test_bad_command_lines(self):
        project = self.new_project("P.xcodeproj", "--bundle-id", "com.example.p")
        self.expect(["-list", "-project"], 64, "xcodebuild: error:")
        self.expect(["-list", "-frobnicate"], 64, "invalid option '-frobnicate'")
        self.expect(["-list", "-project", project, "-workspace", project], 64, "xcodebuild: error:")
        self.expect(["-version", "-list"], 64, "xcodebuild: error:")

    def test_version(self):
        for tool in (["xcodebuild"], ["xcrun", "xcodebuild"]):
            result = self.tool(*tool, "-version")
            self.assertEqual((result.returncode, result.stdout), (0, "Xcode 16.2\nBuild version 16C5032a\n"))


class ListingOverride(simtest.SimCase):
    def test_raw_listing_is_printed_verbatim_until_cleared(self):
        project = self.new_project("Odd.xcodeproj", "--bundle-id", "com.example.odd")
        odd = '{"workspace": null, "project": {"schemes": [1, "A", "A", null]}}'
        result = simtest.run([sys.executable, "-IS", simtest.VEK_SIM, "project", "listing", project, "--json", "-"],
                             input=odd)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.tool("xcodebuild", "-list", "-json", "-project", project).stdout, odd)
        self.sim("project", "listing", project, "--clear")
        self.assertEqual(self.listing("-project", project)["project"]["schemes"], ["Odd"])

    def test_override_on_a_workspace(self):
        ws = os.path.join(self.tmp, "W.xcworkspace")
        self.sim("project", "new", ws)
        raw = os.path.join(self.tmp, "raw.txt")
        with open(raw, "w") as f:
            f.write("not json at all")
        self.sim("project", "listing", ws, "--json", raw)
        self.assertEqual(self.tool("xcodebuild", "-list", "-json", "-workspace", ws).stdout, "not json at all")


if __name__ == "__main__":
    import unittest
    unittest.main()
