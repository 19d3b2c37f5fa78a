# SPDX-License-Identifier: MIT
"""Grades a student's ring.cpp: builds the order desk with it (and the project's ring.h and
orderdesk.cpp), runs named checks, each worth points, and reports each one, passed or failed,
with what the student needs to see it for themselves. Every run has a bound, so a ring that
hangs, spins or crashes is reported as such and never holds the grader; a submission takes
about a minute and a half, and at most about three."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import types
from concurrent.futures import ThreadPoolExecutor

from . import PROJECT, cxx, day, deadline, explore, races, record, scheduler

# name: (points, what it checks); "builds" is a gate worth nothing: without it nothing runs.
CHECKS = {
    "builds": (0, "the ring compiles with the order desk"),
    "day": (20, "a day with all ten numbers piped in: every line exact, each order confirmed "
                "and processed once, in sequence, with its item, the farewell last, status 0"),
    "real time": (10, "that day in real time: about ten seconds, about one order processed each "
                      "second, almost no CPU time (busy waiting fails here)"),
    "schedules": (40, "every schedule with at most 2 preemptions and 1 spurious wake-up "
                      "(lab/schedule) passes, the ring built with its loads and stores as steps "
                      "(lab/cxx): no deadlock, no lost or repeated order, the count within 0 to "
                      "4, no thread holding both mutexes, no data race"),
    "races": (20, "no data race in a day under valgrind's helgrind and under ThreadSanitizer, "
                  "in a ring whose day is right"),
    "lock discipline": (10, "in a recorded real day, put and take lock data_mutex, and no "
                            "thread locks data_mutex or console_mutex while it holds the other"),
}
LIMITS = {"build": 120, "day": 30, "explore": 100, "helgrind": 60, "tsan": 30, "recorded": 30}
BUILD = ["-std=c++17", "-O2", "-g", "-pthread"]


class CannotGrade(Exception):
    """The grader itself cannot run here: exit status 2."""


class Result:
    def __init__(self, name, passed, why, points=None, ran=True, summary=None):
        self.name, self.passed, self.why, self.ran = name, passed, why.rstrip(), ran
        self.summary = summary or self.why.split("\n")[0]
        self.max = points if points is not None else CHECKS[name][0]
        self.score = self.max if passed else 0

    @property
    def status(self):
        return "passed" if self.passed else "failed" if self.ran else "not run"


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


def real_day(program):
    """A day with all ten numbers piped in, in real time."""
    return deadline.run([program], day.INPUT.encode(), LIMITS["day"])


def check_day(ran):
    code, took, text = ran.status, ran.took, ran.text
    pieces, rest = day.pieces(text)
    found = [what for _, what in day.violations(pieces + ([rest] if rest else []), day.ITEMS)]
    if ran.timed_out:
        found.insert(0, f"the day did not end within {LIMITS['day']} s: it hangs or spins")
    elif code < 0:
        found.insert(0, f"the program crashed with {signal.Signals(-code).name}")
    elif code != 0:
        found.insert(0, f"the program ended with status {code}")
    expected = "".join(f"{day.PROMPT}Got new order! Order number is {n} and item number: {i}\n"
                       for n, i in enumerate(day.ITEMS))
    why = "\n".join(found)
    if found:
        why += (f"\n\nThe input: {' '.join(map(str, day.ITEMS))}. Each thread's lines must come "
                "in their order; the producer's are expected to be:\n" + expected +
                "\nThe consumer's: Processing order number N with item number: ITEM, for each "
                "order, then the farewell, " + day.FAREWELL + "\n\nWhat the program printed "
                f"(in {took:.1f} s):\n{text}")
    return Result("day", not found, why or "every line exact, in sequence, status 0")


def check_real_time(ran, day_result):
    cpu, took, lines = ran.cpu, ran.took, ran.lines()
    if not day_result.passed:
        return Result("real time", False, "not run: the day's output must be right first",
                      ran=False)
    processed = [when for when, line in lines if day.PROCESSING.fullmatch(line.rstrip("\n"))]
    found = []
    if not 9.9 <= took <= 12.0:
        found.append(f"the day took {took:.2f} s, where ten seconds were due")
    late = [n for n, when in enumerate(processed) if not n - 0.1 <= when < n + 1.5]
    if late:
        found.append(f"order {late[0]} was processed at {processed[late[0]]:.2f} s, where about "
                     f"{late[0]} s was due")
    if cpu > 0.5:
        found.append(f"the day took {cpu:.2f} s of CPU time, where a day that waits as it should "
                     "takes a few milliseconds: a thread busy-waits")
    return Result("real time", not found, "\n".join(found) or
                  f"{took:.2f} s, one order a second, {cpu * 1000:.0f} ms of CPU")


def check_schedules(program, sources, command):
    out = _Capture()
    try:
        session = explore.Session(program, day.INPUT.encode(), sources=sources)
    except scheduler.ToolFailed as why:
        raise CannotGrade(str(why)) from None
    try:
        until = time.monotonic() + LIMITS["explore"]
        count, result = explore.explore(session, 2, 1, out=out, until=until)
        if result:
            session.report(*result, out=out)
            string = out.text.rsplit("schedule: ", 1)[1].split("\n")[0]
            out.write(f"\nTo see it yourself, build the order desk with your ring as the grader "
                      f"does and replay that schedule:\n  {command}\n"
                      f"  lab/schedule ./orderdesk --replay '{string}'\n")
            return Result("schedules", False, out.text, summary=result[1].what)
        covered = "" if time.monotonic() < until else (
            f" (the time allowed ran out after {count} schedules: the ones run passed)")
        said = f"{count} schedules passed{covered}"
        return Result("schedules", True, out.text + said, summary=said)
    finally:
        session.close()


class _Capture:
    def __init__(self):
        self.text = ""

    def write(self, text):
        self.text += text

    def flush(self):
        pass


def check_races(helgrind, tsan, day_result):
    found, said = [], []
    ran, seen = helgrind
    if ran.status is None:
        said.append(f"helgrind: the day did not end within {LIMITS['helgrind']} s")
    found += [f"helgrind: {race}" for race in seen]
    if tsan is None:
        said.append("ThreadSanitizer: not run (the compiler cannot build with it)")
    else:
        status, _, report, seen = tsan
        found += [f"ThreadSanitizer: {race}" for race in seen]
        if "ThreadSanitizer" in report and not seen:
            found.append("ThreadSanitizer reported:\n" + report.strip()[:3000])
    if found:
        return Result("races", False, "\n".join(found + said))
    if not day_result.passed:
        return Result("races", False, "no race was seen, but a ring whose day is wrong earns no "
                      "points here (see day): the detectors see only what the run did\n"
                      + "\n".join(said))
    return Result("races", True, "no race seen by helgrind or ThreadSanitizer\n" + "\n".join(said))


def check_discipline(program):
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
        mutex, where = e["args"].get("uses"), e["args"].get("in")
        mine = held.setdefault(e["tid"], set())
        if e["name"] == "pthread_mutex_unlock":
            mine.discard(mutex)
            continue
        locked.add((where, mutex))
        if mutex in day.MUTEXES and mine & set(day.MUTEXES) and not found:
            found.append(f"the {names.get(e['tid'], 'thread')} locks {mutex} in {where} while it "
                         f"holds {', '.join(sorted(mine))}")
        mine.add(mutex)
    for function in ("ringPut", "ringTake"):
        if (function, "data_mutex") not in locked:
            found.append(f"{function} never locks data_mutex")
    return Result("lock discipline", not found, "\n".join(found) or
                  "put and take lock data_mutex; no thread held both mutexes")


def grade(ring, compiler=None, points=None, only=None):
    """The results of every check, in order; with only, of those checks alone (and of what
    they need: the races and the real time are judged on the day)."""
    wanted = set(CHECKS) if not only else set(only) | {"builds"} | (
        {"day"} if set(only) & {"races", "real time"} else set())
    compiler = compiler or os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        raise CannotGrade("no C++ compiler: apt install g++")
    for tool in ("valgrind",):
        if not shutil.which(tool):
            raise CannotGrade(f"the races check needs {tool}: apt install {tool}")
    work = tempfile.mkdtemp(prefix="grade-")
    try:
        shutil.copy(ring, os.path.join(work, "ring.cpp"))
        for name in ("ring.h", "orderdesk.cpp"):
            shutil.copy(os.path.join(PROJECT, "orderdesk", name), work)
        program, tsan_program = os.path.join(work, "orderdesk"), os.path.join(work, "tsan")
        stepped = os.path.join(work, "stepped")
        command = f"{os.path.basename(compiler)} {' '.join(BUILD)} ring.cpp orderdesk.cpp -o orderdesk"
        with ThreadPoolExecutor(3) as pool:
            tsan_built = pool.submit(compile_ring, compiler, work, tsan_program,
                                     ("-fsanitize=thread",)) if "races" in wanted else None
            stepped_built = pool.submit(compile_stepped, compiler, work, stepped) \
                if "schedules" in wanted else None
            built, messages = compile_ring(compiler, work, program)
            tsan_ok = tsan_built is not None and tsan_built.result()[0]
            stepped_ok = stepped_built is not None and stepped_built.result()[0]
        if not built:
            errors = [line for line in messages.splitlines() if "error" in line]
            results = [Result("builds", False, f"{command}\n{messages}",
                              summary=(errors or ["the compiler failed"])[0])]
            return results + [Result(name, False, "not run: the ring did not build", ran=False)
                              for name in list(CHECKS)[1:]]
        results = [Result("builds", True, command + ("\n" + messages if messages else ""))]
        sources = [os.path.join(work, "ring.cpp"), os.path.join(work, "orderdesk.cpp")]
        skipped = Result("day", False, "not run: not asked for", ran=False)
        with ThreadPoolExecutor(4) as pool:
            ran = pool.submit(real_day, program) if "day" in wanted else None
            helgrind = pool.submit(races.helgrind, program, limit=LIMITS["helgrind"]) \
                if "races" in wanted else None
            tsan = pool.submit(races.tsan, tsan_program, limit=LIMITS["tsan"]) \
                if tsan_ok and "races" in wanted else None
            discipline = pool.submit(check_discipline, program) \
                if "lock discipline" in wanted else None
            schedules = check_schedules(stepped if stepped_ok else program, sources, command) \
                if "schedules" in wanted else None
            day_result = check_day(ran.result()) if ran else skipped
            made = {"day": day_result,
                    "real time": ran and check_real_time(ran.result(), day_result),
                    "schedules": schedules,
                    "races": helgrind and check_races(helgrind.result(),
                                                      tsan.result() if tsan else None,
                                                      day_result),
                    "lock discipline": discipline and discipline.result()}
            results += [made[name] or Result(name, False, "not run: not asked for", ran=False)
                        for name in list(CHECKS)[1:]]
        for result in results:
            if points and result.name in points:
                result.max = points[result.name]
                result.score = result.max if result.passed else 0
        return results
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(ring, results, out=sys.stdout):
    score, total = sum(r.score for r in results), sum(r.max for r in results)
    print(f"{ring}: {score} of {total} points\n", file=out)
    for r in results:
        print(f"  {r.name:<16}{r.status:<9}{r.score:>3} of {r.max:<4}{r.summary}", file=out)
    print("\nWhat each check checks:", file=out)
    for name, (_, what) in CHECKS.items():
        print(f"  {name:<16}{what}", file=out)
    for r in results:
        if not r.passed:
            print(f"\n== {r.name}: {r.status}\n{r.why}", file=out)


def gradescope(results):
    """The results in Gradescope's results.json format."""
    return {"score": sum(r.score for r in results),
            "output": f"{sum(r.score for r in results)} of {sum(r.max for r in results)} points",
            "tests": [{"name": r.name, "score": r.score, "max_score": r.max,
                       "status": "passed" if r.passed else "failed",
                       "output": f"{CHECKS[r.name][1]}\n\n{r.status}: {r.why}"} for r in results]}


def main(args):
    if args.handout:
        from . import handout
        return handout.main(types.SimpleNamespace(output=args.handout))
    if not args.ring:
        print("grade: name the student's ring.cpp (or --handout FILE)", file=sys.stderr)
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
    if not os.path.isfile(args.ring):
        print(f"grade: {args.ring}: no such file", file=sys.stderr)
        return 2
    unknown = set(args.only or ()) - set(CHECKS)
    if unknown:
        print(f"grade: no check is called {', '.join(sorted(unknown))}; the checks: "
              f"{', '.join(CHECKS)}", file=sys.stderr)
        return 2
    try:
        results = grade(args.ring, points=points, only=args.only)
    except Exception as why:  # noqa: BLE001 whatever stopped the grader, it says so, and why
        if not isinstance(why, (CannotGrade, scheduler.ToolFailed, record.ToolFailed)):
            traceback.print_exc()
        print(f"grade: the grader cannot run here: {why}", file=sys.stderr)
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"score": 0, "output": f"The grader could not run: {why}",
                           "tests": []}, f, indent=1)
        return 2
    report(args.ring, results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(gradescope(results), f, indent=1)
    # A check not run failed for another's sake (the build, the day) or was not asked for.
    return 0 if all(r.passed for r in results if r.ran) else 1

