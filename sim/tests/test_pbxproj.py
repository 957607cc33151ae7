import unittest

import simtest  # noqa: F401  (puts vek_sim on the path)
from vek_sim import pbxproj


class OldStylePlist(unittest.TestCase):
    def test_reads_what_xcode_writes(self):
        text = (
            "// !$*UTF8*$!\n{\n\tarchiveVersion = 1;\n\tclasses = {\n\t};\n"
            "\tobjects = {\n/* Begin XCBuildConfiguration section */\n"
            "\t\tAB12 /* Debug */ = {\n\t\t\tisa = XCBuildConfiguration;\n\t\t\tbuildSettings = {\n"
            '\t\t\t\tLD_RUNPATH_SEARCH_PATHS = (\n\t\t\t\t\t"$(inherited)",\n\t\t\t\t\t"@executable_path/Frameworks",\n'
            "\t\t\t\t);\n"
            '\t\t\t\tOTHER = "a \\"quoted\\" \\\\ value\\n";\n'
            '\t\t\t\t"CODE_SIGN_IDENTITY[sdk=iphoneos*]" = "iPhone Developer";\n'
            "\t\t\t\tSWIFT_OPTIMIZATION_LEVEL = -Onone; // trailing comment\n"
            "\t\t\t\tEMPTY = \"\";\n"
            "\t\t\t\tDATA = <0fA1 ff>;\n"
            "\t\t\t};\n\t\t\tname = Debug;\n\t\t};\n"
            "/* End XCBuildConfiguration section */\n\t};\n\trootObject = AB12 /* Project object */;\n}\n")
        data = pbxproj.parse(text)
        settings = data["objects"]["AB12"]["buildSettings"]
        self.assertEqual(settings["LD_RUNPATH_SEARCH_PATHS"], ["$(inherited)", "@executable_path/Frameworks"])
        self.assertEqual(settings["OTHER"], 'a "quoted" \\ value\n')
        self.assertEqual(settings["CODE_SIGN_IDENTITY[sdk=iphoneos*]"], "iPhone Developer")
        self.assertEqual(settings["SWIFT_OPTIMIZATION_LEVEL"], "-Onone")
        self.assertEqual((settings["EMPTY"], settings["DATA"]), ("", b"\x0f\xa1\xff"))
        self.assertEqual((data["rootObject"], data["classes"]), ("AB12", {}))

    def test_broken_text_is_reported_with_its_line(self):
        cases = ["{ a = b; ", "{ a = b }", "{\n a = (b c);\n}", '{ a = "open; }', "{ a = b; } extra", "/* open"]
        for text in cases:
            with self.subTest(text=text):
                with self.assertRaisesRegex(pbxproj.ParseError, r"at line \d+"):
                    pbxproj.parse(text)

    def test_written_values_read_back(self):
        values = {"plain": "com.example.app", "macro": "$(TARGET_NAME)", "comma": "1,2", "space": "a b",
                  "quote": 'say "hi"', "backslash": "a\\b", "newline": "x\ny", "empty": "", "dash": "-O"}
        objects = {"ID1": {"isa": "XCBuildConfiguration", "buildSettings": values, "name": "Debug"},
                   "ID2": {"isa": "PBXFileReference", "path": "My App.swift", "sourceTree": "<group>"}}
        data = pbxproj.parse(pbxproj.write_project(objects, "ID1", {"ID1": "Debug", "ID2": "My App.swift"}))
        self.assertEqual(data["objects"], objects)


if __name__ == "__main__":
    unittest.main()
