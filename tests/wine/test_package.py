#!/usr/bin/env python3
"""The zip a Windows build ships, or the Linux download's tarball and package.

    python3 tests/wine/test_package.py --version V (--cpack CPACK --build-dir DIR | --zip ZIP) EXE...
    python3 tests/wine/test_package.py --version V --cpack CPACK --build-dir DIR --linux PROGRAM...

Packs the build dir with cpack into a temporary folder (or reads the zip
given) and checks that the zip is named for the version and for the
flavour of the executables, holds the tested executables byte for byte, a
README.txt for Windows users, the licence and the notices of the libraries
linked in, and nothing else.

With --linux, the build dir is a static Linux one (the linux-release
preset): its tarball must hold one folder with the programs, their manual
pages, a README, the licence and the libraries' notices, packed
reproducibly; the Debian package cpack makes
from it must hold what Debian expects, with a valid desktop entry for each
program, and pass lintian without errors; and
the programs must be static, stripped and free of build paths.

The lines the documents quote of the programs' output, in the download
and in README.md, must be what the programs print.
"""
import argparse
import glob
import gzip
import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

ARGS = None
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def quoted_lines(name, text):
    """What a document quotes of the programs' output, line by line: README.md's run and the first cells of
    its table of messages, a download README's list of messages, a manual page's DIAGNOSTICS tags."""
    if name == "README.md":
        table = text[text.index("\n## Messages\n"):].split("\n## ")[1]
        return (text[text.index("\n## A run\n"):].split("```")[1].splitlines()[1:]
                + re.findall(r"^\| `([^`]+)` \|", table, re.M))
    if name.endswith(".1"):
        diagnostics = text[text.index("\n.SH DIAGNOSTICS\n"):].split("\n.SH ")[1]
        return [tag.replace("\\-", "-") for tag in re.findall(r"^\.TP\n\.B (.+)$", diagnostics, re.M)]
    listed = re.search(r"\nMessages\n-+\n\n.*?\n\n((?: {4}.*\n)+)", text, re.S).group(1)
    return re.findall(r"^ {4}(\S.*?)(?: {2,}.*)?$", listed, re.M)


# The libraries built into the programs of each kind of download, as the linker's map of a one-off link
# with -Wl,-Map showed them (the archives its members came from; win32 and win64 alike): each is named in
# that download's notices.
LINKED = {"linux": ["GNU C Library", "libstdc++", "libgcc"],
          "windows": ["MinGW-w64 runtime", "winpthreads", "libstdc++", "libgcc"]}


def committed(path):
    with open(os.path.join(SOURCE_DIR, path), "rb") as f:
        return f.read()


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
                         ["LICENSE.txt", "README.txt", "THIRD-PARTY-NOTICES.txt", "fpenabler.exe", "gridenlarger.exe"])

    def test_programs_are_the_tested_ones(self):
        for exe in ARGS.exes:
            with self.subTest(exe=exe), open(exe, "rb") as f:
                self.assertTrue(self.files.get(os.path.basename(exe)) == f.read(), "differs from the built one")

    def test_documents_for_windows_users(self):
        for name, needles in [("README.txt", ["fpenabler", "gridenlarger", "Version " + ARGS.version]),
                              ("LICENSE.txt", []),
                              ("THIRD-PARTY-NOTICES.txt", LINKED["windows"])]:
            with self.subTest(document=name):
                data = self.files[name]
                lone = data.replace(b"\r\n", b"")
                self.assertFalse(b"\n" in lone or b"\r" in lone, "a line ends in a bare LF or CR")
                text = data.decode("ascii")  # Notepad of older Windows shows anything else garbled
                self.assertNotIn("@", text, "placeholder left unfilled")
                for needle in needles:
                    self.assertTrue(needle in text, "without " + needle)
        self.assertEqual(self.files["LICENSE.txt"], committed("LICENSE").replace(b"\n", b"\r\n"))


def elf_entries(data, table, entry_size, count):
    """The first eight bytes of each entry of an ELF64 header table, given where the ELF header keeps the
    table's offset, entry size and entry count."""
    offset = int.from_bytes(data[table:table + 8], "little")
    size = int.from_bytes(data[entry_size:entry_size + 2], "little")
    number = int.from_bytes(data[count:count + 2], "little")
    return [data[offset + i * size:offset + i * size + 8] for i in range(number)]


class LinuxPackageTest(unittest.TestCase):
    PAGES = ["fpenabler.1", "gridenlarger.1"]

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        subprocess.run([ARGS.cpack, "-G", "DEB", "--config", os.path.join(ARGS.build_dir, "CPackConfig.cmake"),
                        "-B", cls.tmp.name], check=True, stdout=subprocess.DEVNULL)
        cls.debs = glob.glob(os.path.join(cls.tmp.name, "*.deb"))
        cls.programs = {os.path.basename(p): open(p, "rb").read() for p in ARGS.exes}
        # Named for the version; tarballs of other versions may lie beside it.
        cls.tarball = os.path.join(ARGS.build_dir, "talvik-patchers-%s-linux-x86_64.tar.gz" % ARGS.version)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_tarball_contents_and_stamps(self):
        folder = os.path.basename(self.tarball)[:-len(".tar.gz")]
        with open(self.tarball, "rb") as f:
            header = f.read(10)
        self.assertEqual(header[3] & 0x08, 0, "gzip header names a file")
        self.assertEqual(header[4:8], bytes(4), "gzip header has a time")
        with tarfile.open(self.tarball) as tar:
            members = tar.getmembers()
            names = [m.name for m in members]
            self.assertEqual(names, [folder] + ["%s/%s" % (folder, n) for n in
                                                sorted(["LICENSE", "README", "THIRD-PARTY-NOTICES"] + self.PAGES
                                                       + list(self.programs)
                                                       + [n + ".desktop" for n in self.programs])])
            self.assertEqual({(m.uid, m.gid) for m in members}, {(0, 0)})
            self.assertEqual(len({m.mtime for m in members}), 1, "entries stamped alike")
            for name, data in self.programs.items():
                member = tar.getmember("%s/%s" % (folder, name))
                self.assertEqual(member.mode, 0o755)
                self.assertTrue(tar.extractfile(member).read() == data, name + " differs from the built one")
            self.files = {os.path.basename(m.name): tar.extractfile(m).read() for m in members if m.isfile()}
        readme = self.files["README"].decode("ascii")
        notices = self.files["THIRD-PARTY-NOTICES"].decode("ascii")
        self.assertNotIn("@", readme + notices, "placeholder left unfilled")
        self.assertEqual(self.files["LICENSE"], committed("LICENSE"))
        # Ends with the LGPL's text, which each copy of the GNU C Library must carry.
        self.assertTrue(notices.endswith("\n\n" + committed("cmake/LGPL-2.1.txt").decode()), "no LGPL text at the end")
        for needle in LINKED["linux"] + ["talvik-patchers-%s-source.tar.gz" % ARGS.version, "source package glibc"]:
            self.assertTrue(needle in notices, "notices without " + needle)
        for needle in ["Version " + ARGS.version, "man ./fpenabler.1", "~/.wine/drive_c/",
                       "~/.local/share/applications"]:
            self.assertIn(needle, readme)
        for page in self.PAGES:
            with self.subTest(page=page):
                text = self.files[page].decode("ascii")
                self.assertRegex(text, r'^\.TH %s 1 \d{4}-\d\d-\d\d "talvik\\-patchers %s"'
                                 % (page[:-2].upper(), re.escape(ARGS.version)))
                # groff's warnings, and mandoc's about the conventions of manual pages, which groff lets pass.
                for lint in (["man", "--warnings", "-l", "-"], ["mandoc", "-T", "lint", "-W", "warning"]):
                    run = subprocess.run(lint, input=self.files[page], capture_output=True,
                                         env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
                    said = run.stderr + (run.stdout if lint[0] == "mandoc" else b"")  # man's stdout is the page
                    self.assertEqual(said.decode(), "", lint[0])

    def test_documents_quote_what_the_programs_print(self):
        # The programs are the one source of their messages: the download's README (whose list the Windows
        # one shares) and manual pages as shipped, and README.md, quote them byte for byte.
        with tarfile.open(self.tarball) as tar:
            documents = {os.path.basename(m.name): tar.extractfile(m).read().decode() for m in tar.getmembers()
                         if m.name.endswith(("/README", ".1"))}
        documents["README.md"] = committed("README.md").decode("utf-8")
        for name, text in documents.items():
            lines = quoted_lines(name, text)
            self.assertTrue(lines, name + ": nothing quoted found")
            for line in lines:
                with self.subTest(document=name, line=line):
                    self.assertTrue(any(line.encode() in p for p in self.programs.values()), "printed by no program")

    def test_programs_static_stripped_and_without_build_paths(self):
        for name, data in self.programs.items():
            with self.subTest(program=name):
                self.assertEqual(data[:5] + data[18:20], b"\x7fELF\x02\x3e\x00", "x86-64 ELF")
                segments = [int.from_bytes(e[:4], "little") for e in elf_entries(data, 0x20, 0x36, 0x38)]
                self.assertNotIn(3, segments, "has a program interpreter")
                self.assertNotIn(2, segments, "is linked dynamically")
                sections = [int.from_bytes(e[4:8], "little") for e in elf_entries(data, 0x28, 0x3A, 0x3C)]
                self.assertNotIn(2, sections, "has a symbol table")
                for folder in (SOURCE_DIR, os.path.abspath(ARGS.build_dir)):
                    self.assertNotIn(folder.encode(), data)

    def test_debian_package(self):
        self.assertEqual([os.path.basename(d) for d in self.debs], ["talvik-patchers_%s_amd64.deb" % ARGS.version])
        deb = self.debs[0]
        fields = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True, check=True).stdout
        for field in ["Package: talvik-patchers", "Version: " + ARGS.version, "Architecture: amd64",
                      "Section: utils", "Recommends: zenity | kdialog", "Description: "]:
            self.assertIn("\n" + field, "\n" + fields)
        self.assertNotIn("Depends:", fields, "static programs depend on nothing")
        self.assertGreaterEqual(len(re.findall(r"^ \S", fields, re.M)), 3, "a real description")
        data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            files = {m.name[1:]: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}
            self.assertEqual({(m.uid, m.gid) for m in tar.getmembers()}, {(0, 0)})
        doc = "/usr/share/doc/talvik-patchers/"
        self.assertEqual(sorted(files), sorted(
            ["/usr/bin/" + n for n in self.programs] + ["/usr/share/man/man1/%s.gz" % p for p in self.PAGES]
            + [doc + "copyright", doc + "changelog.gz", "/usr/share/lintian/overrides/talvik-patchers"]
            + ["/usr/share/applications/%s.desktop" % n for n in self.programs]))
        for name, data in self.programs.items():
            self.assertTrue(files["/usr/bin/" + name] == data, name + " differs from the built one")
            desktop = files["/usr/share/applications/%s.desktop" % name]
            # In the menu, opening its own terminal window, never the opener of every .exe.
            with self.subTest(entry=name):
                self.assertLessEqual({"Terminal=false", "Exec=%s %%f" % name}, set(desktop.decode().splitlines()))
                self.assertNotIn(b"MimeType", desktop)
                entry = os.path.join(self.tmp.name, name + ".desktop")
                with open(entry, "wb") as f:
                    f.write(desktop)
                check = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
                self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))
        for name in ["/usr/share/man/man1/%s.gz" % p for p in self.PAGES] + [doc + "changelog.gz"]:
            self.assertEqual(files[name][3:8], bytes(5), name + ": gzip header with a name or a time")
        self.assertIn("talvik-patchers (%s) " % ARGS.version, gzip.decompress(files[doc + "changelog.gz"]).decode())
        copyright = files[doc + "copyright"].decode()
        self.assertTrue(copyright.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"))
        for needle in ["\nFiles: *\nCopyright: 2026 The Talvik tools team\nLicense: Expat\n", "\nLicense: LGPL-2.1+\n",
                       "\nLicense: GPL-3+ with GCC-exception-3.1 exception\n"] + LINKED["linux"]:
            self.assertIn(needle, copyright)
        lintian = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True, text=True)
        self.assertEqual(lintian.returncode, 0, lintian.stdout + lintian.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--cpack")
    parser.add_argument("--build-dir")
    parser.add_argument("--zip")
    parser.add_argument("--linux", action="store_true")
    parser.add_argument("exes", nargs="+")
    ARGS, rest = parser.parse_known_args()
    if not ARGS.zip and not (ARGS.cpack and ARGS.build_dir):
        parser.error("give --zip, or --cpack and --build-dir")
    if ARGS.linux and ARGS.zip:
        parser.error("--linux packs the build dir: give --cpack and --build-dir")
    unittest.main(argv=[sys.argv[0]] + rest, defaultTest="LinuxPackageTest" if ARGS.linux else "PackageTest")
