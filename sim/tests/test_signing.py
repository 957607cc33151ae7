import os
import plistlib
import shutil
import subprocess

import simtest
from vek_sim import toolroot


class Verification(simtest.AppCase):
    def setUp(self):
        super().setUp()
        project = self.new_project("App.xcodeproj", "--bundle-id", "com.example.app", "--extension", "Share")
        self.app = self.built_app(project)
        self.share = os.path.join(self.app, "PlugIns", "Share.appex")

    def verify(self, bundle=None):
        return self.tool("codesign", "--verify", "--deep", "--strict", bundle or self.app)

    def assert_fails(self, *lines):
        result = self.verify()
        self.assertEqual(result.returncode, 1, "the signature still verified")
        for line in lines:
            self.assertIn(line, result.stderr)
        self.assertEqual(result.stdout, "")

    def test_intact_app_verifies_silently(self):
        result = self.verify()
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))

    def test_changed_added_and_removed_files(self):
        executable = os.path.join(self.app, "App")
        with open(executable, "r+b") as f:
            f.seek(100)
            f.write(b"\0")
        self.assert_fails("%s: a sealed resource is missing or invalid" % self.app, "file modified: " + executable)
        shutil.copy(os.path.join(self.app, "PkgInfo"), os.path.join(self.app, "Extra"))
        os.remove(os.path.join(self.app, "Assets.car"))
        self.assert_fails("file added: " + os.path.join(self.app, "Extra"),
                          "file missing: " + os.path.join(self.app, "Assets.car"))

    def test_a_changed_profile_or_extension_breaks_the_app(self):
        with open(os.path.join(self.share, "embedded.mobileprovision"), "ab") as f:
            f.write(b"\0")
        self.assert_fails("In subcomponent: " + self.share,
                          "file modified: " + os.path.join(self.share, "embedded.mobileprovision"))

    def test_forged_entitlements_break_the_signature(self):
        # Rewriting the signed entitlements (say, to allow the debugger) must
        # not go unnoticed even though the sealed files are unchanged.
        path = os.path.join(self.app, "_CodeSignature", "CodeDirectory")
        with open(path, "rb") as f:
            directory = plistlib.load(f)
        directory["Entitlements"]["aps-environment"] = "production"
        with open(path, "wb") as f:
            plistlib.dump(directory, f)
        self.assert_fails("invalid signature (code or signature have been modified)")
        self.assertEqual(self.entitlements(self.app)["aps-environment"], "production")

    def test_signature_from_outside_the_simulated_root_is_not_trusted(self):
        key, cert = os.path.join(self.tmp, "k.pem"), os.path.join(self.tmp, "c.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", key, "-out", cert, "-subj", "/CN=Impostor", "-days", "2"],
                       check=True, capture_output=True)
        folder = os.path.join(self.app, "_CodeSignature")
        subprocess.run(["openssl", "cms", "-sign", "-binary", "-in", os.path.join(folder, "CodeDirectory"), "-signer",
                        cert, "-inkey", key, "-outform", "DER", "-out", os.path.join(folder, "CodeSignature")],
                       check=True, capture_output=True)
        self.assert_fails("CSSMERR_TP_NOT_TRUSTED")

    def test_unsigned_bundles_and_missing_paths(self):
        shutil.rmtree(os.path.join(self.share, "_CodeSignature"))
        self.assert_fails("code object is not signed at all", "In subcomponent: " + self.share)
        missing = os.path.join(self.tmp, "Nope.app")
        result = self.verify(missing)
        self.assertEqual((result.returncode, result.stderr), (1, "%s: No such file or directory\n" % missing))

    def test_unsealed_symbolic_link_fails(self):
        os.symlink("/etc/passwd", os.path.join(self.app, "Outside"))
        self.assert_fails("file added: " + os.path.join(self.app, "Outside"))

    def test_signed_on_one_mac_verifies_on_another(self):
        other = os.path.join(self.tmp, "other-mac")
        toolroot.init(other, "QQQQQ11111", "Other Team")
        result = simtest.run([os.path.join(other, "usr/bin/codesign"), "--verify", "--deep", "--strict", self.app])
        self.assertEqual(result.returncode, 0, result.stderr)


class Inspection(simtest.AppCase):
    def test_entitlements_as_codesign_prints_them(self):
        app = self.built_app(self.new_project("App.xcodeproj", "--bundle-id", "com.example.app"))
        result = self.tool("codesign", "-d", "--entitlements", ":-", app)
        self.assertEqual(result.stderr, "Executable=%s\nwarning: Specifying ':' in the path is deprecated and will "
                                        "not work in a future release\n" % os.path.join(app, "App"))
        self.assertNotIn("\n", result.stdout)
        self.assertTrue(result.stdout.startswith('<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE plist PUBLIC '
                                                 '"-//Apple//DTD PLIST 1.0//EN" "https://'))
        self.assertEqual(plistlib.loads(result.stdout.encode()), {
            "application-identifier": "ABCDE12345.com.example.app", "get-task-allow": True,
            "com.apple.developer.team-identifier": "ABCDE12345",
            "keychain-access-groups": ["ABCDE12345.com.example.app"]})
        bracketed = self.tool("codesign", "-d", "--entitlements", "-", app).stdout
        self.assertIn("\t[Key] get-task-allow\n\t[Value]\n\t\t[Bool] true\n", bracketed)

    def test_profiles_follow_the_team(self):
        self.register("00008110-0000000000000001")
        self.register("00008027-0000000000000002")
        self.sim("team", "unregister-device", self.root, "00008027-0000000000000002")
        app = self.built_app(self.new_project("App.xcodeproj", "--bundle-id", "com.example.app"), "adhoc")
        profile = self.profile(app)
        self.assertEqual(profile["ProvisionedDevices"], ["00008110-0000000000000001"])
        self.assertEqual(profile["TeamIdentifier"], ["ABCDE12345"])
        self.assertGreater((profile["ExpirationDate"] - profile["CreationDate"]).days, 300)
        self.assertEqual(profile["Entitlements"]["application-identifier"], "ABCDE12345.com.example.app")

    def test_security_refuses_what_is_not_cms(self):
        junk = os.path.join(self.tmp, "junk.mobileprovision")
        with open(junk, "wb") as f:
            f.write(b"<plist>not signed</plist>")
        for path in (junk, os.path.join(self.tmp, "missing")):
            result = self.tool("security", "cms", "-D", "-i", path)
            self.assertEqual((result.returncode, result.stdout), (1, ""))
            self.assertTrue(result.stderr.startswith("security: "))

    def test_ditto_errors(self):
        result = self.tool("ditto", "-x", "-k", os.path.join(self.tmp, "none.ipa"), os.path.join(self.tmp, "d"))
        self.assertEqual(result.returncode, 1)
        not_zip = os.path.join(self.tmp, "not.ipa")
        with open(not_zip, "w") as f:
            f.write("plain text")
        result = self.tool("ditto", "-x", "-k", not_zip, os.path.join(self.tmp, "d"))
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.startswith("ditto: "), result.stderr)


if __name__ == "__main__":
    import unittest
    unittest.main()
