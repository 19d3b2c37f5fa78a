# SPDX-License-Identifier: MIT
"""The lab's command line: python3 -m threadlab COMMAND ..., one subcommand for each tool."""

import argparse
import os
import signal
import sys

from . import PROJECT, chart, demo, explore, grade, links, model, record, scheduler, steps


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
    parser.add_argument("--from", dest="start_from", metavar="STRING",
                        help="with --interactive: start after this schedule")
    parser.add_argument("--preemptions", "-k", type=int, default=2, metavar="K",
                        help="most preemptions in an explored schedule (default 2)")
    parser.add_argument("--spurious", "-w", type=int, default=1, metavar="W",
                        help="most spurious wake-ups in a schedule (default 1)")
    parser.add_argument("--seed", type=int, default=1, help="the first random schedule's seed")
    parser.add_argument("--no-reduction", action="store_true",
                        help="explore every schedule, even those that reach a state already "
                        "explored (to compare; slower)")
    parser.add_argument("--bound", type=int, default=20000, metavar="STEPS",
                        help="steps a run may take; a run that takes more is run again, fair "
                        "to threads that sleep, with ten times the room, and judged if it "
                        "still goes on; if the first run needs that, every run is made so "
                        "(default 20000)")
    parser.add_argument("--cpu-limit", type=float, default=10.0, metavar="SECONDS",
                        help="CPU time a thread may use between two steps before the tool "
                        "gives up on the run (default 10)")
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
    model_options(commands.add_parser(
        "model", help="the model of the protocol: its failing runs and its tie to the code",
        prog=os.environ.get("THREADLAB_COMMAND", "threadlab model"),
        description="The order desk's protocol as a Promela model, checked by SPIN."))
    daychart_options(commands.add_parser(
        "daychart", help="record a real day at the order desk, and draw it",
        prog=os.environ.get("THREADLAB_COMMAND", "threadlab daychart"),
        description=record.__doc__.split("\n\n")[0] + "\n\n" + chart.__doc__.split("\n\n")[1],
        epilog="Exit status: 0 for a whole day, 1 for a day that broke, 2 when the tool could "
        "not do its job (then it says which tool failed, and leaves no picture or trace).",
        formatter_class=argparse.RawDescriptionHelpFormatter))
    breaking = commands.add_parser(
        "demo", help="break the real program with one planted fault, and say what broke",
        prog=os.environ.get("THREADLAB_COMMAND", "threadlab demo"), description=demo.__doc__,
        epilog="Exit status: 1 when the fault broke the program, 0 when it stayed whole, 2 when "
        "the tool could not do its job.")
    breaking.add_argument("fault", help="a fault of lab/faults.json, as if_in_put")
    breaking.add_argument("build", nargs="?", default=os.path.join(PROJECT, "build",
                                                                   "default"),
                          help="the build folder that holds bin/orderdesk-FAULT (default: "
                          "build/default)")
    breaking.add_argument("--alone", action="store_true", help="the tool that the faults table "
                          "names, without its second witness")
    breaking.set_defaults(run=demo.main)
    grading = commands.add_parser(
        "grade", help="grade a student's ring.cpp, or write the handout",
        prog=os.environ.get("THREADLAB_COMMAND", "threadlab grade"),
        description=grade.__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="The checks, and their points:\n" + "\n".join(
            f"  {name:<16}{points:>3}  {what}" for name, (points, what) in grade.CHECKS.items())
        + "\n\nExit status: 0 when every check passed, 1 when one failed (a ring that does "
        "not build included), 2 when the grader itself could not run.")
    grading.add_argument("ring", nargs="?", help="the student's ring.cpp")
    grading.add_argument("--json", metavar="FILE", help="also write the results as Gradescope's "
                         "results.json")
    grading.add_argument("--points", metavar="FILE", help="a JSON object of check names and "
                         "points, for the checks whose points change")
    grading.add_argument("--handout", metavar="FILE", help="write the handout, ring.cpp as a "
                         "student receives it, instead of grading")
    grading.add_argument("--only", action="append", metavar="CHECK", help="run this check "
                         "(again for more), and what it needs, and no other: for a quick look")
    grading.add_argument("--preemptions", type=int, default=2, metavar="K", help="the "
                         "schedules check explores every schedule with at most K preemptions "
                         "(default 2); fewer is faster and finds less")
    grading.set_defaults(run=grade.main)
    linking = commands.add_parser("links", help="check the Markdown's links, or rewrite those "
                                  "that lead to files not installed", description=links.__doc__)
    what = linking.add_subparsers(dest="what", required=True, metavar="WHAT")
    check = what.add_parser("check", help="list every link that leads nowhere; status 1 if any")
    check.add_argument("root", nargs="?", default=PROJECT, help="the project's folder")
    check.set_defaults(run=links.check_command)
    rewrite = what.add_parser("rewrite", help="rewrite the links to files not in the folder")
    rewrite.add_argument("folder", help="where the Markdown is installed")
    rewrite.add_argument("--where", required=True, help="where what is not installed is found")
    rewrite.set_defaults(run=links.rewrite_command)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (record.ToolFailed, scheduler.ToolFailed) as why:
        print(f"{args.command}: {why}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Its reader has gone (lab/schedule ... | head): it stops, quietly, as a Unix tool
        # does. (Not SIGPIPE's default, which would also end it when a program it runs
        # closes its input early.)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except OSError as why:
        # The machine refused what the tool needed (a full disk, a limit on processes).
        print(f"{args.command}: the tool could not do its job: {why}", file=sys.stderr)
        return 2
    except Exception as why:  # noqa: BLE001 a fault of the tool's own is said, not shown
        if os.environ.get("THREADLAB_DEBUG"):
            raise
        print(f"{args.command}: the tool failed ({type(why).__name__}: {why}); run it again "
              "with THREADLAB_DEBUG=1 for the trace, and report it", file=sys.stderr)
        return 2


def daychart_options(parser):
    commands = parser.add_subparsers(dest="what", required=True, metavar="WHAT")
    rec = commands.add_parser("record", help="record a real day of orderdesk in real time")
    rec.add_argument("program", help="orderdesk, or a faulty copy of it (any dynamic build)")
    rec.add_argument("scenario", choices=record.TITLES, help="how the ten numbers arrive")
    rec.add_argument("trace", help="the trace-event JSON file to write")
    rec.add_argument("--spurious", choices=("buffer_full", "buffer_empty"),
                     help="make the first wait on this condition variable return at once, with "
                     "its mutex held: a spurious wake-up")
    rec.add_argument("--draw", metavar="PICTURE", help="then draw the day, as draw does")
    rec.set_defaults(run=chart.record_command)
    drw = commands.add_parser("draw", help="draw a recorded day; status 1 if the day broke")
    drw.add_argument("trace", help="a trace written by record")
    drw.add_argument("output", help="the picture to write: .svg, .png or .pdf")
    drw.set_defaults(run=chart.draw_command)


def model_options(parser):
    parser.add_argument("--model", default=model.MODEL, help="the Promela model (default: the "
                        "lab's, lab/promela/orderdesk.pml)")
    commands = parser.add_subparsers(dest="what", required=True, metavar="WHAT")
    table = commands.add_parser("table", help="the shortest failing run with a fault, as a table")
    table.add_argument("fault", help="a fault of lab/faults.json")
    files = table.add_mutually_exclusive_group()
    files.add_argument("--write", nargs="+", metavar="FILE", help="write the table into each file")
    files.add_argument("--check", nargs="+", metavar="FILE",
                       help="fail unless each file holds the table as the model gives it now")
    table.add_argument("--keep", metavar="FOLDER", help="keep the model and SPIN's trail of the "
                       "run there, for spin -t to replay")
    table.set_defaults(run=model.table_command)
    forced = commands.add_parser("schedule", help="the shortest failing run with a fault, forced "
                                 "on the real faulty program as a schedule")
    forced.add_argument("fault", help="a fault of lab/faults.json")
    forced.add_argument("program", help="the real program with the fault (orderdesk-FAULT)")
    forced.set_defaults(run=model.schedule_command)
    tie = commands.add_parser("steps", help="fail unless the code's numbered steps are the "
                              "model's, in number, kind and order")
    tie.set_defaults(run=steps.main)


if __name__ == "__main__":
    sys.exit(main())
