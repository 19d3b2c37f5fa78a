# SPDX-License-Identifier: MIT
"""Runs a program one step at a time under the scheduler, and checks every run.

Four choosers: replay one schedule; explore every schedule with at most K preemptions and W
spurious wake-ups (iterative context bounding: all schedules with no preemption first, then
with one, then two); try random schedules; or let a person choose each step. A preemption is a
step of another thread while the thread that moved last could still move; a thread that blocks
hands over without one.

Every run is checked: no deadlock (said at once, with where each thread waits), no crash, no
use of the thread library against its rules, no thread that busy-waits or livelock (a run
longer than its bound in steps, again fair to threads that sleep), exit status 0; and for the
order desk, the rules of a day (each order confirmed and processed once, in sequence, with its
item; nothing between a prompt and its confirmation; the farewell last), the count within 0 to
4 as read from the program's memory, and no thread holding both mutexes. A data race is not
seen: a thread runs alone from one synchronisation call to the next, and a load and a store
between two calls are never split.

What the tool cannot judge is its own failure, never the program's: a thread that uses a
great deal of CPU time without a step, or sleeps in a call that is not a step, a call that the
scheduler does not model, a run killed from outside. Then it says why, with status 2.
"""

import collections
import os
import queue
import re
import signal
import struct
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

from . import day, reduction, scheduler, tables

HELLO = re.compile(rb"Hello World from thread with arg: -?\d+!\n\Z")
# What a thread that cannot move waits for, by its pending step.
CALLS = {"lock": "locks", "trylock": "tries to lock", "unlock": "unlocks",
         "relock": "takes back", "rdlock": "read-locks", "wrlock": "write-locks",
         "rwunlock": "unlocks", "semwait": "waits on", "sempost": "posts", "barrier":
         "waits at", "join": "joins", "exit": "ends", "spinlock": "spins for",
         "spinunlock": "unlocks"}
WAITS_FOR = {"rdlock": "to read-lock", "wrlock": "to write-lock", "spinlock": "for",
             "semwait": "on semaphore", "leave": "at barrier", "once": "for the once of"}


@dataclass
class Failure:
    what: str       # one line
    step: int       # the step after which it showed, or None
    detail: list = field(default_factory=list)
    ending: str = ""  # the table's last row


def running(run):
    """The thread that ran when the run ended: the last that made a step of its own."""
    return next((step.thread for step in reversed(run.steps)
                 if not step.spurious and not step.timeout), 0)


class Checks:
    """What every run of one program must show, and how its steps are told."""

    def __init__(self, server, names):
        self.names = names
        program = server.program
        self.orderdesk = all(n in program.by_name for n in ("takeOrders", "processOrders"))
        self.hello = "PrintHello" in program.by_name
        self.offsets, at = {}, 0
        for symbol in server.watch:
            self.offsets[symbol.name] = at
            at += symbol.size
        self.symbols = {}
        self.judged = {}  # output and verdict: None for a day without fault
        self.racy = set()  # the memory in a data race, in the run being told

    def symbol(self, address):
        if address not in self.symbols:
            self.symbols[address] = self.names.symbol(address)
        return self.symbols[address]

    def variable(self, address):
        """Memory named as its code names it: a variable, a field of one (new_orders[1] and
        its second int), or, on the heap, its address."""
        if not address.startswith("e"):
            return f"memory at 0x{address}"
        found = self.names.program.variable_at(int(address[1:], 16))
        if found is None:
            return f"memory at {address[1:]} in the program"
        offset = int(address[1:], 16) - found.address
        return found.name if offset == 0 else f"{found.name}+{offset}"

    def race(self, run, steps=True):
        """The run's first data race, in words: the two accesses, each with its thread,
        function and line (and, with steps, the step of the run); or None."""
        step, other, address, size = run.race
        if step < 0:
            return None
        names = self.names

        def access(n):
            made = run.steps[n]
            where = names.function(made.caller) or "a library"
            line = names.line(made.caller)
            verb = {"load": "loads", "store": "stores", "update": "updates"}[made.op]
            return (f"{names.the(made.thread)} {verb} it in {where}"
                    + (f" ({line})" if line else "") + (f", step {n + 1}" if steps else ""))

        said = f"data race on {self.variable(address)}: " + access(step)
        if other >= 0:
            said += ", and " + access(other)
        return said + ", and neither happens before the other"

    def judge(self, run):
        """check(), and a data race as a failure where nothing else is wrong."""
        failure = self.check(run)
        if failure:
            self.add_race(run, failure)
            return failure
        return self.raced(run) if run.race[0] >= 0 else None

    def raced(self, run):
        """A run with a data race, and nothing else wrong, as a failure."""
        return Failure(self.race(run), run.race[0], ending="two threads race")

    def add_race(self, run, failure):
        """A failing run that also raced says so, under the failure."""
        race = self.race(run)
        told = failure.what.startswith("data race") or any(
            line.startswith("data race") for line in failure.detail)
        if race and not told:
            failure.detail.insert(0, race)

    def read(self, watched, name, count=1):
        if name not in self.offsets or len(watched) < self.offsets[name] + 4 * count:
            return None
        return list(struct.unpack_from(f"<{count}i", watched, self.offsets[name]))

    def count(self, watched):
        at = self.offsets.get(day.COUNT)
        if at is None or len(watched) < at + 4:
            return None
        return int.from_bytes(watched[at:at + 4], "little", signed=True)

    def ring(self, watched):
        found = self.read(watched, day.RING, 2 * day.SLOTS)
        return None if found is None else [tuple(found[i:i + 2]) for i in range(0, len(found), 2)]

    # The checks, in the order in which their failures are told.

    def check(self, run):
        return (self.ending(run) or (self.order_desk(run) if self.orderdesk else None)
                or self.status(run))

    def check_so_far(self, run):
        """The checks that a run stopped halfway can fail already; its state now counts as a
        step's."""
        if not self.orderdesk:
            return None
        now = scheduler.Step(-1, "none", 4, -1, -1, run.can, run.asleep, run.timed, 0, "0", "0",
                             "0", len(run.out), run.watched)
        return self.order_desk(scheduler.Run(**{**run.__dict__, "steps": run.steps + [now]}))

    def ending(self, run):
        last = len(run.steps) - 1
        who = self.names.the(running(run))
        if run.how == "killed outside":
            raise scheduler.ToolFailed("a run was killed from outside (SIGKILL), not by the "
                                       "program or the scheduler: the system may be short of "
                                       "memory")
        if run.how == "wall":
            raise scheduler.ToolFailed("a run took more than ten minutes on the clock: the "
                                       "machine is too busy for the scheduler to finish it")
        if run.how == "spun":
            raise scheduler.ToolFailed(
                f"{who} ran for {run.detail / 1000:.0f} s of CPU time without a step: it spins "
                "on memory (a busy wait that calls nothing the scheduler sees), or computes for "
                "longer than --cpu-limit allows. The scheduler lets another thread move only at "
                "a step, so it cannot judge this run")
        if run.how == "blocked":
            raise scheduler.ToolFailed(
                f"{who} is blocked in {scheduler.blocked_call(run.detail)}, which is not a step: "
                "the scheduler does not model that call, and cannot judge the run")
        if run.verdict == "refused":
            where = self.names.function(run.culprit_caller)
            raise scheduler.ToolFailed(scheduler.REFUSALS[run.code]
                                       + (f" (in {where})" if where else ""))
        if run.signal:
            name = signal.Signals(run.signal).name
            said = run.err.decode(errors="replace").strip().splitlines()
            return Failure(f"the program crashed with {name}", last, said[-3:],
                           ending=f"the program crashes with {name}")
        if run.verdict == "deadlock":
            return Failure("deadlock: no thread can move, and the program has not ended", last,
                           self.positions(run), ending="no thread can move, and the program "
                           "has not ended: a deadlock")
        if run.verdict == "fault":
            culprit = self.names.the(run.culprit)
            what = scheduler.FAULTS[run.code].format(object=self.symbol(run.culprit_object),
                                                     mutex=self.symbol(run.culprit_mutex))
            where = self.names.function(run.culprit_caller)
            return Failure(f"{culprit} {what}" + (f" in {where}" if where else "")
                           + ": undefined in POSIX", last,
                           ending=f"{culprit} {what}: undefined behaviour")
        if run.verdict == "too many steps":
            return self.endless(run)
        return None

    def endless(self, run):
        """A run that was still going at its bound, the second time fair to threads that
        sleep: one thread that never lets the others move, or threads that keep each other
        going; or a program longer than the bound, which is the tool's limit."""
        tail = run.steps[len(run.steps) // 2:]
        movers = {step.thread for step in tail if not step.spurious and not step.timeout}
        if len(movers) == 1:
            mover = movers.pop()
            others = 0
            for step in tail:
                others |= step.enabled & ~(1 << mover)
            names = " and ".join(self.names.the(t) for t in range(64) if others >> t & 1)
            who = self.names.the(mover)
            alone = f"it made the last {len(tail)} of {len(run.steps)} steps alone"
            besides = (f", while {names} could have moved" if others else
                       ", and no other thread could move")
            if any(step.op in ("sleep", "yield") for step in tail):
                # It let the others move, fairly: what it polls for never comes.
                return Failure(f"{who} polls for ever: {alone}, sleeping or yielding between "
                               f"them{besides}", None, ending=f"{who} goes round and round")
            return Failure(f"{who} busy-waits: {alone}{besides}, and never waited, slept or "
                           "yielded (a scheduler lets another thread move only then)", None,
                           ending=f"{who} goes round and round")
        printed = run.steps[-1].printed > tail[0].printed
        ended = any(step.op == "exit" for step in tail)
        if printed or ended:
            raise scheduler.ToolFailed(
                f"a run was still making progress after {len(run.steps)} steps (its threads "
                "printed or ended), the scheduler's bound: raise it with --bound")
        return Failure(f"livelock: the threads made {len(run.steps)} steps, fairly, and in the "
                       f"last {len(tail)} none printed or ended: they keep each other going "
                       "round", None, ending="the threads go round and round: a livelock")

    def positions(self, run):
        """Where each thread that has not ended stands, in the code's words."""
        said = []
        for thread in run.threads:
            if thread.ended:
                continue
            who = self.names.the(thread.id)
            step, at = self.names.where(thread.pending, thread.object, thread.caller,
                                        self.names.thread_function(thread))
            place = f"at {step}" + (f" ({at})" if at else "")
            if thread.pending == "relock" and thread.waiting:
                said.append(f"{who} waits on {self.symbol(thread.object)} {place}")
            elif thread.pending in ("lock", "relock"):
                mutex = thread.object if thread.pending == "lock" else thread.mutex
                holder = run.owners.get(mutex, -1)
                held = (", which it holds itself" if holder == thread.id else
                        f", held by {self.names.the(holder)}" if holder >= 0 else "")
                said.append(f"{who} waits for {self.symbol(mutex)}{held}, {place}")
            elif thread.pending == "join":
                said.append(f"{who} waits to join the {self.names.who(int(thread.object, 16))}"
                            f", {place}")
            elif thread.pending in WAITS_FOR:
                said.append(f"{who} waits {WAITS_FOR[thread.pending]} "
                            f"{self.symbol(thread.object)}, {place}")
            else:
                said.append(f"{who} stands {place}")
        return said

    def order_desk(self, run):
        at = self.offsets.get(day.COUNT)
        counts = [] if at is None else [
            int.from_bytes(step.watched[at:at + 4], "little", signed=True) for step in run.steps]
        for n, count in enumerate(counts):
            if not 0 <= count <= day.SLOTS:
                return Failure(f"{count} orders in a ring of {day.SLOTS} ({day.COUNT} read as "
                               f"{count})", max(n - 1, 0),
                               ending=f"{day.COUNT} is {count}: more orders than slots")
        held = {}
        symbol = self.symbol
        for n, step in enumerate(run.steps):
            op = step.op
            if op == "lock" or op == "relock":
                mutex = symbol(step.object if op == "lock" else step.mutex)
                if mutex in day.MUTEXES:
                    mine = held.setdefault(step.thread, set())
                    if mine:
                        return Failure(f"{self.names.the(step.thread)} locks {mutex} in "
                                       f"{self.names.function(step.caller)} while it holds "
                                       f"{', '.join(sorted(mine))}", n,
                                       ending="a thread holds both mutexes")
                    mine.add(mutex)
            elif op == "unlock" or op == "wait":
                held.get(step.thread, set()).discard(
                    symbol(step.object if op == "unlock" else step.mutex))
        return self.output(run)

    def output(self, run):
        """The day's rules on the run's output; an output seen before is judged as before."""
        key = (run.out, run.verdict)
        if key in self.judged:
            return self.judged[key] and Failure(*self.judged[key][:1], self.printed_by(
                run, self.judged[key][1], self.judged[key][2]), ending=self.judged[key][3])
        text = run.out.decode(errors="replace")
        lines, rest = day.pieces(text)
        lines += [rest] if rest else []
        found = day.violations(lines, ended=run.verdict == "ended")
        if not found:
            self.judged[key] = None
            return None
        at, what = found[0]
        self.judged[key] = (what, lines, at, f"the day is wrong: {what}")
        return Failure(what, self.printed_by(run, lines, at), ending=f"the day is wrong: {what}")

    def printed_by(self, run, lines, index):
        """The step during which line index of the output was printed."""
        if index is None:
            return len(run.steps) - 1
        end = len("".join(line + ("" if line == day.PROMPT else "\n")
                          for line in lines[:index + 1]).encode())
        for n, step in enumerate(run.steps):
            if step.printed >= end:
                return max(n - 1, 0)
        return len(run.steps) - 1

    def status(self, run):
        if run.exit_status != 0:
            return Failure(f"the program ended with status {run.exit_status}",
                           len(run.steps) - 1, ending=f"the program ends with status "
                           f"{run.exit_status}")
        if self.hello and not HELLO.search(run.out):
            return Failure("no greeting at the end of the output", len(run.steps) - 1,
                           ending="the program ends without its greeting")
        return None

    # The run told as a table.

    def phrases(self, run, n):
        """What step n did, in the order desk's terms."""
        step, said = run.steps[n], []
        following = run.steps[n + 1] if n + 1 < len(run.steps) else None
        name = self.symbol(step.object) or ("a thread" if step.op == "create" else "an object")
        if step.op == "create":
            said.append(f"starts {name}")
        elif step.op == "wait":
            said.append(f"waits on {name}")
        elif step.op == "wake":
            said.append("has a spurious wake-up")
        elif step.op == "timeout":
            said.append("times out")
        elif step.op in ("signal", "broadcast") and following:
            woken = step.waiting & ~following.waiting
            if woken:
                said.append(f"signals {name}, waking the " + " and the ".join(
                    self.names.who(t).split(" (")[0] for t in range(32) if woken >> t & 1))
            elif not self.orderdesk:
                said.append(f"signals {name}, with no thread waiting")
        elif step.op == "sleep":
            said.append("works its second" if self.orderdesk else "sleeps")
        elif step.op == "yield":
            said.append("yields")
        elif step.op in reduction.MEMORY and step.object in self.racy:
            verb = {"load": "loads", "store": "stores", "update": "updates"}[step.op]
            said.append(f"{verb} {self.variable(step.object)}"
                        + (" (a data race)" if step.racing else ""))
        elif step.op == "return":
            said.append("returns from main, which ends the process")
        elif not self.orderdesk and step.op in CALLS:
            # In the order desk's table, puts and takes say what its locks are for; in another
            # program's, each call is told.
            what = {"relock": self.symbol(step.mutex), "join": "a thread", "exit": ""}.get(
                step.op, name)
            said.append(f"{CALLS[step.op]} {what}".rstrip())
        if following and self.orderdesk:
            before, after = self.count(step.watched), self.count(following.watched)
            if before is not None and after is not None and after > before:
                old, new = self.ring(step.watched), self.ring(following.watched)
                changed = [b for a, b in zip(old, new) if a != b]
                number = self.read(following.watched, day.NEXT_ORDER)  # moved on after the put
                said.append(f"puts order {changed[0][0]}" if changed else
                            f"puts order {number[0]}" if number else "puts an order")
            elif before is not None and after is not None and after < before:
                said.append(self.taken(run, n))
        start = step.printed
        end = following.printed if following else len(run.out)
        for line in run.out[start:end].decode(errors="replace").splitlines():
            line = line.replace(day.PROMPT, "")
            if m := day.CONFIRMATION.fullmatch(line):
                said.append(f"confirms order {m.group(1)}")
            elif m := day.PROCESSING.fullmatch(line):
                said.append(f"announces order {m.group(1)}")
            elif line == day.FAREWELL:
                said.append("says goodbye")
            elif line:
                said.append(f"prints {line!r}")
        return said

    def taken(self, run, n):
        """A take, named by the order that its thread announces next."""
        thread = run.steps[n].thread
        for later in range(n, len(run.steps)):
            if run.steps[later].thread != thread:
                continue
            end = run.steps[later + 1].printed if later + 1 < len(run.steps) else len(run.out)
            if m := day.PROCESSING.search(run.out[run.steps[later].printed:end].decode()):
                return f"takes order {m.group(1)}"
        return "takes an order"

    def table(self, run, failure):
        # Of the accesses to memory, those to memory in a data race are told.
        self.racy = {step.object for step in run.steps if step.racing}
        rows = []
        # The table ends where the run went wrong: what the run did after it is not the fault's.
        last = len(run.steps) if failure.step is None else failure.step + 1
        for n, step in enumerate(run.steps[:last]):
            if not rows or rows[-1]["thread"] != step.thread:
                rows.append({"thread": step.thread, "who": self.names.who(step.thread),
                             "steps": [], "did": []})
            row = rows[-1]
            name, _ = self.names.where(step.op, step.object, step.caller,
                                       self.names.thread_function(run.threads[step.thread])
                                       if step.thread < len(run.threads) else None)
            if not row["steps"] or row["steps"][-1] != name:
                row["steps"].append(name)
            row["did"] += self.phrases(run, n)
            if failure.step == n:
                row["did"].append(f"**here it goes wrong: {failure.what}**")
            if n + 1 < len(run.steps):
                watched, waiting = run.steps[n + 1].watched, run.steps[n + 1].waiting
            else:  # after the last step: as the run ended
                watched = run.watched
                waiting = sum(1 << t.id for t in run.threads if t.waiting and not t.ended)
            count = self.count(watched)
            row["count"] = "" if count is None else count
            row["waiting"] = ", ".join(self.names.who(t).split(" (")[0] for t in range(32)
                                       if waiting >> t & 1) or "none"
        for row in rows:
            row["did"] = merge_consumer(row["did"])
        ending = failure.ending
        if last < len(run.steps):
            ending += (f" (the run went on for {len(run.steps) - last} more steps after it, "
                       "not in this table)")
        return tables.table(rows, ending)


def merge_consumer(did):
    """A take, its announcement and its second, said as one: "processes order N". What the
    take's signal did stays said, after it."""
    merged = []
    for phrase in did:
        announce = re.fullmatch(r"announces order (\d+)", phrase)
        at = len(merged)  # the last phrase that is not a signal's
        while announce and at and merged[at - 1].startswith("signals"):
            at -= 1
        if announce and at and merged[at - 1] == f"takes order {announce.group(1)}":
            merged[at - 1] = f"processes order {announce.group(1)}"
        elif phrase == "works its second" and merged and merged[-1].startswith("processes order"):
            continue
        else:
            merged.append(phrase)
    return merged


class Session:
    """A program under the scheduler, with its day's input, and what every run must show. It
    starts the program once for each processor, so that runs can go side by side."""

    def __init__(self, program, data, library=None, sources=None, bound=20000, jobs=None,
                 cpu_limit=10.0):
        cpus = sorted(os.sched_getaffinity(0))
        jobs = jobs or len(cpus)
        watch = (day.COUNT, day.NEXT_ORDER, day.RING)
        self.servers = queue.Queue()
        library = library or os.environ.get("THREADLAB_LIBRARY")
        for n in range(jobs):
            self.servers.put(scheduler.Server(program, data, library, watch=watch,
                                              cpu=cpus[n % len(cpus)]))
        first = self.servers.queue[0]
        self.jobs = jobs
        self.pool = ThreadPoolExecutor(jobs)
        self.names = scheduler.Names(first.program, sources)
        self.checks = Checks(first, self.names)
        self.bound = bound
        self.cpu_limit = cpu_limit
        self.fair = False
        # A program whose first run needed to be fair to threads that sleep (below) polls
        # with a sleep, and its other runs will mostly need it too: each is made fair from its
        # start, rather than first made unfair to its bound, which costs twenty times as much
        # (docs/5-lab.md). Decided by the first run, the default schedule: the same every time.
        self.fair = self.run().fair

    def run(self, choices=(), **options):
        options.setdefault("bound", self.bound)
        options.setdefault("cpu_limit", self.cpu_limit)
        again = not options.get("stop")  # run again, fair, if still going at its bound
        if self.fair and "fair" not in options and again:
            options.update(fair=True, bound=10 * options["bound"])
            again = False  # already what it would be run again as
        server = self.servers.get()
        try:
            run = server.run(choices, **options)
            if run.verdict == "too many steps" and again:
                # By default the thread that moved last goes on while it can, so a thread that
                # polls with a sleep may have kept the others from moving. The same schedule
                # again, fair to threads that sleep, with room for ten times the steps, tells a
                # long run from one that goes round for ever.
                run = server.run(choices, **dict(options, fair=True, bound=10 * options["bound"]))
        finally:
            self.servers.put(server)
        # Names come from every run, a stopped one too: a person at the interactive prompt
        # must find each thread named even if the first whole run showed none of them.
        self.names.learn(run)
        return run

    def runs(self, many):
        """Runs each list of choices, side by side; the results in the same order, each as it
        comes."""
        return self.pool.map(self.run, many)

    def close(self):
        self.pool.shutdown()
        while not self.servers.empty():
            self.servers.get().close()

    def report(self, run, failure, out=sys.stdout):
        """The failing run: what broke, the table, and its schedule string."""
        print(f"failed: {failure.what}", file=out)
        for line in failure.detail:
            print(f"  {line}", file=out)
        print("\nThe failing schedule, step by step:\n", file=out)
        print(self.checks.table(run, failure), file=out)
        shown = max(len(scheduler.forced(run)), (failure.step or 0) + 1)
        print(f"schedule: {self.names.format(run.chosen()[:shown])}", file=out)


BATCH = 8  # schedules handed to the servers at once: fixed, so the search order is too


def explore(session, preemptions, spurious, out=sys.stdout, until=None, reduce=True,
            observe=None, races=True, most=None):
    """Every schedule with at most the given preemptions and spurious wake-ups; returns the
    number of schedules run and the first failing (run, failure), or None. The schedules are
    run a few at a time, side by side, and their results taken in order, in batches of a
    fixed size, so that the search goes the same way every time, on any machine. With until
    (a time.monotonic() value), it stops there; with most, after that many schedules (the
    same ones every time). With reduce, a state reached again is not explored again
    (reduction.py). observe, if given, is called with each run. With races false, a data race
    is no failure, and the search goes on through every order of the racing accesses (for the
    reduction's tests)."""
    visited = reduction.Visited() if reduce else None
    levels = [(k, w) for k in range(preemptions + 1) for w in range(spurious + 1)]

    def level(k, w):
        return next(j for j, (lk, lw) in enumerate(levels) if k <= lk and w <= lw)

    queues = [[] for _ in levels]
    queues[0].append(())
    total = sent = 0
    for j, (k, w) in enumerate(levels):
        stack, ran, running = queues[j], 0, collections.deque()
        while stack or running:
            # Two batches at a time: while the results of one are looked at, the next runs.
            # Each batch is taken from the stack at a fixed point of the search, so the
            # search goes the same way however long each run takes.
            while len(running) < 2 and stack and (until is None or time.monotonic() < until) \
                    and (most is None or sent < most):
                size = min(len(stack), BATCH, most - sent if most else BATCH)
                batch = [stack.pop() for _ in range(size)]
                sent += size
                running.append((batch, session.runs(batch)))
            if not running:
                break
            batch, results = running.popleft()
            for prefix, run in zip(batch, results):
                total += 1
                ran += 1
                if observe:
                    observe(run)
                failure = session.checks.check(run)
                if failure is None and run.race[0] >= 0 and races:
                    # A data race is a failure. The two accesses are then made the other way
                    # round, to show what the race does: where the program then fails, that
                    # run is told.
                    run, failure = reversed_race(session, run)
                if failure:
                    run, failure = minimise(session, run, failure)
                    session.checks.add_race(run, failure)
                    for _, late in running:
                        list(late)  # the batches still running end before the report
                    print(f"  {k} preemption{'s' * (k != 1)}, {w} spurious wake-up"
                          f"{'s' * (w != 1)}: {ran} schedule{'s' * (ran != 1)}, the last one "
                          "failed", file=out)
                    return total, (run, failure)
                chosen = run.chosen()
                for n, option, cost in alternatives(run, len(prefix), (preemptions, spurious),
                                                    visited):
                    if cost[0] <= preemptions and cost[1] <= spurious:
                        queues[level(*cost)].append(chosen[:n] + [option])
        cut = "" if not stack else (
            f"; stopped there, after {total} schedules in all, with the time allowed"
            if most is None or sent < most else f"; stopped there, at the bound of {most}")
        print(f"  {k} preemption{'s' * (k != 1)}, {w} spurious wake-up{'s' * (w != 1)}: "
              f"{ran} schedule{'s' * (ran != 1)}, none failed{cut}", file=out, flush=True)
        if stack:
            return total, None
    if visited is not None:
        print(f"  {len(visited.classes)} class{'es' * (len(visited.classes) != 1)} of schedules "
              "that differ only in the order of independent steps", file=out)
    return total, None


def minimise(session, run, failure):
    """The failing run with no step that it does not need to fail: each of its steps that
    was not the default one (a spurious wake-up, a time-out, a chosen waker, a preemption) is
    taken out of its schedule in turn, latest first, and left out where the run still fails.
    A data race's run is kept as it is: its two accesses are what it shows."""
    if run.race[0] >= 0 or any("data race" in line for line in failure.detail):
        return run, failure
    choices = scheduler.forced(run)
    for n in reversed(range(len(choices))):
        if n >= len(choices) or run.steps[n].default:
            continue
        shorter = choices[:n] + choices[n + 1:]
        trial = session.run(shorter)
        found = session.checks.check(trial)
        if found and trial.race[0] < 0 and trial.verdict not in ("cannot follow", "refused"):
            choices, run, failure = scheduler.forced(trial), trial, found
    return run, failure


def reversed_race(session, run):
    """A run with a data race, and the same schedule with the race's earlier access made
    after the later one's thread has moved: (the run that shows the race, its failure). Where
    the reversed run fails, it is told, and says that it reversed the race."""
    step, other, _, _ = run.race
    checks = session.checks
    failure = checks.raced(run)
    if other < 0 or not run.steps[other].enabled >> run.steps[step].thread & 1:
        return run, failure
    choices = run.chosen()[:other] + [scheduler.Choice(run.steps[step].thread)]
    turned = session.run(choices)
    turned_failure = checks.check(turned)
    if turned_failure is None or turned.verdict in ("cannot follow", "refused"):
        return run, failure
    mover = checks.names.the(run.steps[step].thread)
    turned_failure.detail[:0] = [checks.race(run, steps=False),
                                 f"with {mover} moving first, this schedule shows what the race "
                                 "does:"]
    return turned, turned_failure


def bits(mask):
    i = 0
    while mask:
        if mask & 1:
            yield i
        mask >>= 1
        i += 1


def alternatives(run, start, bounds=None, visited=None):
    """The other choices the run could have made from step start on, each as (step, choice,
    (preemptions, spurious wake-ups) of the schedule that makes it). Besides preemptions, the
    bound on preemptions counts the other ways a schedule departs from the default: a time-out
    while time need not pass, and a signal that wakes a waiter other than the longest waiting.
    With visited (reduction.py), a choice that leads to a state already reached with as much
    of the bounds left is not offered, and the run's own choices stop at the first such state."""
    used_k = used_w = previous = 0
    Choice = scheduler.Choice
    trace = reduction.Trace() if visited is not None else None
    pending = Pending(run) if visited is not None else None
    for n, step in enumerate(run.steps):
        could_go_on = step.enabled >> previous & 1

        def switch(thread):
            return 1 if could_go_on and thread != previous else 0

        if step.op == "yield":
            trace = None  # fairness is owed to the yielding thread: a state the key leaves out
        # An access to memory that races with no other is no place to switch threads: in a
        # program free of data races, switching at its synchronisation steps is enough.
        quiet = step.op in reduction.MEMORY and not step.racing

        def offer(option, cost):
            if trace is not None and cost[0] <= bounds[0] and cost[1] <= bounds[1]:
                what = pending.step(n, option)
                if what is not None:
                    key = trace.step(option.thread, reduction.identity(what),
                                     reduction.touched(what.op, option.thread, what.object,
                                                       what.mutex, trace.created), apply=False)
                    if visited.covered(key, option.thread, (bounds[0] - cost[0],
                                                            bounds[1] - cost[1])):
                        return None
            return n, option, cost

        if n >= start and not quiet:
            taken = step.choice
            options = []
            for thread in bits(step.enabled):
                if Choice(thread) != taken:
                    options.append((Choice(thread), (used_k + switch(thread), used_w)))
            for thread in bits(step.waiting):
                if Choice(thread, "~") != taken:
                    options.append((Choice(thread, "~"), (used_k + switch(thread), used_w + 1)))
            for thread in bits(step.timed):
                if Choice(thread, "@") != taken:
                    options.append((Choice(thread, "@"), (used_k + 1, used_w)))
            if step.picks & (step.picks - 1):  # a signal with more than one waiter
                for waiter in bits(step.picks):
                    if waiter not in (step.picked, step.first):
                        options.append((Choice(step.thread, "", waiter),
                                        (used_k + switch(step.thread) + 1, used_w)))
            for option, cost in options:
                offered = offer(option, cost)
                if offered:
                    yield offered
        if step.timeout:
            used_k += 0 if step.default else 1
        else:
            used_k += switch(step.thread) + (1 if step.flags & 8 else 0)
        used_w += step.spurious
        previous = step.thread
        if trace is not None:
            key = trace.step(step.thread, reduction.identity(step),
                             reduction.touched(step.op, step.thread, step.object, step.mutex,
                                               trace.created))
            if n >= start and visited.covered(key, step.thread, (bounds[0] - used_k,
                                                                 bounds[1] - used_w)):
                return
            after = run.steps[n + 1].printed if n + 1 < len(run.steps) else len(run.out)
            if after > step.printed:
                trace.printed(step.thread)
    if trace is not None:
        visited.classes.add(trace.total & reduction.MASK)


class Pending:
    """The step at which each thread stands at each point of a run, where the run shows it: a
    thread stands at one call until it is chosen, and its next step of its own in the run is
    that call."""

    def __init__(self, run):
        self.run = run
        self.by_thread = {}
        for n, step in enumerate(run.steps):
            self.by_thread.setdefault(step.thread, []).append(n)

    def step(self, n, option):
        """The step that option would make at step n (a Step whose fields matter), or None
        where the run does not show it."""
        steps = self.run.steps
        if option.pick is not None:  # the same signal as step n, waking another waiter
            taken = steps[n]
            return _Made(taken.op, taken.object, taken.mutex, 0, option.pick, 8)
        mine = self.by_thread.get(option.thread, [])
        later = next((m for m in mine if m >= n and not steps[m].flags & 3), None)
        if not option.mark:
            if later is None or steps[later].op == "signal":
                return None  # not shown; or a signal, whose default waiter the state decides
            made = steps[later]
            return _Made(made.op, made.object, made.mutex, 0, -1, 0)
        # A spurious wake-up or a time-out ends the wait at which the thread stands.
        earlier = next((m for m in reversed(mine) if m < n), None)
        shown = later if later is not None else earlier
        if shown is None:
            return None
        made = steps[shown]
        return _Made("wake" if option.mark == "~" else "timeout", made.object, made.mutex,
                     1 if option.mark == "~" else 2, -1, 0)


class _Made:
    """A step as the reduction sees it."""
    __slots__ = ("op", "object", "mutex", "flags", "picked")

    def __init__(self, op, object_, mutex, flags, picked, pick_flag):
        self.op, self.object, self.mutex = op, object_, mutex
        self.flags, self.picked = flags | pick_flag, picked


def random_runs(session, count, spurious, seed, out=sys.stdout):
    for n in range(count):
        run = session.run(seed=seed + n, spurious=spurious)
        failure = session.checks.judge(run)
        if failure:
            print(f"  random schedule {n + 1} of {count} (seed {seed + n}) failed; shown with "
                  "the steps it did not need to fail taken out", file=out)
            return n + 1, minimise(session, run, failure)
    print(f"  {count} random schedules, none failed", file=out)
    return count, None


def replay(session, text, out=sys.stdout):
    """Runs one schedule and prints each step and the output as it came; returns the run and
    its failure, if any."""
    choices = session.names.parse(text)
    run = session.run(choices)
    if run.verdict == "cannot follow":
        step = len(run.steps)
        if step and run.steps[-1].op == "signal" and choices[step - 1].pick is not None \
                and run.steps[-1].picked < 0:
            step -= 1  # its signal was made, and woke no such waiter
        choice = choices[step]
        state = session.run(choices[:step], stop=True)
        who = session.names.who(choice.thread)
        position = next((p for p in session.checks.positions(state)
                         if p.startswith(f"the {who} ")), "")
        why = {"~": "have a spurious wake-up: it does not wait on a condition variable",
               "@": "time out: it is not in a timed wait"}.get(choice.mark, "move")
        if not choice.mark and choice.pick is not None and state.can >> choice.thread & 1:
            why = f"wake the {session.names.who(choice.pick)}: its step wakes no such waiter"
        raise ValueError(f"the schedule cannot be followed at step {step + 1}: the {who} "
                         f"cannot {why}" + (f" ({position})" if position else ""))
    names, checks = session.names, session.checks
    first = run.steps[0].printed if run.steps else len(run.out)
    for line in run.out[:first].decode(errors="replace").splitlines():
        print(f"{'':>6}| {line}", file=out)
    print(f"{'step':>4}  {'thread':<28}{'at':<34}what it does", file=out)
    for n, step in enumerate(run.steps):
        function = names.thread_function(run.threads[step.thread])
        at, where = names.where(step.op, step.object, step.caller, function)
        call = {"wake": "spurious wake-up", "timeout": "time-out",
                "relock": "takes its mutex back"}.get(step.op, step.op)
        target = checks.symbol(step.object) if step.op not in ("join", "start") else ""
        if step.op in reduction.MEMORY:
            target = checks.variable(step.object) + (" (a data race)" if step.racing else "")
        print(f"{n + 1:>4}  {names.letters[step.thread]} {names.who(step.thread):<26}"
              f"{at + (' ' + where if where else ''):<34}{call} {target or ''}".rstrip(), file=out)
        end = run.steps[n + 1].printed if n + 1 < len(run.steps) else len(run.out)
        for line in run.out[step.printed:end].decode(errors="replace").splitlines(keepends=True):
            print(f"{'':>6}| {line.rstrip()}", file=out)
    return run, checks.judge(run)


def main(args):
    """lab/schedule: the command's options are parsed by threadlab's entry."""
    started = time.monotonic()
    data = args.input.read() if args.input else (
        day.INPUT.encode() if sys.stdin.isatty() else sys.stdin.buffer.read())
    sources = args.source or None
    try:
        session = Session(args.program, data, args.library, sources, args.bound,
                          cpu_limit=args.cpu_limit)
    except scheduler.ToolFailed as why:
        print(f"schedule: {why}", file=sys.stderr)
        return 2
    try:
        name = os.path.basename(args.program)
        if "__tsan_init" not in session.names.program.by_name:
            print(f"{name} was built without lab/cxx:\n"
                  "its loads and stores are no steps, and its data races are not seen", flush=True)
        if args.interactive:
            from . import interactive
            return interactive.main(session, args)
        if args.replay is not None:
            try:
                run, failure = replay(session, args.replay)
            except ValueError as why:
                print(f"schedule: {why}", file=sys.stderr)
                return 2
            count = 1
            result = (run, failure) if failure else None
        elif args.random:
            print(f"{name}: {args.random} random schedules, at most {args.spurious} spurious "
                  f"wake-up{'s' * (args.spurious != 1)} each", flush=True)
            count, result = random_runs(session, args.random, args.spurious, args.seed)
        else:
            print(f"{name}: every schedule with at most {args.preemptions} preemption"
                  f"{'s' * (args.preemptions != 1)} and {args.spurious} spurious wake-up"
                  f"{'s' * (args.spurious != 1)}", flush=True)
            count, result = explore(session, args.preemptions, args.spurious,
                                    reduce=not args.no_reduction)
        if result:
            print()
            session.report(*result)
        elif args.replay is not None:
            print(f"\nthe run passed every check: {run.verdict}, status {run.exit_status}")
        seconds = time.monotonic() - started
        print(f"{count} schedule{'s' * (count != 1)} in {seconds:.1f} s "
              f"({count / seconds:.0f} a second)")
        return 1 if result else 0
    except scheduler.ToolFailed as why:
        print(f"schedule: {why}", file=sys.stderr)
        return 2
    finally:
        session.close()
