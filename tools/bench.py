#!/usr/bin/env python3
"""Compares a patcher's full conversion with the I/O floor of rewriting the file.

Each round runs the program on a generated 1 MiB image through a terminal,
typing "2" or "1" (alternately, so every run changes the file) and the final
key, then runs the floor the same way: `dd if=F of=F bs=1M conv=notrunc,fsync`,
then one read of every process's /proc/<pid>/maps, which the guard against a
running editor cannot do without (where there is a /proc). Prints
the median of the per-round time ratios and each side's peak memory. A report,
not a test: exits 0 unless something fails to run.

Peak memory is wait4's ru_maxrss. A child forked from this Python process
starts with its size, which would hide anything smaller, so both sides are
started through /usr/bin/time when it is there: it forks the command from a
small process and reports the same wait4 figure.

  python3 tools/bench.py build/fpenabler [--rounds 15] [--size BYTES] [--prefix CMD]
"""
import argparse
import os
import shlex
import statistics
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import sample_image  # noqa: E402
from harness import CONFIG, run  # noqa: E402

PROMPTS = [b"Press 2 ", b"Press any key to quit"]


TIME = "/usr/bin/time"


def timed(argv, steps, tmp):
    """Elapsed seconds and peak memory in bytes of one run."""
    report = os.path.join(tmp, "maxrss")
    wrapped = os.access(TIME, os.X_OK)
    if wrapped:
        argv = [TIME, "-f", "%M", "-o", report] + argv
    result = run(argv, steps, PROMPTS)
    if result.status != 0:
        raise RuntimeError("%s ended with %s: %r %s" % (argv, result.status, result.stdout[-200:],
                                                        result.stderr[-200:]))
    if wrapped:
        with open(report) as f:
            return result.elapsed, int(f.read().split()[-1]) * 1024
    return result.elapsed, result.rusage.ru_maxrss * 1024  # KiB on Linux


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--size", type=int, default=sample_image.DEFAULT_SIZE)
    parser.add_argument("--prefix", default="")
    args = parser.parse_args()
    CONFIG.prefix = shlex.split(args.prefix)

    with tempfile.TemporaryDirectory(prefix="patchers-bench-") as tmp:
        path = os.path.join(tmp, "talvik.exe")
        with open(path, "wb") as f:
            f.write(sample_image.build_image(size=args.size))
        program = CONFIG.prefix + [os.path.abspath(args.program), path]
        floor = ["sh", "-c", 'dd if="$1" of="$1" bs=1M conv=notrunc,fsync status=none && '
              '{ ! [ -d /proc/self ] || cat /proc/[0-9]*/maps >/dev/null 2>&1 || true; }', "floor", path]
        ratios, program_peak, floor_peak, p_times, f_times = [], 0, 0, [], []
        try:
            for i in range(args.rounds):
                p_time, p_mem = timed(program, [b"2" if i % 2 == 0 else b"1", b"q"], tmp)
                f_time, f_mem = timed(floor, [], tmp)
                ratios.append(p_time / f_time)
                p_times.append(p_time)
                f_times.append(f_time)
                program_peak, floor_peak = max(program_peak, p_mem), max(floor_peak, f_mem)
        except (OSError, RuntimeError, AssertionError) as e:
            print("bench: could not run: %s" % e, file=sys.stderr)
            return 2

    ratio = statistics.median(ratios)
    allowance = args.size + 4 * 1024 * 1024
    print("rounds: %d, file: %d bytes, memory via %s" % (
        args.rounds, args.size, TIME if os.access(TIME, os.X_OK) else "wait4 of the direct child"))
    print("median time: program %.1f ms (key round trips included), floor %.1f ms"
          % (statistics.median(p_times) * 1e3, statistics.median(f_times) * 1e3))
    print("median time ratio program/floor: %.3f (min %.3f, max %.3f) -> %s"
          % (ratio, min(ratios), max(ratios), "within 1.3" if ratio <= 1.3 else "ABOVE 1.3"))
    print("peak memory: program %d KiB, floor %d KiB, difference %d KiB -> %s"
          % (program_peak // 1024, floor_peak // 1024, (program_peak - floor_peak) // 1024,
             "within file size + 4 MiB" if program_peak - floor_peak <= allowance
             else "ABOVE file size + 4 MiB"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
