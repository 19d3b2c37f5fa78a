# SPDX-License-Identifier: MIT
"""The lab's command line: python3 -m threadlab COMMAND ..., one subcommand for each tool."""

import argparse
import os
import sys

from . import explore, scheduler


def schedule_options(parser):
    parser.add_argument("program", help="a dynamically linked program (orderdesk, a faulty copy "
                        "of it, hellospawn, the counter)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--replay", metavar="STRING", help="run one schedule, given as its string, "
                      "and print each step and the output")
    mode.add_argument("--explore", action="store_true", help="run every schedule up to the bounds "
                      "below (what is done when no other mode is given)")
    mode.add_argument("--random", type=int, metavar="N", help="run N random schedules")
    mode.add_argument("--interactive", action="store_true", help="be the scheduler: choose each "
                      "step yourself")
    parser.add_argument("--preemptions", "-k", type=int, default=2, metavar="K",
                        help="most preemptions in an explored schedule (default 2)")
    parser.add_argument("--spurious", "-w", type=int, default=1, metavar="W",
                        help="most spurious wake-ups in a schedule (default 1)")
    parser.add_argument("--seed", type=int, default=1, help="the first random schedule's seed")
    parser.add_argument("--bound", type=int, default=20000, metavar="STEPS",
                        help="steps a run may take before its thread counts as spinning")
    parser.add_argument("--input", type=argparse.FileType("rb"), metavar="FILE",
                        help="the day's input (default: standard input, or the lab's ten "
                        "numbers when that is a terminal)")
    parser.add_argument("--library", help="the scheduler library (default: the one built for "
                        "the program's processor, in its build folder or build/default)")
    parser.add_argument("--source", action="append", metavar="FILE",
                        help="a source file to name steps from (default: those the program's "
                        "debug information names)")
    parser.set_defaults(run=explore.main)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="threadlab", description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    schedule_options(commands.add_parser(
        "schedule", help="run a program one step at a time: replay, explore, random, by hand",
        prog=os.environ.get("THREADLAB_COMMAND", "threadlab schedule"),
        description=explore.__doc__.split("\n\n")[0],
        epilog=scheduler.__doc__.split("\n\n", 1)[1] + "\n\nExit status: 0 when every "
        "schedule passed, 1 when one failed, 2 when the tool could not do its job.",
        formatter_class=argparse.RawDescriptionHelpFormatter))
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
