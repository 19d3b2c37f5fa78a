#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws a day at the order desk from a real run, as an SVG.

    tools/daychart.py ORDERDESK {piped,typed} OUTPUT.svg

Runs the built ORDERDESK on one of two scenarios: all ten numbers piped at once, or typed
one every 1.5 seconds. It records when each prompt and each output line arrives, checks
that the run was a whole day (ten confirmations and ten processing lines, each in sequence
and with the items given, then the farewell and status 0; otherwise it says why and exits
with status 1), and draws the two threads' lanes, every wait among them, above the ring's
own count. Needs matplotlib (Debian: python3-matplotlib).

The output lines show when each order was confirmed and announced; when it entered and
left the ring follows from the protocol:
- an order is put when the next prompt appears; the last one, which has no next prompt,
  when the ring has room for it, at the take four orders before it;
- an order is taken at the later of its put and the end of the previous order's second.
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
SLOTS = 4

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


def derive(day):
    """Adds to day when each order was put into the ring and taken out of it, and the ring's
    count; raises NotADay if that count ever leaves 0 to 4."""
    prompts, confirmed, processed = day["prompt"], day["confirmed"], day["processed"]
    puts, takes = prompts[1:], []
    for n in range(len(ITEMS)):
        if n == len(puts):  # the last put: the day's tenth order has no prompt after it
            puts.append(max(confirmed[n], takes[n - SLOTS]))
        taken = max(puts[n], processed[n - 1] + 1.0 if n else 0.0)
        # Times are those at which lines arrived; a take is never later than its order's
        # processing line, nor than a put that had to wait for the room it made.
        later = [processed[n]]
        if n + SLOTS < len(prompts) - 1:  # a put seen in the lines, not the last one
            later.append(puts[n + SLOTS])
        takes.append(min([taken] + later))
    day["put"], day["taken"] = puts, takes

    # The count, event by event: puts and takes each in their sequence, merged by time;
    # where lines arrived together, a take goes first wherever its order is in the ring.
    count, steps, n, k = 0, [(0.0, 0)], 0, 0
    while k < len(ITEMS):
        if n < len(ITEMS) and (k == n or puts[n] < takes[k]):
            count, when, n = count + 1, puts[n], n + 1
        else:
            count, when, k = count - 1, takes[k], k + 1
        if not 0 <= count <= SLOTS:
            raise NotADay(f"the ring's count, derived from the lines, is {count} at {when:.3f} s")
        steps.append((when, count))
    day["ring"] = steps
    return day


def steps_of(ups, downs):
    """A count that each time in ups raises and each time in downs lowers, as (seconds,
    count) steps from 0."""
    changes = sorted([(t, +1) for t in ups] + [(t, -1) for t in downs])
    steps, count = [(0.0, 0)], 0
    for when, change in changes:
        count += change
        steps.append((when, count))
    return steps


def highest_count(steps):
    """The highest count and the time when it was first reached."""
    count, earliest = max((c, -t) for t, c in steps)
    return count, -earliest


def console_waits(day):
    """How long the consumer held each order before the console was free to announce it."""
    return [shown - taken for taken, shown in zip(day["taken"], day["processed"])]


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
    fig, (lanes, count, held) = plt.subplots(
        3, 1, sharex=True, figsize=(11, 8.5), gridspec_kw={"height_ratios": [1.3, 1, 0.35]})
    fig.suptitle(TITLES[scenario])

    prompts, confirmed, processed = day["prompt"], day["confirmed"], day["processed"]
    puts, taken = day["put"], day["taken"]
    seconds_end = [0.0] + [p + 1.0 for p in processed[:-1]]
    bar = {"producer": (0.8, 0.4), "consumer": (-0.2, 0.4)}
    for lane, spans, color, label in [
        ("producer", zip(prompts, confirmed), "#9ecae1", "at the prompt, holding the console"),
        ("producer", zip(confirmed, puts), "#fdae6b", "in put, waiting for room in the ring"),
        ("consumer", zip(seconds_end, taken), "#d9d9d9", "in take, waiting for an order"),
        ("consumer", zip(taken, processed), "#fcbba1", "holding an order, waiting for the console"),
        ("consumer", ((p, p + 1.0) for p in processed), "#a1d99b", "one second's work"),
    ]:
        lanes.broken_barh([(a, b - a) for a, b in spans if b - a > 0.005], bar[lane],
                          color=color, label=label)
    lanes.plot(confirmed, [1] * len(confirmed), "v", color="#08519c", label="confirmation")
    lanes.plot(processed, [0] * len(processed), "^", color="#006d2c", label="processing line")
    label_groups(lanes, confirmed, 1, 17)
    label_groups(lanes, processed, 0, -17)
    lanes.axvline(end, color="grey", linestyle=":")
    lanes.annotate("farewell", (end, 0.5), xytext=(4, 0), textcoords="offset points",
                   va="center", fontsize=9, color="grey")
    lanes.set_yticks([1, 0], ["producer\n(takeOrders)", "consumer\n(processOrders)"])
    lanes.set_ylim(-0.75, 1.75)
    lanes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.02), ncol=4, fontsize=8,
                 frameon=False)

    steps = day["ring"]
    highest, when = highest_count(steps)
    count.annotate(f"highest: {highest}", (when, highest), xytext=(6, 6),
                   textcoords="offset points", fontsize=9, color="#6a51a3")
    count.step([t for t, _ in steps] + [end], [c for _, c in steps] + [0], where="post",
               color="#6a51a3", label="orders in the ring (num_new_orders), derived from the "
               "lines: put at the next prompt, taken at the later of its put and the end of "
               "the previous order's second")
    count.axhline(SLOTS, color="#cb181d", linestyle="--", label="the ring's four slots")
    count.set_ylim(0, SLOTS + 1)
    count.set_ylabel("orders")
    count.legend(loc="upper center", bbox_to_anchor=(0.5, -0.04), ncol=1, fontsize=8,
                 frameon=False)

    waiting = steps_of(confirmed, puts)
    held.step([t for t, _ in waiting] + [end], [c for _, c in waiting] + [0], where="post",
              color="#e6550d")
    held.set_ylim(-0.2, 1.4)
    held.set_yticks([0, 1])
    held.set_ylabel("confirmed,\nnot yet put", fontsize=8)
    held.set_xlabel("seconds since the start")
    held.set_xticks(range(int(end) + 2))
    held.set_xlim(-0.3, end + 0.8)
    for ax in lanes, count, held:
        ax.grid(axis="x", color="#eeeeee")
    fig.tight_layout()
    fig.savefig(output, format="svg", metadata={"Date": None})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("orderdesk", help="the built orderdesk program")
    parser.add_argument("scenario", choices=TITLES, help="how the ten numbers arrive")
    parser.add_argument("output", help="the SVG file to write")
    args = parser.parse_args()
    try:
        day = derive(parse_day(*run_day(args.orderdesk, args.scenario)))
    except NotADay as why:
        sys.exit(f"daychart: not a whole day: {why}")
    draw(day, args.scenario, args.output)
    highest, when = highest_count(day["ring"])
    longest = max(console_waits(day))
    print(f"{args.scenario} day: {day['farewell']:.2f} s; order 9 confirmed at "
          f"{day['confirmed'][9]:.2f} s and put at {day['put'][9]:.2f} s; most orders in the "
          f"ring: {highest}, first at {when:.2f} s; longest wait of the consumer for the "
          f"console: {longest:.2f} s, with order {console_waits(day).index(longest)}; "
          f"drawn in {args.output}")

if __name__ == "__main__":
    main()
