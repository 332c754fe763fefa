#!/usr/bin/env python3
"""Runs the end-to-end cases against built patchers.

  run.py --program fpenabler=PATH --program gridenlarger=PATH
         [--prefix "wine"] [--crlf] [--windows-paths] [--skip TAG,...]
         [--no-signal-keys] [--faults LIBRARY] [--smoke]
         [--timeout SECONDS] [-k PATTERN]

Tags of cases that only apply to the POSIX build run natively, skipped with
--skip or the E2E_SKIP environment variable (comma separated):
  tty       the terminal path prompt, key reads from /dev/tty, terminal modes
  setuid    the read-only case as root, which runs the program as nobody
  rlimit    writes cut short by a file size limit
  longpath  a path of 300 characters
  flock     a POSIX lock held on the file by another process
  mount     a loop btrfs, or a holder's mount namespace, made for the test
            (the cases skip themselves where not root)
Cases of failing writes run where --faults names the preload library.
--smoke runs only the few cases of the smoke set, for a slow emulator.
As root, the cases run in a mount namespace of their own, so that no mount
they make outlives them. Under Wine, the server of the prefix WINEPREFIX
names is ended before and after, so that the one they start is inside it
and sees their mounts; without WINEPREFIX the mount cases are skipped.
Exits 0 when every case passed.
"""
import argparse
import ctypes
import os
import shlex
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from harness import CONFIG, end_wine_server  # noqa: E402
import test_patchers  # noqa: E402

TAGS = {"tty", "setuid", "rlimit", "longpath", "flock", "mount"}


def own_mount_namespace():
    """Moves this process into a mount namespace of its own, where its
    mounts stay. The reason where it cannot."""
    if os.geteuid() != 0:
        return "a mount namespace of the test's own needs root"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS
        return "no mount namespace of the test's own: " + os.strerror(ctypes.get_errno())
    done = subprocess.run(["mount", "--make-rprivate", "/"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return done.returncode and "mount --make-rprivate failed: " + done.stderr.strip() or None


def killed_status(prefix):
    """1 where Wine 10 or later runs 32-bit programs through qemu: its
    loader then starts the program as a child of start.exe, which ends with
    1 where the program was killed by a signal, as its user sees. None
    where the signal shows, as natively and under Wine 8."""
    def said(*args, **env):
        return subprocess.run(prefix + list(args), env=dict(os.environ, **env), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True).stdout
    emulated = said(QEMU_VERSION="1").startswith("qemu-")
    version = said("--version").partition("-")[2].split(".")[0]
    return 1 if emulated and version.isdigit() and int(version) >= 10 else None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", action="append", required=True, metavar="NAME=PATH")
    parser.add_argument("--prefix", default="", help="command to run each program with")
    parser.add_argument("--crlf", action="store_true", help="output lines end in CR LF")
    parser.add_argument("--windows-paths", action="store_true", help="pass paths as Z:\\...")
    parser.add_argument("--no-signal-keys", action="store_true",
                        help="turn the terminal's signal keys off, as a Windows console has none")
    parser.add_argument("--faults", help="preload library that makes writes fail")
    parser.add_argument("--smoke", action="store_true", help="only the smoke set")
    parser.add_argument("--skip", action="append", default=[], metavar="TAGS")
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("-k", dest="patterns", action="append", help="only tests matching")
    args = parser.parse_args()

    for item in args.program:
        name, _, path = item.partition("=")
        if name not in test_patchers.PROGRAMS or not path:
            parser.error("unknown program %r (expected NAME=PATH, NAME one of %s)"
                         % (item, ", ".join(test_patchers.PROGRAMS)))
        CONFIG.programs[name] = os.path.abspath(path) if os.path.exists(path) else path
    skip = {t for s in args.skip + [os.environ.get("E2E_SKIP", "")] for t in s.split(",") if t}
    if skip - TAGS:
        parser.error("unknown tag(s) %s" % ", ".join(sorted(skip - TAGS)))
    if not args.faults:
        skip.add("faults")
    # The terminal's own prompt and keys, never a desktop's windows.
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        os.environ.pop(name, None)
    CONFIG.skip, CONFIG.prefix = skip, shlex.split(args.prefix)
    CONFIG.crlf, CONFIG.windows_paths, CONFIG.timeout = args.crlf, args.windows_paths, args.timeout
    CONFIG.no_signal_keys, CONFIG.faults = args.no_signal_keys, args.faults and os.path.abspath(args.faults)
    # Under Wine, only the server of a prefix of the tests' own is ended: in
    # the user's own, the editor may be running.
    wine = CONFIG.prefix and os.path.basename(CONFIG.prefix[0]).startswith("wine")
    own_prefix = not wine or os.environ.get("WINEPREFIX")
    CONFIG.mounts = ("'mount' cases are skipped here" if "mount" in skip else
                     own_mount_namespace() if own_prefix else "under Wine, mounts need WINEPREFIX set")
    if wine and own_prefix:
        end_wine_server()
    CONFIG.killed_status = killed_status(CONFIG.prefix) if wine else None

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in args.patterns]
    CONFIG.smoke = args.smoke
    suite = (loader.loadTestsFromTestCase(test_patchers.Smoke) if args.smoke
             else loader.loadTestsFromModule(test_patchers))
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        if wine and own_prefix:
            end_wine_server()
    failed = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    # A case skipped only in some of its subtests still ran; those are told apart.
    skipped = {t.id() for t, _ in result.skipped if not hasattr(t, "test_case")}
    partly = len(result.skipped) - len(skipped)
    if partly:
        print("e2e: %d subtests skipped within cases that ran" % partly)
    print("e2e: %d passed, %d failed, %d skipped"
          % (result.testsRun - len(failed - skipped) - len(skipped), len(failed), len(skipped)))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
