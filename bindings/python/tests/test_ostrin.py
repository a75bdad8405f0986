"""The ostrin module against the real OstrinNT and libOstrinAPI.so, on a volume made by ostrin-mkvol.

OSTRIN_NT, OSTRIN_LIBRARY and OSTRIN_MKVOL name the built service, library and maker. The service
listens on port 49020, the library's: run it where nothing else does (CTest holds port49020).
"""
import datetime
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(SOURCE / "bindings" / "python"))
import ostrin  # noqa: E402

service = None
folder = None
expected = {}  # "S:\\dir\\name" -> the maker's fields of that name
connect_without_service = None  # what connect() raised before the service started


def setUpModule():
    global service, folder, connect_without_service
    missing = [name for name in ("OSTRIN_NT", "OSTRIN_LIBRARY", "OSTRIN_MKVOL") if not os.environ.get(name)]
    if missing:
        raise RuntimeError("set " + ", ".join(missing) + " to the built programs and library")
    folder = Path(tempfile.mkdtemp(prefix="ostrin-python-"))
    image, listing = folder / "cli-sample.img", folder / "cli-sample.expected"
    made = subprocess.run([os.environ["OSTRIN_MKVOL"], str(SOURCE / "tests/volumes/cli-sample.manifest"), str(image),
                           str(listing)], capture_output=True, text=True)
    if made.returncode != 0:
        raise RuntimeError("ostrin-mkvol failed: " + made.stderr)
    lines = listing.read_text(encoding="utf-8").splitlines()
    header = lines[0].split("\t")
    for line in lines[1:]:
        fields = dict(zip(header, line.split("\t")))
        if fields["namespace"] != "2":  # DOS names are not listed
            expected["S:" + fields["path"].replace("/", "\\")] = fields
    try:
        ostrin.connect()
    except ostrin.OstrinError as error:
        connect_without_service = error
    (folder / "OstrinNT.ini").write_text(f"port = 49020\nvolume.S = {image}\n")
    service = subprocess.Popen([os.environ["OSTRIN_NT"]], cwd=folder, env=dict(os.environ, TZ="UTC"),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", 49020), timeout=1).close()
            break
        except OSError:
            if service.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"OstrinNT did not listen on 49020 (exit code {service.poll()})")
            time.sleep(0.05)
    ostrin.connect()


def tearDownModule():
    try:
        ostrin.disconnect()
    finally:
        if service:
            service.terminate()
            service.wait(20)
        shutil.rmtree(folder, ignore_errors=True)


def filetime(ticks):
    return datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=int(ticks) // 10)


class ListingTest(unittest.TestCase):
    def test_walk_and_scandir_list_what_the_maker_made(self):
        records = [fields["record"] for fields in expected.values()]
        listed = {}
        with ostrin.open_drive("S:"):
            for dirpath, dirnames, filenames in ostrin.walk("S:\\"):
                entries = list(ostrin.scandir(dirpath))
                self.assertEqual(dirnames, [e.name for e in entries if e.is_dir()])
                self.assertEqual(filenames, [e.name for e in entries if e.is_file()])
                listed.update((e.path, e) for e in entries)
        self.assertEqual(sorted(listed), sorted(expected))
        for path, made in expected.items():
            entry, directory = listed[path], made["dir"] == "1"
            links = 0x40000000 if records.count(made["record"]) > 1 else 0
            with self.subTest(path=path):
                self.assertEqual(entry.name, path.rsplit("\\", 1)[1])
                self.assertEqual(entry.is_dir(), directory)
                self.assertEqual(entry.is_file(), not directory)
                self.assertEqual(entry.attributes, int(made["attributes"], 16) | links | (0x10 if directory else 0))
                self.assertEqual(entry.size, 0 if directory else int(made["size"]))
                self.assertEqual(entry.allocated, 0 if directory else int(made["allocated"]))
                self.assertEqual(entry.created, filetime(made["created"]))
                self.assertEqual(entry.modified, filetime(made["written"]))
                self.assertEqual(entry.accessed, filetime(made["accessed"]))

    def test_walk_enters_only_the_directories_left_in_dirnames(self):
        everything = sorted(p for p, made in expected.items() if made["dir"] == "1")
        for top, pruned, visited in [
                ("S:\\", {"Pictures"}, ["S:\\"] + [p for p in everything if not p.startswith("S:\\Pictures")]),
                ("S:\\", {"Documents", "Pictures", "Archive", "Unicode", "Temp"}, ["S:\\"]),
                ("S:\\Pictures", {"2024"}, ["S:\\Pictures"]),
                ("S:\\Unicode\\", set(), ["S:\\Unicode", "S:\\Unicode\\Ünïcödé"])]:
            with self.subTest(top=top, pruned=pruned):
                walked = []
                for dirpath, dirnames, _ in ostrin.walk(top):
                    walked.append(dirpath)
                    dirnames[:] = [name for name in dirnames if name not in pruned]
                self.assertEqual(sorted(walked), sorted(visited))
                for at, dirpath in enumerate(walked[1:], 1):  # top-down: a directory after its parent
                    parent = dirpath.rsplit("\\", 1)[0]
                    self.assertIn(parent + "\\" if parent.endswith(":") else parent, walked[:at])
        self.assertEqual(ostrin._drives, {}, "walk closes the drive it opened")

    def test_bad_paths_raise_the_librarys_errors(self):
        self.assertIsInstance(connect_without_service, ostrin.OstrinError)
        self.assertEqual(connect_without_service.code, 3009)
        for path, kind, code in [("S:\\Missing", ostrin.NotFoundError, 0),
                                 ("S:\\Pictures\\Missing\\2024", ostrin.NotFoundError, 0),
                                 ("S:\\empty.txt", ostrin.OstrinError, 3006),  # a file, not a directory
                                 ("S:Documents", ostrin.OstrinError, 3003),
                                 ("T:\\", ostrin.OstrinError, 3)]:  # no volume.T in OstrinNT.ini
            with self.subTest(path=path):
                with self.assertRaises(kind) as raised:
                    ostrin.scandir(path)
                self.assertEqual(raised.exception.code, code)
                self.assertTrue(raised.exception.text)
        self.assertRaises(FileNotFoundError, ostrin.scandir, "S:\\Missing")
        self.assertRaises(ValueError, ostrin.scandir, "\\Documents")


class DriveTest(unittest.TestCase):
    def test_the_context_manager_closes_the_drive(self):
        with self.assertRaises(KeyError):
            with ostrin.open_drive("s") as drive:
                self.assertEqual({e.name for e in drive.scandir("\\Documents")}, {"report.txt", "notes.txt"})
                self.assertGreater(drive.memory_usage, 0)
                raise KeyError("leaves the block")
        self.assertTrue(drive.closed)
        self.assertEqual(ostrin._drives, {})
        for listing in (lambda: drive.scandir("\\"), lambda: ostrin._read(drive.index, "S", "\\*")):
            with self.assertRaises(ostrin.OstrinError) as raised:
                listing()
            self.assertEqual(raised.exception.code, 3001)  # the library's drive is closed too

    def test_progress_is_reported_and_its_exceptions_raised(self):
        percents = []
        with ostrin.open_drive("S", progress=percents.append):
            pass
        self.assertEqual(percents[-1], 100)
        self.assertEqual(percents, sorted(percents))

        def fails(percent):
            raise ZeroDivisionError(percent)
        self.assertRaises(ZeroDivisionError, ostrin.open_drive, "S", progress=fails)
        self.assertEqual(ostrin._drives, {})


if __name__ == "__main__":
    unittest.main()
