# SPDX-License-Identifier: MIT
"""The model's shortest run in which a planted fault breaks the day: as a table to read, and as
a schedule string that forces the same run on the real faulty program.

SPIN's verifier searches, with iterative shortening (pan -i), for the shortest run of the
model with the fault planted that ends in an error; its trail is replayed step by step and
folded into one row for each run of one thread: what it did in the order desk's terms, the
code's step numbers, and the count and the waiters after it. The row where it goes wrong
gives that step in full. SPIN counts a run in transitions, each one statement of one
thread; "step" means the code's numbered steps only. Prints the table; --write puts it into
each file named, in place of the table for the same switch, or as the whole of a file that
holds none; --check fails unless each file named holds it as it is.

The same run as a schedule: each statement of the model that is a synchronisation call of
the program (a lock, an unlock, a wait, a spurious wake-up, a signal, a thread started, joined
or ended, the consumer's second) is one step of the same thread; a thread's start is a step
of its own before its first such call. The statements in between are what each step runs.
"""

import os
import re
import shutil
import subprocess
import tempfile

from . import LAB, day, tables

SLOTS = day.SLOTS
TRAIL_STEP = re.compile(r"^\s*(\d+):\s+proc\s+\d+ \((\w+):\d+\) \S+ \(state \d+\)\s+\[(.*)\]$")
GLOBAL = re.compile(r"^\t\t(\w+(?:\[\d+\]\.\w+)?) = (-?\d+)$")
LOCAL = re.compile(r"^\t\t(\w+)\(\d+\):(\w+) = (-?\d+)$")
ROLES = day.ROLES
MODEL = os.path.join(LAB, "promela", "orderdesk.pml")


def replay(model, switch, keep=None):
    """The statements of the shortest failing trail, as (step, proc, statement, globals,
    locals of proc after it); and how the run ended. With keep, the model and its trail stay
    in that folder, for spin -t to replay."""
    work = keep or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    try:
        shutil.copy(model, os.path.join(work, "orderdesk.pml"))
        sh = lambda *argv: subprocess.run(argv, cwd=work, check=True, capture_output=True,
                                          text=True).stdout
        sh("spin", "-a", f"-D{switch}", "orderdesk.pml")
        sh("cc", "-O0", "-DSAFETY", "-DNOCLAIM", "-DREACH", "-o", "pan", "pan.c")
        found = sh("./pan", "-i", "-m100000", "-w20")
        trail = sh("spin", "-t", "-p", "-g", "-l", f"-D{switch}", "orderdesk.pml")
    finally:
        if not keep:
            shutil.rmtree(work)
    ending = re.search(r"pan:1: (.*?) \(at depth", found).group(1)
    failed = re.search(r"text of failed assertion: (.*)", trail)
    statements, state, local = [], {}, {}
    for line in trail.splitlines():
        if line.startswith("#processes"):
            break
        if step := TRAIL_STEP.match(line):
            statements.append([int(step.group(1)), step.group(2), step.group(3), {}, {}])
        elif (var := GLOBAL.match(line)) and statements:
            state[var.group(1)] = int(var.group(2))
        elif (var := LOCAL.match(line)) and statements:
            local.setdefault(var.group(1), {})[var.group(2)] = int(var.group(3))
        if statements:
            statements[-1][3], statements[-1][4] = dict(state), dict(local.get(statements[-1][1], {}))
    steps = max(s[0] for s in statements)
    return statements, (failed.group(1) if failed else ending), steps


def own(proc, n):
    """A thread function's own step, named so that it is not taken for one of put or take."""
    return f"{proc} {n}"


def events(statements):
    """Each statement of a thread as (proc, code step, what it did or None, what went wrong
    there or None, the globals after it)."""
    # A wait gives up the mutex and registers as a waiter in one step of the trail.
    in_wait = {i for i, (step, proc, text, _, _) in enumerate(statements)
               if any(s == step and p == proc and re.fullmatch(r"buffer_\w+ = 1", t)
                      for s, p, t, _, _ in statements[i + 1:i + 3])}
    before, slots = {}, {}  # slots: the order in each slot of the ring, as put
    for i, (_, proc, text, after, local) in enumerate(statements):
        role, put = ROLES.get(proc), proc == "takeOrders"
        mutex = re.fullmatch(r"(data|console)_mutex = (\d)", text)
        did, step, wrong = None, None, None
        if proc == "main" and (run := re.fullmatch(r"\(run (\w+)\(\)\)", text)):
            did = f"starts {run.group(1)}"
        elif mutex and mutex.group(2) != "0":
            step = ("put 1" if put else "take 1") if mutex.group(1) == "data" else own(proc, 1 if put else 2)
        elif mutex and i in in_wait:
            step = "put 2" if put else "take 2"
        elif mutex:
            step = ("put 6" if put else "take 6") if mutex.group(1) == "data" else own(proc, 5 if put else 4)
            if put and mutex.group(1) == "data" and after.get("buffer_empty") and before.get("num_new_orders", 0) > 0:
                wrong = ("put 6 unlocks data_mutex with an order in the ring and the consumer "
                         "still waiting on buffer_empty: no signal was sent (put 5), so nothing "
                         "will wake it")
        elif cond := re.fullmatch(r"buffer_(full|empty) = ([01])", text):
            mine = (cond.group(1) == "full") == put
            if cond.group(2) == "1":
                did, step = f"waits on buffer_{cond.group(1)}", "put 2" if put else "take 2"
            elif mine:
                did, step = "has a spurious wake-up", "put 2" if put else "take 2"
            else:
                step = "put 5" if put else "take 5"
                if before.get(text.split()[0]):
                    did = f"signals buffer_{cond.group(1)}, waking the {'consumer' if put else 'producer'}"
        elif text == "confirmed = (confirmed+1)":
            did, step = f"confirms order {after.get('confirmed', 0) - 1}", own(proc, 4)
        elif text.startswith("new_orders[write_slot].order_number"):
            did, step = f"puts order {after.get('order_num', 0)}", "put 3"
            slot = local.get("write_slot", 0)
            lost, slots[slot] = slots.get(slot), after.get("order_num", 0)
            if before.get("num_new_orders") == SLOTS:
                wrong = (f"put 3 writes order {after.get('order_num', 0)} into slot {slot} while all "
                         f"four slots are taken, for put 2 did not test the count again after "
                         f"its wake-up: order {lost}, "
                         f"never taken out, is lost")
        elif text.startswith("order_number = new_orders["):
            did, step = f"takes order {local.get('order_number', 0)}", "take 3"
        elif text == "processed = (processed+1)":
            did, step = f"announces order {after.get('processed', 0) - 1}", own(proc, 3)
        elif text.startswith("num_new_orders ="):
            step = "put 4" if put else "take 4"
        elif proc == "processOrders" and text == "(1)" and before.get("processed", 0) > 0:
            did, step = "works its second", own(proc, 5)
        before = after
        if role and (did or step):  # the invariants process is no thread of the program
            yield proc, step, did, wrong, after


def fold(statements):
    """One row for each run of one thread; the first time each thing goes wrong is said in
    full where it happens."""
    rows, said = [], set()
    for proc, step, did, wrong, after in events(statements):
        if not rows or rows[-1]["proc"] != proc:
            rows.append({"proc": proc, "steps": [], "did": []})
        row = rows[-1]
        if step:
            row["steps"].append(step)
        if did:
            row["did"].append(did)
        if wrong and wrong[:6] not in said:
            said.add(wrong[:6])
            row["did"].append(f"**here it goes wrong: {wrong}**")
        waiting = [name for name, cond in (("producer", "buffer_full"), ("consumer", "buffer_empty"))
                   if after.get(cond)]
        row["after"] = (after.get("num_new_orders", 0), ", ".join(waiting) or "none")
    return rows


def table(switch, rows, ending, steps):
    end = ("no thread can move, and the day is not over: SPIN's invalid end state"
           if ending == "invalid end state" else f"the check `{ending}` fails")
    for row in rows:
        who = ROLES[row["proc"]] + ("" if row["proc"] == "main" else f" ({row['proc']})")
        seen = row.pop("steps")
        row.update(who=who, steps=seen, count=row["after"][0], waiting=row["after"][1])
    return (f"Shortest failing run with `{switch}`: {steps} transitions.\n\n"
            + tables.table(rows, end))


def write_or_check(switch, made, mode, paths):
    """--write puts the table into each file, in place of the table for the same switch;
    --check lists the files that do not hold it as it is. Returns those files."""
    stale = []
    for path in paths:
        with open(path) as f:
            text = f.read()
        # The table for this switch: from its heading to the end of its last row.
        held = re.search(rf"^Shortest failing run with `{switch}`:.*\n\n(?:\|.*\n)+", text, re.M)
        if mode == "write":
            with open(path, "w") as f:
                f.write(text[:held.start()] + made + text[held.end():] if held else made)
        elif not held or held.group(0) != made:
            stale.append(path)
    return stale


# The model's thread for each of the program's, and the condition variable each one waits on.
WAITS_ON = {"takeOrders": "buffer_full", "processOrders": "buffer_empty"}


def schedule(statements):
    """The run as the program's steps: (thread function, spurious) for each, in order."""
    steps, started = [], {"main"}
    by_step = {}
    for number, proc, text, _, _ in statements:
        by_step.setdefault((number, proc), []).append(text)
    done = set()
    for number, proc, text, _, _ in statements:
        if proc not in ROLES:
            continue  # the model's invariants are no thread of the program
        same = by_step[(number, proc)]
        mutex = re.fullmatch(r"(data|console)_mutex = (\d)", text)
        cond = re.fullmatch(r"(buffer_full|buffer_empty) = ([01])", text)
        waits = any(re.fullmatch(r"buffer_\w+ = 1", t) for t in same)
        if (number, proc) in done:
            continue  # one atomic statement of the model, already one step
        if mutex and mutex.group(2) == "0" and waits:
            step = (proc, False)  # the wait: gives up the mutex and registers
            done.add((number, proc))
        elif mutex or re.fullmatch(r"\(run \w+\(\)\)|(consumer|producer)_done", text):
            step = (proc, False)  # lock, unlock, create, join
        elif re.fullmatch(r"(consumer|producer)_done = 1", text):
            step = (proc, False)  # the thread ends
        elif cond and cond.group(2) == "0":
            step = (proc, WAITS_ON.get(proc) == cond.group(1))  # a spurious wake-up, or a signal
        elif proc == "processOrders" and text == "(1)":
            step = (proc, False)  # the consumer's second
        else:
            continue
        if proc not in started:
            started.add(proc)
            steps.append((proc, False))  # its start, as a step of its own
        steps.append(step)
    return steps


def shortest(switch, model=MODEL, keep=None):
    """The model's shortest failing run with the switch: (its table, its steps as the
    program's, how it ends)."""
    statements, ending, transitions = replay(model, switch, keep)
    return table(switch, fold(statements), ending, transitions), schedule(statements), ending


def table_command(args):
    """threadlab model table: the table, printed, written into files, or checked in them."""
    made, _, _ = shortest(args.fault, args.model, args.keep)
    stale = write_or_check(args.fault, made, "write" if args.write else "check",
                           args.write or args.check or [])
    for path in stale:
        print(f"{path} does not hold the table for {args.fault} as the model gives it now; "
              "to write it again: cmake --build --preset default --target interleavings")
    if not args.write:
        print(made, end="")
    if args.keep:
        print(f"\nThe same run, statement by statement: (cd {args.keep} && "
              f"spin -t -p -g -l -D{args.fault} orderdesk.pml)")
    return 1 if stale else 0


def schedule_command(args):
    """threadlab model schedule: the model's shortest failing run, forced on the real program."""
    from . import explore

    made, steps, ending = shortest(args.fault, args.model)
    print(made)
    session = explore.Session(args.program, day.INPUT.encode())
    try:
        ids = {session.names.thread_function(t): t.id for t in session.run().threads}
        string = session.names.format([(ids[proc], wake) for proc, wake in steps])
        print(f"The same run as a schedule of {os.path.basename(args.program)}, its steps "
              f"made one by one:\nschedule: {string}\n")
        run, failure = explore.replay(session, string, out=open(os.devnull, "w"))
        if failure:
            session.report(run, failure)
            return 1
        print("the real program passed every check on that schedule")
        return 0
    finally:
        session.close()
