import json
import os
import unittest

import simtest
from vek_sim import applejson


class AppleJsonStyle(unittest.TestCase):
    def test_layout_of_nested_values(self):
        value = {"tags": [], "bootState": "booted", "bootedFromSnapshot": True, "env": {},
                 "url": "file:///a/b", "name": "Tëst “iPhone”", "n": [1, None]}
        expected = (
            '{\n'
            '  "bootedFromSnapshot" : true,\n'
            '  "bootState" : "booted",\n'
            '  "env" : {\n\n  },\n'
            '  "n" : [\n    1,\n    null\n  ],\n'
            '  "name" : "Tëst “iPhone”",\n'
            '  "tags" : [\n\n  ],\n'
            '  "url" : "file:///a/b"\n'
            '}')
        self.assertEqual(applejson.dumps(value), expected)

    def test_reference_samples_render_identically(self):
        names = ["devicectl-list-devices.json", "devicectl-list-devices-empty.json",
                 "xcodebuild-list-project.json", "xcodebuild-list-workspace.json"]
        for name in names:
            path = os.path.join(simtest.REFERENCE_DIR, name)
            if not os.path.exists(path):
                self.skipTest("reference samples not beside this checkout")
            with self.subTest(name=name), open(path, encoding="utf-8") as f:
                text = f.read()
                self.assertEqual(applejson.dumps(json.loads(text)), text.rstrip("\n"))


if __name__ == "__main__":
    unittest.main()
