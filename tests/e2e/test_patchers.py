"""End-to-end cases for fpenabler and gridenlarger, run at a terminal.

Each case runs for every program given on the command line; the programs
differ only in the description below (texts and which image sites are theirs).
"""
import concurrent.futures
import fcntl
import functools
import os
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import sample_image  # noqa: E402
from harness import CONFIG, After, Signal, Tty, program_argv, run, target_path  # noqa: E402

ANY_KEY = "Press any key to quit"
DONE = "Done\n" + ANY_KEY
NOT_TALVIK = "Not talvik.exe from Nolix Talvik Editor 3.4 or 3.5"
CHANGED = "File changed since it was read"
DIALOG = b"Convert Nolix Talvik Editor Executable: "
VERSIONS = ("3.5", "3.4")


class Program:
    def __init__(self, name, sites, head, path_prompt, second_line):
        self.name, self.sites, self.head, self.path_prompt = name, sites, head, path_prompt
        self.choice = "Press 1 to convert to normal version\n" + second_line
        self.second_line = second_line
        self.prompts = [second_line.encode(), ANY_KEY.encode()]

    def image(self, version="3.5", state="normal", other="normal", **kw):
        """An image with this program's sites in `state`, the other program's in `other`."""
        other_sites = "grid" if self.sites == "fp" else "fp"
        return bytes(sample_image.build_image(version, **{self.sites: state, other_sites: other}, **kw))

    def shown(self, version, state, tail):
        """stdout of a run with an argument that got as far as the choice."""
        return "%sDetected version: Nolix Talvik Editor %s (%s)\n%s%s" % (
            self.head, version, state, self.choice, tail)


PROGRAMS = {
    "fpenabler": Program("fpenabler", "fp",
                         "Talvik floating point enabler\n    by the Talvik tools team\n",
                         "Path of talvik.exe:\n",
                         "Press 2 to enable floating point coordinates output\n"),
    "gridenlarger": Program("gridenlarger", "grid", "", "",
                            "Press 2 to enlarge the range of grid\n"),
}


def error(message):
    return "Error: %s\n%s" % (message, ANY_KEY)


def skip_where_skipped(case, tag):
    """Skips the case, or the subtest it is in, where `tag` is skipped (see run.py)."""
    if tag in CONFIG.skip:
        case.skipTest("'%s' cases are skipped here" % tag)


def needs(tag):
    """Marks a case that cannot apply where `tag` is skipped."""
    def decorate(test):
        @functools.wraps(test)
        def guarded(self):
            skip_where_skipped(self, tag)
            return test(self)
        return guarded
    return decorate


def limit_file_size(limit, ignore_signal):
    def setup():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        if ignore_signal:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return setup


def mount_btrfs(case):
    """Mounts a new loop btrfs until `case` ends, in the cases' own mount
    namespace (run.py), so that no mount outlives them however they end.
    Returns its top level and a subvolume, each holding a talvik.exe of the
    same inode number, or the reason none can be mounted here."""
    if CONFIG.mounts:
        return CONFIG.mounts
    if not shutil.which("mkfs.btrfs"):
        return "mkfs.btrfs is not installed (btrfs-progs)"
    image, top = os.path.join(case.dir, "btrfs.img"), os.path.join(case.dir, "btrfs")
    os.mkdir(top)
    with open(image, "wb") as f:
        f.truncate(256 << 20)
    for step in (["mkfs.btrfs", "-q", image], ["mount", "-o", "loop", image, top]):
        done = subprocess.run(step, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            return "%s failed: %s" % (" ".join(step[:2]), done.stderr.strip())
    case.addCleanup(subprocess.run, ["umount", "--lazy", top], check=True)
    # Each subvolume numbers its inodes afresh: the first file of each gets the same one.
    sub = os.path.join(top, "sub")
    case.write(b"twin", os.path.join(top, "talvik.exe"))
    subprocess.run(["btrfs", "subvolume", "create", sub], stdout=subprocess.DEVNULL, check=True)
    case.write(b"twin", os.path.join(sub, "talvik.exe"))
    case.assertEqual(*(os.stat(os.path.join(d, "talvik.exe")).st_ino for d in (top, sub)))
    return top, sub


class PatcherCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="patchers-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def programs(self):
        return [PROGRAMS[name] for name in sorted(CONFIG.programs)]

    def write(self, data, name="talvik.exe"):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def patch(self, prog, args, steps, binary=None, **kw):
        argv = program_argv(prog.name, *args) if binary is None else [binary] + list(args)
        result = run(argv, steps, prog.prompts, **kw)
        if "tty" not in CONFIG.skip:
            self.assertEqual(result.mode_before, result.mode_after, "terminal mode not restored")
        return result

    def convert(self, prog, path, key, stdout, status=0, **kw):
        """Runs with `path` as argument, types `key` then a final key. An
        emulated console reads what is typed until just after the program
        ends: there the final key waits a moment, so that one the program
        did not wait for is left unread."""
        final = After(lambda: time.sleep(0.1), b"q") if CONFIG.prefix else b"q"
        result = self.patch(prog, [target_path(path)], [key, final], **kw)
        self.assertEqual((result.stdout, result.status), (stdout, status), result)
        self.assertEqual(result.unread, 0, "the final key left unread")
        if "tty" not in CONFIG.skip:  # each prompt shown really waited for its key, unseen
            prompts = stdout.count(prog.second_line) + stdout.count(ANY_KEY)
            self.assertEqual(result.key_waits, prompts, "keys read at prompts")
            self.assertEqual(result.tty, b"", "keys echoed on the terminal")
        return result

    def assertFile(self, path, expected):
        with open(path, "rb") as f:
            data = f.read()
        if data != expected:
            first = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b), None)
            self.fail("%s: %d bytes, expected %d; first difference at %s" % (
                path, len(data), len(expected), None if first is None else hex(first)))


class Conversion(PatcherCase):
    def test_both_ways_on_each_version(self):
        for p in self.programs():
            for v in VERSIONS:
                with self.subTest(program=p.name, version=v):
                    normal, modified = p.image(v), p.image(v, "modified")
                    path = self.write(normal)
                    self.convert(p, path, b"2", p.shown(v, "normal", DONE))
                    self.assertFile(path, modified)
                    if p.name == "fpenabler" and v == "3.5":
                        self.assertEqual(sum(a != b for a, b in zip(normal, modified)), 2 + 9 + 9)
                    # Already modified and "2" again: rewritten with the same bytes.
                    self.convert(p, path, b"2", p.shown(v, "already modified", DONE))
                    self.assertFile(path, modified)
                    self.convert(p, path, b"1", p.shown(v, "already modified", DONE))
                    self.assertFile(path, normal)
                    self.convert(p, path, b"1", p.shown(v, "normal", DONE))
                    self.assertFile(path, normal)

    def test_half_converted_file_is_made_whole(self):
        for p in self.programs():
            for v in VERSIONS:
                for key, state, shown in ((b"1", "normal", "normal"), (b"2", "modified", "already modified")):
                    with self.subTest(program=p.name, version=v, key=key):
                        path = self.write(p.image(v, "mixed"))
                        self.convert(p, path, key, p.shown(v, "other", DONE))
                        self.assertFile(path, p.image(v, state))
                        self.convert(p, path, key, p.shown(v, shown, DONE))

    def test_image_ending_inside_the_signature(self):
        size = sample_image.SIGNATURE_OFFSET["3.5"] + 8
        for p in self.programs():
            with self.subTest(program=p.name):
                path = self.write(p.image("3.5", size=size))
                self.convert(p, path, b"2", p.shown("3.5", "normal", DONE))
                self.assertFile(path, p.image("3.5", "modified", size=size))
                # Without either set of values the cut signature cannot make it 3.5.
                unknown = p.image("3.5", "none", "none", size=size)
                path = self.write(unknown)
                self.convert(p, path, b"q", p.head + error(NOT_TALVIK), 1)
                self.assertFile(path, unknown)


    def test_file_changed_while_the_prompt_waits(self):
        # What another writer does while the prompt waits for "2": the change
        # survives, and the program writes only where its own state still holds.
        def converted_by(name):
            return lambda path: self.convert(PROGRAMS[name], path, b"2", PROGRAMS[name].shown("3.5", "normal", DONE))

        def rewrite(data):
            def action(path):
                with open(path, "wb") as f:
                    f.write(data)
            return action

        def edited_elsewhere(path):
            with open(path, "r+b") as f:
                f.seek(0x100)
                f.write(b"\0elsewhere")
                f.seek(0, os.SEEK_END)
                f.write(b"appended")

        held = []  # locks held until the run has ended

        def locked(mode):
            def action(path):  # fails at once where the program holds its lock too long
                held.append(open(path, "rb"))
                fcntl.flock(held[-1], mode | fcntl.LOCK_NB)
            return action

        def mapped(path, *via):  # as Wine maps the image of a program it runs, until its input ends
            code = ("import mmap, sys; f = open(sys.argv[1], 'rb'); "
                    "m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ); print(flush=True); sys.stdin.read()")
            mapper = subprocess.Popen([*via, sys.executable, "-c", code, path],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            held.append(types.SimpleNamespace(close=lambda: mapper.communicate(timeout=CONFIG.timeout)))
            if not select.select([mapper.stdout], [], [], CONFIG.timeout)[0] or not mapper.stdout.readline():
                raise AssertionError("the file was never mapped")

        btrfs = mount_btrfs(self)
        # A holder in a mount namespace of its own, where the file's folder is
        # bound over `aside`: the path its maps show names another file in ours.
        aside = os.path.join(self.dir, "aside")
        os.mkdir(aside)
        self.write(b"another", os.path.join(aside, "talvik.exe"))
        bound = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 'mount --bind "$0" "$1" && shift && exec "$@"', self.dir, aside]
        # The same, the file opened through the bound folder, which is then
        # unmounted lazily: its maps name a path that its root does not have.
        detached = bound[:6] + ['mount --bind "$0" "$1" && exec 3<"$1/talvik.exe" && umount -l "$1" && shift && '
                                'exec "$@"'] + bound[7:]
        for p in self.programs():
            other = "gridenlarger" if p.name == "fpenabler" else "fpenabler"
            image = p.image()
            both = p.image("3.5", "modified", "modified")
            elsewhere = bytearray(p.image("3.5", "modified"))
            elsewhere[0x100:0x10a] = b"\0elsewhere"
            cases = [  # name, action, outcome, file afterwards (None: as the action left it)
                ("the same program converts it", converted_by(p.name), error(CHANGED), p.image("3.5", "modified")),
                ("replaced by 3.4", rewrite(p.image("3.4")), error(CHANGED), p.image("3.4")),
                ("cut short", rewrite(image[:0x30000]), error(CHANGED), image[:0x30000]),
                ("emptied", rewrite(b""), error(CHANGED), b""),
                ("edited elsewhere", edited_elsewhere, DONE, bytes(elsewhere) + b"appended"),
            ]
            if other in CONFIG.programs:
                cases.append(("the other program converts it", converted_by(other), DONE, both))
            cases += [("mapped by another program", mapped, error("Can not open file for write"), image),
                      ("open for reading elsewhere", lambda path: held.append(open(path, "rb")), DONE,
                       p.image("3.5", "modified"))]
            # btrfs shows a subvolume's own device in stat, the filesystem's in maps.
            cases += [("mapped by another program, btrfs " + where, mapped, error("Can not open file for write"),
                       image, where) for where in ("top level", "subvolume")]
            cases.append(("the same inode number mapped in another btrfs subvolume",
                          lambda path: mapped(os.path.join(btrfs[0], "talvik.exe")), DONE, p.image("3.5", "modified"),
                          "subvolume"))
            cases.append(("mapped from a mount namespace of its own", lambda path: mapped(
                os.path.join(aside, "talvik.exe"), *bound), error("Can not open file for write"), image, "namespace"))
            cases.append(("mapped through a mount since unmounted", lambda path: mapped("/dev/fd/3", *detached),
                          error("Can not open file for write"), image, "namespace"))
            if "flock" not in CONFIG.skip:
                for name, mode in (("locked by another writer", fcntl.LOCK_EX), ("read under a shared lock", fcntl.LOCK_SH)):
                    cases.append((name, locked(mode), error("Can not open file for write"), image))
            for name, action, outcome, after, *where in cases:
                with self.subTest(program=p.name, meanwhile=name):
                    unmet = CONFIG.mounts if where == ["namespace"] else where and isinstance(btrfs, str) and btrfs
                    if unmet:
                        self.skipTest(unmet)
                    folder = btrfs[where[0] == "subvolume"] if where and where != ["namespace"] else self.dir
                    path = self.write(image, os.path.join(folder, "talvik.exe"))
                    try:
                        result = self.patch(p, [target_path(path)], [After(lambda: action(path), b"2"), b"q"])
                    finally:
                        while held:
                            held.pop().close()
                    self.assertEqual((result.stdout, result.status),
                                     (p.shown("3.5", "normal", outcome), 0 if outcome == DONE else 1))
                    self.assertFile(path, after)


class Refusal(PatcherCase):
    def test_unrecognised_files_are_left_untouched(self):
        files = {
            "empty": b"",
            "random": bytes(sample_image.build_image(fp="none", grid="none", signature=False)),
            "short": PROGRAMS["fpenabler"].image("3.5")[:0x30000],
        }
        for p in self.programs():
            for kind, data in files.items():
                with self.subTest(program=p.name, file=kind):
                    path = self.write(data)
                    self.convert(p, path, b"q", p.head + error(NOT_TALVIK), 1)
                    self.assertFile(path, data)

    def test_paths_that_cannot_be_read(self):
        os.mkdir(os.path.join(self.dir, "folder"))
        os.mkfifo(os.path.join(self.dir, "pipe"))  # with no writer: an open that waits for one never ends
        long_missing = os.path.join(self.dir, *["d" * 49] * 6)
        self.assertGreaterEqual(len(long_missing), 300)
        # POSIX opens a folder and refuses it by its type; Windows cannot open one.
        folder = "Can not open file for read" if CONFIG.windows_paths else "Can not read file"
        # Just over 4 GiB, sparse: too big to hold, and no byte of it is read.
        huge = os.path.join(self.dir, "huge.exe")
        with open(huge, "wb") as f:
            f.truncate((1 << 32) + 1)
        image = PROGRAMS["fpenabler"].image()
        cases = [(name, message, {}) for name, message in (
            ("missing", "Can not open file for read"),
            ("folder", folder),
            (long_missing, "Can not open file for read"),
            ("/dev/null", "Can not read file"),
            ("pipe", "Can not read file"),
            (huge, "Can not read file"))]
        cases.append((self.write(image), "No memory", failing("realloc")))  # no room to hold it
        for p in self.programs():
            for name, message, kw in cases:
                with self.subTest(program=p.name, path=name[-20:]):
                    if kw:
                        skip_where_skipped(self, "faults")
                    self.convert(p, os.path.join(self.dir, name), b"q", p.head + error(message), 1, **kw)
        self.assertEqual(os.path.getsize(huge), (1 << 32) + 1)
        self.assertFile(os.path.join(self.dir, "talvik.exe"), image)

    def test_only_the_first_argument_is_used(self):
        for p in self.programs():
            with self.subTest(program=p.name):
                normal = p.image()
                first, second = self.write(normal, "first.exe"), self.write(normal, "second.exe")
                result = self.patch(p, [target_path(first), target_path(second)], [b"2", b"q"])
                self.assertEqual((result.stdout, result.status), (p.shown("3.5", "normal", DONE), 0))
                self.assertFile(first, p.image("3.5", "modified"))
                self.assertFile(second, normal)
                missing = os.path.join(self.dir, "missing.exe")
                result = self.patch(p, [target_path(missing), target_path(second)], [b"q"])
                self.assertEqual((result.stdout, result.status),
                                 (p.head + error("Can not open file for read"), 1))
                self.assertFile(second, normal)

    def test_paths_are_taken_whole(self):
        # Long, or through folders named in scripts outside any ANSI code page.
        folders = [("long", "longpath", os.path.join(*["d" * 49] * 6)),
                   ("Cyrillic", None, "Карты редактора"),
                   ("Chinese", None, "地图编辑器")]
        for name, tag, folder in folders:
            os.makedirs(os.path.join(self.dir, folder))
            for p in self.programs():
                with self.subTest(program=p.name, path=name):
                    skip_where_skipped(self, tag)
                    path = self.write(p.image(), os.path.join(folder, "talvik.exe"))
                    self.convert(p, path, b"2", p.shown("3.5", "normal", DONE))
                    self.assertFile(path, p.image("3.5", "modified"))

    def test_read_only_target(self):
        # Root may write a read-only file: run as nobody or, where the program
        # cannot change user (Wine's prefix belongs to root), make it immutable.
        kw, immutable = {}, False
        if os.geteuid() == 0 and "setuid" in CONFIG.skip:
            immutable = True
        elif os.geteuid() == 0:
            os.chmod(self.dir, 0o755)
            kw = dict(user=65534, group=65534, extra_groups=[])
        for p in self.programs():
            with self.subTest(program=p.name):
                if kw:  # the build folder need not be open to nobody
                    kw["binary"] = shutil.copy(CONFIG.programs[p.name], self.dir)
                normal = p.image()
                path = self.write(normal, p.name + ".exe")
                os.chmod(path, 0o444)
                if immutable:
                    subprocess.run(["chattr", "+i", path], check=True)
                    self.addCleanup(subprocess.run, ["chattr", "-i", path])
                self.convert(p, path, b"2", p.shown("3.5", "normal", error("Can not open file for write")), 1, **kw)
                self.assertFile(path, normal)


class Keys(PatcherCase):
    def test_other_keys_are_invalid_input(self):
        keys = {"Enter": b"\r", "Escape": b"\x1b", "3": b"3", "e acute": "é".encode(), "Ctrl+C": b"\x03"}
        for p in self.programs():
            for name, key in keys.items():
                with self.subTest(program=p.name, key=name):
                    normal = p.image()
                    path = self.write(normal)
                    self.convert(p, path, key, p.shown("3.5", "normal", error("Invalid input")), 1)
                    self.assertFile(path, normal)

    def test_keys_typed_ahead(self):
        # All of a key's bytes are read, and what follows them is the next
        # key: an arrow's second code answers the wait after the error, and
        # "2" with the final key in one write ends the run.
        for p in self.programs():
            for typed, outcome, status, state in ((b"\x1b[A", error("Invalid input"), 1, "normal"),
                                                   (b"\x1bOP", error("Invalid input"), 1, "normal"),  # F1
                                                   ("😀q".encode(), error("Invalid input"), 1, "normal"),
                                                   (b"2q", DONE, 0, "modified")):
                with self.subTest(program=p.name, typed=typed):
                    path = self.write(p.image())
                    result = self.patch(p, [target_path(path)], [typed])
                    self.assertEqual((result.stdout, result.status), (p.shown("3.5", "normal", outcome), status))
                    self.assertEqual(result.unread, 0, "bytes left in the terminal's input")
                    self.assertFile(path, p.image("3.5", state))

    @needs("tty")
    def test_keys_come_from_the_terminal_not_stdin(self):
        for p in self.programs():
            with self.subTest(program=p.name):
                path = self.write(p.image())
                result = self.patch(p, [path], [b"2", b"q"], stdin_tty=False)
                self.assertEqual((result.stdout, result.status), (p.shown("3.5", "normal", DONE), 0))
                self.assertFile(path, p.image("3.5", "modified"))

    @needs("tty")
    def test_without_a_terminal_nothing_waits(self):
        for p in self.programs():
            with self.subTest(program=p.name):
                normal = p.image()
                path = self.write(normal)
                result = self.patch(p, [path], [], ctty=False)
                self.assertEqual((result.stdout, result.status),
                                 (p.shown("3.5", "normal", error("Invalid input")), 1))
                self.assertFile(path, normal)


def failing(call):
    """Environment that makes the program's `call` fail (tests/faults.cpp)."""
    # The sanitizers' runtime would refuse to come after a preloaded library.
    return dict(env=dict(os.environ, LD_PRELOAD=CONFIG.faults or "", PATCHERS_FAULT=call,
                         ASAN_OPTIONS="verify_asan_link_order=0"))


class InterruptedWrite(PatcherCase):
    def test_file_survives_and_is_repaired(self):
        cut = error("Can not write file")
        for p in self.programs():
            half = len(p.image()) // 2
            last_run = sample_image.SITES[p.name]["3.5"][-1][0] + 1  # left to the final flush
            cases = [  # name, what it needs, how the run is started, its outcome
                ("size limit, signal ignored", "rlimit", dict(preexec=limit_file_size(half, True)), cut),
                ("size limit, signal kills", "rlimit", dict(preexec=limit_file_size(half, False)),
                 CONFIG.killed_status or -signal.SIGXFSZ),
                ("size limit inside the last run", "rlimit", dict(preexec=limit_file_size(last_run, True)), cut),
                ("fsync fails", "faults", failing("fsync"), cut),
                ("fclose fails", "faults", failing("fclose"), cut),
                ("second fwrite fails", "faults", failing("fwrite"), cut),
                ("killed right after the sync", "faults", failing("crash"), -signal.SIGKILL),
            ]
            for name, tag, kw, outcome in cases:
                with self.subTest(program=p.name, fault=name):
                    skip_where_skipped(self, tag)
                    normal = p.image()
                    path = self.write(normal)
                    # While the error waits for its key, nothing else waits to open the file.
                    opened = After(lambda: os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK)), b"q")
                    result = self.patch(p, [target_path(path)], [b"2", opened], **kw)
                    if isinstance(outcome, str):
                        self.assertEqual((result.stdout, result.status), (p.shown("3.5", "normal", outcome), 1))
                    else:
                        self.assertEqual(result.status, outcome, result)
                    self.assertEqual(os.path.getsize(path), len(normal))
                    if outcome == -signal.SIGKILL:  # killed once synced: the runs are on disk
                        self.assertFile(path, p.image("3.5", "modified"))
                    result = self.patch(p, [target_path(path)], [b"1", b"q"])
                    self.assertIn(result.stdout, [p.shown("3.5", s, DONE)
                                                  for s in ("normal", "already modified", "other")])
                    self.assertEqual(result.status, 0)
                    self.assertFile(path, normal)

    @needs("faults")
    def test_an_opener_meanwhile_sees_it_whole(self):
        # The file stands half written between the runs for a while. Between
        # reads the reader holds no descriptor, which would keep the lease off.
        for p in self.programs():
            with self.subTest(program=p.name):
                before, after = p.image(), p.image("3.5", "modified")
                path = self.write(before)
                seen, done = [], threading.Event()

                def read():
                    while not done.wait(0.05):
                        with open(path, "rb") as f:
                            seen.append(f.read())
                reader = threading.Thread(target=read)
                try:
                    result = self.patch(p, [target_path(path)], [After(reader.start, b"2"), b"q"], **failing("slow"))
                finally:
                    done.set()
                    if reader.ident:
                        reader.join(CONFIG.timeout)
                self.assertEqual((result.stdout, result.status), (p.shown("3.5", "normal", DONE), 0))
                self.assertFalse(reader.is_alive(), "a read still waits")
                self.assertTrue(seen, "nothing was read")
                self.assertEqual([i for i, data in enumerate(seen) if data not in (before, after)], [],
                                 "reads of a half-written file, of %d" % len(seen))
                self.assertFile(path, after)

    @needs("faults")
    def test_a_second_run_meanwhile_waits_for_the_first(self):
        # The first run, once writing, goes on only when the second's open
        # has met its lease (tests/faults.cpp).
        for p in self.programs():
            with self.subTest(program=p.name), concurrent.futures.ThreadPoolExecutor(1) as pool:
                path, mark = self.write(p.image()), os.path.join(self.dir, "writing")

                def second_run():
                    for _ in range(int(CONFIG.timeout / 0.01)):
                        if os.path.exists(mark):
                            return self.patch(p, [target_path(path)], [b"2", b"q"])
                        time.sleep(0.01)
                    raise AssertionError("the first run never wrote")
                second = pool.submit(second_run)
                env = dict(failing("slow")["env"], PATCHERS_FAULT_MARK=mark)
                first = self.patch(p, [target_path(path)], [b"2", b"q"], env=env)
                second = second.result(CONFIG.timeout)
                self.assertEqual((first.stdout, first.status), (p.shown("3.5", "normal", DONE), 0))
                self.assertEqual((second.stdout, second.status), (p.shown("3.5", "already modified", DONE), 0))
                self.assertFile(path, p.image("3.5", "modified"))
                os.unlink(mark)


class Terminal(PatcherCase):
    @needs("tty")
    def test_path_typed_at_the_terminal(self):
        plain = os.path.join(self.dir, "talvik.exe")
        spaced = os.path.join(self.dir, "Program Files", "talvik.exe")
        accented = os.path.join(self.dir, "Éditeur", "talvik.exe")
        for path in (spaced, accented):
            os.mkdir(os.path.dirname(path))
        os.mkfifo(os.path.join(self.dir, "pipe"))
        link = "file://" + spaced.replace(" ", "%20")
        rows = (  # the line typed; the file it names, or None: refused, then `plain` is typed
            (plain, plain),
            (os.path.join(self.dir, "nothing.exe"), None),
            ("'%s' " % spaced, spaced),  # dragged from a file manager
            ('\t"%s"' % spaced, spaced),
            (spaced.replace(" ", "\\ "), spaced),
            ("~/Program\\ Files/talvik.exe", spaced),  # HOME is the test folder
            ("'~'/talvik.exe", None),
            (link, spaced),
            (link.replace("file://", "file://localhost"), spaced),
            (link.replace("file://", "file://elsewhere"), None),
            ("file://" + plain + "%00.txt", None),  # would open `plain`, not what it names
            ("file://" + urllib.parse.quote(accented), accented),  # upper-case hex, as file managers write it
            (self.dir, None),  # a folder
            (os.path.join(self.dir, "pipe"), None),
            (spaced, spaced),  # typed as it stands
            (plain + " " + plain, None),  # two words, and together no file
            ("'" + spaced, None),
            (plain + "\\", None),
            ('"%s"' % plain.replace("talvik", "\\talvik"), None),  # in double quotes "\\t" is kept
            ("'%s'" % spaced.replace(" ", "\\ "), None),  # in single quotes "\\" is kept
            ("  ", None),  # blanks are a name, not a cancel
        )
        for p in self.programs():
            for typed, named in rows:
                with self.subTest(program=p.name, typed=typed):
                    for path in (plain, spaced, accented):
                        self.write(p.image(), path)
                    steps = [Tty(typed.encode() + b"\n", DIALOG), b"2", b"q"]
                    if named is None:
                        steps.insert(1, Tty(plain.encode() + b"\n", DIALOG))
                    result = self.patch(p, [], steps, env=dict(os.environ, HOME=self.dir))
                    self.assertEqual(result.stdout, p.head + p.path_prompt + (named or plain) + "\n"
                                     + p.shown("3.5", "normal", DONE)[len(p.head):])
                    self.assertEqual(result.status, 0)
                    self.assertEqual(result.tty.count(b"File not found."), 0 if named else 1)
                    self.assertEqual(result.tty.count(DIALOG), 1 if named else 2)
                    self.assertFile(named or plain, p.image("3.5", "modified"))

    @needs("tty")
    def test_no_path_typed(self):
        for p in self.programs():
            for name, answer in (("empty line", b"\n"), ("end of input", b"\x04")):
                with self.subTest(program=p.name, answer=name):
                    result = self.patch(p, [], [Tty(answer, DIALOG), b"q"])
                    self.assertEqual((result.stdout, result.status),
                                     (p.head + p.path_prompt + error("No file selected"), 1))

    @needs("tty")
    def test_mode_restored_when_ended_while_waiting(self):
        for p in self.programs():
            for signum in (signal.SIGTERM, signal.SIGHUP):
                with self.subTest(program=p.name, signal=signum.name):
                    normal = p.image()
                    path = self.write(normal)
                    result = self.patch(p, [path], [Signal(signum)])  # checks the mode
                    self.assertTrue(result.raw_seen, "the terminal never left line mode")
                    self.assertEqual(result.stdout, p.shown("3.5", "normal", ""))
                    self.assertNotEqual(result.status, 0)
                    self.assertFile(path, normal)


class Smoke(PatcherCase):
    """The few cases run where every program start is slow (an emulator):
    one conversion with its bytes, one refusal, and their exit codes."""

    def setUp(self):
        if not CONFIG.smoke:
            self.skipTest("the other cases cover these; run with --smoke")
        super().setUp()

    def test_one_conversion_and_one_refusal(self):
        for p in self.programs():
            with self.subTest(program=p.name):
                path = self.write(p.image())
                self.convert(p, path, b"2", p.shown("3.5", "normal", DONE))
                self.assertFile(path, p.image("3.5", "modified"))
                path = self.write(b"MZ")
                self.convert(p, path, b"q", p.head + error(NOT_TALVIK), 1)
                self.assertFile(path, b"MZ")
