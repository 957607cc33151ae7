import json
import os
import sys

import simtest


def inventory(document):
    """The records the system makes of a devicectl listing: the consumer's
    rules, so the sim's shapes are checked against how they are read."""
    def get(value, *path):
        for key in path:
            value = value.get(key) if isinstance(value, dict) else None
        return value

    def text(*candidates):
        return next((c for c in candidates if isinstance(c, str)), "")

    records = []
    for item in get(document, "result", "devices") or []:
        hw = get(item, "properties", "hardware")
        if hw is None:
            hw = get(item, "hardwareProperties")
        if get(hw, "reality") != "physical" or get(hw, "deviceType") not in ("iPhone", "iPad"):
            continue
        if not isinstance(get(hw, "udid"), str) or not get(hw, "udid"):
            continue
        status = get(item, "properties", "state", "developerModeStatus")
        if isinstance(status, dict) and status.get("enabled") is not None:
            developer_mode = True
        else:
            developer_mode = get(item, "deviceProperties", "developerModeStatus") == "enabled"
        version = get(item, "properties", "software", "osVersionNumber")
        state = text(get(item, "properties", "connection", "state"), get(item, "connectionProperties", "tunnelState"))
        records.append({
            "udid": hw["udid"], "core_id": get(item, "identifier"),
            "name": text(get(item, "properties", "state", "name"), get(item, "deviceProperties", "name")),
            "model": get(hw, "marketingName"), "product_type": get(hw, "productType"),
            "os": text(get(version, "stringValue") if isinstance(version, dict) else None,
                       get(item, "deviceProperties", "osVersionNumber")),
            "state": state, "developer_mode": developer_mode,
            "available": state in ("connected", "available") and developer_mode,
            "transport": text(get(item, "properties", "connection", "transportType"),
                              get(item, "connectionProperties", "transportType")),
        })
    return records


class DeviceListing(simtest.SimCase):
    def test_no_devices(self):
        result, document = self.list_devices()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(document["result"]["devices"], [])
        self.assertEqual(document["info"]["jsonVersion"], 2)
        self.assertEqual(document["info"]["arguments"][:3], ["devicectl", "list", "devices"])
        self.assertEqual(result.stdout, "No devices found.\n")

    def test_flat_shape_with_defaults(self):
        self.add_device("00008110-0000000000000001", "--name", "Test iPhone")
        result, document = self.list_devices()
        entry = document["result"]["devices"][0]
        self.assertNotIn("properties", entry)
        self.assertEqual(entry["hardwareProperties"]["deviceType"], "iPhone")
        self.assertEqual(entry["hardwareProperties"]["platform"], "iOS")
        self.assertEqual(entry["deviceProperties"]["developerModeStatus"], "enabled")
        self.assertEqual(entry["connectionProperties"]["pairingState"], "paired")
        [record] = inventory(document)
        self.assertEqual(record, {
            "udid": "00008110-0000000000000001", "core_id": entry["identifier"], "name": "Test iPhone",
            "model": "iPhone 15", "product_type": "iPhone16,1", "os": "17.5", "state": "connected",
            "developer_mode": True, "available": True, "transport": "wired"})

    def test_nested_shape_carries_the_same_facts(self):
        self.add_device("U1", "--name", "Nested", "--shape", "nested", "--os", "18.2", "--type", "iPad",
                        "--transport", "localNetwork", "--model", "iPad Air", "--product-type", "iPad13,16")
        _, document = self.list_devices()
        entry = document["result"]["devices"][0]
        self.assertFalse({"hardwareProperties", "deviceProperties", "connectionProperties"} & set(entry))
        self.assertEqual(entry["properties"]["software"]["osVersionNumber"]["stringValue"], "18.2")
        self.assertEqual(entry["properties"]["state"]["developerModeStatus"], {"enabled": True})
        [record] = inventory(document)
        self.assertEqual((record["name"], record["os"], record["state"], record["transport"], record["model"]),
                         ("Nested", "18.2", "connected", "localNetwork", "iPad Air"))
        self.assertTrue(record["available"])

    def test_developer_mode_off_reads_as_off_in_both_shapes(self):
        for shape in ("flat", "nested"):
            self.add_device("U-" + shape, "--shape", shape, "--developer-mode", "off")
        records = inventory(self.list_devices()[1])
        self.assertEqual([(r["developer_mode"], r["available"]) for r in records], [(False, False)] * 2)

    def test_devices_list_in_plug_in_order_and_follow_changes(self):
        for udid in ("C", "A", "B"):
            self.add_device(udid)
        self.sim("device", "set", self.root, "A", "--state", "disconnected", "--name", "Renamed")
        self.sim("device", "remove", self.root, "B")
        records = inventory(self.list_devices()[1])
        self.assertEqual([(r["udid"], r["name"], r["available"]) for r in records],
                         [("C", "iPhone", True), ("A", "Renamed", False)])

    def test_types_and_reality_use_devicectl_words(self):
        cases = {"Watch": ("appleWatch", "watchOS"), "AppleTV": ("appleTV", "tvOS"), "Mac": ("mac", "macOS"),
                 "iPad": ("iPad", "iOS")}
        for kind in cases:
            self.add_device("T-" + kind, "--type", kind)
        self.add_device("SIM", "--reality", "virtual")
        _, document = self.list_devices()
        hardware = {e["hardwareProperties"]["udid"]: e["hardwareProperties"] for e in document["result"]["devices"]}
        for kind, (device_type, platform) in cases.items():
            self.assertEqual((hardware["T-" + kind]["deviceType"], hardware["T-" + kind]["platform"]),
                             (device_type, platform))
        self.assertEqual(hardware["SIM"]["reality"], "virtual")
        self.assertEqual([r["udid"] for r in inventory(document)], ["T-iPad"])

    def test_empty_values_leave_the_property_out(self):
        self.add_device("U", "--model", "", "--name", "", "--os", "", "--state", "", "--transport", "")
        self.add_device("N", "--shape", "nested", "--model", "", "--name", "", "--os", "", "--state", "")
        _, document = self.list_devices()
        for record in inventory(document):
            self.assertEqual((record["model"], record["name"], record["os"], record["state"], record["available"]),
                             (None, "", "", "", False))

    def test_show_reports_the_device_state(self):
        self.add_device("U", "--locked", "on")
        shown = json.loads(self.sim("device", "show", self.root, "U").stdout)
        self.assertEqual((shown["udid"], shown["locked"], shown["installed"], shown["launched"]), ("U", True, [], []))

    def test_human_table(self):
        self.add_device("00008110-0000000000000001", "--name", "Test iPhone", "--model", "iPhone 13 Pro",
                        "--product-type", "iPhone14,2")
        self.add_device("00008101-0000000000000003", "--name", "Test iPhone 2", "--state", "disconnected")
        result, document = self.list_devices()
        ids = [e["identifier"] for e in document["result"]["devices"]]
        self.assertEqual(result.stdout.splitlines(), [
            "Devices:",
            "Name            Hostname                                     Identifier                   "
            "          State                Model",
            "-------------   ------------------------------------------   ------------------------------------"
            "   ------------------   --------------------------",
            "Test iPhone     00008110-0000000000000001.coredevice.local   %s   connected            "
            "iPhone 13 Pro (iPhone14,2)" % ids[0],
            "Test iPhone 2   00008101-0000000000000003.coredevice.local   %s   available (paired)   "
            "iPhone 15 (iPhone16,1)" % ids[1]])

    def test_json_to_standard_output(self):
        self.add_device("U")
        result = self.tool("xcrun", "devicectl", "list", "devices", "--json-output", "-")
        document = json.loads(result.stdout[result.stdout.index("{"):])
        self.assertEqual(document["result"]["devices"][0]["hardwareProperties"]["udid"], "U")

    def test_raw_listing_is_written_verbatim(self):
        raw = '{"result": {"devices": [{"properties": {"hardware": null}}]}}'
        self.sim("device", "add", self.root, "--udid", "ignored")
        run = simtest.run([sys.executable, "-IS", simtest.VEK_SIM, "device", "listing", self.root, "--json", "-"], input=raw)
        self.assertEqual(run.returncode, 0, run.stderr)
        out = os.path.join(self.tmp, "raw.json")
        self.assertEqual(self.tool("xcrun", "devicectl", "list", "devices", "--json-output", out).returncode, 0)
        with open(out) as f:
            self.assertEqual(f.read(), raw)
        self.sim("device", "listing", self.root, "--clear")
        self.assertEqual(inventory(self.list_devices()[1])[0]["udid"], "ignored")


class DevicectlArguments(simtest.SimCase):
    def test_bad_command_lines_fail_without_a_file(self):
        cases = [["--bogus"], ["--timeout"], ["--timeout", "soon"], ["extra"]]
        for extra in cases:
            with self.subTest(extra=extra):
                out = os.path.join(self.tmp, "never.json")
                result = self.tool("xcrun", "devicectl", "list", "devices", *extra, "--json-output", out) \
                    if extra != ["--timeout"] else self.tool("xcrun", "devicectl", "list", "devices", *extra)
                self.assertEqual(result.returncode, 64)
                self.assertTrue(result.stderr.startswith("Error: "), result.stderr)
                self.assertFalse(os.path.exists(out))

    def test_unwritable_output_is_an_error(self):
        self.add_device("U")
        result = self.tool("xcrun", "devicectl", "list", "devices", "--json-output", "/nonexistent/dir/d.json")
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.startswith("ERROR: "))

    def test_device_editing_mistakes(self):
        self.add_device("U")
        for args in (["device", "add", self.root, "--udid", "U"],
                     ["device", "set", self.root, "missing", "--name", "x"],
                     ["device", "add", self.root, "--udid", "V", "--type", "toaster"],
                     ["device", "add", self.root, "--udid", "V", "--developer-mode", "maybe"],
                     ["device", "remove", self.root, "missing"]):
            with self.subTest(args=args):
                result = self.sim(*args, ok=False)
                self.assertEqual(result.returncode, 1)
                self.assertIn("vek-sim: error:", result.stderr)
        self.assertEqual(len(inventory(self.list_devices()[1])), 1)
