"""Drives a patcher as a user at a terminal would.

The child gets a pseudo-terminal as its controlling terminal and as its
standard input (a console emulation such as Wine reads keys from there), its
standard output on a separate pipe, and standard error in a file. Keys are
typed only once the prompt they answer has appeared and the terminal has left
line mode, so nothing typed ahead is cooked by the line discipline.
"""
import fcntl
import os
import select
import signal
import struct
import subprocess
import tempfile
import termios
import time


class Config:
    programs = {}        # program name -> binary path
    prefix = []          # command put in front of the binary, e.g. ["wine"]
    crlf = False         # program output ends lines with CR LF
    windows_paths = False  # pass paths as Z:\... for a Windows program
    skip = set()         # tags of cases that cannot apply where the suite runs
    no_signal_keys = False  # the terminal passes Ctrl+C on as a key, as a Windows console does
    smoke = False        # only the smoke set runs
    killed_status = None  # the status of a program killed by a signal, where not the signal's
    faults = None        # library that makes writes fail on demand (tests/faults.cpp)
    mounts = None        # why the cases cannot mount here, or None: they can, in a namespace of their own
    timeout = 30.0       # per wait; only a guard against hangs


CONFIG = Config()


class Tty:
    """A line typed at the terminal once `prompt` has appeared on it."""
    def __init__(self, data, prompt):
        self.data, self.prompt = data, prompt


class After:
    """A key typed at the next prompt once `action` has run, while the
    program waits for that key."""
    def __init__(self, action, key):
        self.action, self.key = action, key


class Signal:
    """A signal sent at the next prompt, once the terminal is in key mode."""
    def __init__(self, signum):
        self.signum = signum


class Result:
    def __init__(self, **kw):
        self.__dict__.update(kw)

    def __repr__(self):
        return "status=%r stdout=%r stderr=%r" % (self.status, self.stdout, self.stderr[-400:])


class Session:
    def __init__(self, argv, *, stdin_tty=True, ctty=True, preexec=None, **popen):
        self.master, self.slave = os.openpty()
        if CONFIG.no_signal_keys:
            mode = termios.tcgetattr(self.slave)
            mode[3] &= ~termios.ISIG
            termios.tcsetattr(self.slave, termios.TCSANOW, mode)
        self.mode_before = termios.tcgetattr(self.slave)
        self.err = tempfile.TemporaryFile()
        out_r, out_w = os.pipe()
        slave = self.slave

        def setup():
            os.setsid()
            if ctty:
                fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
            if preexec:
                preexec()

        self.started = time.perf_counter()
        try:
            self.proc = subprocess.Popen(
                argv, stdin=slave if stdin_tty else subprocess.DEVNULL, stdout=out_w,
                stderr=self.err, preexec_fn=setup, **popen)
        finally:
            os.close(out_w)
        self.out_fd, self.out, self.tty = out_r, bytearray(), bytearray()
        try:  # readable once the child has ended, so a wait ends at once
            self.pidfd = os.pidfd_open(self.proc.pid)
        except (AttributeError, OSError):
            self.pidfd = None
        self.out_seen = self.tty_seen = 0
        self.status = self.rusage = None
        self.raw_seen = False
        self.key_waits = 0  # keys typed while the program was waiting for one

    # -- low level -------------------------------------------------------
    def _pump(self, wait):
        fds = [fd for fd in (self.master, self.out_fd, self.pidfd) if fd is not None]
        if self.status is not None and self.pidfd in fds:
            fds.remove(self.pidfd)
        for fd in select.select(fds, [], [], wait)[0]:
            if fd == self.pidfd:
                continue
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b""
            if fd == self.master:
                self.tty += data
            elif data:
                self.out += data
            else:
                os.close(self.out_fd)
                self.out_fd = None

    def _reap(self):
        if self.status is None:
            pid, status, rusage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                self.elapsed = time.perf_counter() - self.started
                self.status, self.rusage = os.waitstatus_to_exitcode(status), rusage
                self.proc.returncode = self.status
        return self.status is not None

    def _fail(self, what):
        self._kill()
        raise AssertionError("%s; stdout so far %r, terminal %r" % (what, bytes(self.out), bytes(self.tty[-300:])))

    def _kill(self):
        if self.status is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
            self.status = self.proc.returncode

    def _wait_text(self, on_tty, markers):
        """Waits for the first of `markers` after what was already seen.
        False when the program ended without printing one."""
        deadline = time.monotonic() + CONFIG.timeout
        while True:
            buf, seen = (self.tty, self.tty_seen) if on_tty else (self.out, self.out_seen)
            hits = [(i, m) for m in markers for i in [buf.find(m, seen)] if i >= 0]
            if hits:
                i, m = min(hits)
                if on_tty:
                    self.tty_seen = i + len(m)
                else:
                    self.out_seen = i + len(m)
                return True
            if self._reap() and self.out_fd is None:
                return False
            if time.monotonic() > deadline:
                self._fail("timed out waiting for %r" % (markers,))
            self._pump(0.05 if self.status is None else 0.01)

    def _wait_key_mode(self, limit=5.0):
        # Best effort: a console emulation may keep the terminal raw throughout.
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and not self._reap():
            if not termios.tcgetattr(self.slave)[3] & termios.ICANON:
                self.raw_seen = True
                return True
            self._pump(0.0005)
        return False

    # -- driving ---------------------------------------------------------
    def drive(self, steps, prompts):
        """Answers prompts in order: bytes are keys typed at the next of
        `prompts` on stdout, Tty lines go to a terminal prompt, Signal items
        are sent at the next prompt. Stops early if the program ends."""
        if CONFIG.crlf:
            prompts = [p.replace(b"\n", b"\r\n") for p in prompts]
        for step in steps:
            if isinstance(step, Tty):
                if not self._wait_text(True, [step.prompt]):
                    return
                os.write(self.master, step.data)
                continue
            if not self._wait_text(False, prompts):
                return
            self.key_waits += self._wait_key_mode()
            if isinstance(step, After):
                try:
                    step.action()
                except Exception as e:
                    self._fail("%r while the program waited" % e)
                step = step.key
            if isinstance(step, Signal):
                os.kill(self.proc.pid, step.signum)
            else:
                os.write(self.master, step)

    def finish(self):
        deadline = time.monotonic() + CONFIG.timeout
        while not self._reap():
            if time.monotonic() > deadline:
                self._fail("timed out waiting for the program to end")
            self._pump(0.05)
        drain_until = time.monotonic() + 1.0
        while self.out_fd is not None and time.monotonic() < drain_until:
            self._pump(0.05)
        mode_after = termios.tcgetattr(self.slave)
        # Out of line mode, a key typed after the program restored it counts too.
        raw = termios.tcgetattr(self.slave)
        raw[3] &= ~termios.ICANON
        termios.tcsetattr(self.slave, termios.TCSANOW, raw)
        unread = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]
        self._pump(0)
        self.close()
        self.err.seek(0)
        stderr = self.err.read().decode("utf-8", "replace")
        self.err.close()
        stdout = bytes(self.out)
        if CONFIG.crlf:
            stdout = stdout.replace(b"\r\n", b"\n")
        return Result(status=self.status, stdout=stdout.decode("utf-8", "replace"),
                      tty=bytes(self.tty), stderr=stderr,
                      rusage=self.rusage, elapsed=getattr(self, "elapsed", None),
                      mode_before=self.mode_before, mode_after=mode_after,
                      raw_seen=self.raw_seen, key_waits=self.key_waits, unread=unread)

    def close(self):
        """Ends the child if it still runs and closes the terminal and pipe."""
        self._kill()
        for fd in (self.master, self.slave, self.out_fd, self.pidfd):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = self.out_fd = self.pidfd = None


def run(argv, steps=(), prompts=(), **kw):
    """Starts argv, answers `steps`, waits for the end; returns a Result."""
    for attempt in range(2):
        session = Session(argv, **kw)
        try:
            session.drive(steps, prompts)
            result = session.finish()
        finally:
            if session.master is not None:
                session.close()
        # Every patcher prints before it ends, so a failure without a byte of
        # output is the emulator's, which now and then fails to start a
        # program on a loaded machine; nothing was typed, and once more is safe.
        # So is a run that the emulator gave no console: the terminal never
        # left line mode, and echoed the keys that nothing read.
        unheard = not result.raw_seen and result.tty
        if (result.stdout and not unheard) or result.status == 0 or not CONFIG.prefix or attempt:
            return result


def end_wine_server(env=None):
    """Ends the Wine server of the prefix, if one runs, and waits until it has."""
    for flag in ("-k", "-w"):
        subprocess.run(["wineserver", flag], env=env, stderr=subprocess.DEVNULL, timeout=60)


def program_argv(name, *args):
    return list(CONFIG.prefix) + [CONFIG.programs[name]] + list(args)


def target_path(path):
    """A path as the program under test takes it."""
    if CONFIG.windows_paths and path.startswith("/"):
        return "Z:" + path.replace("/", "\\")
    return path
