# SPDX-License-Identifier: MIT
"""Be the scheduler: the program stops before every step, shows where each thread stands, the
ring and who holds and waits on what, and a person chooses the next step. Each choice runs the
program again from its start along the choices made so far, so going back a step is running
one choice fewer."""

import sys

from . import day, scheduler

HELP = """  a thread's letter: that thread makes its next step (Enter: the default one)
  a letter and ~: that thread's wait ends with no signal, a spurious wake-up
  b: back one step    s: the schedule so far    q: quit"""


def ring_lines(checks, run):
    """The ring and the count as read from the program's memory, and each thread's next slot,
    derived: the slot indices are locals, out of reach. A slot marked * holds a waiting order,
    by the count and the consumer's next slot."""
    ring, count = checks.ring(run.watched), checks.count(run.watched)
    if ring is None or count is None:
        return []
    puts, takes = moves(checks, run)
    waiting = {(takes + n) % day.SLOTS for n in range(max(0, min(count, day.SLOTS)))}
    shown = "  ".join(f"[{n}]{'*' if n in waiting else ' '}order {order}, item {item}"
                      for n, (order, item) in enumerate(ring))
    return [f"ring:    {shown}",
            f"         {day.COUNT} = {count}; the slots and the count are read from the program",
            f"         next slots: producer {puts % day.SLOTS}, consumer {takes % day.SLOTS} "
            "(derived from the puts and takes so far: the indices are locals)"]


def moves(checks, run):
    """The puts and takes so far, told by the count's rises and falls."""
    puts = takes = 0
    previous = None
    for step in run.steps + [None]:
        watched = step.watched if step else run.watched
        count = checks.count(watched)
        if previous is not None and count is not None:
            puts += count > previous
            takes += count < previous
        previous = count
    return puts, takes


def state(session, run):
    names, checks = session.names, session.checks
    said = [f"── after {len(run.steps)} step{'s' * (len(run.steps) != 1)} " + "─" * 40]
    if checks.orderdesk:
        said += ring_lines(checks, run)
    mutexes, owners = [], {checks.symbol(a) or a: o for a, o in run.owners.items()}
    for name in sorted(set(owners) | (set(day.MUTEXES) if checks.orderdesk else set())):
        owner = owners.get(name, -1)
        mutexes.append(f"{name} " + ("free" if owner < 0 else f"held by {names.the(owner)}"))
    said.append("mutexes: " + ("; ".join(mutexes) or "none used yet"))
    waits = {}
    for thread in run.threads:
        if thread.waiting and not thread.ended:
            waits.setdefault(checks.symbol(thread.object), []).append(names.who(thread.id))
    said.append("waiting: " + ("; ".join(f"on {c}: {', '.join(w)}" for c, w in waits.items())
                               or "no thread waits on a condition variable"))
    said.append("threads:")
    for thread in run.threads:
        letter, who = names.letters.get(thread.id, "?"), names.who(thread.id)
        if thread.ended:
            said.append(f"  {letter}  {who:<26} has ended")
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
            can = f"waits; only a spurious wake-up moves it: {letter}~"
        else:
            can = "cannot move"
        said.append(f"  {letter}  {who:<26} next: {at} {where:<18} {step} {target or ''}"
                    .rstrip() + f"  [{can}]")
    lines = run.out.decode(errors="replace").splitlines()[-4:]
    said.append("output, last lines:" + "".join(f"\n  | {line}" for line in lines))
    return "\n".join(line for line in said if line is not None)


def main(session, args, ask=input, out=sys.stdout):
    names = session.names
    print(f"You are the scheduler of {args.program}. Threads: " + ", ".join(
        f"{letter} {names.who(i)}" for i, letter in sorted(names.letters.items())) + ".",
          file=out)
    print(HELP, file=out)
    choices = []
    while True:
        run = session.run(choices, stop=True)
        if run.verdict != "stopped":
            break
        print(state(session, run), file=out)
        failure = session.checks.check_so_far(run)
        if failure:  # it went wrong with the last step: no need to run on
            session.report(run, failure, out)
            return 1
        previous = choices[-1][0] if choices else 0
        default = previous if run.can >> previous & 1 else (run.can & -run.can).bit_length() - 1
        if not run.can:
            print("no thread can move: a deadlock, unless you give a waiting thread a spurious "
                  "wake-up", file=out)
        try:
            said = ask(f"next [{names.letters.get(default, '') if run.can else 'q'}]: ").strip()
        except EOFError:
            said = "q"
        if said == "q":
            print(f"schedule: {names.format(choices)}", file=out)
            return 0
        if said == "b":
            choices = choices[:-1]
            continue
        if said == "s":
            print(f"schedule: {names.format(choices)}", file=out)
            continue
        if said == "?":
            print(HELP, file=out)
            continue
        try:
            chosen = names.parse(said) if said else [scheduler.Choice(default)] if run.can \
                else None
            if chosen is None:
                break
        except ValueError as why:
            print(why, file=out)
            continue
        choice = chosen[0]
        allowed = {"~": run.asleep, "@": run.timed}.get(choice.mark, run.can)
        if not allowed >> choice.thread & 1:
            print(f"{names.the(choice.thread)} cannot "
                  + {"~": "have a spurious wake-up: it does not wait",
                     "@": "time out: it is not in a timed wait"}.get(choice.mark, "move now"),
                  file=out)
            continue
        choices.append(chosen[0])
    run = session.run(choices)
    print(run.out.decode(errors="replace"), end="" if run.out.endswith(b"\n") else "\n", file=out)
    failure = session.checks.check(run)
    if failure:
        session.report(run, failure, out)
        return 1
    print(f"the run ended and passed every check; schedule: {names.format(choices)}", file=out)
    return 0
