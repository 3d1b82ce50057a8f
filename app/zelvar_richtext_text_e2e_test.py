#!/usr/bin/env python3
"""End-to-end tests of the zelvar-richtext commands on rich text: clean-web, apply-styles,
scale, dynamic-colors and dump, with a private configuration folder.

Usage: zelvar_richtext_text_e2e_test.py PATH_TO_ZELVAR_RICHTEXT [unittest options]
"""

import os
import plistlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

TOOL = None
DEFAULTS_NAME = "org.example.zelvar-importer.plist"

WEB_RTF = (rb"{\rtf1\ansi{\fonttbl\f0\fswiss Helvetica;}"
           rb"{\colortbl;\red255\green0\blue0;\red200\green200\blue200;}"
           rb"\f0\fs32\cf1\cb2   Big red\line\line\line\line\fs26 small\tab }")


class RichTextCommandsTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zv-richtext-text-")
        os.chmod(self.folder, 0o700)
        self.home = os.path.join(self.folder, "config")
        os.makedirs(self.home, mode=0o700)
        self.input = self.write("page.txt", WEB_RTF)  # the name says nothing of the content

    def tearDown(self):
        shutil.rmtree(self.folder)

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as file:
            file.write(data)
        return path

    def run_tool(self, *arguments):
        environment = dict(os.environ, XDG_CONFIG_HOME=self.home, HOME=self.folder)
        return subprocess.run([TOOL, *arguments], env=environment, capture_output=True,
                              timeout=60)

    def dump(self, path):
        result = self.run_tool("dump", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.decode()

    def transformed(self, *arguments):
        """Runs a command writing to a new file and answers the dump of that file."""
        output = os.path.join(self.folder, "out-%d.rtf" % len(os.listdir(self.folder)))
        result = self.run_tool(*arguments, "-o", output)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(output).st_mode) & 0o077, 0)
        return self.dump(output)

    def sizes(self, dump):
        return [float(size) for size in re.findall(r"NSFont=\S+ ([0-9.]+)", dump)]

    def test_dump_shows_one_run_per_line(self):
        dump = self.dump(self.input)
        lines = dump.splitlines()
        self.assertEqual(len(lines), 2, dump)
        self.assertTrue(lines[0].startswith('0+'), dump)
        self.assertIn("NSColor=#FF0000", lines[0])
        self.assertIn("NSBackgroundColor=#C8C8C8", lines[0])
        self.assertEqual(self.sizes(dump), [16, 13])

    def test_clean_web_switches_override_the_defaults(self):
        with open(os.path.join(self.home, DEFAULTS_NAME), "wb") as file:
            plistlib.dump({"QNTCleanUpWebPageFontSizes": True,
                           "QNTCleanUpWebPageColors": True}, file, fmt=plistlib.FMT_BINARY)
        by_defaults = self.transformed("clean-web", self.input)
        self.assertEqual(self.sizes(by_defaults), [12, 10])
        self.assertNotIn("NSBackgroundColor", by_defaults)
        self.assertIn(r'"Big red\n\n\n\n"', by_defaults, "blanks trimmed, breaks kept")

        newlines_only = self.transformed("clean-web", self.input, "--newlines")
        self.assertEqual(self.sizes(newlines_only), [16, 13])
        self.assertIn("NSColor=#FF0000", newlines_only)
        self.assertNotIn(r"\n\n\n", newlines_only)
        self.assertTrue(newlines_only.startswith('0+'), newlines_only)
        self.assertIn('"Big red', newlines_only, "leading blanks trimmed")

    def test_html_and_web_archives_are_told_by_content(self):
        page = (b"<!DOCTYPE html><html><body><p style='font-size:16px'>Hello <b>bold</b></p>"
                b"<ul><li>one</li></ul></body></html>")
        archive = plistlib.dumps({"WebMainResource": {
            "WebResourceData": page, "WebResourceMIMEType": "text/html",
            "WebResourceTextEncodingName": "UTF-8", "WebResourceURL": "https://example.org/",
            "WebResourceFrameName": ""}}, fmt=plistlib.FMT_BINARY)
        for name, data in (("page.rtf", page), ("page.html", archive)):
            path = self.write(name, data)
            dump = self.dump(path)
            self.assertIn('"Hello ', dump, name)
            self.assertIn("list {disc}@1", dump, name)
            cleaned = self.transformed("clean-web", path, "--sizes")
            self.assertIn("Hello", cleaned, name)
            # 16 px are 12 pt, and three quarters of those 9.
            self.assertEqual(self.sizes(dump)[0], 12.0, name)
            self.assertEqual(self.sizes(cleaned)[0], 9.0, name)

    def test_scale_and_its_refusals(self):
        self.assertEqual(self.sizes(self.transformed("scale", "1.25", self.input)), [20, 16])
        for factor in ("0", "-2", "nan", "inf", "x", ""):
            result = self.run_tool("scale", factor, self.input)
            self.assertEqual(result.returncode, 2, factor)
            self.assertIn(b"Usage:", result.stderr)

    def test_dynamic_colors_both_ways(self):
        black = self.write("black", rb"{\rtf1{\colortbl;\red0\green0\blue0;}\cf1 dark\cf0  plain}")
        to = self.transformed("dynamic-colors", "to", black)
        self.assertNotIn("NSColor=#000000", to)
        back = self.transformed("dynamic-colors", "from", black)
        self.assertIn("NSColor=#000000", back)

    def test_apply_styles_gives_plain_runs_the_body_style(self):
        # RTF keeps no style tags: what shows is the body's size and its dynamic colour, which
        # RTF writes as the automatic colour.
        dump = self.transformed("apply-styles", self.input)
        self.assertEqual(self.sizes(dump), [13], dump)
        self.assertNotIn("NSColor=", dump)
        self.assertNotIn("NSBackgroundColor", dump)

    def test_standard_output_and_existing_files(self):
        result = self.run_tool("scale", "2", self.input)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith(b"{\\rtf1"))
        existing = self.write("mine.rtf", b"my own document")
        result = self.run_tool("scale", "2", self.input, "-o", existing)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"--force", result.stderr)
        with open(existing, "rb") as file:
            self.assertEqual(file.read(), b"my own document")
        result = self.run_tool("scale", "2", self.input, "-o", existing, "--force")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_failures_and_usage(self):
        unknown = self.write("unknown", b"plain words, no markup")
        missing = os.path.join(self.folder, "missing")
        for arguments in (["dump", unknown], ["dump", missing], ["apply-styles", missing]):
            result = self.run_tool(*arguments)
            self.assertEqual(result.returncode, 1, arguments)
            self.assertTrue(result.stderr.startswith(b"zelvar-richtext: cannot read"), arguments)
        for arguments in (["dump"], ["dump", "a", "b"], ["clean-web", self.input, "--bogus"],
                          ["dynamic-colors", "sideways", self.input], ["scale", self.input],
                          ["clean-web", self.input, "-o"]):
            result = self.run_tool(*arguments)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertIn(b"Usage:", result.stderr)
        result = self.run_tool("--help")
        self.assertEqual(result.returncode, 0)
        for command in (b"clean-web", b"apply-styles", b"scale", b"dynamic-colors", b"dump"):
            self.assertIn(command, result.stdout)

    def test_hostile_text_cannot_drive_the_terminal(self):
        hostile = self.write("hostile", rb"{\rtf1 a\'1b]0;owned\'07b}")
        dump = self.run_tool("dump", hostile)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        self.assertNotIn(b"\x1b", dump.stdout)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
