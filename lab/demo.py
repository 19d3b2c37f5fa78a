#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Breaks the real order desk: runs a day of a (faulty) orderdesk under one treatment and
says what broke.

    lab/demo.py PROGRAM TREATMENT     one run; prints what broke, or that the day stayed whole
    lab/demo.py FAULT [BUILD]         for a learner: the fault's patch, its treatment on
                                      BUILD/bin/orderdesk-FAULT (default build/lab), the verdict

Treatments, each on a day with all ten numbers piped in:
  day            just the day, its numbers given once every thread waits (the consumer on
                 an empty ring); one that has not ended after LIMIT seconds is hung, and gdb
                 shows where each thread waits before it is killed
  helgrind       the day under valgrind's helgrind, which reports data races
  spurious_put   under gdb, the producer's first wait on buffer_full ends at once with
  spurious_take  data_mutex held (the consumer's first on buffer_empty): a spurious wake-up,
                 which POSIX allows a wait to have
  both_held      under gdb, which stops the day if a thread locks console_mutex while it
                 holds data_mutex
The output is checked line by line: every order confirmed and processed once, in sequence,
with its item; nothing printed between a prompt and its confirmation; the farewell last.
The status is 0 whatever broke: the verdict is the output.
"""

import os
import re
import shlex
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import daychart  # noqa: E402  the day's checks and the output's lines

LIMIT = 20  # seconds; a piped day takes ten
INPUT = "".join(f"{item}\n" for item in daychart.ITEMS)
GDB = ["gdb", "-q", "-batch", "-nx", "-ex", "set pagination off", "-ex", "set confirm off",
       "-ex", "set breakpoint pending on"]


def day(command, output=None, quiet_start=False):
    """Runs a day; returns its status (None if it hung), the program's output (from the
    file output, where a debugger runs it), and what else was said. With quiet_start, the
    numbers come only once every thread of the program waits."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if quiet_start:
        wait_until_quiet(proc.pid)
    try:
        out, said = proc.communicate(INPUT, timeout=LIMIT)
        status = proc.returncode
    except subprocess.TimeoutExpired:
        said = where_each_thread_waits(proc.pid)
        proc.kill()
        out, _ = proc.communicate()
        status = None
    if output:  # the program's output went there, and gdb's own is what it said
        said = out + said
        with open(output) as f:
            out = f.read()
    return status, out, said


def wait_until_quiet(pid, limit=5.0):
    """Waits until the program's three threads are all in the kernel, none running: main
    in its join, the producer reading its first number, and the consumer in its first wait,
    on an empty ring. Each thread's /proc syscall file says where it is."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
            calls = [open(f"/proc/{pid}/task/{tid}/syscall").read().split()[0] for tid in tasks]
        except OSError:
            return  # the program has ended
        if len(calls) == 3 and sorted(calls) == ["0", "202", "202"]:  # read, futex, futex
            return
        time.sleep(0.01)


def where_each_thread_waits(pid):
    """Each thread's backtrace, by gdb, and one line for each: where in our code it waits."""
    traces = subprocess.run(GDB + ["-p", str(pid), "-ex", "thread apply all bt"],
                            capture_output=True, text=True).stdout
    said = []
    for thread in re.split(r"\n(?=Thread \d+ )", traces):
        ours = re.search(r"in (ringPut|ringTake|takeOrders|processOrders|main) \(.*?\) at "
                         r"\S*?([\w.]+:\d+)", thread)
        inner = re.findall(r"_*(pthread_\w+) \(", thread[:ours.start()] if ours else "")
        if ours:
            who = {"ringPut": "producer", "takeOrders": "producer", "ringTake": "consumer",
                   "processOrders": "consumer"}.get(ours.group(1), "main")
            said.append(f"{who} in {ours.group(1)} ({ours.group(2)}), in "
                        f"{inner[-1] if inner else '?'}")
    return "hung: " + ("; ".join(said) or "gdb found no thread of orderdesk") + "\n" + traces


def under_helgrind(program):
    """The day under helgrind; each race as its two accesses, where each was made."""
    status, out, err = day(["valgrind", "-q", "--tool=helgrind", program])
    races, access = set(), []
    for line in err.splitlines():
        if kind := re.search(r"(?:Possible data race during|conflicts with a previous) (\w+)", line):
            access.append([kind.group(1), None])
        elif (frame := re.search(r" at 0x\w+: (\w+)\(.*\(([\w.]+:\d+)\)$", line)) and access \
                and access[-1][1] is None:
            access[-1][1] = f"{frame.group(1)} ({frame.group(2)})"
        if len(access) == 2 and access[1][1]:
            races.add(f"data race: {access[0][0]} in {access[0][1]}, against a {access[1][0]} "
                      f"in {access[1][1]}")
            access = []
    return status, out, "\n".join(sorted(races))


def spurious(program, cond):
    with tempfile.TemporaryDirectory() as folder:
        feed, output = os.path.join(folder, "in"), os.path.join(folder, "out")
        # The consumer's first wait on buffer_empty comes only if it reaches its first take
        # before the first number does: the numbers then go into a pipe once gdb has
        # stopped the consumer at that wait. The producer's wait needs them all at once.
        late, write = threading.Event(), ""
        if cond == "buffer_empty":
            os.mkfifo(feed)
            threading.Thread(target=hold_open, args=(feed, late), daemon=True).start()
            write = f"open({feed!r}, 'w').write({INPUT!r})"
        else:
            with open(feed, "w") as f:
                f.write(INPUT)
        script = daychart.spurious_script(folder, cond, write)
        status, out, said = day(GDB + ["-ex", f"starti < {feed} > {output}", "-x", script,
                                       program], output)
        late.set()
    if not re.search(r"Temporary breakpoint \d+, ", said):
        said += f"\nnot treated: no wait on {cond} was reached"
    return status, out, said


def hold_open(path, done):
    """Keeps a pipe open for writing, so that its reader starts, until done."""
    with open(path, "w"):
        done.wait()


BOTH_HELD = """
class BothHeld(gdb.Breakpoint):
    # Says so, once, when a thread locks console_mutex while it owns data_mutex.
    def stop(self):
        me = gdb.selected_thread()
        if (int(gdb.parse_and_eval("$rdi")) == int(gdb.parse_and_eval("(long) &console_mutex"))
                and int(gdb.parse_and_eval("data_mutex.__data.__owner")) == me.ptid[1]):
            caller = gdb.selected_frame().older()
            print(f"holds both mutexes: a thread locks console_mutex in {caller.name()} "
                  "while it holds data_mutex", flush=True)
            self.enabled = False
        return False
BothHeld("pthread_mutex_lock")
"""


def both_held(program):
    with tempfile.TemporaryDirectory() as folder:
        feed, output, script = (os.path.join(folder, name) for name in ("in", "out", "both.py"))
        with open(feed, "w") as f:
            f.write(INPUT)
        with open(script, "w") as f:
            f.write(BOTH_HELD)
        status, out, said = day(GDB + ["-x", script, "-ex", f"run < {feed} > {output}",
                                       program], output)
    return status, out, "\n".join(re.findall(r"holds both mutexes.*", said))


TREATMENTS = {
    "day": lambda program: day([program], quiet_start=True),
    "helgrind": under_helgrind,
    "spurious_put": lambda program: spurious(program, "buffer_full"),
    "spurious_take": lambda program: spurious(program, "buffer_empty"),
    "both_held": both_held,
}


def verdict(status, out, said, seconds=LIMIT):
    """What broke, one line each, from the treatment's own findings and the output of a day
    that ran for so many seconds."""
    texts, rest = daychart.split_output(out)
    lines = [(None, "?", text) for text in texts + ([rest] if rest else [])]
    hung = said.startswith("hung")
    found = [line for line in said.splitlines()
             if re.match(r"(hung|data race|holds both|not treated)", line)]
    meta = {"items": daychart.ITEMS, "status": None if hung else status, "end": seconds * 1e6}
    found += [what for _, what in daychart.violations({"lines": lines, "calls": [],
                                                         "meta": meta})]
    return found


def run(program, treatment):
    status, out, said = TREATMENTS[treatment](program)
    found = verdict(status, out, said)
    for what in found:
        print(f"broke: {what}")
    if not found:
        print("the day stayed whole")
    if said.startswith("hung"):
        print("\nwhere each thread was, by gdb:\n" + said.split("\n", 1)[1])


def table():
    """The faults' table, lab/faults.cmake: {name: (switch, run, model, treatment, shows)}."""
    with open(os.path.join(HERE, "faults.cmake")) as f:
        rows = re.findall(r"^fault\((.*)\)$", f.read(), re.M)
    return {row[0]: row[1:] for row in map(shlex.split, rows)}


def show(fault, build):
    switch, _, _, treatment, shows = table()[fault]
    with open(os.path.join(HERE, "faults", f"{fault}.patch")) as f:
        print(f"The fault {fault} (in the model: -D{switch}), as a patch to the real program:\n")
        print(f.read())
    print(f"A piped day of the patched program, treatment {treatment!r}; it must show "
          f"/{shows}/:\n", flush=True)
    run(os.path.join(build, "bin", f"orderdesk-{fault}"), treatment)


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[1] in TREATMENTS:
        run(*args)
    elif args and args[0] in table():
        show(args[0], args[1] if len(args) > 1 else "build/lab")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
