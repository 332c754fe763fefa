#!/usr/bin/env python3
"""The zip a Windows build ships.

    python3 tests/wine/test_package.py --version V (--cpack CPACK --build-dir DIR | --zip ZIP) EXE...

Packs the build dir with cpack into a temporary folder (or reads the zip
given) and checks that the zip is named for the version and for the
flavour of the executables, holds the tested executables byte for byte and
a README.txt for Windows users, and nothing else.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

ERRORS = [
    "No file selected", "Can not open file for read", "Can not read file", "No memory",
    "Not talvik.exe from Nolix Talvik Editor 3.4 or 3.5", "Invalid input",
    "Can not open file for write", "Can not write file", "File changed since it was read",
]
ARGS = None


def flavour(exe):
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return {0x14C: "win32", 0x8664: "win64"}[int.from_bytes(data[pe + 4:pe + 6], "little")]


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        path = ARGS.zip
        if not path:
            subprocess.run([ARGS.cpack, "-G", "ZIP", "--config", os.path.join(ARGS.build_dir, "CPackConfig.cmake"),
                            "-B", cls.tmp.name], check=True, stdout=subprocess.DEVNULL)
            zips = [n for n in os.listdir(cls.tmp.name) if n.endswith(".zip")]
            assert len(zips) == 1, zips
            path = os.path.join(cls.tmp.name, zips[0])
        cls.name = os.path.basename(path)
        with zipfile.ZipFile(path) as z:
            members = [i for i in z.infolist() if not i.is_dir()]
            cls.paths = [i.filename for i in members]
            cls.files = {os.path.basename(i.filename): z.read(i) for i in members}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_name_and_contents(self):
        flavours = {flavour(exe) for exe in ARGS.exes}
        self.assertEqual(len(flavours), 1)
        self.assertEqual(self.name, "talvik-patchers-%s-%s.zip" % (ARGS.version, flavours.pop()))
        folders = {os.path.dirname(path) for path in self.paths}
        self.assertEqual(len(folders), 1, "all in one folder: %s" % self.paths)
        self.assertNotIn("/", folders.pop(), "at most one folder deep")
        self.assertEqual(sorted(os.path.basename(p) for p in self.paths),
                         ["README.txt", "fpenabler.exe", "gridenlarger.exe"])

    def test_programs_are_the_tested_ones(self):
        for exe in ARGS.exes:
            with self.subTest(exe=exe), open(exe, "rb") as f:
                self.assertTrue(self.files.get(os.path.basename(exe)) == f.read(), "differs from the built one")

    def test_readme_for_windows_users(self):
        data = self.files["README.txt"]
        lone = data.replace(b"\r\n", b"")
        self.assertFalse(b"\n" in lone or b"\r" in lone, "a line ends in a bare LF or CR")
        text = data.decode("ascii")  # Notepad of older Windows shows anything else garbled
        self.assertNotIn("@", text, "placeholder left unfilled")
        for needle in ["fpenabler", "gridenlarger", "Version " + ARGS.version] + ERRORS:
            self.assertIn(needle, text)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--cpack")
    parser.add_argument("--build-dir")
    parser.add_argument("--zip")
    parser.add_argument("exes", nargs="+")
    ARGS, rest = parser.parse_known_args()
    if not ARGS.zip and not (ARGS.cpack and ARGS.build_dir):
        parser.error("give --zip, or --cpack and --build-dir")
    unittest.main(argv=[sys.argv[0]] + rest)
