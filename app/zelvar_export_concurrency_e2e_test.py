#!/usr/bin/env python3
"""End-to-end tests of zelvar-export runs started together into one container.

Usage: zelvar_export_concurrency_e2e_test.py PATH_TO_ZELVAR_EXPORT SOURCE_DIR [unittest options]
"""
import fcntl
import os
import plistlib
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

EXECUTABLE = ""
SOURCE_DIR = ""
# Generous: the sanitizer builds are many times slower than a release build.
TIMEOUT = 600
RUNS = 3
ITEMS = 600
LOCK_FILE = ".Zelvar.lock"
LOSER_TEXT = "another export into"


class ConcurrentExportTest(unittest.TestCase):
    def setUp(self):
        self.temporary = tempfile.TemporaryDirectory(prefix="zelvar-export-concurrency-")
        self.folder = self.temporary.name
        self.container = os.path.join(self.folder, "container")
        self.environment = dict(os.environ, HOME=self.folder,
                                XDG_DATA_HOME=os.path.join(self.folder, "data"))
        generator = os.path.join(SOURCE_DIR, "bench", "generate_snapshot.py")
        self.libraries = []
        for seed in range(1, RUNS + 1):
            library = os.path.join(self.folder, "library-%d" % seed)
            subprocess.run([sys.executable, generator, str(ITEMS), library, "--seed", str(seed),
                            "--labels", "5", "--collections", "5", "--collection-size", "20"],
                           check=True, timeout=TIMEOUT)
            self.libraries.append(library)

    def tearDown(self):
        self.temporary.cleanup()

    def start_runs(self):
        """All runs started before any is waited for; (exit status, stderr) of each."""
        processes = [subprocess.Popen([EXECUTABLE, "--library", library,
                                       "--container", self.container],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                      env=self.environment, stdin=subprocess.DEVNULL)
                     for library in self.libraries]
        results = []
        for process in processes:
            _, stderr = process.communicate(timeout=TIMEOUT)
            results.append((process.returncode, stderr))
        return results

    def check_export_is_whole(self):
        """Every file the metadata names exists, and the root folder holds nothing else."""
        with open(os.path.join(self.container, "Zelvar", "Zelvar.plist"), "rb") as metadata:
            items = plistlib.load(metadata)["Files"]["items"]
        self.assertGreater(len(items), 0)
        paths = set()
        for item in items:
            path = urllib.parse.unquote(urllib.parse.urlsplit(item["fileURL"]).path)
            self.assertTrue(os.path.isfile(path), item["identifier"])
            paths.add(path)
        root = os.path.join(self.container, "Zelvar", "Zelvar")
        self.assertEqual(paths, {os.path.join(root, name) for name in os.listdir(root)})
        return paths

    def test_runs_started_together_leave_one_whole_export(self):
        for round_number in range(2):
            with self.subTest(round=round_number):
                results = self.start_runs()
                for status, stderr in results:
                    self.assertIn(status, (0, 1), stderr)
                    if status == 1:
                        self.assertIn(LOSER_TEXT, stderr)
                self.assertIn(0, [status for status, _ in results])
                self.check_export_is_whole()

    def test_a_run_in_progress_turns_the_others_away_untouched(self):
        subprocess.run([EXECUTABLE, "--library", self.libraries[0], "--container", self.container],
                       check=True, capture_output=True, timeout=TIMEOUT, env=self.environment,
                       stdin=subprocess.DEVNULL)
        before = self.check_export_is_whole()
        # Holding the lock stands for a run that is still exporting.
        with open(os.path.join(self.container, LOCK_FILE), "ab") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            for status, stderr in self.start_runs():
                self.assertEqual(status, 1, stderr)
                self.assertIn(LOSER_TEXT, stderr)
            self.assertEqual(self.check_export_is_whole(), before)
        # Once it is free again, runs go ahead.
        self.assertIn(0, [status for status, _ in self.start_runs()])
        self.check_export_is_whole()


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    EXECUTABLE = os.path.abspath(sys.argv[1])
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
