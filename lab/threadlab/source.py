# SPDX-License-Identifier: MIT
"""The code's numbered steps, read from its source: each function, its lines, and the step that
each line belongs to. A step is numbered in a comment at the end of its line (`// 3`); a line
with no number of its own belongs to the step of the line above it that it is nested in (the
wait inside `while (...) {  // 2` is step 2). The ring's two functions are called put and take
in the steps' names, as the model and the tables call them."""

import re
from dataclasses import dataclass

STEP_NAMES = {"ringPut": "put", "ringTake": "take"}
FUNCTION = re.compile(r"^\S.*?\b(\w+)\(.*\{$")
NUMBER = re.compile(r"//\s*(\d+)\s*$")


def step_name(function, number):
    """A step as the tables name it: put 3, takeOrders 4."""
    return f"{STEP_NAMES.get(function, function)} {number}"


@dataclass(frozen=True)
class Line:
    path: str
    number: int
    text: str
    step: int  # or None: no numbered step holds it


def indent(text):
    return len(text) - len(text.lstrip())


def read(path):
    """{function: [Line, ...]} for the functions defined in the file at path."""
    functions, current, steps = {}, None, []
    with open(path) as f:
        for number, text in enumerate(f, 1):
            text = text.rstrip("\n")
            if header := FUNCTION.match(text):
                current, steps = header.group(1), []
                functions[current] = []
                continue
            if current is None:
                continue
            if text.startswith("}"):
                current = None
                continue
            while steps and indent(text) <= indent(steps[-1][1]) and text.strip():
                steps.pop()
            if own := NUMBER.search(text):
                steps.append((int(own.group(1)), text))
            step = steps[-1][0] if steps and (own or indent(text) > indent(steps[-1][1])) else None
            functions[current].append(Line(path, number, text, step))
    return functions


# The calls in the source that each kind of step is made by.
CALLS = {
    "lock": ("pthread_mutex_lock",), "trylock": ("pthread_mutex_trylock",),
    "unlock": ("pthread_mutex_unlock",),
    "wait": ("pthread_cond_wait", "pthread_cond_timedwait"),
    "wake": ("pthread_cond_wait", "pthread_cond_timedwait"),
    "relock": ("pthread_cond_wait", "pthread_cond_timedwait"),
    "signal": ("pthread_cond_signal",), "broadcast": ("pthread_cond_broadcast",),
    "create": ("pthread_create",), "join": ("pthread_join",), "exit": ("pthread_exit",),
    "sleep": ("sleep", "usleep", "nanosleep", "clock_nanosleep"), "yield": ("sched_yield",),
}


class Sources:
    """The functions of a program's source files."""

    def __init__(self, paths):
        self.functions = {}
        for path in paths:
            self.functions.update(read(path))

    def candidates(self, function, kind):
        """The lines in function that make a step of this kind."""
        calls = CALLS.get(kind, ())
        return [line for line in self.functions.get(function, ())
                if any(re.search(rf"\b{call}\s*\(", line.text) for call in calls)]

    def locate(self, function, kind, name=None):
        """The line in function that makes a step of this kind, on the object called name
        where several would do; None where the source has no such line."""
        found = self.candidates(function, kind)
        named = [line for line in found if name and re.search(rf"\b{re.escape(name)}\b", line.text)]
        return (named or found or [None])[0]
