#!/usr/bin/env python3
"""Runs zelvar-sim on a private session bus and talks to it with dbus-send.

Usage: zelvar_sim_e2e_test.py ZELVAR_SIM SOURCE_DIR [unittest options]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ZELVAR_SIM = ""
SOURCE_DIR = ""
TIMEOUT = 60
LIBRARY_PATH = "/org/example/Zelvar/Library"
LIBRARY_INTERFACE = "org.example.Zelvar.Library1"


class PrivateBus:
    """A dbus-daemon of the test's own; services installed under data_dir can be activated."""

    def __init__(self, data_dir=None):
        env = dict(os.environ)
        if data_dir:
            env["XDG_DATA_DIRS"] = data_dir
        self.process = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--print-address"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        self.address = self.process.stdout.readline().strip()
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address)

    def close(self):
        self.process.terminate()
        self.process.wait(TIMEOUT)

    def send(self, destination, path, method, *arguments):
        return subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--reply-timeout=20000",
             "--dest=" + destination, path, method, *arguments],
            capture_output=True, text=True, env=self.env, timeout=TIMEOUT)

    def has_owner(self, name):
        result = self.send("org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus.NameHasOwner", "string:" + name)
        return "boolean true" in result.stdout

    def wait_for_owner(self, name, process):
        deadline = time.monotonic() + TIMEOUT
        while not self.has_owner(name):
            if process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("zelvar-sim did not take " + name)
            time.sleep(0.05)


def demo_library():
    return os.path.join(SOURCE_DIR, "data", "demo-library")


class ZelvarSimTest(unittest.TestCase):
    def setUp(self):
        if shutil.which("dbus-daemon") is None or shutil.which("dbus-send") is None:
            self.skipTest("dbus-daemon and dbus-send are needed")
        self.scratch = tempfile.mkdtemp(prefix="zelvar-sim-test-")

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def test_usage_errors(self):
        cases = [
            ("no library", []),
            ("unknown option", ["--library", demo_library(), "--frobnicate"]),
            ("missing value", ["--library"]),
            ("bad bus name", ["--library", demo_library(), "--name", "nodots"]),
            ("bad delay", ["--library", demo_library(), "--call-delay-ms", "soon"]),
            ("bad version", ["--library", demo_library(), "--version", "4\n6"]),
            ("install without prefix", ["install", "--library", demo_library()]),
            ("unreadable library", ["--library", os.path.join(self.scratch, "none")]),
            ("install unreadable library",
             ["install", "--prefix", self.scratch, "--library", self.scratch]),
        ]
        for name, arguments in cases:
            with self.subTest(name):
                result = subprocess.run([ZELVAR_SIM, *arguments], capture_output=True, text=True,
                                        timeout=TIMEOUT)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertIn("zelvar-sim: ", result.stderr)

    def test_serves_until_terminated(self):
        bus = PrivateBus()
        try:
            for stop in (signal.SIGTERM, signal.SIGINT):
                with self.subTest(stop.name):
                    name = "org.example.zelvar.e2e"
                    sim = subprocess.Popen(
                        [ZELVAR_SIM, "--library", demo_library(), "--name", name,
                         "--deny-control"],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=bus.env)
                    bus.wait_for_owner(name, sim)
                    count = bus.send(name, LIBRARY_PATH, LIBRARY_INTERFACE + ".CountItems",
                                     "string:bookmark")
                    self.assertIn("int64 6", count.stdout, count.stderr)
                    items = bus.send(name, LIBRARY_PATH, LIBRARY_INTERFACE + ".GetItems",
                                     "string:bookmark", "uint32:0", "uint32:100")
                    self.assertIn('"https://news.example/today"', items.stdout, items.stderr)
                    self.assertTrue(items.stdout.rstrip().endswith("boolean false"))
                    denied = bus.send(name, "/org/example/Automation1",
                                      "org.example.Automation1.RequestPermission")
                    self.assertNotEqual(denied.returncode, 0)
                    self.assertIn("org.freedesktop.DBus.Error.AccessDenied", denied.stderr)
                    # A second copy cannot take the name that the first holds.
                    second = subprocess.run([ZELVAR_SIM, "--library", demo_library(), "--name",
                                             name], capture_output=True, text=True, env=bus.env,
                                            timeout=TIMEOUT)
                    self.assertEqual(second.returncode, 1)
                    sim.send_signal(stop)
                    out, err = sim.communicate(timeout=TIMEOUT)
                    self.assertEqual(sim.returncode, 0, err)
                    self.assertEqual(out, "")
                    self.assertFalse(bus.has_owner(name))
        finally:
            bus.close()

    def test_ends_when_the_bus_goes_away(self):
        bus = PrivateBus()
        name = "org.example.zelvar.orphan"
        sim = subprocess.Popen([ZELVAR_SIM, "--library", demo_library(), "--name", name],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=bus.env)
        try:
            bus.wait_for_owner(name, sim)
        finally:
            bus.close()
        out, err = sim.communicate(timeout=TIMEOUT)
        self.assertEqual(sim.returncode, 1, err)
        self.assertIn("the session bus went away", err)
        self.assertEqual(out, "")

    def test_installed_copy_is_found_and_activated(self):
        prefix = os.path.join(self.scratch, "prefix with 'quotes' and spaces")
        library = os.path.join(self.scratch, "library $HOME")
        shutil.copytree(demo_library(), library)
        name = "org.example.zelvar4"
        result = subprocess.run(
            [ZELVAR_SIM, "install", "--prefix", prefix, "--library", library, "--name", name,
             "--version", "4.7.1"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "")
        share = os.path.join(prefix, "share")
        with open(os.path.join(share, "applications", name + ".desktop")) as entry:
            desktop = entry.read().splitlines()
        self.assertEqual(desktop[0], "[Desktop Entry]")
        for line in ("Type=Application", "Name=Zelvar", "DBusActivatable=true",
                     "X-AppVersion=4.7.1"):
            self.assertIn(line, desktop)
        self.assertIn('"' + library.replace("$", "\\\\$") + '"',
                      next(line for line in desktop if line.startswith("Exec=")))
        with open(os.path.join(share, "metainfo", name + ".metainfo.xml")) as metainfo:
            self.assertIn('<release version="4.7.1"', metainfo.read())

        bus = PrivateBus(data_dir=share)
        try:
            # Nobody started it: the bus does, from the installed service file.
            count = bus.send(name, LIBRARY_PATH, LIBRARY_INTERFACE + ".CountItems",
                             "string:note")
            self.assertIn("int64 9", count.stdout, count.stderr)
            allowed = bus.send(name, "/org/example/Automation1",
                               "org.example.Automation1.RequestPermission")
            self.assertEqual(allowed.returncode, 0, allowed.stderr)
            pid = bus.send("org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus.GetConnectionUnixProcessID",
                           "string:" + name).stdout.split()[-1]
            os.kill(int(pid), signal.SIGTERM)
        finally:
            bus.close()


if __name__ == "__main__":
    ZELVAR_SIM, SOURCE_DIR = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
