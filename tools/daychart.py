#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws a day at the order desk from a real run, as an SVG.

    tools/daychart.py ORDERDESK {piped,typed} OUTPUT.svg

Runs the built ORDERDESK on one of two scenarios: all ten numbers piped at once, or typed
one every 1.5 seconds. It records when each prompt and each output line arrives, checks
that the run was a whole day (ten confirmations and ten processing lines, each in sequence
and with the items given, then the farewell and status 0; otherwise it says why and exits
with status 1), and draws the two threads' lanes above the number of orders confirmed and
not yet announced. Needs matplotlib (Debian: python3-matplotlib).
"""

import argparse
import os
import re
import subprocess
import sys
import threading
import time

ITEMS = [12, 7, 33, 50, 1, 8, 21, 4, 45, 19]
TYPING_INTERVAL = 1.5  # seconds between typed numbers
HARD_LIMIT = 60.0  # seconds; a day still going then is killed

PROMPT = b"Enter a menu item number between 1 and 50: "
CONFIRMATION = re.compile(rb"Got new order! Order number is (-?\d+) and item number: (-?\d+)\n")
PROCESSING = re.compile(rb"Processing order number (-?\d+) with item number: (-?\d+)\n")
FAREWELL = b"Phew! Done with orders for today!\n"

NAMES = {"prompt": "prompts", "confirmed": "confirmations", "processed": "processing lines"}
TITLES = {
    "piped": "orderdesk: all ten numbers piped at once",
    "typed": f"orderdesk: a number typed every {TYPING_INTERVAL} seconds",
}


class NotADay(Exception):
    pass


def run_day(orderdesk, scenario):
    """Runs a day; returns its exit status and its output as (seconds, text) events, one
    for each prompt and one for each complete line."""
    proc = subprocess.Popen([orderdesk], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    start = time.monotonic()
    killer = threading.Timer(HARD_LIMIT, proc.kill)
    killer.start()

    def feed():
        for n, item in enumerate(ITEMS):
            if scenario == "typed":
                time.sleep(max(0.0, start + (n + 1) * TYPING_INTERVAL - time.monotonic()))
            proc.stdin.write(b"%d\n" % item)
            proc.stdin.flush()
        proc.stdin.close()

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    events, pending = [], b""
    while chunk := os.read(proc.stdout.fileno(), 65536):
        now = time.monotonic() - start
        pending += chunk
        while True:
            if pending.startswith(PROMPT):
                events.append((now, PROMPT))
                pending = pending[len(PROMPT):]
            elif b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                events.append((now, line + b"\n"))
            else:
                break
    status = proc.wait()
    killer.cancel()
    if pending:
        events.append((time.monotonic() - start, pending))
    return status, events


def parse_day(status, events):
    """The times of the day's prompts, confirmations and processing lines, order by order,
    and of the farewell; raises NotADay, saying why, unless the run was a whole day."""
    if status != 0:
        raise NotADay(f"the program ended with status {status}")
    day = {"prompt": [], "confirmed": [], "processed": []}
    for when, text in events[:-1]:
        if text == PROMPT:
            day["prompt"].append(when)
            continue
        for kind, pattern in ("confirmed", CONFIRMATION), ("processed", PROCESSING):
            if match := pattern.fullmatch(text):
                n, item = (int(group) for group in match.groups())
                expected = len(day[kind])
                if (n, item) != (expected, ITEMS[expected] if expected < len(ITEMS) else None):
                    raise NotADay(f"{text!r} where order {expected} was due")
                day[kind].append(when)
                break
        else:
            raise NotADay(f"unexpected output {text!r}")
    for kind, times in day.items():
        if len(times) != len(ITEMS):
            raise NotADay(f"{len(times)} {NAMES[kind]}, not {len(ITEMS)}")
    if not events or events[-1][1] != FAREWELL:
        raise NotADay("the farewell is not the last line")
    day["farewell"] = events[-1][0]
    return day


def waiting_counts(day):
    """The number of orders confirmed and not yet announced, as (seconds, count) steps."""
    changes = sorted([(t, +1) for t in day["confirmed"]] + [(t, -1) for t in day["processed"]])
    steps, count = [(0.0, 0)], 0
    for when, change in changes:
        count += change
        steps.append((when, count))
    return steps


def highest_count(steps):
    """The highest count and the time when it was first reached."""
    count, earliest = max((c, -t) for t, c in steps)
    return count, -earliest


def label_groups(ax, times, y, offset):
    """Numbers the orders at their times; orders that come together share one label."""
    groups = []
    for n, when in enumerate(times):
        if groups and when - groups[-1][1] < 0.15:
            groups[-1][2] = n
        else:
            groups.append([n, when, n])
    for first, when, last in groups:
        text = str(first) if first == last else f"{first}–{last}"
        ax.annotate(text, (when, y), xytext=(0, offset), textcoords="offset points",
                    ha="center", va="center", fontsize=9)


def draw(day, scenario, output):
    import matplotlib

    matplotlib.use("svg")
    matplotlib.rcParams["svg.hashsalt"] = "daychart"  # stable ids: redrawn files diff well
    matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text
    import matplotlib.pyplot as plt

    end = day["farewell"]
    fig, (lanes, count) = plt.subplots(2, 1, sharex=True, figsize=(11, 7.5),
                                       gridspec_kw={"height_ratios": [1.1, 1]})
    fig.suptitle(TITLES[scenario])

    prompts, confirmed, processed = day["prompt"], day["confirmed"], day["processed"]
    lanes.broken_barh([(p, c - p) for p, c in zip(prompts, confirmed)], (0.8, 0.4),
                      color="#9ecae1", label="at the prompt, waiting for a number")
    lanes.broken_barh([(c, p - c) for c, p in zip(confirmed, prompts[1:])], (0.8, 0.4),
                      color="#fdae6b", label="putting the order: waits while the ring is full")
    lanes.broken_barh([(p, 1.0) for p in processed], (-0.2, 0.4), color="#a1d99b",
                      label="one second's work after each announcement")
    lanes.plot(confirmed, [1] * len(confirmed), "v", color="#08519c", label="confirmation")
    lanes.plot(processed, [0] * len(processed), "^", color="#006d2c", label="processing line")
    label_groups(lanes, confirmed, 1, 17)
    label_groups(lanes, processed, 0, -17)
    lanes.axvline(end, color="grey", linestyle=":")
    lanes.annotate("farewell", (end, 0.5), xytext=(4, 0), textcoords="offset points",
                   va="center", fontsize=9, color="grey")
    lanes.set_yticks([1, 0], ["taking thread", "processing thread"])
    lanes.set_ylim(-0.75, 1.75)
    lanes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.02), ncol=3, fontsize=8,
                 frameon=False)

    steps = waiting_counts(day)
    highest, when = highest_count(steps)
    count.annotate(f"highest: {highest}", (when, highest), xytext=(6, 8),
                   textcoords="offset points", fontsize=9, color="#6a51a3")
    count.step([t for t, _ in steps] + [end], [c for _, c in steps] + [0], where="post",
               color="#6a51a3", label="orders confirmed and not yet announced, counted from "
               "the output lines. This is not\nthe ring's own count: it also holds the order "
               "that the taking thread has confirmed but\ncannot put yet, and for a moment the "
               "one being announced. So it can stand above\nfour while the ring never does.")
    count.axhline(4, color="#cb181d", linestyle="--", label="the ring's four slots")
    count.set_ylim(0, max(highest, 4) + 1)
    count.set_ylabel("orders")
    count.set_xlabel("seconds since the start")
    count.set_xticks(range(int(end) + 2))
    count.set_xlim(-0.3, end + 0.8)
    count.grid(axis="x", color="#eeeeee")
    lanes.grid(axis="x", color="#eeeeee")
    count.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=2, fontsize=8,
                 frameon=False)
    fig.tight_layout()
    fig.savefig(output, format="svg", metadata={"Date": None})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("orderdesk", help="the built orderdesk program")
    parser.add_argument("scenario", choices=TITLES, help="how the ten numbers arrive")
    parser.add_argument("output", help="the SVG file to write")
    args = parser.parse_args()
    try:
        day = parse_day(*run_day(args.orderdesk, args.scenario))
    except NotADay as why:
        sys.exit(f"daychart: not a whole day: {why}")
    draw(day, args.scenario, args.output)
    highest, when = highest_count(waiting_counts(day))
    print(f"{args.scenario} day: {day['farewell']:.2f} s; order 6 confirmed at "
          f"{day['confirmed'][6]:.2f} s; most orders confirmed and not yet announced: "
          f"{highest}, first at {when:.2f} s; drawn in {args.output}")


if __name__ == "__main__":
    main()
