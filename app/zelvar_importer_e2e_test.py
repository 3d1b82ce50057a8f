#!/usr/bin/env python3
"""The desktop program as a person uses it: under Xvfb, on a private session bus, with zelvar-sim
as Zelvar and a stand-in Quennet; Ctrl+I starts the import.

Usage: zelvar_importer_e2e_test.py ZELVAR_IMPORTER ZELVAR_SIM SOURCE_DIR [unittest options]
"""
import os
import plistlib
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

ZELVAR_IMPORTER = ""
ZELVAR_SIM = ""
SOURCE_DIR = ""
TIMEOUT = 120
QUENNET_GROUP = "QN7T3AM0RG.org.example.quennet"

STANDIN = """#!/bin/sh
# Stands in for Quennet: keeps the URL it was handed.
printf '%s\\n' "$1" > "{handover}"
"""


class XvfbDisplay:
    """An X server of the test's own; -displayfd picks a free display number."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.name = ":" + pipe.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(TIMEOUT)


class ImporterEndToEndTest(unittest.TestCase):
    def setUp(self):
        for tool in ("Xvfb", "xdotool", "dbus-run-session"):
            if shutil.which(tool) is None:
                self.skipTest(tool + " is needed")
        self.folder = tempfile.mkdtemp(prefix="zv-importer-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.prefix = os.path.join(self.folder, "prefix")
        self.home = os.path.join(self.folder, "home")
        self.handover = os.path.join(self.folder, "handover-url")
        os.makedirs(os.path.join(self.prefix, "share", "applications"))
        os.makedirs(self.home)
        subprocess.run([ZELVAR_SIM, "install", "--prefix", self.prefix, "--library",
                        os.path.join(SOURCE_DIR, "data", "demo-library")],
                       check=True, timeout=TIMEOUT)
        standin = os.path.join(self.folder, "quennet-standin")
        with open(standin, "w") as f:
            f.write(STANDIN.format(handover=self.handover))
        os.chmod(standin, stat.S_IRWXU)
        with open(os.path.join(self.prefix, "share", "applications",
                               "org.example.quennet.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Quennet\nExec=\"%s\" %%u\n" % standin)
        self.display = XvfbDisplay()
        self.addCleanup(self.display.close)

    def run_importer_and_press(self, keys, then='wait "$pid"\n'):
        env = dict(os.environ, DISPLAY=self.display.name, QT_QPA_PLATFORM="xcb",
                   XDG_DATA_HOME=self.home, XDG_DATA_DIRS=os.path.join(self.prefix, "share"))
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        # One shell inside the private bus: it starts the program, presses the keys once the
        # window is there and, by default, reports how the program ended. A search that walks
        # the windows while one of them closes fails with BadWindow, so it is tried again
        # (find_window NAME: the first window shown with that name, within a minute).
        script = (
            'find_window() {\n'
            '  for attempt in $(seq 1 600); do\n'
            '    found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)\n'
            '    if [ -n "$found" ]; then echo "$found"; return 0; fi\n'
            '    sleep 0.1\n'
            '  done\n'
            '  return 1\n'
            '}\n'
            '"$1" & pid=$!\n'
            'window=$(find_window "^Zelvar Importer$")\n'
            'xdotool windowfocus --sync "$window"\n'
            'xdotool key --clearmodifiers "$2"\n' + then)
        return subprocess.run(
            ["dbus-run-session", "--", "sh", "-c", script, "sh", ZELVAR_IMPORTER, keys],
            env=env, capture_output=True, text=True, timeout=TIMEOUT)

    def test_ctrl_k_shows_the_library_check_and_writes_nothing(self):
        # The summary sheet appears once the library has been read; the program is then ended.
        result = self.run_importer_and_press(
            "ctrl+k",
            'find_window "^Library Check$" >/dev/null\n'
            'shown=$?\n'
            'kill "$pid"; wait "$pid"\n'
            'exit "$shown"\n')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.home, QUENNET_GROUP, "Zelvar")))
        self.assertFalse(os.path.exists(self.handover))

    def test_ctrl_i_exports_hands_over_and_quits(self):
        result = self.run_importer_and_press("ctrl+i")
        self.assertEqual(result.returncode, 0, result.stderr)

        with open(self.handover) as f:
            url = urllib.parse.urlsplit(f.read().strip())
        self.assertEqual((url.scheme, url.netloc, url.path), ("quennet", "library", ""))
        query = urllib.parse.parse_qs(url.query)
        self.assertEqual(list(query), ["location"])
        location = urllib.parse.urlsplit(query["location"][0])
        self.assertEqual(location.scheme, "file")
        metadata_path = urllib.parse.unquote(location.path)
        self.assertEqual(metadata_path, os.path.join(self.home, QUENNET_GROUP, "Zelvar",
                                                     "Zelvar.plist"))
        with open(metadata_path, "rb") as f:
            metadata = plistlib.load(f)
        self.assertGreater(len(metadata["Files"]["items"]), 0)

        logs = os.path.join(self.home, QUENNET_GROUP, "Library", "Zelvar Importer", "Logs")
        self.assertEqual(len(os.listdir(logs)), 1)


if __name__ == "__main__":
    ZELVAR_IMPORTER, ZELVAR_SIM, SOURCE_DIR = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
