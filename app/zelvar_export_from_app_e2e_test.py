#!/usr/bin/env python3
"""zelvar-export --from-app against zelvar-sim on a private session bus: the checks on Zelvar
and the export from it.

Usage: zelvar_export_from_app_e2e_test.py ZELVAR_EXPORT ZELVAR_SIM SOURCE_DIR [unittest options]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ZELVAR_EXPORT = ""
ZELVAR_SIM = ""
SOURCE_DIR = ""
TIMEOUT = 120


class PrivateBus:
    """A dbus-daemon of the test's own that activates the services installed under data_dir."""

    def __init__(self, data_dir):
        env = dict(os.environ, XDG_DATA_DIRS=data_dir)
        self.process = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        self.address = self.process.stdout.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(TIMEOUT)
        self.process.stdout.close()


class FromAppTest(unittest.TestCase):
    def setUp(self):
        if shutil.which("dbus-daemon") is None:
            self.skipTest("dbus-daemon is needed")
        self.scratch = tempfile.mkdtemp(prefix="zelvar-from-app-test-")
        self.prefix = os.path.join(self.scratch, "prefix")
        self.share = os.path.join(self.prefix, "share")
        os.makedirs(self.share)
        self.bus = PrivateBus(self.share)
        self.running = []

    def tearDown(self):
        for process in self.running:
            process.terminate()
            process.wait(TIMEOUT)
        self.bus.close()
        shutil.rmtree(self.scratch)

    def env(self):
        return dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.bus.address,
                    XDG_DATA_HOME=os.path.join(self.scratch, "home"), XDG_DATA_DIRS=self.share)

    def install(self, name, version):
        subprocess.run(
            [ZELVAR_SIM, "install", "--prefix", self.prefix, "--library", self.library(),
             "--name", name, "--version", version], check=True, timeout=TIMEOUT)

    def library(self):
        return os.path.join(SOURCE_DIR, "data", "demo-library")

    def export(self, *extra):
        container = os.path.join(self.scratch, "container")
        return subprocess.run(
            [ZELVAR_EXPORT, "--from-app", "--container", container, "--no-log", *extra],
            capture_output=True, text=True, env=self.env(), timeout=TIMEOUT)

    def run_sim(self, *extra):
        process = subprocess.Popen(
            [ZELVAR_SIM, "--library", self.library(), *extra], env=self.env(),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.running.append(process)
        owner = subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
             "string:org.example.zelvar"], capture_output=True, text=True, env=self.env())
        deadline = time.monotonic() + TIMEOUT
        while "boolean true" not in owner.stdout:
            self.assertLess(time.monotonic(), deadline, "zelvar-sim did not start")
            time.sleep(0.05)
            owner = subprocess.run(owner.args, capture_output=True, text=True, env=self.env())

    def assert_exported(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        last = result.stdout.strip().splitlines()[-1]
        self.assertTrue(last.startswith("quennet://library?location=file"), last)
        self.assertTrue(os.path.isfile(
            os.path.join(self.scratch, "container", "Zelvar", "Zelvar.plist")))

    def assert_alert(self, result, line):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("zelvar-export: " + line, result.stderr)
        self.assertEqual(result.stdout, "")

    def test_exports_from_the_application_started_by_the_bus(self):
        self.install("org.example.zelvar", "1.5")
        self.assert_exported(self.export())

    def test_prefers_version_four(self):
        # The base application is too old: only version 4 can make this pass.
        self.install("org.example.zelvar", "1.0")
        self.install("org.example.zelvar4", "4.6")
        self.assert_exported(self.export())

    def test_each_failed_check_exits_with_its_alert(self):
        cannot = "Cannot start import. "
        self.assert_alert(self.export(), cannot + "Unable to locate the Zelvar application.")
        self.install("org.example.zelvar", "1.4.1")
        self.assert_alert(self.export(), cannot + "This version of Zelvar is too old. "
                          "Version 1.4.2 or later is required.")
        self.install("org.example.zelvar", "1.4.2")
        os.remove(os.path.join(self.share, "dbus-1", "services", "org.example.zelvar.service"))
        self.assert_alert(self.export(), cannot + "Could not open org.example.zelvar: ")
        self.run_sim("--deny-control")
        self.assert_alert(self.export(), "This app does not have authority to control Zelvar. "
                          "Allow this app to control Zelvar in Security & Privacy System "
                          "Settings.")

    def test_library_and_application_exclude_each_other(self):
        result = self.export("--library", self.library())
        self.assertEqual(result.returncode, 2)
        self.assertIn("'--from-app' and '--library'", result.stderr)


if __name__ == "__main__":
    ZELVAR_EXPORT, ZELVAR_SIM, SOURCE_DIR = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
