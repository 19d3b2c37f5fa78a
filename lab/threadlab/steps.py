# SPDX-License-Identifier: MIT
"""The tie between the code and the model: the order desk's numbered steps, as the code has them
and as the model has them.

Both number their steps in comments (`// 3` in C++, `/* put 3 */` or `/* 3: ... */` in
Promela). For each function this reads every step's number and tells its kind (lock,
wait, copy, count, signal, unlock, print, ...) from the statements of the step itself, and
fails, listing each difference, unless the code and the model have the same steps of the
same kinds. The model is read as SPIN reads it with no fault planted and no variant chosen.
"""

import os
import re

from . import PROJECT, source

# Code functions and the model's functions that are written again from them.
FUNCTIONS = {name: source.STEP_NAMES.get(name, name)
             for name in ("ringPut", "ringTake", "takeOrders", "processOrders", "main")}

# The first kind whose pattern a step's statements match, in this order; the patterns
# cover both the C++ and the Promela way of writing each kind.
KINDS = [
    ("wait", r"pthread_cond_wait|\bwait\("),
    ("create", r"pthread_create|\brun \w+\("),
    ("join", r"pthread_join|^\s*\w+_done;"),
    ("exit", r"pthread_exit|the main thread ends"),
    ("put", r"\bringPut\(|\bput\(\)"),
    ("take", r"\bringTake\(|\btake\(\)"),
    ("unlock", r"pthread_mutex_unlock|\bunlock\("),
    ("lock", r"pthread_mutex_lock|\block\("),
    ("signal", r"pthread_cond_signal|\bsignal\("),
    ("copy", r"new_orders\["),
    ("print", r"std::cout|\b(confirmed|processed)\+\+|farewell = true|the prompt"),
    ("read", r"std::cin|the user's answer"),
    ("count", r"num_new_orders|add_to_count"),
    ("number", r"order_num\b"),
    ("sleep", r"\bsleep\(|a second's work"),
    ("wrap", r"\b(write|read)_slot == "),
]

MODEL_FUNCTION = re.compile(r"^(?:active )?(?:inline|proctype) (\w+)\(")
MODEL_STEP = re.compile(r"/\*\s*(?:(?:put|take) )?(\d+)\b")


def without_faults(lines):
    """The model's lines as the preprocessor leaves them with no switch defined: no fault
    planted, no variant chosen."""
    kept, stack = [], []
    for line in lines:
        directive = re.match(r"\s*#\s*(ifdef|ifndef|else|endif)\b\s*(\w*)", line)
        if not directive:
            if all(stack):
                kept.append(line)
            continue
        word = directive.group(1)
        if word in ("ifdef", "ifndef"):
            # Nothing is defined from outside; #ifndef SPURIOUS and the like keep their default.
            stack.append(word == "ifndef")
        elif word == "else":
            stack[-1] = not stack[-1] if stack else True
        else:
            stack.pop()
    return kept


def kind(statements):
    for name, pattern in KINDS:
        if re.search(pattern, statements, re.M):
            return name
    return "?"


def steps(lines, function_re, step_re, names):
    """{function: [(number, kind), ...]} for the functions in names."""
    found, function = {}, None
    for i, line in enumerate(lines):
        header = function_re.match(line)
        if header:
            function = names.get(header.group(1))
            if function:
                found[function] = []
            continue
        if line.startswith("}"):
            function = None
        step = step_re.search(line)
        if not function or not step:
            continue
        # A step is its own line and what follows it more deeply indented, or as a Promela
        # option (::) or the end of one (od, fi), up to the next step.
        indent = len(line) - len(line.lstrip())
        block = [line]
        for following in lines[i + 1:]:
            deeper = len(following) - len(following.lstrip()) > indent
            option = re.match(r"\s*(::|od\b|fi\b)", following)
            if step_re.search(following) or not (deeper or option) or following.startswith("}"):
                break
            block.append(following)
        found[function].append((int(step.group(1)), kind("\n".join(block))))
    return found


def main(args):
    def read(path):
        with open(path) as f:
            return f.read().splitlines()

    folder = os.path.join(PROJECT, "orderdesk")
    code_lines = read(os.path.join(folder, "ring.cpp")) + read(os.path.join(folder, "orderdesk.cpp"))
    code = steps(code_lines, source.FUNCTION, source.NUMBER, FUNCTIONS)
    theirs_all = steps(without_faults(read(args.model)), MODEL_FUNCTION, MODEL_STEP,
                       {name: name for name in FUNCTIONS.values()})
    differences = []
    for function, name in FUNCTIONS.items():
        ours, theirs = code.get(name, []), theirs_all.get(name, [])
        if ours != theirs:
            differences.append(f"{function}: the code has {ours}\n  the model has {theirs}")
        if [n for n, _ in ours] != list(range(1, len(ours) + 1)):
            differences.append(f"{function}: the code's steps are not numbered 1 to {len(ours)}")
    for function, name in FUNCTIONS.items():
        print(f"{function:<14}" + " ".join(f"{n}:{k}" for n, k in code.get(name, [])))
    if differences:
        print("\nThe code and the model differ:\n" + "\n".join(differences))
        return 1
    print("\nThe code and the model have the same steps.")
    return 0

