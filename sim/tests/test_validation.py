"""Every way an app can fail the system's checks must be producible with the
simulator's switches. The checks below are the consumer's rules, run on the
stand-ins' outputs, so what is tested is what the deployment will see."""

import datetime
import os
import re

import simtest

UDID = "00008110-0000000000000001"


def _version(text):
    return [int(n) for n in re.findall(r"\d+", text)]


class Rejected(Exception):
    pass


def check_app(case, app, udid, mode, device_os):
    """The app summary, or Rejected with the message the user would read."""
    verify = case.tool("codesign", "--verify", "--deep", "--strict", app)
    if verify.returncode != 0:
        raise Rejected("signature: " + verify.stderr)
    info = case.info(app)
    if not info.get("CFBundleIdentifier") or "iPhoneOS" not in info.get("CFBundleSupportedPlatforms", []):
        raise Rejected("The build is not a physical-device iOS app")
    minimum = info.get("MinimumOSVersion", "0")
    if device_os and _version(device_os) < _version(minimum):
        raise Rejected("App requires iOS %s; selected device has %s" % (minimum, device_os))
    if os.path.exists(os.path.join(app, "Watch")):
        raise Rejected("Watch")
    bundles = [app] + sorted(os.path.join(d, n) for d, dirs, _ in os.walk(app) for n in dirs if n.endswith(".appex"))
    aps = "none"
    for bundle in bundles:
        identifier = case.info(bundle).get("CFBundleIdentifier", "")
        if not os.path.exists(os.path.join(bundle, "embedded.mobileprovision")):
            raise Rejected("Missing provisioning profile in " + os.path.basename(bundle))
        profile, signed = case.profile(bundle), case.entitlements(bundle)
        allowed = profile.get("Entitlements", {})
        if not profile["ExpirationDate"] > datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None):
            raise Rejected("Provisioning profile is expired")
        if udid not in profile.get("ProvisionedDevices", []):
            raise Rejected("The selected iPhone UDID is missing from the provisioning profile for " + identifier)
        signed_id, profile_id = signed.get("application-identifier", ""), allowed.get("application-identifier", "")
        matches = signed_id.startswith(profile_id[:-1]) if profile_id.endswith(".*") else signed_id == profile_id
        if not matches or not signed_id.endswith("." + identifier):
            raise Rejected("Bundle ID and signing profile do not match")
        if mode == "debug" and signed.get("get-task-allow") is not True:
            raise Rejected("Debug export is not development signed")
        if mode == "adhoc" and (signed.get("get-task-allow") or allowed.get("get-task-allow")):
            raise Rejected("Ad Hoc export still has development debugger entitlements")
        if isinstance(signed.get("aps-environment"), str):
            expected = "production" if mode == "adhoc" else "development"
            if signed["aps-environment"] != expected or allowed.get("aps-environment") != expected:
                raise Rejected("APNs entitlement must be %s for %s" % (expected, mode))
        if bundle == app:
            aps = signed.get("aps-environment", "none")
    return {"bundle_id": info["CFBundleIdentifier"], "version": info.get("CFBundleShortVersionString", ""),
            "build": info.get("CFBundleVersion", ""), "minimum_os": minimum, "aps_environment": aps}


class Validation(simtest.AppCase):
    def project(self, name, *options):
        return self.new_project("%s/%s.xcodeproj" % (name, name), "--bundle-id", "com.example." + name.lower(),
                                *options)

    def outcome(self, project, mode="debug", device_os="17.5", team=()):
        self.register(UDID)
        if team:
            self.sim("team", "set", self.root, *team)
        app = self.built_app(project, mode, job="%s-%s" % (os.path.basename(project), mode))
        try:
            return check_app(self, app, UDID, mode, device_os)
        except Rejected as e:
            return str(e)

    def test_a_plain_project_passes_in_both_modes(self):
        project = self.project("Plain", "--version", "2.1", "--build", "7", "--min-os", "16.4",
                               "--extension", "Share", "--push", "automatic")
        for mode, aps in (("debug", "development"), ("adhoc", "production")):
            with self.subTest(mode=mode):
                self.assertEqual(self.outcome(project, mode), {
                    "bundle_id": "com.example.plain", "version": "2.1", "build": "7", "minimum_os": "16.4",
                    "aps_environment": aps})

    def test_project_switches(self):
        cases = [
            (("--simulator-only",), "debug", "The build is not a physical-device iOS app"),
            (("--watch-app", "Companion"), "debug", "Watch"),
            (("--extension", "Share", "--extension-profile", "none"), "debug",
             "Missing provisioning profile in Share.appex"),
            (("--extension", "Share", "--extension-profile", "app"), "debug",
             "Bundle ID and signing profile do not match"),
            (("--push", "development"), "adhoc", "APNs entitlement must be production for adhoc"),
            (("--push", "production"), "debug", "APNs entitlement must be development for debug"),
            (("--min-os", "18.0"), "debug", "App requires iOS 18.0; selected device has 17.5"),
        ]
        for n, (options, mode, message) in enumerate(cases):
            with self.subTest(options=options):
                self.assertEqual(self.outcome(self.project("P%d" % n, *options), mode), message)

    def test_push_pinned_to_the_mode_passes(self):
        self.assertEqual(self.outcome(self.project("Push", "--push", "production"), "adhoc")["aps_environment"],
                         "production")

    def test_team_switches(self):
        cases = [
            (("--expired", "on"), "Provisioning profile is expired"),
            (("--prefix", "ZZZZZ99999"), "Bundle ID and signing profile do not match"),
            (("--wildcard", "on", "--prefix", "ZZZZZ99999"), "Bundle ID and signing profile do not match"),
        ]
        project = self.project("Team")
        for options, message in cases:
            with self.subTest(options=options):
                self.assertEqual(self.outcome(project, "debug", team=options), message)
                self.sim("team", "set", self.root, "--expired", "off", "--wildcard", "off", "--prefix", "")
        self.assertEqual(self.outcome(project, "adhoc", team=("--wildcard", "on"))["bundle_id"], "com.example.team")

    def test_device_not_registered_with_the_team(self):
        project = self.project("Devices")
        self.register("00008027-0000000000000002")
        app = self.built_app(project)
        with self.assertRaisesRegex(Rejected, "UDID is missing from the provisioning profile for com.example.devices"):
            check_app(self, app, UDID, "debug", "17.5")
        self.assertEqual(self.profile(app)["ProvisionedDevices"], ["00008027-0000000000000002"])

    def test_broken_signature_switch(self):
        app = self.built_app(self.project("Broken"))
        self.sim("fault", "set", self.root, "codesign-verify", "broken", "--only", app)
        result = self.tool("codesign", "--verify", "--deep", "--strict", app)
        self.assertEqual(result.returncode, 1)
        self.assertIn("a sealed resource is missing or invalid", result.stderr)


if __name__ == "__main__":
    import unittest
    unittest.main()
