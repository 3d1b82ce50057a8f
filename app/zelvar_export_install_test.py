#!/usr/bin/env python3
"""Tests that an installed zelvar-export finds the demo library installed with it.

Usage: zelvar_export_install_test.py CMAKE BUILD_DIR [unittest options]

Installs the build into a fresh prefix, so that nothing of the source or build tree is near the
program that runs.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

CMAKE = ""
BUILD_DIR = ""
# Generous: the sanitizer builds are many times slower than a release build.
TIMEOUT = 600


class InstalledProgramTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="zelvar-install-test-")
        cls.prefix = os.path.join(cls.scratch, "prefix")
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix], check=True,
                       stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        cls.program = os.path.join(cls.prefix, "bin", "zelvar-export")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch)

    def export_with(self, program):
        container = tempfile.mkdtemp(dir=self.scratch)
        # From the scratch folder, so that the working folder cannot lead to a demo library.
        result = subprocess.run([program, "--container", container], cwd=self.scratch,
                                capture_output=True, text=True, timeout=TIMEOUT)
        return result, os.path.join(container, "Zelvar", "Zelvar.plist")

    def test_demo_library_default(self):
        linked = os.path.join(self.scratch, "linked-zelvar-export")
        os.symlink(self.program, linked)
        alone = os.path.join(tempfile.mkdtemp(dir=self.scratch), "bin", "zelvar-export")
        os.makedirs(os.path.dirname(alone))
        shutil.copy2(self.program, alone)
        cases = [
            ("installed", self.program, True),
            ("through a symbolic link", linked, True),
            ("copied without its data", alone, False),
        ]
        for name, program, finds_demo in cases:
            with self.subTest(name):
                result, metadata = self.export_with(program)
                if finds_demo:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertTrue(os.path.isfile(metadata))
                    self.assertTrue(result.stdout.splitlines()[-1].startswith("quennet://"))
                else:
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn("cannot find the demo library; name a library with --library",
                                  result.stderr)
                    self.assertFalse(os.path.exists(metadata))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    CMAKE = sys.argv[1]
    BUILD_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
