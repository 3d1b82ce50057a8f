#!/usr/bin/env python3
"""End-to-end tests of zelvar-export on the demo library and on small generated snapshots.

Usage: zelvar_export_e2e_test.py PATH_TO_ZELVAR_EXPORT SOURCE_DIR [unittest options]
"""
import json
import os
import plistlib
import signal
import stat
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

EXECUTABLE = ""
SOURCE_DIR = ""
# Generous: the sanitizer builds are many times slower than a release build.
TIMEOUT = 600

DEMO_ITEMS = [
    "N1", "N2", "N3", "N4", "N6", "N7", "N8", "N9",  # N5 has no name
    "S1",
    "P1", "P2",  # P3 is encrypted and has no file
    "B1", "B2", "B3", "B4", "B6",  # B5 has no location
    "I1", "I2",
    "D1", "D2",
    "W1", "W2",
]


def write_snapshot(folder, items, labels=(), folder_collections=(), payload_size=64):
    """A snapshot folder whose items each get a payload file unless they name one."""
    os.makedirs(os.path.join(folder, "payload"), exist_ok=True)
    described = []
    for index, item in enumerate(items):
        item = dict(item)
        if "file" not in item and "exportError" not in item:
            name = "item-%d.rtf" % index
            with open(os.path.join(folder, "payload", name), "wb") as payload:
                payload.write(b"{\\rtf1 " + b"x" * payload_size + b"}")
            item["file"] = "payload/" + name
        described.append(item)
    library = {
        "format": 1,
        "labels": list(labels),
        "folderCollections": list(folder_collections),
        "items": described,
    }
    with open(os.path.join(folder, "library.json"), "w", encoding="utf-8") as description:
        json.dump(library, description)
    return folder


def notes(count, name="Note"):
    return [{"kind": "note", "id": "N%d" % i, "name": name} for i in range(count)]


class ExportTestCase(unittest.TestCase):
    def setUp(self):
        self.temporary = tempfile.TemporaryDirectory(prefix="zelvar-export-e2e-")
        self.folder = self.temporary.name
        self.container = os.path.join(self.folder, "container")
        # Nothing may reach the user's real data folder, even by mistake.
        self.environment = dict(os.environ, HOME=self.folder,
                                XDG_DATA_HOME=os.path.join(self.folder, "data"))

    def tearDown(self):
        self.temporary.cleanup()

    def run_export(self, *arguments, library=None, container=True):
        command = [EXECUTABLE]
        if library is not None:
            command += ["--library", library]
        if container:
            command += ["--container", self.container]
        command += list(arguments)
        return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT,
                              env=self.environment, stdin=subprocess.DEVNULL)

    def snapshot(self, name, items, **options):
        return write_snapshot(os.path.join(self.folder, name), items, **options)

    def hand_over(self, result):
        """The metadata file that the hand-over URL names, checked, and its contents."""
        self.assertEqual(result.returncode, 0, result.stderr)
        url = result.stdout.splitlines()[-1]
        parts = urllib.parse.urlsplit(url)
        self.assertEqual((parts.scheme, parts.netloc, parts.path, parts.fragment),
                         ("quennet", "library", "", ""))
        query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True,
                                       strict_parsing=True)
        self.assertEqual([name for name, _ in query], ["location"])
        location = urllib.parse.urlsplit(query[0][1])
        self.assertEqual(location.scheme, "file")
        path = urllib.parse.unquote(location.path)
        self.assertEqual(path, os.path.join(self.container, "Zelvar", "Zelvar.plist"))
        with open(path, "rb") as metadata:
            return plistlib.load(metadata)

    @staticmethod
    def identifiers(metadata):
        return [item["identifier"] for item in metadata["Files"]["items"]]


class DemoLibraryTest(ExportTestCase):
    def test_exports_every_kind_and_hands_over_the_metadata_file(self):
        result = self.run_export()  # the demo library is the default
        metadata = self.hand_over(result)
        self.assertEqual(self.identifiers(metadata), DEMO_ITEMS)
        self.assertEqual(set(metadata["Labels"]), {"L1", "L2", "L3", "L4"})
        self.assertEqual(metadata["Labels"]["L1"]["items"], ["N1", "N2", "P1"])
        self.assertEqual(set(metadata["Groups"]), {"F1", "F2", "F3"})
        self.assertEqual(metadata["Groups"]["F2"]["name"], "Untitled")
        self.assertEqual(metadata["Groups"]["F1"]["items"], ["N1", "B1", "P2"])
        self.assertEqual(set(metadata["Searches"]), {"T1", "T2", "T3"})
        self.assertTrue(metadata["Searches"]["T1"]["matchAll"])
        self.assertFalse(metadata["Searches"]["T2"]["matchAll"])
        self.assertEqual([o["stringValue"] for o in metadata["Searches"]["T2"]["searchOptions"]],
                         ["fun", "food"])
        self.assertIn("Exported %d items" % len(metadata["Files"]["items"]), result.stderr)
        self.assertNotIn("*** Export started", result.stderr)

    def test_every_file_lies_in_the_root_folder_whatever_its_name(self):
        metadata = self.hand_over(self.run_export())
        root = os.path.join(self.container, "Zelvar", "Zelvar")
        names = sorted(os.listdir(root))
        self.assertEqual(len(names), len(metadata["Files"]["items"]))
        for item in metadata["Files"]["items"]:
            path = urllib.parse.unquote(urllib.parse.urlsplit(item["fileURL"]).path)
            self.assertEqual(os.path.dirname(path), root, item["identifier"])
            self.assertTrue(os.path.isfile(path), item["identifier"])
        # "../../etc/passwd" and friends must not have made anything outside.
        everything = sorted(os.path.relpath(os.path.join(top, name), self.container)
                            for top, folders, files in os.walk(self.container)
                            for name in folders + files)
        self.assertEqual([p for p in everything if not p.startswith("Zelvar/Zelvar/")],
                         [".Zelvar.lock", "Zelvar", "Zelvar/Zelvar", "Zelvar/Zelvar.plist"])

    def test_options_leave_out_passwords_and_encrypted_items(self):
        cases = [
            ([], {"P1", "P2", "N6"}, set()),
            (["--no-passwords"], {"N6"}, {"P1", "P2"}),
            (["--no-encrypted"], set(), {"P1", "P2", "N6"}),  # every password counts as encrypted
            (["--no-passwords", "--no-encrypted"], set(), {"P1", "P2", "N6"}),
        ]
        demo = os.path.join(SOURCE_DIR, "data", "demo-library")
        for arguments, present, absent in cases:
            with self.subTest(arguments=arguments):
                result = self.run_export(*arguments, library=demo)
                exported = set(self.identifiers(self.hand_over(result)))
                self.assertLessEqual(present, exported)
                self.assertFalse(absent & exported)
                self.assertIn("N1", exported)

    def test_verbose_prints_the_log_to_standard_error_only(self):
        result = self.run_export("--verbose")
        self.hand_over(result)
        self.assertIn("*** Export started", result.stderr)
        self.assertIn("Exporting item: N1", result.stderr)
        self.assertNotIn("Export", result.stdout)

    def test_export_folder_is_private(self):
        self.hand_over(self.run_export())
        for folder in ["Zelvar", "Zelvar/Zelvar"]:
            mode = stat.S_IMODE(os.stat(os.path.join(self.container, folder)).st_mode)
            self.assertEqual(mode, 0o700, folder)


class GeneratedSnapshotTest(ExportTestCase):
    def test_items_sharing_a_name_get_one_file_each(self):
        library = self.snapshot("same", notes(40, name="Same name"))
        metadata = self.hand_over(self.run_export(library=library))
        urls = [item["fileURL"] for item in metadata["Files"]["items"]]
        self.assertEqual(len(urls), 40)
        self.assertEqual(len(set(urls)), 40)
        self.assertEqual(len(os.listdir(os.path.join(self.container, "Zelvar", "Zelvar"))), 40)

    def test_earlier_export_is_replaced_and_a_planted_link_is_not_followed(self):
        victim = os.path.join(self.folder, "victim")
        os.makedirs(victim)
        with open(os.path.join(victim, "keep.txt"), "w") as kept:
            kept.write("mine")
        os.makedirs(self.container)
        os.symlink(victim, os.path.join(self.container, "Zelvar"))
        library = self.snapshot("small", notes(3))
        metadata = self.hand_over(self.run_export(library=library))
        self.assertEqual(self.identifiers(metadata), ["N0", "N1", "N2"])
        self.assertEqual(os.listdir(victim), ["keep.txt"])
        self.assertFalse(os.path.islink(os.path.join(self.container, "Zelvar")))

    def test_failing_item_exits_1_naming_the_error(self):
        items = notes(2) + [{"kind": "note", "id": "BAD", "name": "Locked",
                             "exportError": "The note is locked by another user."}]
        result = self.run_export(library=self.snapshot("failing", items))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertIn("Cannot export from Zelvar. The note is locked by another user.",
                      result.stderr)
        self.assertIn("ZVImportErrorDomain", result.stderr)
        self.assertIn("10001", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.container, "Zelvar", "Zelvar.plist")))

    def test_unusable_snapshot_exits_2_naming_the_fault(self):
        cases = [
            ("wrong type", '{"format": 1, "items": [{"kind": "note", "id": "X", '
                           '"encrypted": "yes"}]}', '"encrypted"'),
            ("unknown kind", '{"format": 1, "items": [{"kind": "sticker", "id": "X"}]}',
             '"kind"'),
            ("escaping payload", '{"format": 1, "items": [{"kind": "note", "id": "X", '
                                 '"file": "../outside.rtf"}]}', '"file"'),
            ("not JSON", "{", "not valid JSON"),
            ("missing", None, "Cannot read"),
        ]
        for name, text, expected in cases:
            with self.subTest(name):
                library = os.path.join(self.folder, name)
                os.makedirs(library)
                if text is not None:
                    with open(os.path.join(library, "library.json"), "w") as description:
                        description.write(text)
                result = self.run_export(library=library)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(expected, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(self.container))

    def test_signal_cancels_the_export(self):
        library = self.snapshot("large", notes(3000, name="Bulk"), payload_size=1024)
        for signal_number in [signal.SIGINT, signal.SIGTERM]:
            with self.subTest(signal=signal_number.name):
                process = subprocess.Popen(
                    [EXECUTABLE, "--library", library, "--container", self.container,
                     "--verbose"],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    text=True, env=self.environment)
                seen = []
                # Signal once items are going out, so the export is surely under way.
                for line in process.stderr:
                    seen.append(line)
                    if "Exporting item:" in line:
                        process.send_signal(signal_number)
                        break
                stdout, rest = process.communicate(timeout=TIMEOUT)
                stderr = "".join(seen) + rest
                self.assertEqual(process.returncode, 130, stderr[-2000:])
                self.assertEqual(stderr.splitlines()[-1], "Export cancelled.")
                self.assertIn("User requested cancellation", stderr)
                self.assertEqual(stdout, "")
                self.assertFalse(
                    os.path.exists(os.path.join(self.container, "Zelvar", "Zelvar.plist")))


class CommandLineTest(ExportTestCase):
    def test_help_and_version_exit_0(self):
        cases = [("--help", "Usage: zelvar-export"),
                 ("--version", "zelvar-export (Zelvar Importer) ")]
        for option, start in cases:
            with self.subTest(option):
                result = self.run_export(option, container=False)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.startswith(start), result.stdout)
                self.assertEqual(result.stderr, "")

    def test_usage_errors_exit_2(self):
        cases = [["--bogus"], ["stray"], ["--library"], ["--no-passwords=1"]]
        for arguments in cases:
            with self.subTest(arguments):
                result = self.run_export(*arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn("Try 'zelvar-export --help'", result.stderr)
                self.assertFalse(os.path.exists(self.container))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    EXECUTABLE = os.path.abspath(sys.argv[1])
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
