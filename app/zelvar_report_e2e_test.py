#!/usr/bin/env python3
"""zelvar-export --report and zelvar-verify --report, end to end.

Usage: zelvar_report_e2e_test.py PATH_TO_ZELVAR_EXPORT SOURCE_DIR [unittest options]

zelvar-verify is expected beside zelvar-export.
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

EXPORT = ""
VERIFY = ""
SOURCE_DIR = ""
TIMEOUT = 600


class ReportTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zelvar-report-test-")
        self.container = os.path.join(self.folder, "container")
        self.library = os.path.join(SOURCE_DIR, "data", "demo-library")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def export(self, *options, library=None):
        return subprocess.run(
            [EXPORT, "--library", library or self.library, "--container", self.container,
             "--no-log", *options], capture_output=True, text=True, timeout=TIMEOUT)

    def verify(self, *options):
        return subprocess.run(
            [VERIFY, os.path.join(self.container, "Zelvar"), *options],
            capture_output=True, text=True, timeout=TIMEOUT)

    def test_report_in_the_export_folder_or_over_a_file_is_refused(self):
        os.makedirs(os.path.join(self.container, "Zelvar", "Zelvar"))
        taken = os.path.join(self.folder, "taken.csv")
        with open(taken, "w") as existing:
            existing.write("mine")
        cases = [
            (os.path.join(self.container, "Zelvar", "r.jsonl"), "would lie in the export folder"),
            (os.path.join(self.container, "Zelvar", "Zelvar", "r.csv"),
             "would lie in the export folder"),
            (os.path.join(self.container, "Zelvar", "..", "Zelvar", "r.csv"),
             "would lie in the export folder"),
            (taken, "exists already"),
            (os.path.join(self.folder, "r.txt"), "must end in .jsonl or .csv"),
            (os.path.join(self.folder, "missing", "r.csv"), "cannot begin the report"),
        ]
        for report, message in cases:
            with self.subTest(report=report):
                result = self.export("--report", report)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
        with open(taken) as existing:
            self.assertEqual(existing.read(), "mine")
        # Nothing was exported: the refusal comes before the old export folder is touched.
        self.assertFalse(os.path.exists(os.path.join(self.container, "Zelvar", "Zelvar.plist")))

    def test_verify_with_the_report_catches_a_file_changed_after_the_export(self):
        for name in ("r.jsonl", "r.csv"):
            with self.subTest(report=name):
                report = os.path.join(self.folder, name)
                result = self.export("--report", report)
                self.assertEqual(result.returncode, 0, result.stderr)
                checked = self.verify("--report", report, "--library", self.library)
                self.assertEqual(checked.returncode, 0, checked.stdout)
                self.assertIn("compared by size and SHA-256 with the report: 22", checked.stdout)
                with open(os.path.join(self.container, "Zelvar", "Zelvar", "Diary.rtf"),
                          "r+b") as diary:
                    diary.seek(5)
                    diary.write(b"X")
                checked = self.verify("--report", report)
                self.assertEqual(checked.returncode, 1, checked.stdout)
                self.assertIn('item "N6": its file "Diary.rtf" differs from the report (SHA-256)',
                              checked.stdout)
                os.remove(report)

    def test_report_hashes_equal_sha256sum(self):
        report = os.path.join(self.folder, "r.jsonl")
        self.assertEqual(self.export("--report", report).returncode, 0)
        with open(report) as lines:
            records = [json.loads(line) for line in lines]
        self.assertEqual(records[0], {"report": "zelvar-export", "version": 1})
        self.assertEqual(records[-1], {"complete": True, "items": 25, "exported": 21,
                                       "converted": 1, "skipped": 3})
        for record in records[1:-1]:
            if record["outcome"] == "skipped":
                continue
            with open(os.path.join(self.container, "Zelvar", record["file"]), "rb") as file:
                content = file.read()
            self.assertEqual(record["size"], len(content), record["id"])
            self.assertEqual(record["sha256"], hashlib.sha256(content).hexdigest(), record["id"])

    def test_signal_leaves_the_report_so_far_marked_incomplete(self):
        library = os.path.join(self.folder, "large")
        os.makedirs(os.path.join(library, "payload"))
        items = []
        for index in range(4000):
            with open(os.path.join(library, "payload", "%d.rtf" % index), "wb") as payload:
                payload.write(b"{\\rtf1 " + b"x" * 1024 + b"}")
            items.append({"kind": "note", "id": "N%d" % index, "name": "Bulk",
                          "file": "payload/%d.rtf" % index})
        with open(os.path.join(library, "library.json"), "w") as description:
            json.dump({"format": 1, "labels": [], "folderCollections": [], "items": items},
                      description)
        report = os.path.join(self.folder, "r.jsonl")
        process = subprocess.Popen(
            [EXPORT, "--library", library, "--container", self.container, "--no-log",
             "--verbose", "--report", report],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for line in process.stderr:
            if "Finished exporting item:" in line:
                process.send_signal(signal.SIGINT)
                break
        process.communicate(timeout=TIMEOUT)
        self.assertEqual(process.returncode, 130)
        with open(report) as lines:
            records = [json.loads(line) for line in lines]
        self.assertFalse(records[-1]["complete"])
        self.assertIn("cancel", records[-1]["error"].lower())
        self.assertEqual(records[-1]["items"], len(records) - 2)
        self.assertLess(len(records), 4000 + 2)
        self.assertEqual([name for name in os.listdir(self.folder) if name.endswith(".partial")],
                         [])

    def test_verify_says_what_is_wrong_with_a_report(self):
        report = os.path.join(self.folder, "r.jsonl")
        self.assertEqual(self.export("--report", report).returncode, 0)
        with open(report) as lines:
            good = lines.read().splitlines(keepends=True)
        cases = [
            ("cut short", good[:-1], "the report is incomplete: it has no last line"),
            ("one enormous line", good[:3] + ["x" * (3 << 20) + "\n"] + good[3:],
             "the report is damaged at line 4: a line is longer than 1024 KiB"),
            ("garbage", good[:2] + ["\x1b[2J{\n"] + good[2:],
             "the report is damaged at line 3"),
            ("another version", ['{"report":"zelvar-export","version":7}\n'] + good[1:],
             "not a version 1 report"),
        ]
        for name, lines, problem in cases:
            with self.subTest(name):
                with open(report, "w") as damaged:
                    damaged.writelines(lines)
                checked = self.verify("--report", report)
                self.assertEqual(checked.returncode, 1, checked.stdout)
                self.assertIn(problem, checked.stdout)
                self.assertNotIn("\x1b", checked.stdout)
        for arguments in (["--report"], ["--library", "a", "--from-app"],
                          ["--report", "a.csv", "--report", "b.csv"]):
            with self.subTest(arguments=arguments):
                self.assertEqual(self.verify(*arguments).returncode, 2)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    EXPORT = os.path.abspath(sys.argv[1])
    VERIFY = os.path.join(os.path.dirname(EXPORT), "zelvar-verify")
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
