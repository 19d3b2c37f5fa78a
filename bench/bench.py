# SPDX-License-Identifier: MIT
"""Start-up cost of the programs, against `sort -n` and the floor of starting any process.

    python3 bench/bench.py BUILD_DIR PORTABLE_BUILD_DIR

Prints whole-process instructions (callgrind: repeatable), peak memory (GNU time's maximum
resident set) and the median wall time of a run; then a piped day of orderdesk against its
floor of ten seconds; then the heap that valgrind sees for two very different inputs, which
must be the same. Exits with status 1 when a target is missed.
"""

import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

BIN = os.path.join(sys.argv[1], "bin")
PORTABLE_BIN = os.path.join(sys.argv[2], "bin")
FOUR = b"3\n1\n2\n0\n"
DAY = b"".join(b"%d\n" % n for n in range(1, 11))
RUNS = 21

# Instructions of the same jobs written in plain C with the shared stdio, measured on this
# machine. The default build may take twice as many; the static portable build, no more.
PLAIN_C = {"sortfour": 137_191, "hellospawn": 205_053}


def start(argv, data):
    """Starts argv on a file holding data; returns the process and its start time."""
    with tempfile.TemporaryFile() as stdin:
        stdin.write(data)
        stdin.seek(0)
        return subprocess.Popen(argv, stdin=stdin, stdout=subprocess.DEVNULL), time.perf_counter()


def finish(started):
    """Wall seconds and CPU seconds of a process started by start()."""
    proc, begun = started
    _, status, usage = os.wait4(proc.pid, 0)
    assert status == 0, f"{proc.args} ended with {status}"
    return time.perf_counter() - begun, usage.ru_utime + usage.ru_stime


def peak_kib(argv, data):
    with tempfile.NamedTemporaryFile("r") as report:
        finish(start(["/usr/bin/time", "-f", "%M", "-o", report.name, *argv], data))
        return int(report.read())


def valgrind(options, argv, data):
    return subprocess.run(["valgrind", *options, *argv], input=data, check=True,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr.decode()


def instructions(argv, data):
    report = valgrind(["--tool=callgrind", "--callgrind-out-file=/dev/null"], argv, data)
    return int(re.search(r"refs:\s+([\d,]+)", report).group(1).replace(",", ""))


def heap(argv, data):
    return re.search(r"total heap usage: (.*) allocated", valgrind([], argv, data)).group(1)


def main():
    missed = []
    sort_n = instructions(["sort", "-n"], FOUR)
    targets = {name: 2 * figure for name, figure in PLAIN_C.items()}
    targets["sortfour"] = min(targets["sortfour"], sort_n - 1)
    targets.update({f"{name} (portable)": figure for name, figure in PLAIN_C.items()})
    runs = [("sortfour", [f"{BIN}/sortfour"], FOUR),
            ("hellospawn", [f"{BIN}/hellospawn"], b"42\n")]
    if os.path.exists(f"{PORTABLE_BIN}/sortfour"):
        runs += [("sortfour (portable)", [f"{PORTABLE_BIN}/sortfour"], FOUR),
                 ("hellospawn (portable)", [f"{PORTABLE_BIN}/hellospawn"], b"42\n")]
    else:
        missed.append(f"the portable build ({sys.argv[2]}: cmake --workflow --preset portable)")
    runs += [("sort -n", ["sort", "-n"], FOUR), ("/bin/true", ["/bin/true"], b"")]

    print(f"{'program':<22}{'instructions':>14}{'target':>13}{'peak KiB':>10}{'wall ms':>9}")
    for name, argv, data in runs:
        count = instructions(argv, data)
        wall = statistics.median(finish(start(argv, data))[0] for _ in range(RUNS)) * 1000
        target = f"<= {targets[name]:,}" if name in targets else ""
        if name in targets and count > targets[name]:
            missed.append(name)
        print(f"{name:<22}{count:>14,}{target:>13}{peak_kib(argv, data):>10}{wall:>9.2f}")

    day = start([f"{BIN}/orderdesk"], DAY)
    peak = peak_kib([f"{BIN}/orderdesk"], DAY)  # a second day, side by side with the first
    wall, cpu = finish(day)
    print(f"\norderdesk, ten numbers piped: wall {wall:.3f} s (target 10 to 10.020), "
          f"CPU {cpu * 1000:.1f} ms (target under 20), peak {peak} KiB (target under 4096)")
    if not (10 <= wall <= 10.020 and cpu < 0.020 and peak < 4096):
        missed.append("orderdesk")

    print("\nheap (valgrind) for the inputs above, and for a megabyte of digits:")
    for name, data in [("orderdesk", DAY), ("sortfour", FOUR), ("hellospawn", b"42\n")]:
        figures = {heap([f"{BIN}/{name}"], data), heap([f"{BIN}/{name}"], b"7" * (1 << 20))}
        print(f"  {name:<12}{' | '.join(sorted(figures))}")
        if len(figures) != 1:
            missed.append(f"{name}'s heap")

    print("\ntargets missed: " + ", ".join(missed) if missed else "\nall targets met")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
