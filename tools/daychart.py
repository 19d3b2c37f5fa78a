#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Traces a day at the order desk with uftrace, and draws the day from its trace.

    tools/daychart.py record ORDERDESK {piped,typed} TRACE.json [--spurious COND] [--draw OUTPUT.svg]
    tools/daychart.py draw TRACE.json OUTPUT.svg

record runs ORDERDESK, built for tracing (the trace preset compiles it with -pg), under
uftrace, on one of two scenarios: all ten numbers piped at once, or typed at a terminal, one
every 1.5 seconds. It writes the day as a Chrome trace-event JSON, which Perfetto
(ui.perfetto.dev) and chrome://tracing open, trimmed to what a learner needs: the three
threads; the ring's calls, the locks, waits, signals, sleeps and reads, each as long as it
was seen to take; every prompt and output line at the time it arrived, as the user saw
it; and the count of orders in the ring. A day still going after a minute is killed, and
what was traced until then is kept.

draw draws the day from such a trace, as an SVG: the two threads' lanes with every interval
that was observed, every signal, every printed line, and below them the ring's count. It
checks the day as it draws: the count stays within 0 to 4; each order is confirmed and
processed once, in sequence and with its item; the producer waits in put only while four
orders wait, the consumer in take only while none does; the day ends with the farewell and
status 0. Each violation is drawn where it happened and said, and the exit status is 1. A
trace that cannot be read is refused with status 2. Needs matplotlib
(Debian: python3-matplotlib); record needs uftrace too.

What is observed and what is not: uftrace records when each call began and returned, per
thread. Which mutex or condition variable a call used is told by where the call stands
(a lock in ringPut is data_mutex's, one in takeOrders console_mutex's). The count is not
read from memory: it goes up at each put and down at each take, when the call releases
data_mutex, a few instructions after the count changed under it. uftrace writes a call
down only once it returns or makes a call of its own, so in a day that hangs, a wait that
never returned does not show; the ring's call that it was made from shows, open to the end.
"""

import argparse
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ITEMS = [12, 7, 33, 50, 1, 8, 21, 4, 45, 19]
TYPING_INTERVAL = 1.5  # seconds between typed numbers
HARD_LIMIT = 60.0  # seconds; a day still going then is killed
SLOTS = 4

PROMPT = "Enter a menu item number between 1 and 50: "
CONFIRMATION = re.compile(r"Got new order! Order number is (-?\d+) and item number: (-?\d+)")
PROCESSING = re.compile(r"Processing order number (-?\d+) with item number: (-?\d+)")
FAREWELL = "Phew! Done with orders for today!"

ROLES = {"main": "main", "takeOrders": "producer (takeOrders)",
         "processOrders": "consumer (processOrders)"}
READ = "std::basic_istream::operator>>"
KEPT = {"main", "takeOrders", "processOrders", "ringPut", "ringTake", "pthread_create",
        "pthread_join", "pthread_exit", "pthread_mutex_lock", "pthread_mutex_unlock",
        "pthread_cond_wait", "pthread_cond_signal", "sleep", READ}
# What a call used, told by the function that made it.
USES = {("pthread_mutex_lock", "takeOrders"): "console_mutex",
        ("pthread_mutex_unlock", "takeOrders"): "console_mutex",
        ("pthread_mutex_lock", "processOrders"): "console_mutex",
        ("pthread_mutex_unlock", "processOrders"): "console_mutex",
        ("pthread_mutex_lock", "ringPut"): "data_mutex",
        ("pthread_mutex_unlock", "ringPut"): "data_mutex",
        ("pthread_mutex_lock", "ringTake"): "data_mutex",
        ("pthread_mutex_unlock", "ringTake"): "data_mutex",
        ("pthread_cond_wait", "ringPut"): "buffer_full",
        ("pthread_cond_wait", "ringTake"): "buffer_empty",
        ("pthread_cond_signal", "ringPut"): "buffer_empty",
        ("pthread_cond_signal", "ringTake"): "buffer_full"}
TITLES = {
    "piped": "orderdesk: all ten numbers piped at once",
    "typed": f"orderdesk: a number typed at a terminal every {TYPING_INTERVAL} seconds",
}


class Unreadable(Exception):
    pass


# Recording

def run_traced(orderdesk, scenario, data, log, spurious=None):
    """Runs a day under uftrace, its messages into the file log; returns the day's exit
    status (None if it was killed), when it started and ended (CLOCK_MONOTONIC, as
    uftrace's times), and its output as (time, text) events, one for each prompt and one
    for each line."""
    # --keep-pid: the program keeps uftrace's process, so killing it leaves uftrace's
    # recorder to save the trace. main's own call is not recorded (its calls are): uftrace
    # 0.17 would take over main's return address, and the unwinding of main's
    # pthread_exit then crashes the program.
    command = ["uftrace", "record", "--no-sched", "--keep-pid", "-T", "main@norecord",
               "-d", data, orderdesk]
    if scenario == "typed":
        terminal, user = pty.openpty()
        proc = subprocess.Popen(command, stdin=user, stdout=user, stderr=log)
        os.close(user)
        source, sink = terminal, terminal
    else:
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=log)
        source, sink = proc.stdout.fileno(), proc.stdin.fileno()
    start = time.monotonic()
    if spurious:
        threading.Thread(target=make_spurious,
                         args=(proc.pid, spurious, log, os.path.dirname(data)),
                         daemon=True).start()
    killed = threading.Event()

    def kill():
        killed.set()
        proc.kill()

    killer = threading.Timer(HARD_LIMIT, kill)
    killer.start()

    def feed():
        try:
            for n, item in enumerate(ITEMS):
                if scenario == "typed":
                    time.sleep(max(0.0, start + (n + 1) * TYPING_INTERVAL - time.monotonic()))
                os.write(sink, b"%d\n" % item)
            if scenario == "piped":
                proc.stdin.close()
        except OSError:
            pass  # the day ended early

    threading.Thread(target=feed, daemon=True).start()
    events, pending = [], ""
    while True:
        try:
            chunk = os.read(source, 65536)
        except OSError:  # a terminal whose other side has closed
            chunk = b""
        if not chunk:
            break
        now = time.monotonic()
        pending += chunk.decode(errors="replace").replace("\r\n", "\n")
        texts, pending = split_output(pending)
        # A terminal echoes what is typed: the user's number, not the program's.
        events += [(now, text) for text in texts
                   if not (scenario == "typed" and re.fullmatch(r"-?\d+", text))]
    status = proc.wait()
    end = time.monotonic()
    killer.cancel()
    if pending:
        events.append((end, pending))
    if scenario == "typed":
        os.close(terminal)
    return (None if killed.is_set() else status), proc.pid, start, end, events


RECORD = re.compile(r"\s*(\d+\.\d+)\s+(\d+): \[(entry|exit )\] (.+)\([0-9a-f]+\) depth: \d+")


# gdb's part in a spurious wake-up: a temporary breakpoint on the first call of
# pthread_cond_wait in FUNCTION, then a jump past the call. The thread goes on with the
# mutex still held and the ring as it was, as after a wait that returned at once.
SPURIOUS = """python
import re
listing = gdb.execute("disassemble FUNCTION", to_string=True)
call = int(re.search(r"(0x[0-9a-f]+) <[+]\\d+>:\\s+call\\s.*pthread_cond_wait", listing).group(1), 16)
after = call + gdb.selected_frame().architecture().disassemble(call)[0]["length"]
gdb.execute(f"tbreak *{call}")
gdb.execute("continue")
WHEN_STOPPED
gdb.execute(f"jump *{after}")
end
"""
WAITS = {"buffer_full": "ringPut", "buffer_empty": "ringTake"}


def spurious_script(folder, cond, when_stopped=""):
    """A gdb script, written into folder, that makes the first wait on cond spurious; the
    Python line when_stopped runs while the waiting thread is stopped at its wait."""
    path = os.path.join(folder, f"spurious-{cond}.gdb")
    with open(path, "w") as f:
        f.write(SPURIOUS.replace("FUNCTION", WAITS[cond]).replace("WHEN_STOPPED", when_stopped))
    return path


def make_spurious(pid, cond, log, folder):
    """Attaches gdb to the traced day, which it stops for a moment early on, to make the
    first wait on cond spurious."""
    subprocess.run(["gdb", "-q", "-batch", "-nx", "-p", str(pid), "-ex", "set pagination off",
                    "-x", spurious_script(folder, cond), "-ex", "detach"],
                   stdout=log, stderr=log, stdin=subprocess.DEVNULL)


def split_output(text):
    """The prompts and whole lines at the start of text, and what is left of it."""
    found = []
    while True:
        if text.startswith(PROMPT):
            found.append(PROMPT)
            text = text[len(PROMPT):]
        elif "\n" in text:
            line, text = text.split("\n", 1)
            found.append(line)
        else:
            return found, text


def recorded_calls(data):
    """uftrace's records of the day, as trace events: B when a call began, E when it
    returned. uftrace's own --chrome output is not used: it closes every call still open at
    the end as if it had returned then, which would hide a day that hangs."""
    dump = subprocess.run(["uftrace", "dump", "-d", data], capture_output=True, text=True)
    if dump.returncode != 0:
        raise Unreadable(f"uftrace dump failed: {dump.stderr.strip()}")
    return [{"ph": "B" if kind == "entry" else "E", "ts": float(seconds) * 1e6,
             "tid": int(tid), "name": name}
            for seconds, tid, kind, name in RECORD.findall(dump.stdout)]


def trimmed(events, pid, start, end, output, status, scenario):
    """The day as a trace-event JSON for a learner: the program's three threads named by
    role, the calls in KEPT with what each used, every printed line as an instant on the
    thread that prints it, and the count as a counter."""
    calls = [e for e in events if e["name"] in KEPT]
    roles = {pid: "main"}  # the process's first thread
    for e in calls:
        if e["ph"] == "B" and e["name"] in ROLES and e["tid"] not in roles:
            roles[e["tid"]] = ROLES[e["name"]]
    if len(roles) != 3:
        raise Unreadable(f"threads seen: {sorted(roles.values())}; is the program built "
                         "with -pg (the trace preset)?")
    us = lambda seconds: round((seconds - start) * 1e6, 3)
    kept, stacks = [], {tid: [] for tid in roles}
    for e in calls:
        tid, stack = e["tid"], stacks.get(e["tid"])
        if stack is None:
            continue
        event = {"ph": e["ph"], "ts": round(e["ts"] - start * 1e6, 3), "pid": pid, "tid": tid,
                 "name": e["name"], "cat": "call"}
        if e["ph"] == "B":
            used = USES.get((e["name"], stack[-1] if stack else None))
            if used:
                event["args"] = {"uses": used}
            stack.append(e["name"])
        elif stack and stack[-1] == e["name"]:
            stack.pop()
        kept.append(event)
    by_role = {role: tid for tid, role in roles.items()}
    for when, text in output:
        printer = ("producer (takeOrders)" if text == PROMPT or CONFIRMATION.fullmatch(text)
                   else "consumer (processOrders)" if PROCESSING.fullmatch(text) else "main")
        kept.append({"ph": "i", "s": "t", "ts": us(when), "pid": pid, "tid": by_role[printer],
                     "name": text, "cat": "output"})
    kept.sort(key=lambda e: e["ts"])
    threads = [{"ph": "M", "pid": pid, "tid": tid, "name": "thread_name", "args": {"name": role}}
               for tid, role in roles.items()]
    threads.append({"ph": "M", "pid": pid, "name": "process_name", "args": {"name": "orderdesk"}})
    counter = [{"ph": "C", "ts": when, "pid": pid, "name": "orders in the ring",
                "args": {"num_new_orders": count}} for when, count in ring_count(read_day(
                    {"traceEvents": kept})["calls"])]
    version = subprocess.run(["uftrace", "--version"], capture_output=True, text=True).stdout
    return {"traceEvents": threads + kept + counter, "displayTimeUnit": "ms",
            "metadata": {"scenario": scenario, "items": ITEMS, "status": status,
                         "end": us(end), "traced with": version.strip()}}


def record(orderdesk, scenario, path, spurious=None):
    if not shutil.which("uftrace"):
        raise Unreadable("uftrace is not installed (Debian: uftrace)")
    work = tempfile.mkdtemp()
    data = os.path.join(work, "uftrace.data")
    try:
        with open(os.path.join(work, "uftrace.log"), "w+") as log:
            status, pid, start, end, output = run_traced(orderdesk, scenario, data, log,
                                                         spurious)
            try:
                day = trimmed(recorded_calls(data), pid, start, end, output, status, scenario)
                day["metadata"]["spurious wake-up made by gdb"] = spurious
            except Unreadable as why:
                log.seek(0)
                raise Unreadable(f"{why}\nuftrace said: {log.read().strip()}")
    finally:
        shutil.rmtree(work)
    with open(path, "w") as f:
        json.dump(day, f, indent=0)
        f.write("\n")


# Reading a trace

def read_day(trace):
    """The calls of each thread as (name, began, returned or None, what it used, the call
    it was made from), and the printed lines as (time, thread, text)."""
    threads = {e["tid"]: e["args"]["name"] for e in trace["traceEvents"]
               if e["ph"] == "M" and e["name"] == "thread_name"}
    calls, lines, open_calls = [], [], {}
    for e in trace["traceEvents"]:
        stack = open_calls.setdefault(e.get("tid"), [])
        if e["ph"] == "B":
            call = {"name": e["name"], "thread": threads.get(e["tid"], "?"), "began": e["ts"],
                    "returned": None, "uses": e.get("args", {}).get("uses"),
                    "in": stack[-1]["name"] if stack else None}
            stack.append(call)
            calls.append(call)
        elif e["ph"] == "E" and stack:
            stack.pop()["returned"] = e["ts"]
        elif e["ph"] == "i":
            lines.append((e["ts"], threads.get(e["tid"], "?"), e["name"]))
    return {"threads": threads, "calls": calls, "lines": lines,
            "meta": trace.get("metadata", {})}


def ring_count(calls):
    """The count as (time, count) steps: up at each put and down at each take, when the
    call releases data_mutex."""
    changes = sorted((c["began"], +1 if c["in"] == "ringPut" else -1) for c in calls
                     if c["name"] == "pthread_mutex_unlock" and c["in"] in ("ringPut", "ringTake"))
    steps, count = [], 0
    for when, change in changes:
        count += change
        steps.append((when, count))
    return steps


def count_at(steps, when):
    count = 0
    for t, c in steps:
        if t > when:
            break
        count = c
    return count


def violations(day):
    """Every way in which the day broke, as (time in µs or None, what)."""
    found, steps, meta = [], ring_count(day["calls"]), day["meta"]
    for when, count in steps:
        if not 0 <= count <= SLOTS:
            found.append((when, f"{count} orders in a ring of {SLOTS}"))
    for call in day["calls"]:
        if call["name"] != "pthread_cond_wait":
            continue
        count = count_at(steps, call["began"])
        if call["in"] == "ringPut" and count != SLOTS:
            found.append((call["began"], f"the producer waits for room with {count} in the ring"))
        if call["in"] == "ringTake" and count != 0:
            found.append((call["began"], f"the consumer waits for an order with {count} in the ring"))
    items = meta.get("items", ITEMS)
    for kind, pattern in (("confirmed", CONFIRMATION), ("processed", PROCESSING)):
        seen = [(t, tuple(map(int, m.groups()))) for t, _, text in day["lines"]
                if (m := pattern.fullmatch(text))]
        for n, (t, order) in enumerate(seen):
            number, item = order
            if [o for _, o in seen[:n]].count(order):
                found.append((t, f"order {number} {kind} twice"))
            elif n >= len(items) or order != (n, items[n]):
                due = f"order {n}, item {items[n]}" if n < len(items) else "no more orders"
                found.append((t, f"order {number}, item {item}, {kind} where {due} was due"))
        numbers = {o[0] for _, o in seen}
        lost = [n for n in range(len(items)) if n not in numbers]
        if lost:
            found.append((None, f"order{'s' * (len(lost) > 1)} {', '.join(map(str, lost))} "
                                f"never {kind}"))
    after_prompt = False
    for t, _, text in day["lines"]:
        if after_prompt and not CONFIRMATION.fullmatch(text):
            found.append((t, f"{text!r} printed between a prompt and its confirmation"))
        after_prompt = text == PROMPT
        if text != PROMPT and not (CONFIRMATION.fullmatch(text) or PROCESSING.fullmatch(text)
                                   or text == FAREWELL):
            found.append((t, f"unexpected output {text!r}"))
    texts = [text for _, _, text in day["lines"]]
    if meta.get("status") is None:
        found.append((None, "the day did not end: killed after "
                            f"{meta.get('end', 0) / 1e6:.0f} s"))
    elif meta["status"] != 0:
        found.append((None, f"the program ended with status {meta['status']}"))
    elif not texts or texts[-1] != FAREWELL:
        found.append((None, "the farewell is not the last line"))
    return found


def load(path):
    try:
        with open(path) as f:
            day = read_day(json.load(f))
    except (OSError, ValueError, KeyError, TypeError) as why:
        raise Unreadable(f"{path}: {why}")
    if sorted(day["threads"].values()) != sorted(ROLES.values()):
        raise Unreadable(f"{path}: not the three threads of orderdesk")
    return day


# Drawing

RED = "#cb181d"
MAX_NOTES = 8  # kinds of violation listed under a broken day's picture
LANES = {"producer (takeOrders)": 1, "consumer (processOrders)": 0}
BARS = [  # what was observed, on which lane, in which colour
    (lambda c: c["name"] == READ, "at the prompt: the read", "#9ecae1"),
    (lambda c: c["uses"] == "console_mutex" and c["name"] == "pthread_mutex_lock",
     "waiting for console_mutex", "#fb6a4a"),
    (lambda c: c["name"] == "pthread_cond_wait" and c["uses"] == "buffer_full",
     "in put, waiting on buffer_full", "#fdae6b"),
    (lambda c: c["name"] == "pthread_cond_wait" and c["uses"] == "buffer_empty",
     "in take, waiting on buffer_empty", "#d9d9d9"),
    (lambda c: c["name"] == "sleep", "the consumer's second (sleep)", "#a1d99b"),
]


def draw(day, output):
    import matplotlib

    matplotlib.use("svg")
    matplotlib.rcParams["svg.hashsalt"] = "daychart"  # stable ids: redrawn files diff well
    matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text
    import matplotlib.pyplot as plt

    sec = lambda us: us / 1e6
    meta, broke = day["meta"], violations(day)
    end = sec(meta.get("end", max(c["began"] for c in day["calls"])))
    fig, (lanes, count) = plt.subplots(2, 1, sharex=True, figsize=(11, 7.5),
                                       gridspec_kw={"height_ratios": [1.4, 1]})
    title = TITLES.get(meta.get("scenario"), "orderdesk") + ", traced with uftrace"
    if meta.get("spurious wake-up made by gdb"):
        title += (f"\none spurious wake-up of the wait on {meta['spurious wake-up made by gdb']},"
                  " made with gdb")
    fig.suptitle(title + ("\nTHE DAY BROKE" if broke else ""),
                 color=RED if broke else "black")

    for test, label, color in BARS:
        for lane, y in LANES.items():
            spans = [(sec(c["began"]), sec(c["returned"] if c["returned"] is not None
                                           else meta.get("end", c["began"])) - sec(c["began"]))
                     for c in day["calls"] if c["thread"] == lane and test(c)]
            lanes.broken_barh([s for s in spans if s[1] > 0.004], (y - 0.2, 0.4), color=color,
                              label=label if y == 1 else None)
    # Calls into the ring that never returned: a day that hangs.
    for c in day["calls"]:
        if c["name"] in ("ringPut", "ringTake") and c["returned"] is None:
            lanes.broken_barh([(sec(c["began"]), end - sec(c["began"]))],
                              (LANES[c["thread"]] - 0.25, 0.5), facecolor="none",
                              edgecolor=RED, hatch="//", label=f"in {c['name']}, never returned")
    signals = [c for c in day["calls"] if c["name"] == "pthread_cond_signal"]
    for lane, y in LANES.items():
        times = [sec(c["began"]) for c in signals if c["thread"] == lane]
        lanes.plot(times, [y + 0.3] * len(times), "|", color="#54278f", markersize=7,
                   label="signal" if y == 1 else None)
    for marker, pattern, y, color, label in (("v", CONFIRMATION, 1, "#08519c", "confirmation"),
                                             ("^", PROCESSING, 0, "#006d2c", "processing line")):
        printed = [(sec(t), int(m.group(1))) for t, _, text in day["lines"]
                   if (m := pattern.fullmatch(text))]
        lanes.plot([t for t, _ in printed], [y] * len(printed), marker, color=color, label=label)
        label_groups(lanes, printed, y, 17 if y else -17)
    farewell = [sec(t) for t, _, text in day["lines"] if text == FAREWELL]
    for t in farewell:
        lanes.axvline(t, color="grey", linestyle=":")
        lanes.annotate("farewell", (t, 0.5), xytext=(4, 0), textcoords="offset points",
                       va="center", fontsize=9, color="grey")
    lanes.set_yticks(list(LANES.values()), [n.replace(" (", "\n(") for n in LANES])
    lanes.set_ylim(-0.75, 1.75)
    lanes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.02), ncol=4, fontsize=8,
                 frameon=False)

    steps = ring_count(day["calls"])
    count.step([0.0] + [sec(t) for t, _ in steps] + [end],
               [0] + [c for _, c in steps] + [steps[-1][1] if steps else 0], where="post",
               color="#6a51a3", label="orders in the ring (num_new_orders): up at each put "
               "and down at each take, when it releases data_mutex")
    count.axhline(SLOTS, color=RED, linestyle="--", label="the ring's four slots")
    lowest = min([0] + [c for _, c in steps])
    count.set_ylim(min(lowest, 0) - 0.5, max(SLOTS + 1, max([0] + [c for _, c in steps]) + 1))
    count.set_ylabel("orders")
    count.set_xlabel("seconds since the start")
    # Each kind of violation is numbered, marked where it happened, and listed below.
    kinds = {}
    for when, what in broke:
        kinds.setdefault(what, []).append(when)
    notes = []
    for n, (what, times) in enumerate(kinds.items(), 1):
        for when in times:
            t, y = (sec(when), count_at(steps, when)) if when is not None else (end, lowest)
            count.plot([t], [y], "X", color=RED, markersize=9)
            count.annotate(str(n), (t, y), xytext=(5, 5), textcoords="offset points",
                           fontsize=8, color=RED)
        at = ", ".join(f"{sec(w):.2f}" for w in times if w is not None)
        notes.append(f"{n}. {what}" + (f" (at {at} s)" if at else ""))
    if len(notes) > MAX_NOTES:
        notes[MAX_NOTES - 1:] = [f"... and {len(notes) - MAX_NOTES + 1} more: see the tool's output"]
    count.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=1, fontsize=8,
                 frameon=False)
    count.set_xticks(range(0, int(end) + 2, 1 if end < 25 else 5))
    count.set_xlim(-0.3, end + 0.8)
    for ax in lanes, count:
        ax.grid(axis="x", color="#eeeeee")
    below = 0.0
    if notes:
        inches = 0.16 * len(notes) + 0.1
        fig.set_figheight(fig.get_figheight() + inches)
        below = inches / fig.get_figheight()
        fig.text(0.02, 0.01, "\n".join(notes), va="bottom", fontsize=8, color=RED)
    fig.tight_layout(rect=(0, below, 1, 1))
    fig.savefig(output, format="svg", metadata={"Date": None})
    return broke


def label_groups(ax, printed, y, offset):
    """Numbers the orders at their times; orders that come together share one label."""
    groups = []
    for when, n in printed:
        if groups and when - groups[-1][1] < 0.15 and n == groups[-1][2] + 1:
            groups[-1][2] = n
        else:
            groups.append([n, when, n])
    for first, when, last in groups:
        text = str(first) if first == last else f"{first}–{last}"
        ax.annotate(text, (when, y), xytext=(0, offset), textcoords="offset points",
                    ha="center", va="center", fontsize=9)


def summary(day):
    """One line on the day, from the trace."""
    sec = lambda us: us / 1e6
    steps = ring_count(day["calls"])
    highest = max([(c, -t) for t, c in steps] or [(0, 0)])
    waits = [c for c in day["calls"] if c["name"] == "pthread_cond_wait" and c["in"] == "ringPut"]
    held = [sec(c["returned"] - c["began"]) for c in day["calls"]
            if c["thread"].startswith("consumer") and c["uses"] == "console_mutex"
            and c["name"] == "pthread_mutex_lock" and c["returned"] is not None]
    return (f"{day['meta'].get('scenario', '?')} day: {sec(day['meta'].get('end', 0)):.2f} s; "
            f"most orders in the ring: {highest[0]}, first at {sec(-highest[1]):.2f} s; the "
            f"producer waited in put {len(waits)} times, "
            f"{sum(sec(c['returned'] - c['began']) for c in waits if c['returned']):.2f} s in "
            f"all; the consumer's longest wait for the console: {max(held or [0]):.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    rec = sub.add_parser("record", help="trace a day of a -pg build with uftrace")
    rec.add_argument("orderdesk", help="orderdesk built with -pg (the trace preset)")
    rec.add_argument("scenario", choices=TITLES, help="how the ten numbers arrive")
    rec.add_argument("trace", help="the trace-event JSON file to write")
    rec.add_argument("--spurious", choices=("buffer_full", "buffer_empty"),
                     help="with gdb, make the first wait on this condition variable end at "
                          "once, as a spurious wake-up")
    rec.add_argument("--draw", metavar="OUTPUT.svg", help="then draw the day, as draw does")
    drw = sub.add_parser("draw", help="draw a traced day; status 1 if the day broke")
    drw.add_argument("trace", help="a trace written by record")
    drw.add_argument("output", help="the SVG file to write")
    rec.set_defaults(output=None)
    drw.set_defaults(draw=None)
    args = parser.parse_args()
    try:
        if args.command == "record":
            record(args.orderdesk, args.scenario, args.trace, args.spurious)
            if not args.draw:
                return 0
        svg = args.output or args.draw
        day = load(args.trace)
        broke = draw(day, svg)
    except Unreadable as why:
        print(f"daychart: cannot read the day: {why}", file=sys.stderr)
        return 2
    print(summary(day) + f"; drawn in {svg}")
    for when, what in broke:
        print(f"daychart: the day broke{f' at {when / 1e6:.3f} s' if when is not None else ''}: "
              f"{what}")
    return 1 if broke else 0


if __name__ == "__main__":
    sys.exit(main())
