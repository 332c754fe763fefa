#!/usr/bin/env python3
"""The file dialogs, on Xvfb: the save-file dialog of the Windows programs
under Wine, or the Linux programs' terminal window and desktop file chooser.

    python3 tests/wine/test_dialog.py EXE [EXE...] [--prefix DIR] [--timeout S]

A Windows program is started without an argument, with a pseudo-terminal as
its console and its standard output on a pipe. The dialog is found by its
title and driven with xdotool: a file chosen by its typed path or picked
from the list is echoed and the run goes on to "Done"; Escape ends the run
with "No file selected". Starts its own Xvfb and, unless --prefix names one,
its own Wine prefix, and ends both; ends the prefix's wineserver before and
after.

A Linux program is started without a terminal, to be run in a real xterm
window, and without an argument, to ask through a real zenity; each with a
PATH of only the tools its case has. Exits 77 where Xvfb, xdotool, xterm or
zenity is missing.
"""
import argparse
import fcntl
import os
import pty
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

TITLE = "Convert Nolix Talvik Editor Executable"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import sample_image  # noqa: E402
from harness import end_wine_server  # noqa: E402
from test_patchers import ANY_KEY, DONE, PROGRAMS, error  # noqa: E402

NOT_TAKEN_OVER = "Can not take over the run that opened this window"


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
SKIPPED = 77  # the exit status of a run that could not test here


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
    """A patcher in a session of its own: its console on a pty, or with no
    terminal at all; its standard output on a pipe. `whole_group`: ended
    with everything it started, which a Wine program shares with Wine's own
    services."""

    def __init__(self, argv, cwd, env=None, terminal=True, whole_group=False):
        self.master, stdin, self.whole_group = None, subprocess.DEVNULL, whole_group
        if terminal:
            self.master, stdin = pty.openpty()
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env or Env.vars, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True,
                                     preexec_fn=(lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)) if terminal else None)
        if terminal:
            os.close(stdin)
        self.out, self.tty, self.ended = b"", b"", False  # ended: its output, and whoever inherited it

    def pump(self):
        fds = [fd for fd in (None if self.ended else self.proc.stdout.fileno(), self.master) if fd is not None]
        for fd in select.select(fds, [], [], 0.2)[0]:
            try:
                data = os.read(fd, 4096)
            except OSError:  # the terminal, once nothing has it open
                data = b""
            if fd == self.master:
                self.tty += data  # echo, control sequences, and what the terminal is told
            elif data:
                self.out += data
            else:
                self.ended = True

    def shows(self, text):
        self.pump()
        return text.encode() in self.out

    def key(self, data):
        os.write(self.master, data.encode())

    def windows(self):
        """The windows of the file chooser that a Linux program has open."""
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
            return [w for child in f.read().split()
                    for w in xdotool("search", "--all", "--pid", child, "--name", "^" + TITLE + "$")]

    def exit_status(self):
        until(lambda: self.pump() or self.proc.poll() is not None, "exit")
        self.pump()
        return self.proc.returncode

    def text(self):
        return self.out.decode("latin-1")

    def close(self):
        try:
            if self.whole_group:
                os.killpg(self.proc.pid, signal.SIGKILL)
            elif self.proc.poll() is None:
                self.proc.kill()
        except ProcessLookupError:
            pass
        self.proc.wait()
        self.proc.stdout.close()
        if self.master is not None:
            os.close(self.master)


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def refused(tty):
    """The names a Linux program refused, in turn: it shows each on its
    terminal before "File not found."."""
    return re.findall(rb"([^\r\n]*)\r?\nFile not found\.", tty)


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
        program = Program([wine_loader(exe), exe], cwd)
        self.addCleanup(program.close)
        window = until(dialog_windows, "the dialog")[0]
        return program, window

    def test_chosen_file_is_echoed_and_converted(self):
        # A path typed in, and names outside any ANSI code page picked from
        # the list, as xdotool cannot type them reliably; each file alone in
        # the folder the program starts in, where the dialog opens.
        # A name typed first that names no file is refused, and the dialog
        # asked again.
        for name, typed, missing in (("talvik.exe", True, False), ("Карта редактора.exe", False, False),
                                     ("地图编辑器.exe", False, False), ("talvik.exe", True, True)):
            folder = os.path.join(self.dir, name[:-len(".exe")])
            os.makedirs(folder, exist_ok=True)
            target = os.path.join(folder, name)
            windows_path = "Z:" + target.replace("/", "\\")
            for exe in Env.exes:
                with self.subTest(exe=exe, name=name, missing_first=missing):
                    before = sample_image.build_image("3.5", fp="normal", grid="normal")
                    with open(target, "wb") as f:
                        f.write(before)
                    program, window = self.run_program(exe, folder)

                    def type_path(path):
                        click(window, *FILE_NAME_BOX)
                        xdotool("key", "End", "shift+Home", "BackSpace")
                        xdotool("type", "--delay", "30", path)
                        xdotool("key", "Return")
                    others = lambda: [w for w in dialog_windows() if w != window]  # noqa: E731
                    if missing:
                        persist(lambda: type_path(windows_path[:-4] + "-missing.exe"), others, "a missing name")
                        message = others()[0]
                        persist(lambda: click(message, *PROMPT_BLANK) or xdotool("key", "Return"),
                                lambda: message not in dialog_windows() and dialog_windows(), "the message")
                        window = dialog_windows()[0]

                    def choose_and_confirm():
                        if typed:
                            type_path(windows_path)
                        else:
                            click(window, *FIRST_FILE)
                            xdotool("key", "Return")
                        # The file exists, so the dialog asks before "overwriting" it.
                        prompt = until(others, None, STEP)
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
                    self.assertNotIn("missing", program.text())
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


class DesktopTest(unittest.TestCase):
    """The Linux programs started from a desktop: run in a terminal window
    when started without a terminal, and asking through the desktop's chooser
    when given no path. Each is given a PATH of only the tools of its row."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="desktop-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home)
        # Logs its arguments, one a line, and ends as a cancelled dialog does.
        self.logger = self.script("logger", 'printf "%s\\n" "$@" > "$0.log"\nexit 1\n')

    def script(self, name, body):
        """A shell script in the test's folder, and its path."""
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path

    def start(self, exe, args, tools, terminal, **env):
        folder = tempfile.mkdtemp(dir=self.dir)
        for name, target in tools.items():
            os.symlink(shutil.which(target) or target, os.path.join(folder, name))
        env = dict(Env.vars, PATH=folder, HOME=self.home, **env)
        for name in ("WINEPREFIX", "XDG_DATA_HOME", "XDG_CURRENT_DESKTOP"):
            env.setdefault(name, "")
        program = Program([exe, *args], self.dir, env, terminal, whole_group=True)
        self.addCleanup(program.close)
        return program, folder

    def test_started_without_a_terminal(self):
        # A blank in the program's folder, and the file given by a path, relative
        # to the folder it was started in, that a shell would take apart.
        os.mkdir(os.path.join(self.dir, "My Tools"))
        target = os.path.join(self.dir, "Program Files 'x\" $HOME", "talvik.exe")
        os.mkdir(os.path.dirname(target))
        editor = os.path.join(self.dir, "prefix", "drive_c", "Nolix", "talvik.exe")
        os.makedirs(os.path.dirname(editor))
        # Joins the words for sh, in /, as tilix does; without a terminal. Started LATE seconds after it ends, as by
        # a terminal's running server.
        no_terminal = self.script("no-terminal",
                                  'echo >> "$0.log"\nn=0; while read -r _; do n=$((n + 1)); done < "$0.log"\n'
                                  '[ $n -le 2 ] && shift && cd / && /bin/sleep "${LATE:-0}" && /bin/sh -c "$*" &\n')
        bare = self.script("bare",  # a window whose command has an empty environment, in /
                           'echo >> "$0.log"\nshift\ncd / && exec %s -e /usr/bin/env -i "$@" >/dev/null\n' % shutil.which("xterm"))
        keeps = self.script("keeps", 'printf "%s\\n" "$@" > "$0.log"\nexec /bin/sleep 60\n')  # takes the command, runs nothing
        copies = [shutil.copy(exe, os.path.join(self.dir, "My Tools")) for exe in Env.exes]
        for exe, copy in zip(Env.exes, copies):
            p = PROGRAMS[os.path.basename(exe)]
            other = next(c for c in copies if c != copy)
            today = p.shown("3.5", "normal", error("Invalid input"))
            kde, deepin = {"XDG_CURRENT_DESKTOP": "KDE"}, {"XDG_CURRENT_DESKTOP": "Deepin"}
            for row, tools, how, env, out, status, ran in (  # the first copy's output and status; whose copy went on
                    ("xterm", {"xterm": "xterm"}, "window", {}, "", 0, None),
                    ("no terminal program", {}, "window", {}, today, 1, None),
                    ("a terminal that joins the words", {"xterm": no_terminal}, "window", {}, today, 0, "xterm"),
                    ("a terminal that fails first", {"x-terminal-emulator": "false", "xterm": no_terminal}, "window",
                     {}, today, 0, "xterm"),
                    ("a terminal that ends at once", {"x-terminal-emulator": "true", "xterm": no_terminal}, "window",
                     {}, today, 0, "xterm"),
                    ("a terminal whose server starts it late", {"gnome-terminal": no_terminal, "xterm": self.logger},
                     "window", {"LATE": "3"}, today, 0, "gnome-terminal"),
                    ("the user's choice first", {"x-terminal-emulator": no_terminal, "konsole": no_terminal}, "window",
                     kde, today, 0, "x-terminal-emulator"),
                    ("the desktop's own next", {"konsole": no_terminal, "deepin-terminal": no_terminal}, "window",
                     deepin, today, 0, "deepin-terminal"),
                    ("Wayland only", {"xterm": no_terminal}, "window", {"DISPLAY": "", "WAYLAND_DISPLAY": "w"},
                     today, 0, "xterm"),
                    ("at a terminal", {"xterm": no_terminal}, "terminal", {}, today, 1, None),
                    ("none, and a message says so", {"zenity": self.logger}, "window", {}, "", 1, None),
                    ("an empty environment, no path", {"xterm": bare, "zenity": self.logger}, "no path",
                     {"WINEPREFIX": os.path.join(self.dir, "prefix")}, "", 0, "xterm"),
                    ("offered by the other program", {"xterm": keeps}, "offered", {}, error(NOT_TAKEN_OVER), 1, None)):
                if row == "a terminal that ends at once" and exe != Env.exes[0]:
                    continue  # waits for the copy that never comes: once is enough
                with self.subTest(program=p.name, row=row):
                    for path in (target, editor):
                        with open(path, "wb") as f:
                            f.write(p.image())
                    args = [] if how == "no path" else [os.path.relpath(target, self.dir)]
                    if how == "offered":
                        # Another program's offer of a run on the same file.
                        offering, folder = self.start(other, args, tools, False)
                        words = until(lambda: os.path.exists(folder + "/xterm.log") and
                                      contents(folder + "/xterm.log").decode().split("\n"), "the offer")
                        env = dict(w.split("=", 1) for w in words if w.startswith("TALVIK_PATCHERS_IN_WINDOW="))
                        tools = {}
                    program, folder = self.start(copy, args, tools, how in ("terminal", "offered"), **env)
                    for key, shown in {"terminal": (("q", "Press 2"), (" ", ANY_KEY)),
                                       "offered": ((" ", ANY_KEY),)}.get(how, ()):
                        until(lambda: program.shows(shown), shown)
                        program.key(key)
                    if tools.get("xterm") == "xterm":
                        xterm = until(lambda: xdotool("search", "--class", "xterm"), "the terminal window")[0]
                        until(lambda: xdotool("getwindowname", xterm) == [p.name], "the program's name as the title")
                        persist(lambda: xdotool("windowfocus", "--sync", xterm, "key", "2"),
                                lambda: contents(target) == p.image("3.5", "modified"), "2")
                        persist(lambda: xdotool("windowfocus", "--sync", xterm, "key", "q"),
                                lambda: not xdotool("search", "--class", "xterm"), "the last key")
                    until(lambda: program.pump() or program.ended, "the end of its output")
                    self.assertEqual((program.text(), program.exit_status()), (out, status))
                    self.assertEqual(contents(target), p.image("3.5", "modified" if row == "xterm" else "normal"))
                    logs = {name: contents(log) for name in tools for log in [os.path.join(folder, name + ".log")]
                            if os.path.exists(log) and name != "zenity"}
                    self.assertEqual(logs, {ran: b"\n"} if ran else {}, "started once, in the first terminal")
                    if how == "no path":  # in the window, with the first copy's environment, display and all
                        asked = until(lambda: os.path.exists(folder + "/zenity.log") and contents(folder + "/zenity.log"),
                                      "the chooser").decode().splitlines()
                        self.assertIn("--filename=" + editor, asked)
                        program.close()  # and its window
                    elif "zenity" in tools:
                        told = contents(os.path.join(folder, "zenity.log")).decode()
                        self.assertIn("no terminal program could be started", told)
                        self.assertTrue(told.startswith("--error\n--no-markup\n"), told)
                        self.assertEqual(shlex.split(told.splitlines()[-1]), [copy] + args)
                    if how == "offered":
                        offering.close()

    def test_asked_for_the_file(self):
        # In a Wine prefix, where the chooser starts on it.
        folder = os.path.join(self.home, ".wine", "drive_c", "Program Files")
        target, missing, pipe = (os.path.join(folder, name) for name in ("talvik.exe", "missing.exe", "pipe"))
        os.makedirs(folder)
        os.mkfifo(pipe)
        zenity = {"zenity": "zenity"}
        gtk4 = {"zenity": self.script("gtk4", 'echo "(zenity:9): Gtk-WARNING **: 18:35:07.539: Failed to open display" >&2\n'
                                              'exit 1\n')}
        rows = (  # tools on PATH, and the display; names typed into the chooser in turn (None: Escape,
            # "": Return alone), or at the terminal's prompt (False); how many are refused
            ("picked", zenity, {}, [target], 0),
            ("started on it", zenity, {}, [""], 0),
            ("a missing name and a pipe first", zenity, {}, [missing, pipe, target], 2),
            ("a folder first", zenity, {}, [folder, target], 0),
            ("cancelled", zenity, {}, [None], 0),
            ("no chooser", {}, {}, [False], 0),
            ("no display for the chooser", zenity, {"DISPLAY": ":65000"}, [False], 0),
            ("no display for GTK 4's chooser", gtk4, {}, [False], 0),
        )
        for exe in Env.exes:
            p = PROGRAMS[os.path.basename(exe)]
            for row, tools, env, names, wanted in rows:
                with self.subTest(program=p.name, row=row):
                    with open(target, "wb") as f:
                        f.write(p.image())
                    program, _ = self.start(exe, [], tools, True, **env)
                    for name in names:
                        if name is False:
                            until(lambda: program.pump() or TITLE.encode() + b": " in program.tty, "the prompt")
                            program.key(target + "\n")
                            continue
                        refusals = len(refused(program.tty))

                        def type_name():
                            # Not by its number: the next chooser's window may be given the same.
                            # Looked up for each attempt: one mistyped is refused, and asked anew.
                            xdotool("windowfocus", "--sync", until(program.windows, "the chooser")[0])
                            if name is None:
                                return xdotool("key", "Escape")
                            if name == "":
                                time.sleep(0.5)
                                return xdotool("key", "Return")
                            # Typed before a last character, not at the end, where GTK's
                            # completion would race the keys on a busy machine.
                            xdotool("key", "ctrl+l", "ctrl+a", "X", "Left")
                            xdotool("type", "--delay", "30", name)
                            xdotool("key", "Delete")
                            time.sleep(0.5)  # a Return sooner is lost; one lost is pressed again
                            xdotool("key", "Return")
                        done = {None: lambda: program.shows(ANY_KEY), target: lambda: program.shows("Press 2"),
                                "": lambda: program.shows("Press 2"),
                                folder: lambda: time.sleep(1) or True,  # opened in the chooser: nothing to see
                                }.get(name, lambda: program.pump() or name.encode() in refused(program.tty)[refusals:])
                        persist(type_name, done, "typing %s" % name)
                    cancelled = names == [None]
                    if not cancelled:
                        until(lambda: program.shows("Press 2"), "the choice")
                        program.key("2")
                    until(lambda: program.shows(ANY_KEY), "the end of the run")
                    program.key(" ")
                    shown = error("No file selected") if cancelled else (
                        target + "\n" + p.shown("3.5", "normal", DONE)[len(p.head):])
                    self.assertEqual((program.text(), program.exit_status()),
                                     (p.head + p.path_prompt + shown, int(cancelled)))
                    # GTK 4's chooser puts the name of the file it selects into the location box
                    # once it has read the folder, which may come in the middle of the typing: the
                    # program refuses what came of it, and the name is typed again. Every name
                    # typed is refused or taken as the row has it.
                    typed = [n.encode() for n in names if n]
                    self.assertEqual(len([n for n in refused(program.tty) if n in typed]), wanted, program.tty)
                    self.assertEqual(contents(target), p.image("3.5", "normal" if cancelled else "modified"))

    def test_chooser_starts_at_the_editor(self):
        # Files made under the home folder, with their times; where the chooser starts; its tool and display.
        wine, bottle = ".wine/drive_c/Program Files (x86)/Nolix/Talvik/bin/", ".local/share/bottles/bottles/T/drive_c/"
        links = {wine + "talvik.exe": 1, "outside/talvik.exe": 3, ".wine/drive_c/loop": ".",
                 ".wine/drive_c/outside": "../../outside", ".wine/drive_c/Talvik.EXE": "../../outside/talvik.exe"}
        kde = {"XDG_CURRENT_DESKTOP": "X-Other:KDE"}
        # Outside the home: a prefix, and a second Steam library that the first lists.
        outside = os.path.join(self.dir, "media")
        prefix, sd = outside + "/prefix/drive_c/talvik.exe", outside + "/SD card\\1/steamapps/common/Talvik/talvik.exe"
        steam = ".local/share/Steam/steamapps/"
        games, proton = steam + "common/Talvik/talvik.exe", steam + "compatdata/2000/pfx/drive_c/Talvik/talvik.exe"
        listed = {steam + "libraryfolders.vdf": b'"libraryfolders"\r\n{\r\n\t"1"\r\n\t{\r\n\t\t"path"\t\t"%s"\r\n'
                  b'\t}\r\n}\r\n' % os.fsencode(outside + "/SD card\\1").replace(b"\\", b"\\\\")}
        snap = "snap/steam/common/.local/share/Steam/steamapps/compatdata/2000/pfx/drive_c/talvik.exe"
        heroic, crossover = "Games/Heroic/Prefixes/default/T/drive_c/talvik.exe", ".cxoffice/T/drive_c/talvik.exe"
        # Six prefixes of 2,100 files each use up the whole search, where they come before the games.
        full = {steam + "compatdata/%d/pfx/drive_c/full" % n: range(2100) for n in range(6)}
        rows = (
            ("in Steam's second library", dict(listed, **{games: 1, proton: 1, sd: 2}), sd, "zenity", {}),
            ("in Steam's second library's games, before full prefixes", dict(listed, **full, **{wine + "talvik.exe": 1,
             sd: 2}), sd, "zenity", {}),
            ("in Snap Steam's Proton prefix", {wine + "talvik.exe": 1, snap: 2}, snap, "zenity", {}),
            ("in a Heroic prefix", {wine + "talvik.exe": 1, heroic: 2}, heroic, "zenity", {}),
            ("in a CrossOver bottle", {wine + "talvik.exe": 1, crossover: 2}, crossover, "zenity", {}),
            ("in Steam's first library", dict(listed, **{games: 2, proton: 1, sd: 1}), games, "zenity", {}),
            ("in a Proton prefix", dict(listed, **{games: 1, proton: 2, sd: 1}), proton, "zenity", {}),
            ("in WINEPREFIX, outside the home", {wine + "talvik.exe": 1, prefix: 2}, prefix, "zenity",
             {"WINEPREFIX": os.path.dirname(os.path.dirname(prefix))}),
            ("in ~/.wine", {wine + "talvik.exe": 1}, wine + "talvik.exe", "zenity", {}),
            ("in a bottle, in capitals", {bottle + "Talvik/TALVIK.EXE": 1}, bottle + "Talvik/TALVIK.EXE", "zenity", {}),
            ("the newer of two", {wine + "talvik.exe": 1, bottle + "talvik.exe": 2}, bottle + "talvik.exe", "zenity", {}),
            ("past links", links, wine + "talvik.exe", "zenity", {}),
            ("none: the home folder", {}, "", "zenity", {}),
            ("on KDE, after another name", {wine + "talvik.exe": 1}, wine + "talvik.exe", "kdialog", kde),
            ("Wayland only", {}, "", "zenity", {"DISPLAY": "", "WAYLAND_DISPLAY": "w"}),
        )
        for exe in Env.exes:
            p = PROGRAMS[os.path.basename(exe)]
            for row, files, start, tool, env in rows:
                with self.subTest(program=p.name, row=row):
                    shutil.rmtree(self.home)
                    shutil.rmtree(outside, True)
                    for name, made in files.items():
                        path = os.path.join(self.home, name)
                        os.makedirs(os.path.dirname(path), exist_ok=True)
                        if isinstance(made, range):  # a folder of so many empty files
                            os.makedirs(path)
                            for n in made:
                                open(os.path.join(path, str(n)), "wb").close()
                        elif isinstance(made, str):
                            os.symlink(made, path)
                        elif isinstance(made, bytes):
                            with open(path, "wb") as f:
                                f.write(made)
                        else:
                            with open(path, "wb") as f:
                                f.write(p.image())
                            os.utime(path, (made * 1e9, made * 1e9))
                    os.makedirs(self.home, exist_ok=True)
                    program, folder = self.start(exe, [], {"zenity": self.logger, "kdialog": self.logger}, True, **env)
                    until(lambda: program.shows(ANY_KEY), "the cancelled chooser")
                    program.key(" ")
                    self.assertEqual(program.exit_status(), 1, program.text())
                    asked = contents(os.path.join(folder, tool + ".log")).decode().splitlines()
                    start = os.path.join(self.home, start)
                    self.assertIn(start if tool == "kdialog" else "--filename=" + start, asked)


def start_xvfb():
    """A virtual display of our own, and its number. Another server starting
    at the same moment can take the display Xvfb picked, which it only finds
    out on opening it; then it ends, and a second try picks another. Xvfb
    writes the number and its newline separately, and ends if the pipe is
    closed in between: read up to the newline. With no window manager, a
    chooser that closes is often the last client, and a server that reset
    then would refuse the next one, which the program asks a moment later."""
    for attempt in range(3):
        read_display, write_display = os.pipe()
        xvfb = Env.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_display), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
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
    with open(Env.exes[0], "rb") as f:
        windows = f.read(2) == b"MZ"
    # The GTK programs get a session bus of the test's own, which ends with
    # it: one they would start by themselves outlives the test.
    if not windows and shutil.which("dbus-run-session") and not os.environ.get("DIALOG_TEST_BUS"):
        os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv],
                   dict(os.environ, DIALOG_TEST_BUS="1"))
    missing = [tool for tool in ["Xvfb", "xdotool"] + ([] if windows else ["xterm", "zenity"])
               if not shutil.which(tool)]
    if missing:
        print("dialog: skipped, as these are not installed here: " + ", ".join(missing))
        sys.exit(SKIPPED)

    own_prefix = None if args.prefix or not windows else tempfile.mkdtemp(prefix="wineprefix-")
    xvfb, display = start_xvfb()
    # Our display only, never the session the tests were started from.
    Env.vars = dict(os.environ, DISPLAY=":" + display)
    Env.vars.pop("WAYLAND_DISPLAY", None)
    if windows:
        Env.vars.update(WINEPREFIX=args.prefix or own_prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def end_wineserver():
        # A server keeps what it set up for the first display it saw: booted
        # without one it shows no dialog; left on this Xvfb, later starts wait.
        if windows:
            end_wine_server(Env.vars)
    end_wineserver()
    try:
        if own_prefix:
            # Made by the 64-bit loader where there is one, so both flavours run in it.
            boot = WINE64 if os.access(WINE64, os.X_OK) else wine_loader(Env.exes[0])
            subprocess.run([boot, "wineboot", "-i"], env=Env.vars,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        result = unittest.main(argv=[sys.argv[0], *rest], defaultTest="DialogTest" if windows else "DesktopTest",
                               exit=False).result
    finally:
        end_wineserver()
        xvfb.terminate()
        xvfb.wait()
        if own_prefix:
            shutil.rmtree(own_prefix, ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
