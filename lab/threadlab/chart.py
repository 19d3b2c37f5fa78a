# SPDX-License-Identifier: MIT
"""Draws a day at the order desk from its trace (threadlab.record writes one), and checks it.

The picture: the two threads' lanes with every call that was seen to take time, every signal
and every printed line, and below them the ring's count as read from the program. The checks,
made as it draws: the count stays within 0 to 4; each order is confirmed and processed once, in
sequence and with its item; the producer waits in put only while four orders wait, the consumer
in take only while none does; the day ends with the farewell and status 0. Each violation is
drawn where it happened and said. A call that never returned (a day that hangs) is drawn open
to the end."""

import importlib.util
import json
import os
import subprocess
import sys
import types

from . import day as orders
from .record import READ, TITLES, ToolFailed

FORMATS = {".svg": "svg", ".png": "png", ".pdf": "pdf"}


# Reading a trace

def read_day(trace):
    """The calls of each thread as dicts (name, thread, began, returned or None, what it used,
    the function it was made in, the count it read), the printed lines as (time, thread, text),
    and the count's steps as (time, count)."""
    threads = {e["tid"]: e["args"]["name"] for e in trace["traceEvents"]
               if e["ph"] == "M" and e["name"] == "thread_name"}
    calls, lines, steps, open_calls = [], [], [], {}
    for e in trace["traceEvents"]:
        stack = open_calls.setdefault(e.get("tid"), [])
        if e["ph"] == "B":
            args = e.get("args", {})
            call = {"name": e["name"], "thread": threads.get(e["tid"], "?"), "began": e["ts"],
                    "returned": None, "uses": args.get("uses"), "in": args.get("in"),
                    "count": args.get(orders.COUNT), "spurious": "spurious wake-up" in args}
            stack.append(call)
            calls.append(call)
        elif e["ph"] == "E" and stack:
            stack.pop()["returned"] = e["ts"]
        elif e["ph"] == "i":
            lines.append((e["ts"], threads.get(e["tid"], "?"), e["name"]))
        elif e["ph"] == "C":
            steps.append((e["ts"], e["args"][orders.COUNT]))
    return {"threads": threads, "calls": calls, "lines": lines, "steps": steps,
            "meta": trace.get("metadata", {})}


def count_at(steps, when):
    count = 0
    for t, c in steps:
        if t > when:
            break
        count = c
    return count


def violations(day):
    """Every way in which the day broke, as (time in µs or None, what)."""
    found, meta = [], day["meta"]
    for when, count in day["steps"]:
        if not 0 <= count <= orders.SLOTS:
            found.append((when, f"{count} orders in a ring of {orders.SLOTS}"))
    for call in day["calls"]:
        if call["name"] != "pthread_cond_wait" or call["count"] is None:
            continue
        if call["uses"] == "buffer_full" and call["count"] != orders.SLOTS:
            found.append((call["began"], "the producer waits for room with "
                                         f"{call['count']} in the ring"))
        if call["uses"] == "buffer_empty" and call["count"] != 0:
            found.append((call["began"], "the consumer waits for an order with "
                                         f"{call['count']} in the ring"))
    texts = [text for _, _, text in day["lines"]]
    ended = meta.get("status") is not None
    for at, what in orders.violations(texts, meta.get("items", orders.ITEMS), ended):
        found.append((day["lines"][at][0] if at is not None else None, what))
    if not ended:
        found.append((None, "the day did not end: killed after "
                            f"{meta.get('end', 0) / 1e6:.0f} s"))
    elif meta["status"] != 0:
        found.append((None, f"the program ended with status {meta['status']}"))
    return found


def load(path):
    try:
        with open(path) as f:
            day = read_day(json.load(f))
    except (OSError, ValueError, KeyError, TypeError) as why:
        raise ToolFailed(f"{path}: {why}") from None
    if sorted(day["threads"].values()) != sorted(orders.role(f) for f in orders.ROLES):
        raise ToolFailed(f"{path}: not the three threads of orderdesk")
    return day


def can_plot(python):
    return subprocess.run([python, "-c", "import matplotlib"], capture_output=True).returncode == 0


def matplotlib_here():
    """Goes on where matplotlib can be imported. Where it cannot, runs the same command again
    with the system's Python if that has it (a venv, pyenv or conda Python may come first on
    the PATH), or says in one line what is missing."""
    if importlib.util.find_spec("matplotlib") is not None:
        return
    system = "/usr/bin/python3"
    # A venv's python3 may be the system's very binary, with another path to its modules.
    another = os.path.realpath(system) != os.path.realpath(sys.executable) \
        or sys.prefix != sys.base_prefix
    if another and not os.environ.get("THREADLAB_PLOTTING") and os.access(system, os.X_OK) \
            and can_plot(system):
        sys.stdout.flush()
        os.environ["THREADLAB_PLOTTING"] = system  # once: never again from there
        os.execv(system, [system, "-m", "threadlab", *sys.argv[1:]])
    raise ToolFailed(f"drawing needs matplotlib, which {sys.executable} cannot import: install "
                     "it with apt install python3-matplotlib (pip: matplotlib)")


def picture_format(path):
    kind = FORMATS.get(os.path.splitext(path)[1].lower())
    if kind is None:
        raise ToolFailed(f"{path}: a picture is written as " + ", ".join(FORMATS) +
                         ", told by its name")
    return kind


# Drawing

RED = "#cb181d"
MAX_NOTES = 8  # kinds of violation listed under a broken day's picture
LANES = {orders.role("takeOrders"): 1, orders.role("processOrders"): 0}
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

    matplotlib.use("agg")
    matplotlib.rcParams["svg.hashsalt"] = "daychart"  # stable ids: redrawn files diff well
    matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text
    import matplotlib.pyplot as plt

    sec = lambda us: us / 1e6
    meta, broke = day["meta"], violations(day)
    end = sec(meta.get("end", max(c["began"] for c in day["calls"])))
    steps = day["steps"]
    fig, (lanes, count) = plt.subplots(2, 1, sharex=True, figsize=(11, 7.5),
                                       gridspec_kw={"height_ratios": [1.4, 1]})
    title = TITLES.get(meta.get("scenario"), "orderdesk") + ", recorded"
    if meta.get("spurious wake-up made by the recorder"):
        title += ("\none spurious wake-up of the wait on "
                  f"{meta['spurious wake-up made by the recorder']}, made by the recorder")
    fig.suptitle(title + ("\nTHE DAY BROKE" if broke else ""),
                 color=RED if broke else "black")

    for test, label, color in BARS:
        for lane, y in LANES.items():
            spans = [(sec(c["began"]), sec(c["returned"] if c["returned"] is not None
                                           else meta.get("end", c["began"])) - sec(c["began"]))
                     for c in day["calls"] if c["thread"] == lane and test(c)]
            lanes.broken_barh([s for s in spans if s[1] > 0.004], (y - 0.2, 0.4), color=color,
                              label=label if y == 1 else None)
    # Calls that never returned: a day that hangs.
    for c in day["calls"]:
        if c["returned"] is None and c["thread"] in LANES and c["name"] != "pthread_exit":
            lanes.broken_barh([(sec(c["began"]), end - sec(c["began"]))],
                              (LANES[c["thread"]] - 0.25, 0.5), facecolor="none",
                              edgecolor=RED, hatch="//",
                              label=f"{c['name']} on {c['uses']}, never returned")
    signals = [c for c in day["calls"] if c["name"] == "pthread_cond_signal"]
    for lane, y in LANES.items():
        times = [sec(c["began"]) for c in signals if c["thread"] == lane]
        lanes.plot(times, [y + 0.3] * len(times), "|", color="#54278f", markersize=7,
                   label="signal" if y == 1 else None)
    for marker, pattern, y, color, label in (("v", orders.CONFIRMATION, 1, "#08519c",
                                              "confirmation"),
                                             ("^", orders.PROCESSING, 0, "#006d2c",
                                              "processing line")):
        printed = [(sec(t), int(m.group(1))) for t, _, text in day["lines"]
                   if (m := pattern.fullmatch(text))]
        lanes.plot([t for t, _ in printed], [y] * len(printed), marker, color=color, label=label)
        label_groups(lanes, printed, y, 17 if y else -17)
    farewell = [sec(t) for t, _, text in day["lines"] if text == orders.FAREWELL]
    for t in farewell:
        lanes.axvline(t, color="grey", linestyle=":")
        lanes.annotate("farewell", (t, 0.5), xytext=(4, 0), textcoords="offset points",
                       va="center", fontsize=9, color="grey")
    lanes.set_yticks(list(LANES.values()), [n.replace(" (", "\n(") for n in LANES])
    lanes.set_ylim(-0.75, 1.75)
    lanes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.02), ncol=4, fontsize=8,
                 frameon=False)

    count.step([0.0] + [sec(t) for t, _ in steps] + [end],
               [0] + [c for _, c in steps] + [steps[-1][1] if steps else 0], where="post",
               color="#6a51a3", label="orders in the ring (num_new_orders), read from the "
               "program at each unlock of data_mutex")
    count.axhline(orders.SLOTS, color=RED, linestyle="--", label="the ring's four slots")
    lowest = min([0] + [c for _, c in steps])
    count.set_ylim(min(lowest, 0) - 0.5, max(orders.SLOTS + 1, max([0] + [c for _, c in steps]) + 1))
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
    kind = picture_format(output)
    written = output + ".part"
    fig.savefig(written, format=kind, metadata={"Date": None} if kind == "svg" else None)
    os.replace(written, output)
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
    steps = day["steps"]
    highest = max([(c, -t) for t, c in steps] or [(0, 0)])
    waits = [c for c in day["calls"] if c["name"] == "pthread_cond_wait"
             and c["uses"] == "buffer_full"]
    held = [sec(c["returned"] - c["began"]) for c in day["calls"]
            if c["thread"].startswith("consumer") and c["uses"] == "console_mutex"
            and c["name"] == "pthread_mutex_lock" and c["returned"] is not None]
    return (f"{day['meta'].get('scenario', '?')} day: {sec(day['meta'].get('end', 0)):.2f} s; "
            f"most orders in the ring: {highest[0]}, first at {sec(-highest[1]):.2f} s; the "
            f"producer waited in put {len(waits)} times, "
            f"{sum(sec(c['returned'] - c['began']) for c in waits if c['returned']):.2f} s in "
            f"all; the consumer's longest wait for the console: {max(held or [0]):.2f} s")


def record_command(args):
    """lab/daychart record: records a day, and draws it with --draw."""
    from . import record

    for path in (args.trace, args.draw):
        if path and os.path.exists(path):
            os.remove(path)  # what this run fails to write must not be left as its
    if args.draw:
        picture_format(args.draw)
        matplotlib_here()
    record.record(args.program, args.scenario, args.trace, args.spurious)
    if not args.draw:
        print(f"recorded in {args.trace}")
        return 0
    return draw_command(types.SimpleNamespace(trace=args.trace, output=args.draw))


def draw_command(args):
    """lab/daychart draw: draws a recorded day; status 1 if the day broke."""
    if os.path.exists(args.output):
        os.remove(args.output)
    picture_format(args.output)
    matplotlib_here()
    day = load(args.trace)
    broke = draw(day, args.output)
    print(summary(day) + f"; drawn in {args.output}")
    for when, what in broke:
        print(f"daychart: the day broke{f' at {when / 1e6:.3f} s' if when is not None else ''}: "
              f"{what}")
    return 1 if broke else 0

