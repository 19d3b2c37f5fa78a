#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""How fast the scheduler explores: each program built with lab/cxx (its loads and stores as
steps), explored at two preemptions and one spurious wake-up, with the time it took against
the time it should take on two cores. A measurement, run by hand and never by a test:

    bench/schedule.py [BUILD]        (BUILD: build/default by default)

It prints one line for each program, and ends with status 0 whatever it measured, 2 when it
could not measure. Its floor is what a search that ran each class of schedules once would take
on this machine: the classes, times what one run of the default schedule costs, measured
there and then with one server for each CPU, as the search runs them, and nothing judged. A
run that switches threads more costs more, so the floor is a lower bound: where it is over
the target, no reduction meets the target here."""

import os
import re
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAB = os.path.join(SOURCE, "lab")
LIMIT = 900  # seconds for one exploration
RUNS = 400  # runs of the default schedule, to measure what one costs
sys.path.insert(0, LAB)
from threadlab import day, explore, scheduler  # noqa: E402  (the lab's package)
# name: (sources, input, seconds it should take)
PROGRAMS = {
    "orderdesk": (["orderdesk/ring.cpp", "orderdesk/orderdesk.cpp"], day.INPUT, 30),
    "four philosophers": (["bench/scheduler/philosophers.cpp"], "", 10),
    "condition-variable barrier": (["bench/scheduler/cvbarrier.cpp"], "", 10),
    "two producers, two consumers, one slot (lab/crowd)": (["lab/crowd/crowd.cpp"], "", 120),
    "two producers, two consumers, one condition variable": (["tests/scheduler/onecond.cpp"],
                                                            "", 120),
}


def cost_of_a_run(program, data, library):
    """Seconds a run of the default schedule costs, on one server for each CPU, side by side."""
    session = explore.Session(program, data.encode(), library)
    try:
        list(session.runs([()] * 20))  # the servers warmed up
        started = time.monotonic()
        list(session.runs([()] * RUNS))
        return (time.monotonic() - started) / RUNS
    finally:
        session.close()


def main(build):
    library = os.path.join(build, "lib", "threadlab-schedule.so")
    env = dict(os.environ, THREADLAB_LIBRARY=library)
    print(f"{'program':<54}{'schedules':>10}{'classes':>9}{'seconds':>9}{'floor':>7}"
          f"{'target':>8}")
    with tempfile.TemporaryDirectory() as work:
        for name, (sources, data, target) in PROGRAMS.items():
            program = os.path.join(work, re.sub(r"\W+", "-", name))
            built = subprocess.run([os.path.join(LAB, "cxx"), "-std=c++17", "-O2", "-g",
                                    "-pthread", *[os.path.join(SOURCE, s) for s in sources],
                                    "-o", program], capture_output=True, text=True)
            if built.returncode != 0:
                print(f"schedule.py: {name} did not build:\n{built.stderr}", file=sys.stderr)
                return 2
            started = time.monotonic()
            try:
                done = subprocess.run([os.path.join(LAB, "schedule"), program, "-k", "2",
                                       "-w", "1"], input=data, capture_output=True, text=True,
                                      env=env, timeout=LIMIT)
            except subprocess.TimeoutExpired:
                print(f"{name:<54}{'-':>10}{'-':>9}{f'>{LIMIT}':>9}{target:>8}  did not finish")
                continue
            took = time.monotonic() - started
            count = re.search(r"^(\d+) schedules? in", done.stdout, re.M)
            classes = re.search(r"(\d+) class(?:es)? of schedules", done.stdout)
            verdict = {0: "", 1: "  a schedule failed"}.get(done.returncode,
                                                            f"  status {done.returncode}")
            try:
                floor = int(classes.group(1)) * cost_of_a_run(program, data, library) \
                    if classes else None
            except scheduler.ToolFailed as why:
                print(f"schedule.py: the runs of {name} could not be timed: {why}",
                      file=sys.stderr)
                return 2
            over = "" if took <= target else (
                "  over, and so is its floor" if floor and floor > target else "  over")
            print(f"{name:<54}{count.group(1) if count else '-':>10}"
                  f"{classes.group(1) if classes else '-':>9}{took:>9.1f}"
                  f"{f'{floor:.1f}' if floor else '-':>7}{target:>8}{over}{verdict}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                                  os.path.join(SOURCE, "build", "default"))))
