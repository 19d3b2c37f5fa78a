# SPDX-License-Identifier: MIT
"""The handout: ring.cpp as a student receives it, made from the project's own files so that
it never drifts from them. The shared state is defined as in orderdesk/ring.cpp; ringPut and
ringTake keep their contracts (from orderdesk/ring.h) and get their numbered steps as comments
(the words of docs/1-protocol.md), with bodies left to write. It builds as it is."""

import os
import re

from . import PROJECT

FUNCTIONS = {"ringPut": ("Put", "void ringPut(int &write_slot, int item_number)",
                         ["(void)write_slot;", "(void)item_number;"]),
             "ringTake": ("Take", "Order ringTake(int &read_slot)",
                          ["(void)read_slot;", "return Order{};"])}


def read(*path):
    with open(os.path.join(PROJECT, *path)) as f:
        return f.read()


def steps(protocol, heading):
    """The numbered steps listed after the paragraph that begins with heading."""
    lines = protocol.splitlines()
    start = next(n for n, line in enumerate(lines) if line.startswith(f"{heading} (`"))
    found = []
    for line in lines[start + 1:]:
        if item := re.match(r"(\d+)\. (.*)", line):
            found.append([int(item.group(1)), item.group(2)])
        elif found and line.startswith("   ") and line.strip():
            found[-1][1] += " " + line.strip()
        elif found and not line.strip():
            break
    # Markdown's marks go; a link to a section of the chapter names the chapter.
    plain = [(n, re.sub(r"\[([^]]*)\]\(#[^)]*\)", r"\1 in docs/1-protocol.md", text))
             for n, text in found]
    return [(n, re.sub(r"\[([^]]*)\]\([^)]*\)", r"\1", text).replace("`", ""))
            for n, text in plain]


def contract(header, function):
    """The comment above the function's declaration in ring.h."""
    lines = header.splitlines()
    at = next(n for n, line in enumerate(lines) if re.search(rf"\b{function}\(", line))
    above = []
    for line in reversed(lines[:at]):
        if not line.startswith("//"):
            break
        above.insert(0, line)
    return above


def wrap(text, prefix, width=100):
    words, lines, line = text.split(), [], prefix
    for word in words:
        if len(line) + len(word) + 1 > width and line.strip() != prefix.strip():
            lines.append(line.rstrip())
            line = prefix + "   "
        line += word + " "
    lines.append(line.rstrip())
    return lines


def make():
    """The handout's text."""
    solution, header, protocol = (read("orderdesk", "ring.cpp"), read("orderdesk", "ring.h"),
                                  read("docs", "1-protocol.md"))
    state = []
    for line in solution.splitlines()[2:]:
        if line.startswith("//"):
            break
        state.append(line)
    out = ["// SPDX-License-Identifier: MIT",
           "// The ring of orders, your part of the order desk: write ringPut and ringTake as "
           "their",
           "// numbered steps say. ring.h says what the two threads share and what each "
           "function",
           "// promises; orderdesk.cpp calls them. Keep each step's number in a comment at "
           "the end",
           "// of its line, as the rest of the program does.",
           '#include "ring.h"', *state]
    for function, (heading, signature, placeholder) in FUNCTIONS.items():
        out += contract(header, function) + [signature + " {"]
        for number, text in steps(protocol, heading):
            out += wrap(f"{number}. {text}", "  // ")
        out += ["  // Until you write the steps: these lines only keep the compiler quiet."]
        out += [f"  {line}" for line in placeholder] + ["}", ""]
    return "\n".join(out).rstrip() + "\n"


def main(args):
    with open(args.output, "w") as f:
        f.write(make())
    print(f"the handout is {args.output}")
    return 0
