#!/usr/bin/env python3
"""End-to-end tests of zelvar-export --dry-run: what it predicts, and that it writes nothing.

Usage: zelvar_export_dry_run_e2e_test.py PATH_TO_ZELVAR_EXPORT SOURCE_DIR [unittest options]
"""

import json
import os
import shutil
import sys
import unittest
import urllib.parse

import zelvar_export_e2e_test as base
from zelvar_export_e2e_test import ExportTestCase, TERMINAL_ATTACK, write_snapshot

# A title whose UTF-8 form is far past 255 bytes, so that names are cut, and cut names collide.
LONG_CJK = "季度会议记录和行动项目" * 12
HOSTILE = ["../../etc/passwd", "a/b\\c", ".hidden", "..", "-", "Report.rtf", "Report",
           "Report.RTF", " Report ", TERMINAL_ATTACK, "tab\there", "\u202eevil", "x" * 300,
           "naïve café", "😀" * 80]


def hostile_library():
    names = HOSTILE + [LONG_CJK, LONG_CJK + "!", LONG_CJK[:-1]] + ["Same"] * 12
    return ([{"kind": "note", "id": "N%d" % i, "name": name} for i, name in enumerate(names)]
            + [{"kind": "password", "id": "P%d" % i, "name": name, "encrypted": True}
               for i, name in enumerate(names[:10] + ["Same"] * 3)]
            + [{"kind": "bookmark", "id": "B%d" % i, "name": name, "location": "https://e.x/%d" % i}
               for i, name in enumerate(names[:8] + ["Same", "", LONG_CJK])]
            + [{"kind": "bookmark", "id": "B-none", "name": "No location"},
               {"kind": "note", "id": "N-unnamed", "name": ""},
               {"kind": "note", "id": "N-secret", "name": "Same", "encrypted": True},
               {"kind": "image", "id": "I0", "name": "Same", "file": "payload/i.png"},
               {"kind": "image", "id": "I1", "name": "Same.png", "file": "payload/i.png"}])


def tree(folder):
    """Everything a folder holds, links and modes and times included; nothing for none."""
    if not os.path.lexists(folder):
        return None
    found = {}
    for root, folders, files in os.walk(folder):
        for path in (os.path.join(root, name) for name in folders + files):
            status = os.lstat(path)
            content = (os.readlink(path) if os.path.islink(path)
                       else open(path, "rb").read() if os.path.isfile(path) else None)
            found[os.path.relpath(path, folder)] = (status.st_mode, status.st_mtime_ns, content)
    return found


class DryRunTest(ExportTestCase):
    def library(self, name="hostile", items=None):
        folder = os.path.join(self.folder, name)
        os.makedirs(os.path.join(folder, "payload"), exist_ok=True)
        with open(os.path.join(folder, "payload", "i.png"), "wb") as image:
            image.write(b"\x89PNG\r\n\x1a\n" + b"0" * 32)
        return write_snapshot(folder, hostile_library() if items is None else items)

    def plan(self, *arguments, library=None):
        result = self.run_export("--dry-run", "--json", "--list", *arguments, library=library)
        self.assertEqual(result.returncode, 0, result.stderr)
        plan = json.loads(result.stdout)
        self.assertEqual(plan["version"], 1)
        return plan

    def test_predicted_names_are_the_names_the_export_gives(self):
        library = self.library()
        for options in [[], ["--no-encrypted"], ["--no-passwords"]]:
            with self.subTest(options):
                plan = self.plan(*options, library=library)
                predicted = {item["id"]: item["fileName"] for item in plan["items"]
                             if item["outcome"] != "skipped"}
                metadata = self.hand_over(self.run_export(*options, "--no-log", library=library))
                exported = {}
                for item in metadata["Files"]["items"]:
                    path = urllib.parse.unquote(urllib.parse.urlsplit(item["fileURL"]).path)
                    exported[item["identifier"]] = os.path.basename(path)
                self.assertEqual(predicted, exported)
                # Cut names really were cut, and collided.
                self.assertTrue(all(len(name.encode()) <= 255 for name in predicted.values()))
                self.assertIn("Same 11.rtf", predicted.values())
                shutil.rmtree(self.container)
        note, password = plan["kinds"]["note"], plan["kinds"]["password"]
        self.assertEqual((note["exported"], note["skipped"]["noName"], note["skipped"]["encrypted"],
                          password["skipped"]["passwordsLeftOut"]), (31, 1, 0, 13))
        self.assertEqual(plan["kinds"]["bookmark"]["skipped"]["noLocation"], 1)
        self.assertEqual(plan["kinds"]["image"]["payloadBytes"], 80)
        self.assertEqual((plan["problems"], plan["container"]), ([], self.container))

    def test_writes_nothing_anywhere(self):
        library = self.library()
        data_folder = self.environment["XDG_DATA_HOME"]
        old_export = os.path.join(self.container, "Zelvar", "Zelvar")
        for container_exists in [False, True]:
            if container_exists:
                os.makedirs(old_export)
                with open(os.path.join(old_export, "old.rtf"), "w") as old:
                    old.write("earlier export")
                os.symlink("/nonexistent", os.path.join(self.container, ".Zelvar.lock"))
            for arguments in [[], ["--list"], ["--json", "--list"], ["--verbose"]]:
                with self.subTest(container_exists=container_exists, arguments=arguments):
                    before = (tree(self.container), tree(self.temporary_folder),
                              tree(library), os.path.exists(data_folder))
                    result = self.run_export("--dry-run", *arguments, library=library)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual((tree(self.container), tree(self.temporary_folder),
                                      tree(library), os.path.exists(data_folder)), before)

    def test_exit_status_and_reason(self):
        good = self.library("good", base.notes(3))
        file_in_the_way = os.path.join(self.folder, "file")
        with open(file_in_the_way, "w") as planted:
            planted.write("x")
        failing = self.library("failing", base.notes(2) + [
            {"kind": "note", "id": "BAD", "name": "Locked", "exportError": "It is locked."},
            {"kind": "note", "id": "GONE", "name": "Gone", "file": None}])
        cases = [
            (["--library", good], 0, None),
            (["--library", good, "--container", os.path.join(file_in_the_way, "c")], 1,
             "Cannot find the free space of"),
            (["--library", failing], 1, "It is locked."),
            (["--library", failing], 1, "Cannot export “Gone”. An unknown error occurred."),
        ]
        for arguments, status, reason in cases:
            with self.subTest(arguments=arguments, reason=reason):
                result = self.run_export("--dry-run", *arguments)
                self.assertEqual(result.returncode, status, result.stderr)
                if reason:
                    self.assertIn(reason, result.stderr)

    def test_not_enough_space_stops_the_dry_run_and_the_export_alike(self):
        library = self.library("huge", [{"kind": "note", "id": "H", "name": "Huge",
                                         "file": "payload/huge.rtf"}])
        os.makedirs(self.container)
        huge = os.path.join(library, "payload", "huge.rtf")
        try:
            with open(huge, "wb") as payload:
                payload.truncate(15 << 40)
        except OSError as error:
            self.skipTest("no sparse file of 15 TiB here: %s" % error)
        if shutil.disk_usage(self.container).free >= 15 << 40:
            self.skipTest("the file system has room for 15 TiB")
        result = self.run_export("--dry-run", "--json", library=library)
        self.assertEqual(result.returncode, 1, result.stderr)
        plan = json.loads(result.stdout)
        self.assertFalse(plan["exportWouldStart"])
        self.assertRegex(plan["problems"][0], r"^Not enough free space in " +
                         self.container + r": 16\.5 TB \([\d,]+ bytes\) needed, .* available\.$")
        result = self.run_export("--no-log", library=library)
        self.assertEqual(result.returncode, 1, result.stderr)
        # The free space itself moves with whatever else runs on the machine.
        self.assertIn(plan["problems"][0].split(" needed, ")[0] + " needed, ", result.stderr)
        self.assertIn("ZVImportErrorDomain, code 10002", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.container, "Zelvar")))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    base.EXECUTABLE = os.path.abspath(sys.argv[1])
    base.SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
