#!/usr/bin/env python3
"""End-to-end tests of zelvar-export on the demo library and on small generated snapshots.

Usage: zelvar_export_e2e_test.py PATH_TO_ZELVAR_EXPORT SOURCE_DIR [unittest options]

zelvar-weblink is expected beside zelvar-export.
"""
import json
import os
import plistlib
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

EXECUTABLE = ""
WEBLINK = ""
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


# What a hostile name would do to a terminal: retitle the window, clear the screen, and put a
# fake line of its own.
TERMINAL_ATTACK = "\x1b]0;pwned\x07\x1b[2J\rOK: nothing happened\n\x9b31m"


def raw_control_characters(text):
    """The control characters in text other than line feeds and tabs."""
    return sorted({c for c in text
                   if (ord(c) < 0x20 and c not in "\n\t") or 0x7f <= ord(c) < 0xa0})


LOG_FOLDER = "Library/Zelvar Importer/Logs"
LOG_PREFIX = "Zelvar Importer_"
# The log line prefix, then version(build); operating system; computer; uptime in seconds.
LOG_HEADER = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Zelvar Importer\[\d+:\d+\] "
                        r"[^;]+\([^;]+\); (?:[^;]+, )?Linux [^;]+; [^;]*; \d+\n$")


def abandoned_folders(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith("ZelvarExport"))


class ExportTestCase(unittest.TestCase):
    def setUp(self):
        self.temporary = tempfile.TemporaryDirectory(prefix="zelvar-export-e2e-")
        self.folder = self.temporary.name
        self.container = os.path.join(self.folder, "container")
        # A system temporary folder of the test's own, so that what a run leaves there shows.
        self.temporary_folder = os.path.join(self.folder, "tmp")
        os.makedirs(self.temporary_folder)
        # Nothing may reach the user's real data folder, even by mistake.
        self.environment = dict(os.environ, HOME=self.folder,
                                XDG_DATA_HOME=os.path.join(self.folder, "data"),
                                TMPDIR=self.temporary_folder)

    def tearDown(self):
        self.temporary.cleanup()

    def run_export(self, *arguments, library=None, container=True, **options):
        command = [EXECUTABLE]
        if library is not None:
            command += ["--library", library]
        if container is True:
            command += ["--container", self.container]
        elif container:
            command += ["--container", container]
        command += list(arguments)
        options.setdefault("stdout", subprocess.PIPE)
        return subprocess.run(command, stderr=subprocess.PIPE, text=True, timeout=TIMEOUT,
                              env=self.environment, stdin=subprocess.DEVNULL, **options)

    def start_export(self, *arguments, library=None):
        return subprocess.Popen(
            [EXECUTABLE, "--library", library, "--container", self.container] + list(arguments),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=self.environment)

    def signal_when_exporting(self, process, signal_number):
        """Sends the signal once items are going out (the export runs --verbose), then waits."""
        seen = []
        for line in process.stderr:
            seen.append(line)
            if "Exporting item:" in line:
                process.send_signal(signal_number)
                break
        stdout, rest = process.communicate(timeout=TIMEOUT)
        return stdout, "".join(seen) + rest

    def snapshot(self, name, items, **options):
        return write_snapshot(os.path.join(self.folder, name), items, **options)

    def hand_over(self, result, container=None):
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
        self.assertEqual(path, os.path.join(container or self.container, "Zelvar", "Zelvar.plist"))
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
        self.assertEqual([p for p in everything
                          if not p.startswith(("Zelvar/Zelvar/", LOG_FOLDER + "/"))],
                         [".Zelvar.lock", "Library", "Library/Zelvar Importer", LOG_FOLDER,
                          "Zelvar", "Zelvar/Zelvar", "Zelvar/Zelvar.plist"])

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

    def test_signal_cancels_the_export_and_removes_its_temporary_folder(self):
        library = self.snapshot("large", notes(3000, name="Bulk"), payload_size=1024)
        cases = [(signal.SIGINT, 130), (signal.SIGTERM, 130), (signal.SIGHUP, 129),
                 (signal.SIGQUIT, 131)]
        for signal_number, status in cases:
            with self.subTest(signal=signal_number.name):
                process = self.start_export("--verbose", library=library)
                stdout, stderr = self.signal_when_exporting(process, signal_number)
                self.assertEqual(process.returncode, status, stderr[-2000:])
                self.assertEqual(stderr.splitlines()[-1], "Export cancelled.")
                self.assertIn("User requested cancellation", stderr)
                self.assertEqual(stdout, "")
                self.assertFalse(
                    os.path.exists(os.path.join(self.container, "Zelvar", "Zelvar.plist")))
                self.assertEqual(os.listdir(self.temporary_folder), [])

    def test_signal_while_the_library_is_read_cancels(self):
        # Large enough that reading it takes a while after the file has been read in.
        library = os.path.join(self.folder, "huge")
        os.makedirs(library)
        items = [{"kind": "bookmark", "id": "B%d" % i, "name": "Bookmark %d" % i,
                  "location": "https://example.org/%d" % i, "tags": ["a", "b"]}
                 for i in range(200000)]
        with open(os.path.join(library, "library.json"), "w") as description:
            json.dump({"format": 1, "items": items}, description)
        size = os.path.getsize(os.path.join(library, "library.json"))
        process = self.start_export(library=library)
        # The description is parsed as it is read, a piece at a time: once half of it has been
        # read, the program is in the middle of parsing it.
        while process.poll() is None and self.bytes_read(process.pid) < size // 2:
            time.sleep(0.005)
        self.assertFalse(os.path.exists(self.container), "the library was read already")
        process.send_signal(signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=TIMEOUT)
        self.assertEqual(process.returncode, 130, stderr[-2000:])
        self.assertEqual(stderr.splitlines()[-1], "Export cancelled.")
        self.assertEqual(stdout, "")
        self.assertFalse(os.path.exists(os.path.join(self.container, "Zelvar", "Zelvar.plist")))

    @staticmethod
    def bytes_read(pid):
        try:
            with open("/proc/%d/io" % pid) as io:
                for line in io:
                    if line.startswith("rchar:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0

    def test_temporary_folders_of_ended_runs_are_removed_by_the_next(self):
        library = self.snapshot("large", notes(3000, name="Bulk"), payload_size=1024)
        # A signal that is not caught ends a run on the spot, its temporary folder left behind.
        process = self.start_export("--verbose", library=library)
        _, stderr = self.signal_when_exporting(process, signal.SIGUSR1)
        self.assertEqual(process.returncode, -signal.SIGUSR1, stderr[-2000:])
        # A snapshot hands its payloads over, and they go straight into the root folder: the run
        # had no temporary folder to leave. Those of other ended runs are planted below.
        self.assertEqual(abandoned_folders(self.temporary_folder), [])

        ended = subprocess.Popen(["true"])
        ended.wait()
        user = os.geteuid()
        victim = os.path.join(self.folder, "victim")
        os.makedirs(victim)
        kept = {
            "live": "ZelvarExport-%d-%d-a1B2c3" % (user, os.getpid()),
            "other user in the name": "ZelvarExport-%d-%d-a1B2c3" % (user + 1, ended.pid),
            "link": "ZelvarExport-%d-%d-link00" % (user, ended.pid),
        }
        for name in ["ZelvarExport-%d-%d-a1B2c3" % (user, ended.pid), kept["live"],
                     kept["other user in the name"]]:
            os.makedirs(os.path.join(self.temporary_folder, name, "payload"))
        os.symlink(victim, os.path.join(self.temporary_folder, kept["link"]))
        if user == 0:
            # Only root can give a folder away; its name would pass for ours.
            kept["another user's"] = "ZelvarExport-%d-%d-d4E5f6" % (user, ended.pid)
            owned = os.path.join(self.temporary_folder, kept["another user's"])
            os.makedirs(owned)
            os.chown(owned, 65534, 65534)

        self.hand_over(self.run_export(library=self.snapshot("small", notes(2))))
        self.assertEqual(abandoned_folders(self.temporary_folder), sorted(kept.values()))
        self.assertTrue(os.path.isdir(victim))

    def test_control_characters_never_reach_standard_error(self):
        attack = TERMINAL_ATTACK
        cases = [
            ("export error", 1, [{"kind": "note", "id": "E", "name": "Note",
                                  "exportError": "locked" + attack}], []),
            ("item name", 1, [{"kind": "note", "id": "E", "name": "Note" + attack}], []),
            ("unknown kind", 2, [{"kind": "sticker" + attack, "id": "K"}], []),
            ("library path", 2, None, []),
            ("argument", 2, None, ["--bogus" + attack]),
        ]
        for name, status, items, arguments in cases:
            with self.subTest(name):
                library = os.path.join(self.folder, name + attack)
                if items is not None:
                    os.makedirs(library)
                    # Written here: write_snapshot would give the item without a file one.
                    with open(os.path.join(library, "library.json"), "w") as description:
                        json.dump({"format": 1, "items": items}, description)
                result = self.run_export(*arguments, library=library)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(raw_control_characters(result.stderr), [])
                self.assertIn("\\x1B]0;pwned\\x07\\x1B[2J\\rOK", result.stderr)

    def test_bookmark_titles_are_shown_escaped(self):
        items = [{"kind": "bookmark", "id": "B", "name": "Bookmark" + TERMINAL_ATTACK,
                  "location": "https://example.org/"}]
        metadata = self.hand_over(self.run_export(library=self.snapshot("bookmark", items)))
        link = urllib.parse.unquote(
            urllib.parse.urlsplit(metadata["Files"]["items"][0]["fileURL"]).path)
        result = subprocess.run([WEBLINK, "show", link], capture_output=True, text=True,
                                timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(raw_control_characters(result.stdout), [])
        self.assertIn("Title: Bookmark\\x1B]0;pwned", result.stdout)


class WebLinkCommandTest(ExportTestCase):
    def test_title_may_look_like_an_option(self):
        for title in ["-h", "--help"]:
            with self.subTest(title):
                link = os.path.join(self.folder, "link%s.qntweblink" % title)
                created = subprocess.run(
                    [WEBLINK, "create", "https://example.org/", "--title", title, "-o", link],
                    capture_output=True, text=True, timeout=TIMEOUT)
                self.assertEqual(created.returncode, 0, created.stderr)
                self.assertEqual(created.stdout, "")
                shown = subprocess.run([WEBLINK, "show", link], capture_output=True, text=True,
                                       timeout=TIMEOUT)
                self.assertIn("Title: %s\n" % title, shown.stdout)

    def test_create_never_replaces_a_file(self):
        link = os.path.join(self.folder, "taken.qntweblink")
        with open(link, "w") as existing:
            existing.write("mine")
        result = subprocess.run([WEBLINK, "create", "https://example.org/", "-o", link],
                                capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 1, result.stderr)
        with open(link) as kept:
            self.assertEqual(kept.read(), "mine")

    def test_help_where_an_option_stands(self):
        for arguments in [["--help"], ["-h"], ["create", "-h"],
                          ["create", "https://example.org/", "--webloc", "--help"]]:
            with self.subTest(arguments):
                result = subprocess.run([WEBLINK] + arguments, capture_output=True, text=True,
                                        timeout=TIMEOUT)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.startswith("Usage: zelvar-weblink"))


class RunLogTest(ExportTestCase):
    def logs(self):
        folder = os.path.join(self.container, LOG_FOLDER)
        return set(os.listdir(folder)) if os.path.isdir(folder) else set()

    def read_log(self, name):
        with open(os.path.join(self.container, LOG_FOLDER, name), encoding="utf-8") as log:
            return log.read()

    def run_with_planted_logs(self, names, *arguments):
        for name in names:
            os.makedirs(os.path.join(self.container, LOG_FOLDER), exist_ok=True)
            with open(os.path.join(self.container, LOG_FOLDER, name), "w") as planted:
                planted.write("planted\n")
        result = self.run_export(*arguments)
        self.hand_over(result)
        return result, sorted(self.logs() - set(names))

    def test_a_run_keeps_a_private_log_that_begins_with_the_header(self):
        version = self.run_export("--version", container=False).stdout
        build = "] %s(%s); " % re.match(r".*\) (\S+) \(build (\S+)\)", version).groups()
        for arguments in [[], ["--verbose"]]:
            with self.subTest(arguments):
                result, new = self.run_with_planted_logs(self.logs(), *arguments)
                self.assertEqual(len(new), 1, new)
                path = os.path.join(self.container, LOG_FOLDER, new[0])
                self.assertEqual(stat.S_IMODE(os.lstat(path).st_mode), 0o600)
                lines = self.read_log(new[0]).splitlines(True)
                self.assertRegex(lines[0], LOG_HEADER)
                self.assertIn(build, lines[0])
                self.assertIn("*** Export started", lines[1])
                self.assertEqual("*** Export started" in result.stderr, arguments != [])
        mode = os.stat(os.path.join(self.container, LOG_FOLDER)).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o700)

    def test_no_log_keeps_none(self):
        self.hand_over(self.run_export("--no-log"))
        self.assertFalse(os.path.exists(os.path.join(self.container, "Library")))

    def test_a_planted_link_is_not_followed_and_the_export_goes_on(self):
        victim = os.path.join(self.folder, "victim")
        os.makedirs(victim)
        os.makedirs(os.path.join(self.container, "Library"))
        os.symlink(victim, os.path.join(self.container, "Library", "Zelvar Importer"))
        result = self.run_export()
        self.hand_over(result)
        self.assertNotIn("log", result.stderr)
        self.assertEqual(os.listdir(victim), [])

    def test_twelve_earlier_logs_leave_nine_and_the_new_one(self):
        earlier = [LOG_PREFIX + "2026-01-01-0000%02d.log" % n for n in range(12)]
        _, new = self.run_with_planted_logs(earlier + ["notes.txt"])
        self.assertEqual(len(new), 1)
        self.assertEqual(len(self.logs()), 11)
        self.assertIn("notes.txt", self.logs())

    def test_a_run_in_the_same_second_as_another_keeps_a_log_of_its_own(self):
        # The names of the next nine seconds are taken, as by runs a moment before (nine, so that
        # none is pruned). A run slower to start than that proves nothing and is repeated.
        for _ in range(3):
            shutil.rmtree(self.container, ignore_errors=True)
            now = time.time()
            taken = [LOG_PREFIX + time.strftime("%Y-%m-%d-%H%M%S", time.localtime(now + delta)) +
                     ".log" for delta in range(9)]
            _, new = self.run_with_planted_logs(taken)
            self.assertEqual(len(new), 1, new)
            if new[0][:-len("-2.log")] + ".log" in taken:
                self.assertRegex(self.read_log(new[0]).splitlines(True)[0], LOG_HEADER)
                self.assertEqual([self.read_log(name) for name in taken], ["planted\n"] * 9)
                return
        self.fail("no run started within the seconds whose names were taken")


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

    def test_dotted_container_exports_again_and_again(self):
        work = os.path.join(self.folder, "work")
        os.makedirs(work)
        library = self.snapshot("small", notes(2))
        cases = [("../c", "c"), ("./out", "work/out"), ("c/./x", "work/c/x"),
                 ("d/", "work/d"), ("d/.", "work/d"), ("e//f/../g", "work/e/g")]
        for given, expected in cases:
            with self.subTest(given):
                container = os.path.join(os.path.realpath(self.folder), expected)
                for _ in range(2):
                    result = self.run_export(library=library, container=given, cwd=work)
                    self.assertEqual(self.identifiers(self.hand_over(result, container)),
                                     ["N0", "N1"])

    def test_dotted_data_and_temporary_folders_work_again_and_again(self):
        self.environment["XDG_DATA_HOME"] = self.folder + "/./data/../data"
        self.environment["TMPDIR"] = self.folder + "/./tmp"
        library = self.snapshot("small", notes(2))
        for _ in range(2):
            result = self.run_export(library=library, container=False)
            self.assertEqual(result.returncode, 0, result.stderr)
            query = urllib.parse.urlsplit(result.stdout.splitlines()[-1]).query
            location = urllib.parse.parse_qs(query)["location"][0]
            path = urllib.parse.unquote(urllib.parse.urlsplit(location).path)
            self.assertTrue(path.startswith(os.path.realpath(self.folder) + "/data/"), path)
            self.assertTrue(os.path.isfile(path), path)
            # It holds payload copies; the run must not leave it behind.
            self.assertEqual(os.listdir(self.temporary_folder), [])

    def test_unwritable_standard_output_is_a_failure_that_says_so(self):
        library = self.snapshot("small", notes(2))
        for name, arguments in [("export", ["--library", library]), ("help", ["--help"])]:
            for output in ["full disk", "closed pipe"]:
                with self.subTest(name, output=output):
                    if output == "full disk":
                        writing = os.open("/dev/full", os.O_WRONLY)
                    else:
                        # The reader went away, as with "zelvar-export | head -c0".
                        reading, writing = os.pipe()
                        os.close(reading)
                    try:
                        result = self.run_export(*arguments, stdout=writing)
                    finally:
                        os.close(writing)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn("cannot write to standard output",
                                  result.stderr.splitlines()[-1])

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
    WEBLINK = os.path.join(os.path.dirname(EXECUTABLE), "zelvar-weblink")
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
