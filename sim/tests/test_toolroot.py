import hashlib
import json
import os
import re
import subprocess

import simtest
from vek_sim import team as team_module, toolroot


class Layout(simtest.SimCase):
    def test_tools_are_executable_and_zipinfo_is_the_real_one(self):
        for rel in toolroot.STAND_INS:
            self.assertTrue(os.access(os.path.join(self.root, rel), os.X_OK), rel)
        self.assertEqual(os.readlink(os.path.join(self.root, "usr/bin/zipinfo")), "/usr/bin/zipinfo")
        self.assertTrue(os.path.isdir(os.path.join(self.root, "bin")))

    def test_tools_run_with_an_empty_environment(self):
        result = self.tool("xcodebuild", "-version", env={})
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_reinit_keeps_devices_and_team(self):
        self.add_device("KEEP")
        before = self.tool("security", "find-identity", "-v", "-p", "codesigning").stdout
        self.sim("init", self.root)
        self.assertEqual(self.tool("security", "find-identity", "-v", "-p", "codesigning").stdout, before)
        _, document = self.list_devices()
        self.assertEqual(document["result"]["devices"][0]["hardwareProperties"]["udid"], "KEEP")
        result = self.sim("init", self.root, "--team", "OTHER12345", ok=False)
        self.assertIn("already has team ABCDE12345", result.stderr)

    def test_calls_are_logged(self):
        self.tool("xcrun", "xcodebuild", "-version")
        self.tool("security", "find-identity")
        calls = [json.loads(line) for line in self.sim("calls", self.root).stdout.splitlines()]
        self.assertEqual([(c["tool"], c["argv"]) for c in calls],
                         [("xcrun", ["xcodebuild", "-version"]), ("security", ["find-identity"])])
        self.sim("calls", self.root, "--clear")
        self.assertEqual(self.sim("calls", self.root).stdout, "")


class Xcrun(simtest.SimCase):
    def test_runs_other_tools_of_the_root(self):
        result = self.tool("xcrun", "security", "find-identity", "-v", "-p", "codesigning")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("2 valid identities found", result.stdout)

    def test_unknown_tool_and_find(self):
        result = self.tool("xcrun", "notatool")
        self.assertEqual(result.returncode, 72)
        self.assertIn('unable to find utility "notatool"', result.stderr)
        found = self.tool("xcrun", "--find", "xcodebuild").stdout.strip()
        self.assertEqual(found, os.path.join(os.path.realpath(self.root), "usr/bin/xcodebuild"))


class SigningIdentities(simtest.SimCase):
    LINE = re.compile(r'^  (\d+)\) ([0-9A-F]{40}) "(.+)"$')

    def test_valid_identities_layout(self):
        out = self.tool("security", "find-identity", "-v", "-p", "codesigning").stdout.splitlines()
        self.assertEqual(out[-1], "     2 valid identities found")
        rows = [self.LINE.match(line).groups() for line in out[:-1]]
        self.assertEqual([r[0] for r in rows], ["1", "2"])
        self.assertTrue(rows[0][2].startswith("Apple Development: "))
        self.assertEqual(rows[1][2], "Apple Distribution: Sim Team (ABCDE12345)")

    def test_hashes_are_the_certificates_and_chain_to_the_shared_root(self):
        with open(os.path.join(self.root, ".vek-sim", "team.json")) as f:
            team = json.load(f)
        listed = self.tool("security", "find-identity", "-v", "-p", "codesigning").stdout
        state = os.path.join(self.root, ".vek-sim")
        ca = os.path.join(state, team["ca"]["certificate"])
        for identity in team["identities"]:
            cert = os.path.join(state, identity["certificate"])
            der = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"], capture_output=True).stdout
            self.assertIn(hashlib.sha1(der).hexdigest().upper(), listed)
            verify = subprocess.run(["openssl", "verify", "-CAfile", team_module.ROOT_CA, "-untrusted", ca,
                                     "-purpose", "any", cert], capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, verify.stderr)
            subject = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-subject"],
                                     capture_output=True, text=True).stdout
            self.assertIn("OU = ABCDE12345", subject)

    def test_layout_without_v_lists_matching_then_valid(self):
        out = self.tool("security", "find-identity", "-p", "codesigning").stdout.splitlines()
        self.assertEqual(out[:2], ["Policy: Code Signing", "  Matching identities"])
        self.assertEqual(out[4:8], ["     2 identities found", "", "  Valid identities only", out[2]])
