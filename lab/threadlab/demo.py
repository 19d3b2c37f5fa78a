# SPDX-License-Identifier: MIT
"""Breaks the real order desk with one planted fault: shows the fault's patch, then runs on the
faulty program the tool that lab/faults.json names for it, and says what broke. The scheduler
explores every schedule with at most two preemptions and one spurious wake-up; valgrind's
helgrind watches a real day for data races, which the scheduler cannot see (it runs one thread
at a time from one synchronisation call to the next, so a load and a store between two calls
are never split)."""

import io
import os
import sys
import types

from . import day, explore, faults, races


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
    print("The scheduler (lab/schedule) on it, with its default options:\n", flush=True)
    return explore.main(types.SimpleNamespace(
        program=program, input=io.BytesIO(day.INPUT.encode()), library=None, source=None,
        bound=20000, cpu_limit=10.0, interactive=False, replay=None, random=None, preemptions=2, spurious=1,
        seed=1))
