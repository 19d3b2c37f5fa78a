# SPDX-License-Identifier: MIT
"""Grades a student's ring (ring.cpp, or the one .cpp file handed in under any name): builds the
order desk with it (and the project's ring.h and orderdesk.cpp), runs named checks, each worth
points, and reports each one, passed or failed, with what the student needs to see it for
themselves. Every run has a bound, so a ring that hangs, spins or crashes is reported as such and
never holds the grader; the exploration of schedules stops at a fixed count, not at a time.

No verdict depends on what else the machine is doing: the day in real time runs alone, before
the other checks; busy waiting is judged by the steps a run takes under the scheduler, not by
CPU time; the scheduler judges by steps and CPU time, not by the clock. A check that could not
judge a ring (a day that hangs has no lock discipline to see) gives no points. What the grader
itself cannot do (no compiler, no valgrind, a race detector that cannot start, the scheduler's
own limits) is no grade: it says which tool failed and why, and exits with status 2."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import types
from concurrent.futures import ThreadPoolExecutor

from . import PROJECT, cxx, day, deadline, explore, races, record, scheduler

# name: (points, what it checks); "builds" is a gate worth nothing: without it nothing runs.
CHECKS = {
    "builds": (0, "the ring compiles with the order desk"),
    "day": (15, "a day with all ten numbers piped in: every line exact, each order confirmed "
                "and processed once, in sequence, with its item, the farewell last, status 0"),
    "any item": (5, "0, negative numbers, numbers above 50 and a word (read as 0) are taken "
                    "like any other item, as the order desk's manual page says: the day goes on"),
    "ring of four": (5, "the ring holds four orders: with the consumer held back, the producer "
                        "confirms and puts four, and holds the fifth until a take"),
    "waits": (5, "the producer waits on buffer_full and the consumer on buffer_empty, as the "
                 "assignment asks (not by polling, not on semaphores)"),
    "real time": (10, "the day in real time takes about ten seconds, one order a second; and no "
                      "thread busy-waits: under the scheduler, each order takes few steps"),
    "schedules": (30, "every schedule with at most 2 preemptions (unless --preemptions says "
                      "otherwise) and 1 spurious wake-up (lab/schedule) passes, the ring built "
                      "with its loads and stores as steps (lab/cxx): no deadlock, no lost or "
                      "repeated order, the count within 0 to 4, no thread holding both mutexes, "
                      "no data race"),
    "races": (20, "no data race in a day under valgrind's helgrind and under ThreadSanitizer, "
                  "in a ring whose day is right"),
    "lock discipline": (10, "in a recorded real day, put and take lock data_mutex (themselves or "
                            "through functions they call), and no thread locks data_mutex or "
                            "console_mutex while it holds the other"),
}
LIMITS = {"build": 120, "day": 30, "explore": 600, "helgrind": 60, "tsan": 30, "recorded": 30}
# The schedules explored at most: the project's ring takes about 16,000. A bound by count, not
# by time, so that a grade never depends on how fast the machine was.
SCHEDULES = 25000
BUILD = ["-std=c++17", "-O2", "-g", "-pthread"]
# Items the manual page says are taken like any other: after the word, reads fail, and the
# orders record 0.
ODD_INPUT = "0\n-3\n51\n2147483647\n-2147483648\nfour\n"
ODD_ITEMS = [0, -3, 51, 2147483647, -2147483648, 0, 0, 0, 0, 0]
STEPS_PER_ORDER = 200  # far more than any ring that waits as it should takes (about 26)
OUTPUT_LIMIT = 9000  # characters of one check's report


class CannotGrade(Exception):
    """The grader itself cannot run here: exit status 2, and no grade."""


class Result:
    def __init__(self, name, passed, why, points=None, ran=True, summary=None):
        self.name, self.passed, self.why, self.ran = name, passed, why.rstrip(), ran
        self.summary = summary or self.why.split("\n")[0]
        self.max = points if points is not None else CHECKS[name][0]
        self.score = self.max if passed else 0

    @property
    def status(self):
        return "passed" if self.passed else "failed" if self.ran else "not run"


def not_run(name, why):
    return Result(name, False, f"not run: {why}", ran=False)


def compile_ring(compiler, work, output, extra=()):
    command = [compiler, *BUILD, *extra, os.path.join(work, "ring.cpp"),
               os.path.join(work, "orderdesk.cpp"), "-o", output]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=LIMITS["build"])
    except subprocess.TimeoutExpired:
        return False, f"the compiler did not finish within {LIMITS['build']} s"
    return done.returncode == 0, done.stderr


def compile_stepped(compiler, work, output):
    """The order desk built as lab/cxx builds it, its loads and stores steps for the
    scheduler: (built, the compiler's messages)."""
    said = []

    def run(command):
        try:
            done = subprocess.run(command, capture_output=True, text=True,
                                  timeout=LIMITS["build"])
        except subprocess.TimeoutExpired:
            said.append(f"the compiler did not finish within {LIMITS['build']} s")
            return 1
        said.append(done.stderr)
        return done.returncode

    status = cxx.build("c++", [*BUILD, os.path.join(work, "ring.cpp"),
                               os.path.join(work, "orderdesk.cpp"), "-o", output],
                       command=[compiler], run=run)
    return status == 0, "".join(said)


def day_problems(ran, items, limit):
    """What is wrong with a day's run: its ending, then its lines."""
    lines, rest = day.pieces(ran.text)
    found = [what for _, what in day.violations(lines + ([rest] if rest else []), items)]
    if ran.timed_out:
        found.insert(0, f"the day did not end within {limit} s: it hangs or spins")
    elif ran.status is not None and ran.status < 0:
        found.insert(0, f"the program crashed with {signal.Signals(-ran.status).name}")
    elif ran.status:
        found.insert(0, f"the program ended with status {ran.status}")
    return found


def expected_text(items):
    producer, consumer, farewell = day.expected(items)
    return (f"The input: {' '.join(map(str, items))}. Each thread's lines must come in their "
            f"order; the producer's are expected to be:\n\n```\n{producer}```\n\nthe "
            f"consumer's:\n\n```\n{consumer}```\n\nand then the farewell, {farewell}")


def check_day(ran):
    found = day_problems(ran, day.ITEMS, LIMITS["day"])
    why = "\n".join(found)
    if found:
        why += (f"\n\n{expected_text(day.ITEMS)}\nWhat the program printed (in {ran.took:.1f} "
                f"s):\n\n```\n{ran.text}\n```")
    return Result("day", not found, why or "every line exact, in sequence, status 0")


def check_any_item(session):
    """A day with items that the prompt does not ask for, under the scheduler's default
    schedule: it must go on, with each item as it was read."""
    run = session.run()
    lines, rest = day.pieces(run.out.decode(errors="replace"))
    found = [what for _, what in day.violations(lines + ([rest] if rest else []), ODD_ITEMS)]
    if run.signal:
        found.insert(0, f"the program crashed with {signal.Signals(run.signal).name}")
    elif run.exit_status:
        found.insert(0, f"the program ended with status {run.exit_status}")
    elif run.verdict != "ended":
        found.insert(0, f"the day did not end: {run.verdict}")
    why = "\n".join(found)
    if found:
        why += (f"\n\n{expected_text(ODD_ITEMS)}\nThe input was:\n\n```\n{ODD_INPUT}```\n"
                "What the program printed:\n\n```\n" + run.out.decode(errors="replace")
                + "\n```")
    return Result("any item", not found, why or "0, -3, 51, the limits of int and a word: the "
                  "day went on with each as read")


def producer_and_consumer(session):
    """The producer's and the consumer's thread numbers."""
    found = {}
    for thread, letter in session.names.letters.items():
        function = session.names.plain_roles.get(thread, "")
        if "takeOrders" in function:
            found["producer"] = thread
        elif "processOrders" in function:
            found["consumer"] = thread
    return found.get("producer"), found.get("consumer")


def check_ring_of_four(session):
    """The consumer held back: the producer alone moves, as long as it can."""
    producer, consumer = producer_and_consumer(session)
    if producer is None:
        raise CannotGrade("the scheduler found no producer (takeOrders) in the order desk")
    start = [scheduler.Choice(0), scheduler.Choice(0)]  # main starts both threads
    run = session.run(start + [scheduler.Choice(producer)] * 400, stop=True)
    confirmed = len(day.CONFIRMATION.findall(run.out.decode(errors="replace")))
    count = session.checks.count(run.watched)
    standing = next((t for t in run.threads if t.id == producer), None)
    waits_full = standing is not None and standing.waiting and \
        session.checks.symbol(standing.object) == "buffer_full"
    alive = standing is not None and not standing.ended
    # How the producer is held at the fifth order (waiting, or polling) is the waits check's.
    if confirmed == 5 and count == 4 and alive:
        return Result("ring of four", True, "with the consumer held back, orders 0 to 3 put, "
                      "and the producer holds order 4 " + (
                          "and waits on buffer_full" if waits_full else
                          "without putting it (though not waiting on buffer_full: see waits)"))
    where = "has ended" if not alive else (
        "waits on buffer_full" if waits_full else "puts no more")
    return Result("ring of four", False, f"with the consumer held back, the producer confirmed "
                  f"{confirmed} order{'s' * (confirmed != 1)} and put {count}, then {where}; a "
                  "ring of four takes orders 0 to 3, and the producer confirms order 4 and "
                  "waits on buffer_full, until the consumer takes one")


def check_waits(session, run):
    """The producer waits on buffer_full and the consumer on buffer_empty, in the scheduler's
    default schedule: the consumer comes to an empty ring first, and the producer then fills
    it."""
    producer, consumer = producer_and_consumer(session)
    symbol = session.checks.symbol
    waited = {(step.thread, symbol(step.object)) for step in run.steps if step.op == "wait"}
    found = []
    for who, thread, cond in (("producer", producer, "buffer_full"),
                              ("consumer", consumer, "buffer_empty")):
        if (thread, cond) not in waited:
            others = sorted({c for t, c in waited if t == thread and c})
            found.append(f"the {who} never waits on {cond}"
                         + (f" (it waits on {', '.join(others)})" if others else
                            ": it polls, sleeps, or waits on something that is not a condition "
                            "variable (a semaphore?)"))
    ops = sorted({step.op for step in run.steps if step.op in ("semwait", "sleep", "yield")
                  and step.thread in (producer, consumer)})
    why = "\n".join(found)
    if found and ops:
        why += f"\n(in the ring, the scheduler saw these calls: {', '.join(ops)})"
    return Result("waits", not found, why or "the producer waits on buffer_full, the consumer "
                  "on buffer_empty")


def check_real_time(ran, day_result, session):
    """The day's timing, measured from its start, which load cannot make early; and busy
    waiting, judged by steps under the scheduler, which load cannot change."""
    if not day_result.passed:
        return not_run("real time", "the day's output must be right first")
    processed = [when for when, line in ran.lines() if day.PROCESSING.fullmatch(line.rstrip("\n"))]
    found = []
    if ran.took < 9.9:
        found.append(f"the day took {ran.took:.2f} s, where ten seconds (one for each order) were "
                     "due")
    early = [n for n, when in enumerate(processed) if when < n - 0.01]
    if early:
        found.append(f"order {early[0]} was processed {processed[early[0]]:.2f} s after the "
                     f"start, before the {early[0]} seconds that the orders before it take")
    fair = session.run([], fair=True)
    per_order = len(fair.steps) / day.ORDERS
    if fair.verdict == "too many steps":
        found.append(f"a thread busy-waits: under the scheduler, fair to sleeping threads, the "
                     f"day had not ended after {len(fair.steps):,} steps")
    elif per_order > STEPS_PER_ORDER:
        found.append(f"a thread busy-waits: under the scheduler, each order took "
                     f"{per_order:.0f} steps, where a ring that waits takes about 26")
    return Result("real time", not found, "\n".join(found) or
                  f"{ran.took:.2f} s, one order a second, {per_order:.0f} steps per order "
                  f"({ran.cpu * 1000:.0f} ms of CPU time, not judged: it depends on the machine)")


class _Capture:
    def __init__(self):
        self.text = ""

    def write(self, text):
        self.text += text

    def flush(self):
        pass


def see_it(ring_name, string):
    """The commands that replay a failing schedule in the student's folder."""
    return ("To see it yourself, in the folder with ring.h, orderdesk.cpp and your "
            f"{ring_name}, build the order desk as the grader does and replay that schedule "
            "(LAB is the lab/ folder of a copy of threadtrio, as your course hands it out, "
            "built once in its top folder with `scripts/bootstrap && cmake --preset default && "
            "cmake --build --preset default`):\n\n```\n"
            f"$LAB/cxx {' '.join(BUILD)} {ring_name} orderdesk.cpp -o orderdesk\n"
            f"$LAB/schedule ./orderdesk --replay '{string}'\n```\n")


def check_schedules(session, ring_name, preemptions=2):
    out = _Capture()
    until = time.monotonic() + LIMITS["explore"]
    count, result = explore.explore(session, preemptions, 1, out=out, until=until,
                                    most=SCHEDULES)
    if not result and count < SCHEDULES and "stopped there" in out.text:
        # Where the time ran out is where the machine was slow: no grade can rest on that.
        raise CannotGrade(f"the exploration ran {count} schedules in the {LIMITS['explore']} s "
                          f"allowed, short of its bound of {SCHEDULES}: the machine is too slow "
                          "or too loaded to grade on")
    if result:
        run, failure = result
        table = _Capture()
        session.report(run, failure, out=table)
        string = table.text.rsplit("schedule: ", 1)[1].split("\n")[0]
        said = (f"{count} schedules run; this one failed:\n\n" + table.text.split("\n", 1)[1]
                + "\n" + see_it(ring_name, string))
        return Result("schedules", False, f"{failure.what}\n{said}", summary=failure.what)
    covered = "" if count < SCHEDULES else (
        f" (the first {SCHEDULES}, the same ones at every grading: the search stops there)")
    said = f"{count} schedules passed{covered}"
    return Result("schedules", True, out.text + said, summary=said)


def check_races(helgrind, tsan, day_result):
    found, said = [], []
    ran, seen = helgrind
    if ran.status is None:
        said.append(f"helgrind: the day did not end within {LIMITS['helgrind']} s")
    elif "valgrind:" in ran.err.decode(errors="replace") and not seen and ran.status != 0:
        last = ran.err.decode(errors="replace").strip().splitlines()[-1]
        if day_result.passed:
            raise CannotGrade(f"valgrind could not run the program: {last}")
        # A program that writes to wild memory can break valgrind itself: with a day that
        # went wrong on its own, that is the program's doing.
        said.append(f"helgrind: valgrind's run of the day ended in an error of its own, which "
                    f"a program that writes outside its memory can cause ({last})")
    found += [f"helgrind: {race}" for race in seen]
    if tsan is None:
        said.append("ThreadSanitizer: not run (the compiler cannot build with it)")
    else:
        _, _, report, seen = tsan
        fatal = next((line.strip() for line in report.splitlines()
                      if "FATAL: ThreadSanitizer" in line), None)
        if fatal and day_result.passed:
            raise CannotGrade(f"ThreadSanitizer could not run the program: {fatal}")
        if fatal:
            said.append(f"ThreadSanitizer: its run of the day ended in an error of its own, "
                        f"which a program that writes outside its memory can cause ({fatal})")
        found += [f"ThreadSanitizer: {race}" for race in seen]
        if "WARNING: ThreadSanitizer" in report and not seen:
            found.append("ThreadSanitizer reported:\n" + report.strip()[:3000])
    if found:
        return Result("races", False, "\n".join(found + said))
    if not day_result.passed:
        return Result("races", False, "no race was seen, but a ring whose day is wrong earns no "
                      "points here (see day): the detectors see only what the run did\n"
                      + "\n".join(said))
    return Result("races", True, "no race seen by helgrind or ThreadSanitizer\n" + "\n".join(said))


def unfinished(day_result):
    """Why the day's threads did not run to their end (it hung or crashed), or None."""
    if day_result.ran and not day_result.passed:
        for said, why in (("did not end", "the day did not end"),
                          ("crashed", "the day crashed")):
            if said in day_result.why:
                return why
    return None


def check_discipline(program, day_result):
    if unfinished(day_result):
        return not_run("lock discipline", f"{unfinished(day_result)}, so what its threads "
                       "lock cannot be judged (see day)")
    with tempfile.TemporaryDirectory() as folder:
        trace = os.path.join(folder, "day.json")
        try:
            record.record(program, "piped", trace, limit=LIMITS["recorded"])
        except record.ToolFailed as why:
            raise CannotGrade(f"the recorder: {why}") from None
        with open(trace) as f:
            events = json.load(f)["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events if e.get("name") == "thread_name"}
    found, locked, held = [], set(), {}
    for e in events:
        if e["ph"] != "B" or e["name"] not in ("pthread_mutex_lock", "pthread_mutex_unlock"):
            continue
        mutex = e["args"].get("uses")
        mine = held.setdefault(e["tid"], set())
        if e["name"] == "pthread_mutex_unlock":
            mine.discard(mutex)
            continue
        for function in [e["args"].get("in")] + e["args"].get("called by", []):
            locked.add((function, mutex))
        if mutex in day.MUTEXES and mine & set(day.MUTEXES) and not found:
            found.append(f"the {names.get(e['tid'], 'thread')} locks {mutex} in "
                         f"{e['args'].get('in')} while it holds {', '.join(sorted(mine))}")
        mine.add(mutex)
    for function in ("ringPut", "ringTake"):
        if (function, "data_mutex") not in locked:
            found.append(f"{function} never locks data_mutex, itself or through a function it "
                         "calls")
    return Result("lock discipline", not found, "\n".join(found) or
                  "put and take lock data_mutex; no thread held both mutexes")


def sessions_jobs():
    """The processors this process may use: its affinity, and its container's CPU quota."""
    jobs = len(os.sched_getaffinity(0))
    try:
        with open("/sys/fs/cgroup/cpu.max") as f:
            quota, period = f.read().split()[:2]
        if quota != "max":
            jobs = max(1, min(jobs, -(-int(quota) // int(period))))
    except (OSError, ValueError):
        pass
    return jobs


def grade(ring, compiler=None, points=None, only=None, preemptions=2):
    """The results of every check, in order; with only, of those checks alone (and of what
    they need: the races, the real time and the lock discipline are judged on the day), and
    the compiler's warnings."""
    wanted = set(CHECKS) if not only else set(only) | {"builds"} | (
        {"day"} if set(only) & {"races", "real time", "lock discipline"} else set())
    compiler = compiler or os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        raise CannotGrade("no C++ compiler: apt install g++")
    if "races" in wanted and not shutil.which("valgrind"):
        raise CannotGrade("the races check needs valgrind, which is not installed: "
                          "apt install valgrind")
    ring_name = os.path.basename(ring)
    work = tempfile.mkdtemp(prefix="grade-")
    try:
        shutil.copy(ring, os.path.join(work, "ring.cpp"))
        for name in ("ring.h", "orderdesk.cpp"):
            shutil.copy(os.path.join(PROJECT, "orderdesk", name), work)
        program, tsan_program = os.path.join(work, "orderdesk"), os.path.join(work, "tsan")
        stepped = os.path.join(work, "stepped")
        command = f"c++ {' '.join(BUILD)} {ring_name} orderdesk.cpp -o orderdesk"
        with ThreadPoolExecutor(3) as pool:
            tsan_built = pool.submit(compile_ring, compiler, work, tsan_program,
                                     ("-fsanitize=thread",)) if "races" in wanted else None
            stepped_built = pool.submit(compile_stepped, compiler, work, stepped)
            built, messages = compile_ring(compiler, work, program)
            tsan_ok = tsan_built is not None and tsan_built.result()[0]
            stepped_ok, stepped_messages = stepped_built.result()
        messages = messages.replace(os.path.join(work, "ring.cpp"), ring_name)
        if not built:
            errors = [line for line in messages.splitlines() if "error" in line]
            results = [Result("builds", False, f"```\n{command}\n{messages}```",
                              summary=(errors or ["the compiler failed"])[0])]
            return results + [not_run(name, "the ring did not build") for name in list(CHECKS)[1:]]
        if not stepped_ok:
            raise CannotGrade("lab/cxx could not build the ring, though the compiler did: "
                              + (stepped_messages.strip().splitlines() or ["?"])[-1])
        warned = f"\n\nThe compiler's warnings:\n\n```\n{messages}```" if messages.strip() else ""
        results = [Result("builds", True, f"```\n{command}\n```{warned}",
                          summary="built" + (", with warnings (below)" if warned else ""))]
        sources = [os.path.join(work, "ring.cpp"), os.path.join(work, "orderdesk.cpp")]
        made = {}
        # The day in real time first, and alone: nothing else shares the machine with it.
        ran = deadline.run([program], day.INPUT.encode(), LIMITS["day"]) \
            if "day" in wanted else None
        made["day"] = check_day(ran) if ran else not_run("day", "not asked for")
        # A day that hangs hangs under the race detectors too: they would only wait out their
        # time, for a check that gives no points to a wrong day.
        hung = "day" in wanted and made["day"].ran and "did not end" in made["day"].why \
            and not made["day"].passed
        if "races" in wanted and hung:
            made["races"] = not_run("races", "the day did not end (see day), and a race "
                                    "detector's day would not end either")
        with ThreadPoolExecutor(4) as pool:
            helgrind = pool.submit(races.helgrind, program, limit=LIMITS["helgrind"]) \
                if "races" in wanted and not hung else None
            tsan = pool.submit(races.tsan, tsan_program, limit=LIMITS["tsan"]) \
                if tsan_ok and "races" in wanted and not hung else None
            discipline = pool.submit(check_discipline, program, made["day"]) \
                if "lock discipline" in wanted else None
            scheduled = set(wanted) & {"any item", "ring of four", "waits", "real time",
                                       "schedules"}
            if scheduled:
                made.update(scheduler_checks(stepped, sources, ring_name, scheduled, ran,
                                             preemptions, made["day"]))
            if helgrind:
                made["races"] = check_races(helgrind.result(), tsan.result() if tsan else None,
                                            made["day"])
            if discipline:
                made["lock discipline"] = discipline.result()
        results += [made.get(name) or not_run(name, "not asked for") for name in list(CHECKS)[1:]]
        for result in results:
            if points and result.name in points:
                result.max = points[result.name]
                result.score = result.max if result.passed else 0
        return results
    finally:
        shutil.rmtree(work, ignore_errors=True)


def scheduler_checks(program, sources, ring_name, wanted, ran, preemptions, day_result):
    """The checks made under the scheduler, on the ring built with its loads and stores as
    steps."""
    made = {}
    jobs = sessions_jobs()
    try:
        session = explore.Session(program, day.INPUT.encode(), sources=sources, jobs=jobs)
    except scheduler.ToolFailed as why:
        raise CannotGrade(f"the scheduler: {why}") from None
    try:
        first = session.run()
        if "waits" in wanted:
            made["waits"] = check_waits(session, first)
        if "ring of four" in wanted:
            made["ring of four"] = check_ring_of_four(session)
        if "real time" in wanted:
            made["real time"] = check_real_time(ran, day_result, session)
        if "schedules" in wanted:
            made["schedules"] = check_schedules(session, ring_name, preemptions)
    except scheduler.ToolFailed as why:
        raise CannotGrade(f"the scheduler: {why}") from None
    finally:
        session.close()
    if "any item" in wanted:
        try:
            odd = explore.Session(program, ODD_INPUT.encode(), sources=sources, jobs=1)
        except scheduler.ToolFailed as why:
            raise CannotGrade(f"the scheduler: {why}") from None
        try:
            made["any item"] = check_any_item(odd)
        except scheduler.ToolFailed as why:
            raise CannotGrade(f"the scheduler: {why}") from None
        finally:
            odd.close()
    return made


def fold(text, limit=OUTPUT_LIMIT):
    """A report cut to its limit, saying so."""
    if len(text) <= limit:
        return text
    return text[:limit].rsplit("\n", 1)[0] + f"\n\n… ({len(text) - limit:,} characters more, " \
        "cut here)"


def report(ring, results, out=sys.stdout):
    score, total = sum(r.score for r in results), sum(r.max for r in results)
    print(f"{ring}: {score} of {total} points\n", file=out)
    for r in results:
        print(f"  {r.name:<16}{r.status:<9}{r.score:>3} of {r.max:<4}{r.summary}", file=out)
    print("\nWhat each check checks:", file=out)
    for name, (_, what) in CHECKS.items():
        print(f"  {name:<16}{what}", file=out)
    for r in results:
        if not r.passed or (r.name == "builds" and "warnings" in r.summary):
            print(f"\n== {r.name}: {r.status}\n{fold(r.why)}", file=out)


def gradescope(results):
    """The results in Gradescope's results.json format, each test's output in Markdown."""
    score, total = sum(r.score for r in results), sum(r.max for r in results)
    return {"score": score, "output": f"{score} of {total} points", "output_format": "md",
            "tests": [{"name": r.name, "score": r.score, "max_score": r.max,
                       "status": "passed" if r.passed else "failed", "output_format": "md",
                       "output": fold(f"*{CHECKS[r.name][1]}*\n\n**{r.status}**: {r.why}")}
                      for r in results]}


def find_ring(given):
    """The ring to grade: the file given, or the one .cpp file in the folder given."""
    if os.path.isdir(given):
        found = sorted(f for f in os.listdir(given) if f.endswith(".cpp"))
        named = [f for f in found if f == "ring.cpp"]
        if len(named) == 1 or len(found) == 1:
            return os.path.join(given, (named or found)[0])
        raise CannotGrade(f"{given} holds {len(found)} .cpp files ({', '.join(found) or 'none'}): "
                          "hand in one, the ring")
    if not os.path.isfile(given):
        raise CannotGrade(f"{given}: no such file")
    return given


def main(args):
    if args.handout:
        from . import handout
        return handout.main(types.SimpleNamespace(output=args.handout))
    if not args.ring:
        print("grade: name the student's ring.cpp, or a folder holding it (or --handout FILE)",
              file=sys.stderr)
        return 2
    points = None
    if args.points:
        try:
            with open(args.points) as f:
                points = json.load(f)
        except (OSError, ValueError) as why:
            print(f"grade: {args.points}: {why}", file=sys.stderr)
            return 2
        unknown = set(points) - set(CHECKS)
        if unknown:
            print(f"grade: {args.points}: no check is called {', '.join(sorted(unknown))}; the "
                  f"checks: {', '.join(CHECKS)}", file=sys.stderr)
            return 2
    unknown = set(args.only or ()) - set(CHECKS)
    if unknown:
        print(f"grade: no check is called {', '.join(sorted(unknown))}; the checks: "
              f"{', '.join(CHECKS)}", file=sys.stderr)
        return 2
    try:
        ring = find_ring(args.ring)
        if os.path.basename(ring) != "ring.cpp":
            print(f"grade: graded {ring} as the ring, the one .cpp file handed in")
        results = grade(ring, points=points, only=args.only, preemptions=args.preemptions)
    except Exception as why:  # noqa: BLE001 whatever stopped the grader, it says so: no grade
        known = isinstance(why, (CannotGrade, scheduler.ToolFailed, record.ToolFailed, OSError))
        if not known and os.environ.get("THREADLAB_DEBUG"):
            raise
        reason = str(why) if known else f"{type(why).__name__}: {why}"
        print(f"grade: not graded, the grader failed: {reason}", file=sys.stderr)
        if args.json:
            with open(args.json, "w") as f:  # no score: a failure of the grader is no grade
                json.dump({"output": f"Not graded: the grader failed ({reason}). Your "
                           "instructor will grade this submission again.", "tests": []}, f,
                          indent=1)
        return 2
    report(ring, results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(gradescope(results), f, indent=1)
    # A check not run failed for another's sake (the build, the day) or was not asked for.
    return 0 if all(r.passed for r in results if r.ran) else 1
