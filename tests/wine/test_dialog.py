#!/usr/bin/env python3
"""The save-file dialog of the Windows programs, run under Wine on Xvfb.

    python3 tests/wine/test_dialog.py EXE [EXE...] [--prefix DIR] [--timeout S]

Each program is started without an argument, with a pseudo-terminal as its
console and its standard output on a pipe. The dialog is found by its title
and driven with xdotool: a file chosen by its typed path or picked from the
list is echoed and the run goes on to "Done"; Escape ends the run with "No
file selected". Starts its own Xvfb and, unless --prefix names one, its own
Wine prefix, and ends both; ends the prefix's wineserver before and after.
"""
import argparse
import fcntl
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

TITLE = "Convert Nolix Talvik Editor Executable"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import sample_image  # noqa: E402


class Env:
    exes = []
    xvfb = None
    timeout = 60.0  # for a program to start and end, a guard against hangs only
    vars = {}


# A dialog just drawn may not take the first clicks and keys yet: each step
# is done again, at most ATTEMPTS times, until it shows within STEP seconds.
ATTEMPTS = 4
STEP = 10.0
WINE64 = "/usr/lib/wine/wine64"


def wine_loader(exe):
    # A 64-bit program (PE32+) needs wine64, which Debian keeps outside PATH.
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if int.from_bytes(data[pe + 24:pe + 26], "little") == 0x20B and os.access(WINE64, os.X_OK):
        return WINE64
    return shutil.which("wine") or "/usr/lib/wine/wine"


def until(predicate, what, limit=None):
    """The predicate's first true value within `limit` seconds (Env.timeout
    by default). After that, a failure naming `what`, or None without one."""
    end = time.monotonic() + (limit or Env.timeout)
    while time.monotonic() < end:
        if Env.xvfb.poll() is not None:
            raise AssertionError("Xvfb ended while waiting for " + what)
        value = predicate()
        if value:
            return value
        time.sleep(0.3)
    if what:
        raise AssertionError("gave up waiting for " + what)
    return None


def persist(action, done, what):
    """Does `action` until `done` holds, at most ATTEMPTS times. An action
    that returns False has seen that it did not take."""
    for _ in range(ATTEMPTS):
        if action() is not False and until(done, None, STEP):
            return
    raise AssertionError("%s: not done in %d attempts" % (what, ATTEMPTS))


def xdotool(*args):
    return subprocess.run(["xdotool", *args], env=Env.vars, capture_output=True, text=True,
                          timeout=STEP).stdout.split()


class Program:
    """A patcher started with no argument, its console on a pty."""

    def __init__(self, exe, cwd):
        self.master, slave = pty.openpty()
        def own_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        self.proc = subprocess.Popen([wine_loader(exe), exe], cwd=cwd, env=Env.vars, stdin=slave,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     preexec_fn=own_terminal)
        os.close(slave)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.out = b""

    def pump(self):
        ready, _, _ = select.select([self.proc.stdout, self.master], [], [], 0.2)
        if self.proc.stdout in ready:
            self.out += self.proc.stdout.read() or b""
        if self.master in ready:
            try:
                os.read(self.master, 4096)  # terminal echo and control sequences
            except OSError:
                pass

    def shows(self, text):
        self.pump()
        return text.encode() in self.out

    def key(self, data):
        os.write(self.master, data.encode())

    def exit_status(self):
        until(lambda: self.pump() or self.proc.poll() is not None, "exit")
        self.pump()
        return self.proc.returncode

    def text(self):
        return self.out.decode("latin-1")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        os.close(self.master)


def dialog_windows():
    return xdotool("search", "--name", "^" + TITLE + "$")


def click(window, x, y):
    # No window manager runs, so nothing hands out input focus: a click does.
    xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")


# Inside the dialog as Wine lays it out: the file-name box, the first file of
# the list, and a blank spot of the overwrite prompt.
FILE_NAME_BOX = (236, 189)
FIRST_FILE = (60, 43)
PROMPT_BLANK = (10, 10)
LAST_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\ComDlg32\LastVisitedMRU"


class DialogTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dialog-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_program(self, exe, cwd):
        # Forget the folder the dialog was last used in, so that it opens in
        # the one the program starts in.
        subprocess.run([wine_loader(exe), "reg", "delete", LAST_FOLDERS, "/f"], env=Env.vars,
                       capture_output=True, timeout=Env.timeout)
        program = Program(exe, cwd)
        self.addCleanup(program.close)
        window = until(dialog_windows, "the dialog")[0]
        return program, window

    def test_chosen_file_is_echoed_and_converted(self):
        # A path typed in, and names outside any ANSI code page picked from
        # the list, as xdotool cannot type them reliably; each file alone in
        # the folder the program starts in, where the dialog opens.
        for name, typed in (("talvik.exe", True), ("Карта редактора.exe", False), ("地图编辑器.exe", False)):
            folder = os.path.join(self.dir, name[:-len(".exe")])
            os.mkdir(folder)
            target = os.path.join(folder, name)
            windows_path = "Z:" + target.replace("/", "\\")
            for exe in Env.exes:
                with self.subTest(exe=exe, name=name):
                    before = sample_image.build_image("3.5", fp="normal", grid="normal")
                    with open(target, "wb") as f:
                        f.write(before)
                    program, window = self.run_program(exe, folder)

                    def choose_and_confirm():
                        if typed:
                            click(window, *FILE_NAME_BOX)
                            xdotool("key", "End", "shift+Home", "BackSpace")
                            xdotool("type", "--delay", "30", windows_path)
                        else:
                            click(window, *FIRST_FILE)
                        xdotool("key", "Return")
                        # The file exists, so the dialog asks before "overwriting" it.
                        prompt = until(lambda: [w for w in dialog_windows() if w != window], None, STEP)
                        if not prompt:
                            return False
                        click(prompt[0], *PROMPT_BLANK)
                        # The default button: Yes to the overwrite prompt, or
                        # OK to a complaint about a name that came garbled.
                        xdotool("key", "Return")
                    persist(choose_and_confirm, lambda: program.shows("Press 2"), "choosing " + name)
                    program.key("2")
                    until(lambda: program.shows("Press any key to quit"), "the end of the run")
                    program.key(" ")
                    self.assertEqual(program.exit_status(), 0, program.text())
                    # The echo is the UTF-8 bytes of the name (the case of the
                    # drive letter and folders is the dialog's).
                    lines = program.out.decode("utf-8", "replace").split("\r\n")
                    self.assertIn(windows_path.lower(), [line.lower() for line in lines])
                    self.assertIn("Detected version: Nolix Talvik Editor 3.5 (normal)", lines)
                    self.assertIn("Done", lines)
                    with open(target, "rb") as f:
                        self.assertNotEqual(f.read(), before)

    def test_escape_means_no_file(self):
        for exe in Env.exes:
            with self.subTest(exe=exe):
                program, window = self.run_program(exe, self.dir)

                def escape():
                    click(window, *FILE_NAME_BOX)
                    xdotool("key", "Escape")
                persist(escape, lambda: program.shows("Press any key to quit"), "Escape")
                program.key(" ")
                self.assertEqual(program.exit_status(), 1, program.text())
                self.assertTrue(program.text().endswith("Error: No file selected\r\nPress any key to quit"),
                                program.text())
                self.assertNotIn("Detected", program.text())


def start_xvfb():
    """A virtual display of our own, and its number. Another server starting
    at the same moment can take the display Xvfb picked, which it only finds
    out on opening it; then it ends, and a second try picks another. Xvfb
    writes the number and its newline separately, and ends if the pipe is
    closed in between: read up to the newline."""
    for attempt in range(3):
        read_display, write_display = os.pipe()
        xvfb = Env.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_display), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write_display], stderr=subprocess.DEVNULL)
        os.close(write_display)
        with os.fdopen(read_display) as pipe:
            display = pipe.readline().strip() if select.select([pipe], [], [], STEP)[0] else ""
        ready = subprocess.run(["xdotool", "getdisplaygeometry"], env=dict(os.environ, DISPLAY=":" + display),
                               capture_output=True, timeout=STEP).returncode == 0
        if ready and xvfb.poll() is None:
            return xvfb, display
        xvfb.kill()
        xvfb.wait()
    raise SystemExit("Xvfb would not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exes", nargs="+")
    parser.add_argument("--prefix", default=os.environ.get("WINEPREFIX"),
                        help="existing Wine prefix to use instead of a new one (default: $WINEPREFIX)")
    parser.add_argument("--timeout", type=float, default=Env.timeout)
    args, rest = parser.parse_known_args()
    Env.exes = [os.path.abspath(e) for e in args.exes]
    Env.timeout = args.timeout

    own_prefix = None if args.prefix else tempfile.mkdtemp(prefix="wineprefix-")
    xvfb, display = start_xvfb()
    Env.vars = dict(os.environ, DISPLAY=":" + display, WINEPREFIX=args.prefix or own_prefix,
                    WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def end_wineserver():
        # A server keeps what it set up for the first display it saw: booted
        # without one it shows no dialog; left on this Xvfb, later starts wait.
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=Env.vars, stderr=subprocess.DEVNULL, timeout=Env.timeout)
    end_wineserver()
    try:
        if own_prefix:
            # Made by the 64-bit loader where there is one, so both flavours run in it.
            boot = WINE64 if os.access(WINE64, os.X_OK) else wine_loader(Env.exes[0])
            subprocess.run([boot, "wineboot", "-i"], env=Env.vars,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        result = unittest.main(argv=[sys.argv[0], *rest], exit=False).result
    finally:
        end_wineserver()
        xvfb.terminate()
        xvfb.wait()
        if own_prefix:
            shutil.rmtree(own_prefix, ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
