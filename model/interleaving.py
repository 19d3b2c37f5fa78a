# SPDX-License-Identifier: MIT
"""The shortest interleaving in which a planted fault breaks the day, as a table to read.

    python3 model/interleaving.py MODEL FAULT [--write | --check] [FILE.md ...]

SPIN's verifier searches, with iterative shortening (pan -i), for the shortest run of the
model with the fault planted that ends in an error; its trail is replayed step by step and
folded into one row for each run of one thread: what it did in the order desk's terms, the
code's step numbers, and the count and the waiters after it. The row where it goes wrong
gives that step in full. SPIN counts a run in transitions, each one statement of one
thread; "step" means the code's numbered steps only. Prints the table; --write puts it into
each file named, in place of the table for the same switch, or as the whole of a file that
holds none; --check fails unless each file named holds it as it is.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SLOTS = 4
TRAIL_STEP = re.compile(r"^\s*(\d+):\s+proc\s+\d+ \((\w+):\d+\) \S+ \(state \d+\)\s+\[(.*)\]$")
GLOBAL = re.compile(r"^\t\t(\w+(?:\[\d+\]\.\w+)?) = (-?\d+)$")
LOCAL = re.compile(r"^\t\t(\w+)\(\d+\):(\w+) = (-?\d+)$")
ROLES = {"takeOrders": "producer", "processOrders": "consumer", "main": "main"}


def replay(model, switch):
    """The statements of the shortest failing trail, as (step, proc, statement, globals,
    locals of proc after it); and how the run ended."""
    work = tempfile.mkdtemp()
    try:
        shutil.copy(model, os.path.join(work, "orderdesk.pml"))
        sh = lambda *argv: subprocess.run(argv, cwd=work, check=True, capture_output=True,
                                          text=True).stdout
        sh("spin", "-a", f"-D{switch}", "orderdesk.pml")
        sh("cc", "-O0", "-DSAFETY", "-DNOCLAIM", "-DREACH", "-o", "pan", "pan.c")
        found = sh("./pan", "-i", "-m100000", "-w20")
        trail = sh("spin", "-t", "-p", "-g", "-l", f"-D{switch}", "orderdesk.pml")
    finally:
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


def summary(did):
    """What a run of one thread did, each order's confirmation and put said together, and
    a run of orders that went the same way said once."""
    merged = []
    for phrase in did:
        put = re.fullmatch(r"puts order (\d+)", phrase)
        if put and merged and merged[-1] == f"confirms order {put.group(1)}":
            merged[-1] = f"confirms order {put.group(1)} and puts it"
        else:
            merged.append(phrase)
    runs = []  # [pattern, first, last]
    for phrase in merged:
        if phrase.startswith("**"):  # what went wrong is said as it is
            runs.append([phrase, None, None])
            continue
        pattern, n = re.sub(r"order \d+", "order #", phrase), re.search(r"order (\d+)", phrase)
        if n and runs and runs[-1][0] == pattern and int(n.group(1)) == runs[-1][2] + 1:
            runs[-1][2] += 1
        else:
            runs.append([pattern, int(n.group(1)) if n else None, int(n.group(1)) if n else None])
    said = []
    for pattern, first, last in runs:
        if first is None:
            said.append(pattern)
        elif first == last:
            said.append(pattern.replace("#", str(first)))
        else:
            said.append(pattern.replace("order #", f"orders {first}–{last}").replace(" it", " each"))
    return ", ".join(said)


def table(switch, rows, ending, steps):
    lines = [f"Shortest failing run with `{switch}`: {steps} transitions.", "",
             "| # | thread | the code's steps | what it does | count | waiting |",
             "|---|---|---|---|---|---|"]
    for n, row in enumerate(rows, 1):
        who = ROLES[row["proc"]] + ("" if row["proc"] == "main" else f" ({row['proc']})")
        seen = row["steps"]
        span = f"{seen[0]} … {seen[-1]}" if len(seen) > 1 else "".join(seen)
        lines.append(f"| {n} | {who} | {span} | {summary(row['did'])} | {row['after'][0]} "
                     f"| {row['after'][1]} |")
    end = ("no thread can move, and the day is not over: SPIN's invalid end state"
           if ending == "invalid end state" else f"the check `{ending}` fails")
    lines.append(f"| {len(rows) + 1} | | | {end} | | |")
    return "\n".join(lines) + "\n"


def main():
    model, switch, *files = sys.argv[1:]
    statements, ending, steps = replay(model, switch)
    made = table(switch, fold(statements), ending, steps)
    if not files:
        print(made, end="")
        return 0
    mode, paths = files[0], files[1:]
    stale = []
    for path in paths:
        with open(path) as f:
            text = f.read()
        # The table for this switch: from its heading to the end of its last row.
        held = re.search(rf"^Shortest failing run with `{switch}`:.*\n\n(?:\|.*\n)+", text, re.M)
        if mode == "--write":
            with open(path, "w") as f:
                f.write(text[:held.start()] + made + text[held.end():] if held else made)
        elif not held or held.group(0) != made:
            stale.append(path)
    for path in stale:
        print(f"{path} does not hold the table for {switch} as the model gives it now; "
              "to write it again: cmake --build --preset default --target interleavings")
    if mode == "--check":
        print(made, end="")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
