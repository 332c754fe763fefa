#!/usr/bin/env python3
"""What a built Windows program needs on the machine it is copied to.

    python3 tests/wine/test_imports.py EXE [EXE...]

Each program must import system DLLs only (the C++ runtime, libgcc and
winpthread linked in statically) and carry its manifest and version record.
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "comdlg32.dll", "user32.dll", "advapi32.dll"}
EXES = []


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
                self.assertIn('VALUE "ProductVersion", "1.0.0"', resources)

    def test_console_program(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                self.assertRegex(run(tool("objdump"), "-p", exe), r"Subsystem\s+00000003")


if __name__ == "__main__":
    EXES[:] = [a for a in sys.argv[1:] if not a.startswith("-")]
    unittest.main(argv=[sys.argv[0]] + [a for a in sys.argv[1:] if a.startswith("-")])
