#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Replays the model's shortest failing run of a planted fault on the real faulty program.

    lab/replay.py MODEL SWITCH PROGRAM SOURCES

SPIN finds the shortest run of the model with the fault planted that ends in an error
(model/interleaving.py folds it into the README's tables). This turns that run into a plan
for gdb, and gdb drives PROGRAM, the real faulty orderdesk built from the patched SOURCES
folder, through the same interleaving: one thread at a time (scheduler locking), each
stretch of one thread run until the step at which the model switches to another thread.
The numbered steps are found in SOURCES by their comments, as the model numbers them.

Two things of a model's run are forced as near as the real program allows. A thread that
waits is stopped as it enters the kernel's futex wait, registered as a waiter and with the
mutex released, as the model's wait step leaves it. A spurious wake-up, which the model
gives a registered waiter, is made before the wait instead: the call is skipped, so that the
thread goes on with the mutex held, as after a wait that returned at once; a glibc waiter
that is already asleep cannot be made to return without a signal.

When the plan is done, gdb lets the program go, and the run's end is told as lab/demo.py
tells it: what the output shows, or a hang with where each thread waits.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import demo  # noqa: E402  a day's input, its verdict and gdb's backtraces
import interleaving  # noqa: E402  the model's shortest failing run

FUNCTIONS = {"put": "ringPut", "take": "ringTake"}  # the model's names for the ring's calls
ROLES = {"takeOrders": "producer", "processOrders": "consumer"}
SETTLE = 3.0  # seconds the program is watched after the plan, for a hang


def step_lines(sources):
    """{(function, step): (file, line)} from the code's numbered step comments."""
    found = {}
    for name in ("ring.cpp", "orderdesk.cpp"):
        function = None
        with open(os.path.join(sources, name)) as f:
            for n, line in enumerate(f, 1):
                if header := re.match(r"^\S.*?\b(\w+)\(.*\{$", line):
                    function = header.group(1)
                elif step := re.search(r"//\s*(\d+)\s*$", line):
                    found[(function, int(step.group(1)))] = (name, n)
    return found


def where(step, lines):
    """The file and line of a step as the model names it: 'put 3' or 'takeOrders 4'."""
    function, number = step.split()
    return lines[(FUNCTIONS.get(function, function), int(number))]


def plan(model, switch, lines):
    """The run as stretches of one thread: (role, actions), each action one of
    ('skip_wait', function), ('until', file, line, times) or ('until_waiting',)."""
    statements, ending, transitions = interleaving.replay(model, switch)
    stretches = []
    for proc, step, did, _, _ in interleaving.events(statements):
        if proc not in ROLES:
            continue  # main only starts the two threads, which the setup does
        if not stretches or stretches[-1][0] != proc:
            stretches.append((proc, []))
        stretches[-1][1].append((step, did))
    result = []
    for i, (proc, events) in enumerate(stretches):
        actions = []
        for step, did in events:
            if did == "has a spurious wake-up":
                actions.append(("skip_wait", FUNCTIONS[step.split()[0]]))
        later = [e for p, e in stretches[i + 1:] if p == proc]
        if events[-1][1] and events[-1][1].startswith("waits on"):
            actions.append(("until_waiting",))
        elif later:
            # Stop where the thread's next stretch begins, as many times on as this
            # stretch has passed that step.
            first = later[0][0][0]
            actions.append(("until", *where(first, lines),
                            sum(step == first for step, _ in events)))
        else:
            # The last stretch ends once its last step is done.
            last = events[-1][0]
            actions.append(("until", *where(last, lines),
                            sum(step == last for step, _ in events) - 1))
            actions.append(("step_over",))
        result.append((ROLES[proc], actions))
    return result, ending, transitions


DRIVER = r'''
import json, re
plan = json.load(open(PLAN))
stops = []
gdb.events.stop.connect(lambda event: stops.append(event))

def run(thread):
    gdb.execute(f"thread {thread.num}", to_string=True)
    del stops[:]
    gdb.execute("continue", to_string=True)
    return stops[-1]

def hit(event, bp):
    return isinstance(event, gdb.BreakpointEvent) and bp in event.breakpoints

gdb.execute(f"starti < {FEED} > {OUTPUT} 2>&1", to_string=True)
gdb.execute("set scheduler-locking on")
main = gdb.selected_thread()
entries = {"consumer": gdb.Breakpoint("processOrders"), "producer": gdb.Breakpoint("takeOrders")}
joins = gdb.Breakpoint(MAIN_JOIN)
reached = set()
while True:  # main alone, until it has started both threads and comes to join them
    event = run(main)
    reached |= {role for role, bp in entries.items() if hit(event, bp)}
    if hit(event, joins):
        break
# gdb numbers threads as they start: main, then processOrders, then takeOrders.
threads = {role: next(t for t in gdb.selected_inferior().threads() if t.num == num)
           for role, num in (("consumer", 2), ("producer", 3))}
for role, bp in entries.items():
    while role not in reached:
        reached |= {role} if hit(run(threads[role]), bp) else set()
for bp in list(entries.values()) + [joins]:
    bp.delete()
print("replay: main has started processOrders and takeOrders", flush=True)

for role, actions in plan:
    thread = threads[role]
    skips, done = [], None
    for action in actions:
        if action[0] == "skip_wait":
            listing = gdb.execute(f"disassemble {action[1]}", to_string=True)
            call = int(re.search(r"(0x[0-9a-f]+) <[+]\d+>:\s+call\s.*pthread_cond_wait", listing).group(1), 16)
            skips.append(gdb.Breakpoint(f"*{call}", internal=True))
            skips[-1].thread = thread.num
    for action in actions:
        if action[0] == "until":
            done = gdb.Breakpoint(f"{action[1]}:{action[2]}", internal=True)
            done.thread, done.ignore_count = thread.num, action[3]
        elif action[0] == "until_waiting":
            gdb.execute("catch syscall futex", to_string=True)
            done = gdb.breakpoints()[-1]
    while True:
        event = run(thread)
        if skips and hit(event, skips[0]):
            call = int(gdb.parse_and_eval("$pc"))
            after = call + gdb.selected_frame().architecture().disassemble(call)[0]["length"]
            gdb.execute(f"set $pc = {after}")
            skips.pop(0).delete()
            print(f"replay: the {role} has a spurious wake-up: its wait ends at once", flush=True)
        elif hit(event, done):
            # At a futex syscall's entry rax holds -ENOSYS; only a wait counts.
            if done.type != gdb.BP_CATCHPOINT:
                break
            if int(gdb.parse_and_eval("$rax")) == -38 and int(gdb.parse_and_eval("$rsi")) & 0x7f in (0, 9):
                print(f"replay: the {role} waits", flush=True)
                break
    done.delete()
    if ("step_over",) in [tuple(a) for a in actions]:
        gdb.execute("next", to_string=True)
    frame = gdb.selected_frame()  # the innermost frame in the program's own code
    while frame.older() and not (frame.find_sal().symtab and
                                 frame.find_sal().symtab.filename.endswith((".cpp", ".h"))):
        frame = frame.older()
    where = frame.find_sal()
    print(f"replay: the {role} stops in {frame.name()} at "
          f"{where.symtab.filename.split('/')[-1]}:{where.line}; "
          f"num_new_orders is {gdb.parse_and_eval('num_new_orders')}", flush=True)
gdb.execute("set scheduler-locking off")
print(f"replay: the plan is done; pid {gdb.selected_inferior().pid}", flush=True)
gdb.execute("detach", to_string=True)
'''


def replay(model, switch, program, sources):
    lines = step_lines(sources)
    steps, ending, transitions = plan(model, switch, lines)
    join = lines[("main", 3)]
    print(f"SPIN's shortest failing run with {switch}: {transitions} transitions, ending in "
          f"{ending}. The plan for the real program, one thread at a time:")
    said = {"skip_wait": "skip its next wait in {}", "until_waiting": "run until it waits",
            "until": "run until it reaches {}:{} for the {}th time", "step_over": "do that step"}
    for role, actions in steps:
        print(f"  the {role}: " + ", then ".join(
            said[a[0]].format(*a[1:2], *a[2:3], *[n + 1 for n in a[3:]]) for a in actions))
    with tempfile.TemporaryDirectory() as folder:
        paths = {name: os.path.join(folder, name)
                 for name in ("plan", "in", "out", "driver.py", "gdb")}
        with open(paths["plan"], "w") as f:
            json.dump(steps, f)
        with open(paths["in"], "w") as f:
            f.write(demo.INPUT)
        with open(paths["driver.py"], "w") as f:
            f.write(f"PLAN, FEED, OUTPUT = {paths['plan']!r}, {paths['in']!r}, {paths['out']!r}\n"
                    f"MAIN_JOIN = '{join[0]}:{join[1]}'" + DRIVER)
        # gdb's output goes to a file: the program that it lets go keeps what it inherited.
        with open(paths["gdb"], "w+") as log:
            subprocess.run(demo.GDB + ["-x", paths["driver.py"], program], stdout=log,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=120)
            log.seek(0)
            said = log.read()
        print("\n".join(line for line in said.splitlines() if line.startswith("replay:")))
        pid = int(re.search(r"replay: the plan is done; pid (\d+)", said).group(1))
        started = time.monotonic()
        status, hung = watch(pid)
        with open(paths["out"]) as f:
            out = f.read()
    return demo.verdict(status, out, hung, time.monotonic() - started)


def watch(pid):
    """The detached program's end: (None, where each thread waits) if it is still going
    SETTLE seconds after its day should have ended."""
    deadline = time.monotonic() + 10 + SETTLE
    while time.monotonic() < deadline:
        if not os.path.exists(f"/proc/{pid}") or open(f"/proc/{pid}/stat").read().split()[2] == "Z":
            return 0, ""
        time.sleep(0.1)
    said = demo.where_each_thread_waits(pid)
    os.kill(pid, 9)
    return None, said


def main():
    model, switch, program, sources = sys.argv[1:]
    for what in replay(model, switch, program, sources):
        print(f"broke: {what}")


if __name__ == "__main__":
    main()
