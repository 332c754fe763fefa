#!/usr/bin/env python3
"""What a built Windows program needs on the machine it is copied to.

    python3 tests/wine/test_imports.py --version V EXE [EXE...]

Each program must import system DLLs only (the C++ runtime, libgcc and
winpthread linked in statically) and carry its manifest and its version
record, which gives the project's version V.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "comdlg32.dll", "user32.dll", "advapi32.dll"}
# The README promises Windows Vista and later. Functions a MinGW runtime or
# the C++ library may come to import that Windows XP lacks, by the Windows
# that brought them (Vista 6.0, 7 6.1, 8 6.2, 10 10.0).
NEWER_THAN_XP = {
    "GetTickCount64": 6.0, "InitializeSRWLock": 6.0, "AcquireSRWLockExclusive": 6.0,
    "InitializeConditionVariable": 6.0, "SleepConditionVariableCS": 6.0, "InitOnceExecuteOnce": 6.0,
    "GetFileInformationByHandleEx": 6.0, "GetFinalPathNameByHandleA": 6.0, "GetFinalPathNameByHandleW": 6.0,
    "CreateSymbolicLinkW": 6.0, "GetLocaleInfoEx": 6.0, "CompareStringEx": 6.0, "LCMapStringEx": 6.0,
    "TryAcquireSRWLockExclusive": 6.1, "GetSystemTimePreciseAsFileTime": 6.2, "CreateFile2": 6.2,
    "WaitOnAddress": 6.2, "SetThreadDescription": 10.0, "GetThreadDescription": 10.0,
}
LOWEST_WINDOWS = 6.0
EXES = []
VERSION = None


def tool(name):
    for candidate in ("x86_64-w64-mingw32-" + name, "i686-w64-mingw32-" + name, name):
        if shutil.which(candidate):
            return candidate
    raise unittest.SkipTest(name + " not installed")


def run(*args):
    # Not checked: windres fails on a file without resources, which the asserts report.
    return subprocess.run(args, capture_output=True, text=True).stdout


class ImportsTest(unittest.TestCase):
    def test_only_system_dlls_are_imported(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", run(tool("objdump"), "-p", exe))}
                self.assertIn("kernel32.dll", dlls)
                self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_starts_on_the_lowest_windows_promised(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                # binutils 2.40 gives an import as address, tab, decimal hint;
                # 2.44 as address, bound-to column (<none>) and hexadecimal hint.
                names = re.findall(r"^\t[0-9a-f]+(?:\t +\d+| +\S+ +[0-9a-f]+) +(\w+)$",
                                   run(tool("objdump"), "-p", exe), re.M)
                self.assertIn("ReadConsoleInputA", names)
                needs = {n: NEWER_THAN_XP[n] for n in names if n in NEWER_THAN_XP}
                self.assertLessEqual(max(needs.values(), default=5.1), LOWEST_WINDOWS, needs)

    def test_manifest_and_version_are_embedded(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                resources = run(tool("windres"), "-i", exe, "-O", "rc")
                manifests = re.findall(r"^1 24 ", resources, re.M)
                self.assertEqual(len(manifests), 1, "one manifest with id 1")
                self.assertIn('level=""asInvoker"" uiAccess=""false""', resources)
                self.assertEqual(resources.count("<supportedOS "), 5)
                # Each setting in the namespace Windows looks it up in, which older Windows skips.
                for setting in ('<activeCodePage xmlns=""http://schemas.microsoft.com/SMI/2019/WindowsSettings"">UTF-8<',
                                '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true<'):
                    self.assertIn(setting, resources)
                name = os.path.basename(exe)
                self.assertIn('VALUE "OriginalFilename", "%s"' % name, resources)
                numbers = ", ".join(VERSION.split(".") + ["0"])
                for line in ("FILEVERSION %s" % numbers, "PRODUCTVERSION %s" % numbers,
                             'VALUE "FileVersion", "%s"' % VERSION, 'VALUE "ProductVersion", "%s"' % VERSION):
                    self.assertIn(line, resources)

    def test_console_program(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                self.assertRegex(run(tool("objdump"), "-p", exe), r"Subsystem\s+00000003")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("exes", nargs="+")
    args, rest = parser.parse_known_args()
    VERSION, EXES[:] = args.version, args.exes
    unittest.main(argv=[sys.argv[0]] + rest)
