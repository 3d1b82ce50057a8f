#!/usr/bin/env python3
"""zelvar-export --from-app against zelvar-sim on a private session bus.

Usage: zelvar_export_from_app_e2e_test.py ZELVAR_EXPORT ZELVAR_SIM SOURCE_DIR [unittest options]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

EXPORT, SIM, SOURCE_DIR = "", "", ""
TIMEOUT = 120
CANNOT = "zelvar-export: Cannot start import. "


class FromAppTest(unittest.TestCase):
    def setUp(self):
        if shutil.which("dbus-daemon") is None:
            self.skipTest("dbus-daemon is needed")
        self.scratch = tempfile.mkdtemp(prefix="zelvar-from-app-test-")
        self.share = os.path.join(self.scratch, "share")
        self.library = os.path.join(SOURCE_DIR, "data", "demo-library")
        # The bus activates what is installed under share, as a desktop session's bus does.
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address"], stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, text=True, env=dict(os.environ, XDG_DATA_DIRS=self.share))
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.bus.stdout.readline().strip(),
                        XDG_DATA_HOME=os.path.join(self.scratch, "home"), XDG_DATA_DIRS=self.share)

    def tearDown(self):
        self.bus.terminate()
        self.bus.wait(TIMEOUT)
        self.bus.stdout.close()
        shutil.rmtree(self.scratch)

    def install(self, name, version):
        subprocess.run([SIM, "install", "--prefix", self.scratch, "--library", self.library,
                        "--name", name, "--version", version], check=True, timeout=TIMEOUT)

    def wait_for_owner(self, name, process):
        ask = ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
               "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name]
        deadline = time.monotonic() + TIMEOUT
        while "boolean true" not in subprocess.run(ask, capture_output=True, text=True,
                                                   env=self.env).stdout:
            self.assertIsNone(process.poll(), "zelvar-sim ended")
            self.assertLess(time.monotonic(), deadline, "zelvar-sim did not take " + name)
            time.sleep(0.05)

    def export(self):
        result = subprocess.run(
            [EXPORT, "--from-app", "--container", os.path.join(self.scratch, "box"), "--no-log"],
            capture_output=True, text=True, env=self.env, timeout=TIMEOUT)
        return result.returncode, result.stdout, result.stderr

    def test_each_failed_check_exits_with_its_alert(self):
        code, _, error = self.export()
        self.assertEqual((code, error), (1, CANNOT + "Unable to locate the Zelvar application.\n"))
        self.install("org.example.zelvar", "1.4.1")
        code, _, error = self.export()
        self.assertEqual((code, error), (1, CANNOT + "This version of Zelvar is too old. "
                                         "Version 1.4.2 or later is required.\n"))
        self.install("org.example.zelvar", "1.4.2")
        os.remove(os.path.join(self.share, "dbus-1", "services", "org.example.zelvar.service"))
        code, _, error = self.export()
        self.assertEqual(code, 1)
        self.assertIn(CANNOT + "Could not open org.example.zelvar: ", error)
        # Already running, and refusing: found on the bus without a launch, then the refusal.
        sim = subprocess.Popen([SIM, "--library", self.library, "--deny-control"], env=self.env)
        try:
            self.wait_for_owner("org.example.zelvar", sim)
            code, _, error = self.export()
        finally:
            sim.terminate()
            sim.wait(TIMEOUT)
        self.assertEqual((code, error), (1, "zelvar-export: This app does not have authority to "
                                         "control Zelvar. Allow this app to control Zelvar in "
                                         "Security & Privacy System Settings.\n"))

    def test_exports_from_version_four_started_by_the_bus(self):
        # The base application is too old: only version 4 can make this pass.
        self.install("org.example.zelvar", "1.0")
        self.install("org.example.zelvar4", "4.6")
        code, output, error = self.export()
        self.assertEqual(code, 0, error)
        self.assertTrue(output.splitlines()[-1].startswith("quennet://library?location=file"))
        self.assertTrue(os.path.isfile(os.path.join(self.scratch, "box", "Zelvar", "Zelvar.plist")))

    def test_verify_from_the_app_with_and_without_the_report(self):
        self.install("org.example.zelvar", "1.4.2")
        report = os.path.join(self.scratch, "r.csv")
        box = os.path.join(self.scratch, "box")
        result = subprocess.run(
            [EXPORT, "--from-app", "--container", box, "--no-log", "--report", report],
            capture_output=True, text=True, env=self.env, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        verify = os.path.join(os.path.dirname(EXPORT), "zelvar-verify")

        def check(*options):
            checked = subprocess.run([verify, os.path.join(box, "Zelvar"), "--from-app", *options],
                                     capture_output=True, text=True, env=self.env,
                                     timeout=TIMEOUT)
            return checked.returncode, checked.stdout + checked.stderr

        for options in ((), ("--report", report)):
            with self.subTest(options=options):
                code, output = check(*options)
                self.assertEqual(code, 0, output)
                self.assertIn("Library: 25 items", output)
        with open(os.path.join(box, "Zelvar", "Zelvar", "Diary.rtf"), "r+b") as diary:
            diary.seek(5)
            diary.write(b"X")
        for options, problem in (((), '"Diary.rtf" differs from its payload (SHA-256)'),
                                 (("--report", report),
                                  '"Diary.rtf" differs from the report (SHA-256)')):
            with self.subTest(options=options):
                code, output = check(*options)
                self.assertEqual(code, 1, output)
                self.assertIn(problem, output)
        # Without Zelvar there is nothing to compare with: the alert, and exit status 1.
        os.remove(os.path.join(self.share, "dbus-1", "services", "org.example.zelvar.service"))
        shutil.rmtree(os.path.join(self.share, "applications"), ignore_errors=True)
        code, output = check()
        self.assertEqual(code, 1, output)
        self.assertIn("zelvar-verify: Cannot start import. ", output)


if __name__ == "__main__":
    EXPORT, SIM, SOURCE_DIR = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
