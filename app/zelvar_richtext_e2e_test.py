#!/usr/bin/env python3
"""End-to-end tests of zelvar-richtext styles: list, show, export and import between two
private configuration folders.

Usage: zelvar_richtext_e2e_test.py PATH_TO_ZELVAR_RICHTEXT [unittest options]
"""

import os
import plistlib
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

TOOL = None
DEFAULTS_NAME = "org.example.zelvar-importer.plist"
CUSTOM_ID = "0F2B6C1E-5D1A-4C3B-9E7F-1A2B3C4D5E6F"


def style_archive(name, identifier):
    """A keyed archive of one custom style as another archiver writes it, with plain UIDs."""
    uid = plistlib.UID
    objects = [
        "$null",
        {"NS.objects": [uid(2)], "$class": uid(7)},
        {"type": 9999, "name": uid(3), "fontName": uid(4), "fontSize": 15.0,
         "underlineStyle": 1, "strikethrough": 0, "resetOnNewLine": False,
         "applyToParagraph": True, "customStyleIdentifier": uid(5), "$class": uid(6)},
        name,
        "NoSuchFace-Bold",
        identifier,
        {"$classname": "QNTNoteTextStyle", "$classes": ["QNTNoteTextStyle", "NSObject"]},
        {"$classname": "NSArray", "$classes": ["NSArray", "NSObject"]},
    ]
    archive = {"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": {"root": uid(1)},
               "$objects": objects}
    return plistlib.dumps(archive, fmt=plistlib.FMT_BINARY)


class StylesTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zv-richtext-")
        os.chmod(self.folder, 0o700)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def home(self, name):
        path = os.path.join(self.folder, name)
        os.makedirs(path, mode=0o700, exist_ok=True)
        return path

    def run_tool(self, home, *arguments):
        environment = dict(os.environ, XDG_CONFIG_HOME=home, HOME=self.folder)
        return subprocess.run([TOOL, *arguments], env=environment, capture_output=True,
                              text=True, timeout=60)

    def write_defaults(self, home, values):
        with open(os.path.join(home, DEFAULTS_NAME), "wb") as file:
            plistlib.dump(values, file, fmt=plistlib.FMT_BINARY)

    def test_export_then_import_moves_the_custom_style(self):
        source = self.home("source")
        self.write_defaults(source, {"QNTNoteTextStyles": style_archive("My Style", CUSTOM_ID)})
        listed = self.run_tool(source, "styles", "list")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertIn(CUSTOM_ID, listed.stdout)
        self.assertIn("name: My Style", listed.stdout)
        self.assertIn("QNTNoteStyleIdentifierMonospace", listed.stdout)

        exported = os.path.join(self.folder, "styles.archive")
        result = self.run_tool(source, "styles", "export", exported)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(exported).st_mode) & 0o077, 0)
        again = self.run_tool(source, "styles", "export", exported)
        self.assertEqual(again.returncode, 1)
        self.assertIn("--force", again.stderr)
        self.assertEqual(self.run_tool(source, "styles", "export", exported, "--force").returncode,
                         0)

        target = self.home("target")
        result = self.run_tool(target, "styles", "import", exported)
        self.assertEqual(result.returncode, 0, result.stderr)
        listed = self.run_tool(target, "styles")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertIn(CUSTOM_ID, listed.stdout)
        self.assertIn("name: My Style", listed.stdout)
        shown = self.run_tool(target, "styles", "show", CUSTOM_ID)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("underline 1", shown.stdout)
        self.assertIn("apply to paragraph yes", shown.stdout)
        self.assertIn(" 15 pt", shown.stdout)
        defaults = os.path.join(target, DEFAULTS_NAME)
        self.assertEqual(stat.S_IMODE(os.stat(defaults).st_mode) & 0o077, 0)

        # A second import of another style keeps the first.
        other = os.path.join(self.folder, "other.archive")
        with open(other, "wb") as file:
            file.write(style_archive("Other", "11111111-2222-4333-8444-555555555555"))
        self.assertEqual(self.run_tool(target, "styles", "import", other).returncode, 0)
        listed = self.run_tool(target, "styles", "list").stdout
        self.assertIn(CUSTOM_ID, listed)
        self.assertIn("11111111-2222-4333-8444-555555555555", listed)

    def test_failures_and_usage(self):
        home = self.home("home")
        unknown = self.run_tool(home, "styles", "show", "NoSuchStyle")
        self.assertEqual(unknown.returncode, 1)
        self.assertIn("No note text style with identifier NoSuchStyle", unknown.stderr)

        garbage = os.path.join(self.folder, "garbage")
        with open(garbage, "wb") as file:
            file.write(b"bplist00 this is no archive")
        result = self.run_tool(home, "styles", "import", garbage)
        self.assertEqual(result.returncode, 1)
        self.assertFalse(os.path.exists(os.path.join(home, DEFAULTS_NAME)),
                         "a failed import writes nothing")
        missing = self.run_tool(home, "styles", "import", os.path.join(self.folder, "missing"))
        self.assertEqual(missing.returncode, 1)

        for arguments in ([], ["bogus"], ["styles", "bogus"], ["styles", "show"],
                          ["styles", "export"], ["styles", "export", "a", "--bogus"],
                          ["styles", "list", "extra"]):
            result = self.run_tool(home, *arguments)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertIn("Usage:", result.stderr)
        for arguments in (["--help"], ["styles", "--help"], ["styles", "export", "-h"]):
            result = self.run_tool(home, *arguments)
            self.assertEqual(result.returncode, 0, arguments)
            self.assertIn("Usage:", result.stdout)

    def test_damaged_store_is_not_exported_and_an_import_keeps_it_aside(self):
        home = self.home("damaged")
        damaged = b"not an archive at all"
        self.write_defaults(home, {"QNTNoteTextStyles": damaged})
        exported = os.path.join(self.folder, "out.archive")
        result = self.run_tool(home, "styles", "export", exported)
        self.assertEqual(result.returncode, 1)
        self.assertFalse(os.path.exists(exported))

        source = os.path.join(self.folder, "good.archive")
        with open(source, "wb") as file:
            file.write(style_archive("Good", CUSTOM_ID))
        result = self.run_tool(home, "styles", "import", source)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(home, DEFAULTS_NAME), "rb") as file:
            values = plistlib.load(file)
        kept = [value for key, value in values.items()
                if key.startswith("QNTNoteTextStyles.unreadable-")]
        self.assertEqual(kept, [damaged])
        self.assertIn(CUSTOM_ID, self.run_tool(home, "styles", "list").stdout)

    def test_names_cannot_drive_the_terminal(self):
        home = self.home("hostile")
        self.write_defaults(home, {"QNTNoteTextStyles": style_archive("\x1b]0;owned\x07x\nname: Fake",
                                                                      CUSTOM_ID)})
        listed = self.run_tool(home, "styles", "list")
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertNotIn("\x1b", listed.stdout)
        self.assertNotIn("\nname: Fake", listed.stdout)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
