# SPDX-License-Identifier: MIT
"""A day at the order desk as the tools know it: its lines, its threads' roles, and the rules
of a correct day, checked on what the program printed."""

import re

ORDERS = 10
SLOTS = 4
ITEMS = [12, 7, 33, 50, 1, 8, 21, 4, 45, 19]  # the lab's day: one number for each order
INPUT = "".join(f"{item}\n" for item in ITEMS)

PROMPT = "Enter a menu item number between 1 and 50: "
CONFIRMATION = re.compile(r"Got new order! Order number is (-?\d+) and item number: (-?\d+)")
PROCESSING = re.compile(r"Processing order number (-?\d+) with item number: (-?\d+)")
FAREWELL = "Phew! Done with orders for today!"

# The threads by the function each runs, and the word the tools use for each.
ROLES = {"takeOrders": "producer", "processOrders": "consumer", "main": "main"}
# The shared state that the tools read from the program's memory, by name.
COUNT = "num_new_orders"
RING = "new_orders"
NEXT_ORDER = "order_num"
MUTEXES = ("data_mutex", "console_mutex")


def confirmation(number, item):
    return f"Got new order! Order number is {number} and item number: {item}"


def processing(number, item):
    return f"Processing order number {number} with item number: {item}"


def expected(items):
    """What a day prints for these items, as each thread prints it: the producer's prompts
    and confirmations; the consumer's announcements; main's farewell."""
    return ("".join(f"{PROMPT}{confirmation(n, i)}\n" for n, i in enumerate(items)),
            "".join(f"{processing(n, i)}\n" for n, i in enumerate(items)), FAREWELL + "\n")


def role(function):
    """'producer (takeOrders)' for a thread that runs takeOrders; a function's own name for
    a thread that has no role here."""
    name = ROLES.get(function)
    return function if name is None or name == function else f"{name} ({function})"


def pieces(text):
    """The prompts and whole lines in text, in order, and what is left after them."""
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


def violations(lines, items=None, ended=True):
    """Every way in which a day's printed lines (prompts included, as pieces() gives them)
    break the rules, as (index of the line or None, what). Each order is confirmed and
    processed once, in sequence, with the item it was confirmed with (and, given items, with
    the item typed); nothing comes between a prompt and its confirmation; the farewell comes
    last. With ended false, the day is still going: what has not come yet is no fault."""
    found = []
    confirmed = {}
    for kind, pattern in (("confirmed", CONFIRMATION), ("processed", PROCESSING)):
        seen = [(n, tuple(map(int, m.groups()))) for n, text in enumerate(lines)
                if (m := pattern.fullmatch(text))]
        for count, (at, order) in enumerate(seen):
            number, item = order
            due = items[count] if items and count < len(items) else confirmed.get(count)
            if order in [o for _, o in seen[:count]]:
                found.append((at, f"order {number} {kind} twice"))
            elif count >= ORDERS or number != count or (due is not None and item != due):
                wanted = (f"order {count}" + (f", item {due}" if due is not None else "")
                          if count < ORDERS else "no more orders")
                found.append((at, f"order {number}, item {item}, {kind} where {wanted} was due"))
            if kind == "confirmed":
                confirmed.setdefault(number, item)
        numbers = {order[0] for _, order in seen}
        lost = [n for n in range(ORDERS) if n not in numbers]
        if lost and ended:
            found.append((None, f"order{'s' * (len(lost) > 1)} {', '.join(map(str, lost))} "
                                f"never {kind}"))
    for n, text in enumerate(lines):
        if n and lines[n - 1] == PROMPT and not CONFIRMATION.fullmatch(text):
            found.append((n, f"{text!r} printed between a prompt and its confirmation"))
        if text != PROMPT and not (CONFIRMATION.fullmatch(text) or PROCESSING.fullmatch(text)
                                   or text == FAREWELL):
            found.append((n, f"unexpected output {text!r}"))
    if ended and (not lines or lines[-1] != FAREWELL):
        found.append((None, "the farewell is not the last line"))
    return found


def check_output(text, ended=True):
    """violations() of a day's whole output, a line left unfinished at its end included."""
    lines, rest = pieces(text)
    return violations(lines + ([rest] if rest else []), ended=ended)
