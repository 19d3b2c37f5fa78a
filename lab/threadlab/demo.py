# SPDX-License-Identifier: MIT
"""Breaks the real order desk with one planted fault: shows the fault's patch, then runs on the
faulty program the tool that lab/faults.json names for it, and says what broke. The scheduler
explores every schedule with at most two preemptions and one spurious wake-up; a fault that is
a data race is built with its loads and stores as steps (as lab/cxx builds), and valgrind's
helgrind, watching a real day, is its second witness."""

import io
import os
import sys
import types

from . import day, explore, faults, races


def helgrind(program):
    """A real day under helgrind: 1 when it saw the day break, 0 when not, 2 when it could
    not say."""
    print(f"A day of {os.path.basename(program)} under valgrind's helgrind:", flush=True)
    ran, found = races.helgrind(program)
    if ran.status is None:
        print("demo: helgrind did not end within its limit", file=sys.stderr)
        return 2
    broke = [str(race) for race in found]
    broke += [what for _, what in day.check_output(ran.text)]
    for what in broke:
        print(f"broke: {what}")
    if not broke:
        print("the day stayed whole")
    return 1 if broke else 0


def main(args):
    table = faults.table()
    if args.fault not in table:
        print(f"demo: no fault is called {args.fault}; the faults: {', '.join(table)}",
              file=sys.stderr)
        return 2
    row = table[args.fault]
    program = os.path.join(args.build, "bin", f"orderdesk-{args.fault}")
    print(f"The fault {args.fault}: {row['is']}. Its patch to the real program:\n")
    print(faults.patch(args.fault))
    if row["real"]["tool"] == "helgrind":
        return helgrind(program)
    print("The scheduler (lab/schedule) on it, with its default options:\n", flush=True)
    status = explore.main(types.SimpleNamespace(
        program=program, input=io.BytesIO(day.INPUT.encode()), library=None, source=None,
        bound=20000, cpu_limit=10.0, no_reduction=False, interactive=False, replay=None,
        random=None, preemptions=2, spurious=1, seed=1))
    witness = row["real"].get("witness")
    if witness and witness["tool"] == "helgrind" and status == 1 and not args.alone:
        print("\nIts second witness:", flush=True)
        if helgrind(program) == 2:
            return 2
    return status
