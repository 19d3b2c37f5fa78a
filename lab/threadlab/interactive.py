# SPDX-License-Identifier: MIT
"""Be the scheduler: the program stops before every step, shows where each thread stands, and a
person chooses the next step, or several at once as a schedule string. Each choice runs the
program again from its start along the choices made so far, so going back a step is running
one choice fewer. The screen fits a terminal of 80 columns and 24 lines: a short view by
default, the whole state on a key."""

import signal
import sys

from . import day, scheduler

WIDTH = 80
HELP = """What to type:
  a letter      that thread makes its next step (Enter: the default one)
  p25, c2p      a schedule: 25 steps of p; c, c, then p (as --replay takes it)
  p~  p@        p's wait has a spurious wake-up; p's timed wait times out
  p>c           p's signal wakes c, not the thread that has waited longest
  b  back one step     v  the whole state     s  the schedule so far
  ?  this help         q  quit (Ctrl-D, Ctrl-C too): prints the schedule
In the ring, a slot shows its order and item (0:12 is order 0, item 12); a *
marks an order still waiting to be taken; - is an empty slot. The next slots are
derived from the puts and takes so far: the indices are locals, out of reach."""


def fit(line):
    return line if len(line) <= WIDTH else line[:WIDTH - 1] + "…"


def moves(checks, run):
    """The puts and takes so far, told by the count's rises and falls."""
    puts = takes = 0
    previous = None
    for step in run.steps + [None]:
        count = checks.count(step.watched if step else run.watched)
        if previous is not None and count is not None:
            puts += count > previous
            takes += count < previous
        previous = count
    return puts, takes


def ring_line(checks, run):
    ring, count = checks.ring(run.watched), checks.count(run.watched)
    if ring is None or count is None:
        return None
    puts, takes = moves(checks, run)
    waiting = {(takes + n) % day.SLOTS for n in range(max(0, min(count, day.SLOTS)))}
    slots = "  ".join(f"[{n}] " + (f"{order}:{item}*" if n in waiting else "-")
                      for n, (order, item) in enumerate(ring))
    return f"ring {slots}  count {count}  next: p {puts % day.SLOTS}, c {takes % day.SLOTS}"


def mutexes(session, run):
    names, checks = session.names, session.checks
    owners = {checks.symbol(a) or a: o for a, o in run.owners.items()}
    said = [f"{name} " + ("free" if owner < 0 else f"held by {names.letters.get(owner, '?')}")
            for name, owner in sorted(owners.items())]
    return "mutexes: " + (", ".join(said) or "none used yet")


def thread_lines(session, run, whole=False):
    names, checks = session.names, session.checks
    lines = []
    for thread in run.threads:
        letter, who = names.letters.get(thread.id, "?"), names.who(thread.id)
        short = who.split(" (")[0]
        if thread.ended:
            lines.append(f"{letter} {short:<12} has ended")
            continue
        at, where = names.where(thread.pending, thread.object, thread.caller,
                                names.thread_function(thread))
        target = checks.symbol(thread.object) if thread.pending not in ("join", "start") else ""
        step = {"relock": "takes its mutex back", "start": "starts"}.get(thread.pending,
                                                                          thread.pending)
        if thread.pending == "relock":
            step, target = ("waits on", target) if thread.waiting else (
                "takes back", checks.symbol(thread.mutex))
        if run.can >> thread.id & 1:
            can = "can move"
        elif run.asleep >> thread.id & 1:
            can = f"waits: {letter}~"
        elif run.timed >> thread.id & 1:
            can = f"waits: {letter}@"
        else:
            can = "cannot move"
        place = f"{at} {where}".strip() if whole else at
        lines.append(f"{letter} {(who if whole else short):<12} {place:<22} "
                     f"{step} {target or ''}".rstrip() + f"  [{can}]")
    return lines


def view(session, run, whole=False):
    """The state before the next step: short, or whole."""
    names, checks = session.names, session.checks
    said = [f"after {len(run.steps)} step{'s' * (len(run.steps) != 1)}: "
            f"{names.format(run.chosen()) or '(none yet)'}"]
    if checks.orderdesk:
        said.append(ring_line(checks, run))
    said.append(mutexes(session, run))
    said += thread_lines(session, run, whole)
    lines = run.out.decode(errors="replace").splitlines()[-(4 if whole else 1):]
    said += [f"| {line}" for line in lines]
    return "\n".join(fit(line) for line in said if line)


def default_choice(run, previous):
    """What the default chooser would choose, or None where no thread can move."""
    if run.can >> previous & 1:
        return scheduler.Choice(previous)
    if run.can:
        return scheduler.Choice((run.can & -run.can).bit_length() - 1)
    if run.timed:
        return scheduler.Choice((run.timed & -run.timed).bit_length() - 1, "@")
    return None


def follow(session, choices):
    """The run along choices, stopped at their end; and the choices it could follow (fewer
    where one could not be made, with why)."""
    run = session.run(choices, stop=True)
    if run.verdict != "cannot follow":
        return run, choices, None
    made = len(run.steps)
    if made and run.steps[-1].op == "signal" and choices[made - 1].pick is not None \
            and run.steps[-1].picked < 0:
        made -= 1
    choice = choices[made]
    who = session.names.the(choice.thread)
    why = {"~": "have a spurious wake-up: it does not wait",
           "@": "time out: it is not in a timed wait"}.get(choice.mark, "move now")
    return session.run(choices[:made], stop=True), choices[:made], \
        f"step {made + 1}: {who} cannot {why}"


def main(session, args, ask=input, out=sys.stdout):
    names = session.names
    choices = []
    if getattr(args, "start_from", None):
        try:
            choices = names.parse(args.start_from)
        except ValueError as why:
            print(f"schedule: {why}", file=sys.stderr)
            return 2
    print(fit(f"You are the scheduler of {args.program.split('/')[-1]}: " + ", ".join(
        f"{letter} {names.who(i)}" for i, letter in sorted(names.letters.items())) + "."),
          file=out)
    print("Type a letter or a schedule (p25, c2p); Enter: the default step; ?: help",
          file=out)
    status = 0

    def leave(reason=""):
        print(f"{reason}schedule: {names.format(choices)}", file=out)

    # Ctrl-C ends the session as q does, whatever it interrupts.
    previous_handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        while True:
            run, choices, refused = follow(session, choices)
            if refused:
                print(refused, file=out)
            if run.verdict == "stopped":
                print(view(session, run), file=out)
                failure = session.checks.check_so_far(run)
            else:  # the run ended: it is judged whole
                run = session.run(choices)
                choices = run.chosen()
                print(view(session, run), file=out)
                failure = session.checks.judge(run)
            status = 1 if failure else 0
            if failure:
                print(fit(f"failed: {failure.what}"), file=out)
                print("b goes back a step; v shows the whole state; q ends", file=out)
            elif run.verdict != "stopped":
                print("the run ended and passed every check; b goes back a step, q ends",
                      file=out)
            previous = choices[-1].thread if choices else 0
            default = default_choice(run, previous) if run.verdict == "stopped" and \
                not failure else None
            if default is None and not failure and run.verdict == "stopped":
                print("no thread can move: a deadlock, unless a waiting thread has a spurious "
                      "wake-up (letter and ~)", file=out)
            shown = names.format([default]) if default else "q"
            while True:  # what only shows something asks again, with no new run
                try:
                    said = ask(f"next [{shown}]: ").strip()
                except EOFError:
                    said = "q"
                if said not in ("s", "v", "?"):
                    break
                print({"s": f"schedule: {names.format(choices)}",
                       "v": view(session, run, whole=True), "?": HELP}[said], file=out)
            if said == "q":
                leave()
                return status
            if said == "b":
                choices = choices[:-1]
                continue
            if not said:
                if default is None:
                    continue
                choices = choices + [default]
                continue
            try:
                choices = choices + names.parse(said)
            except ValueError as why:
                print(fit(str(why)), file=out)
    except KeyboardInterrupt:
        leave("\ninterrupted; ")
        return status
    finally:
        signal.signal(signal.SIGINT, previous_handler)
