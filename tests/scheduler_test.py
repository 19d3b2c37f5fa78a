# SPDX-License-Identifier: MIT
"""The scheduler (lab/schedule) as a judge, on programs of its own tests (tests/scheduler/): each
fault found, with a schedule string that replays it; each twin passed; each call modelled; each
limit of the tool's said as the tool's, with status 2, never as a pass or as the program's
fault; and the reduction of the search, which must find what the full search finds.

    python3 scheduler_test.py PROGRAMS_DIR [unittest arguments]"""

import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAMS = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEDULE = os.path.join(SOURCE, "lab", "schedule")
sys.path.insert(0, os.path.join(SOURCE, "lab"))
from threadlab import day, explore  # noqa: E402  (the lab's package, beside the tests)

EMULATED = bool(os.environ.get("EMULATOR"))
LIMIT = 1200 if EMULATED else 240


def schedule(name, *args, data=b""):
    started = time.monotonic()
    done = subprocess.run([SCHEDULE, os.path.join(PROGRAMS, name), *args], input=data,
                          capture_output=True, timeout=LIMIT)
    done.took = time.monotonic() - started
    return done


def said(done):
    return done.stdout.decode() + done.stderr.decode()


def schedule_string(done):
    found = re.search(r"^schedule: (\S*)$", done.stdout.decode(), re.M)
    return found.group(1) if found else None


class Pairs(unittest.TestCase):
    # (program, options, status, what it must say): each fault and its twin.
    CASES = [
        ("onecond", ("-k", "0", "-w", "1"), 0, r"schedules? in"),
        ("onecond-bug", (), 1, r"failed: deadlock"),
        ("fifo", (), 0, r"schedules? in"),
        ("fifo-bug", ("--spurious", "0"), 1, r"failed: deadlock"),
        # By default a signal wakes the thread that has waited longest: the faulty program's
        # default schedule passes, and only a schedule that picks the other waiter breaks it.
        ("fifo-bug", ("--replay", ""), 0, r"the run passed every check"),
        ("broadcast", (), 0, r"schedules? in"),
        ("broadcast-bug", (), 1, r"failed: deadlock"),
        ("timed", (), 0, r"schedules? in"),
        ("timed-bug", (), 1, r"failed: deadlock"),
        ("mutexes", (), 0, r"schedules? in"),
        ("mutexes-bug", (), 1, r"failed: deadlock.*\n.*main waits for plain, which it holds "
                               r"itself"),
        ("rwlock", (), 0, r"schedules? in"),
        ("barrier", (), 0, r"schedules? in"),
        ("semaphore", (), 0, r"schedules? in"),
        ("semaphore-bug", (), 1, r"failed: deadlock"),
        ("yield", (), 0, r"schedules? in"),
        ("yield-bug", ("-k", "0", "-w", "0"), 1, r"failed: livelock"),
        ("clocks", (), 0, r"schedules? in"),
        # A poll that never ends: its round of steps told once, with its count.
        ("poll-bug", ("-k", "0", "-w", "0"), 1, r"failed: main polls for ever(.|\n)*"
                                                r"\| \(locks lock, unlocks lock, sleeps\) "
                                                r"\([\d,]+ times\) \|"),
        ("mainthread", (), 0, r"schedules? in"),
        ("mainthread-bug", (), 1, r"failed: deadlock.*\n.*main waits for mutex, which it holds "
                                  r"itself"),
        ("abba-bug", ("-k", "1", "-w", "0"), 1, r"failed: deadlock"),
        ("undefined", (), 0, r"schedules? in"),
        ("undefined-destroy_held", (), 1, r"failed: main destroys first while a thread holds "
                                          r"it in main: undefined in POSIX"),
        ("undefined-two_mutexes", (), 1, r"failed: the wait_for_go waits on changed with first "
                                         r"while other threads wait on it with another mutex"),
        ("undefined-unlock_not_held", (), 1, r"failed: main unlocks second, which it does not "
                                             r"hold"),
        ("outside-system", (), 0, r"schedules? in"),
        ("outside-close", (), 0, r"schedules? in"),
        # Three seconds of CPU time between two steps: more than the watchdog of old allowed
        # on the clock, less than the CPU time a thread may take now.
        ("outside-compute", ("-k", "0", "-w", "0"), 0, r"schedules? in"),
    ]

    def test_each_fault_is_found_and_each_twin_passes(self):
        chosen = os.environ.get("PAIRS", "").split(",")  # $PAIRS: those programs alone
        for name, options, status, says in self.CASES:
            if chosen != [""] and name not in chosen:
                continue
            if EMULATED and (status == 0 or name in ("yield-bug", "abba-bug", "poll-bug")):
                continue  # ten times slower: the searches in full run in the native builds
            with self.subTest(name=name, options=options):
                done = schedule(name, *options)
                self.assertEqual(done.returncode, status, said(done))
                self.assertRegex(said(done), says)
                if status == 1:
                    string = schedule_string(done)
                    self.assertIsNotNone(string, said(done))
                    replay = schedule(name, "--replay", string)
                    self.assertEqual(replay.returncode, 1, said(replay))
                    first = said(done).split("failed: ", 1)[1].split("\n")[0]
                    self.assertIn(f"failed: {first}", said(replay))


class Polling(unittest.TestCase):
    def test_a_program_that_polls_is_run_fair_to_sleepers_once_for_each_schedule(self):
        # Its first run, unfair, goes round to the bound and is run again fair; every other
        # run is fair from its start, so each schedule costs one run.
        session = explore.Session(os.path.join(PROGRAMS, "poll"), b"")
        try:
            with open(os.devnull, "w") as quiet:
                count, found = explore.explore(session, 2, 1, out=quiet)
            made = sum(server.runs for server in session.servers.queue)
        finally:
            session.close()
        self.assertIsNone(found)
        self.assertGreater(count, 3)
        self.assertEqual(made, count + 2)


class Limits(unittest.TestCase):
    def test_more_threads_mutexes_and_steps_than_before_pass(self):
        # Seventeen threads, eighty mutexes, sixty thousand steps of main's: beyond the old
        # tables, which lost what did not fit.
        done = schedule("limits", "--random", "2")
        self.assertEqual(done.returncode, 0, said(done))

    def test_the_twin_of_a_late_deadlock_passes_its_default_schedule(self):
        done = schedule("abba", "--replay", "")
        self.assertEqual(done.returncode, 0, said(done))

    def test_a_program_that_closes_the_servers_descriptors_ends(self):
        done = schedule("outside-close", "-k", "0")
        self.assertEqual(done.returncode, 0, said(done))
        self.assertLess(done.took, 60)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root, to run as another user under a process limit")
    def test_a_deadlock_under_a_process_limit_is_never_a_pass(self):
        # As a user allowed eight processes, the runs' processes and threads are refused
        # sooner or later: the tool must say so, never pass the program. The limit is set
        # here, not by the shell: dash's ulimit has no -u. The tool, its library and the
        # program are copied where that user can reach them, which a clone in a folder of
        # mode 700 (root's home) is not.
        library = os.environ.get("THREADLAB_LIBRARY") or os.path.join(
            os.path.dirname(os.path.dirname(PROGRAMS)), "lib", "threadlab-schedule.so")
        with tempfile.TemporaryDirectory() as work:
            os.chmod(work, 0o755)
            shutil.copytree(os.path.join(SOURCE, "lab"), os.path.join(work, "lab"),
                            ignore=shutil.ignore_patterns("__pycache__"))
            for path in (library, os.path.join(PROGRAMS, "abba-bug")):
                shutil.copy(path, work)
            done = subprocess.run(
                ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                 os.path.join(work, "lab", "schedule"), os.path.join(work, "abba-bug"), "-k", "1"],
                capture_output=True, timeout=LIMIT, env=dict(
                    os.environ, PYTHONDONTWRITEBYTECODE="1",
                    THREADLAB_LIBRARY=os.path.join(work, os.path.basename(library))),
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NPROC, (8, 8)))
        self.assertIn(done.returncode, (1, 2), said(done))
        if done.returncode == 2:
            self.assertRegex(done.stderr.decode(), r"refused|could not")


class Refusals(unittest.TestCase):
    # What the scheduler cannot judge: status 2, and why, in one line.
    CASES = [
        ("outside-fork", (), r"calls fork, which the scheduler does not model"),
        ("outside-cancel", (), r"calls pthread_cancel, which the scheduler does not model"),
        ("outside-read", (), r"is blocked in read, which is not a step"),
        ("outside-spin", ("--cpu-limit", "1"), r"ran for \d+ s of CPU time without a step"),
    ]

    def test_what_the_scheduler_cannot_judge_is_its_own_failure(self):
        for name, options, says in self.CASES:
            with self.subTest(name):
                done = schedule(name, *options)
                self.assertEqual(done.returncode, 2, said(done))
                self.assertRegex(done.stderr.decode(), says)
                self.assertEqual(len(done.stderr.decode().splitlines()), 1, said(done))
                self.assertNotIn("passed", done.stdout.decode())


COUNTER = os.path.join(os.path.dirname(os.path.dirname(PROGRAMS)), "bin", "counter")


class Memory(unittest.TestCase):
    # Races between two synchronisation calls, found by the scheduler in programs built with
    # their loads and stores as steps; the twins pass.
    CASES = [("account", 0, None), ("account-bug", 1, r"data race on balance"),
             ("publish", 0, None), ("publish-bug", 1, r"data race on storage"),
             ("flag", 0, None), ("flag-bug", 1, r"data race on (ready|data)")]

    def test_each_race_is_found_and_each_twin_passes(self):
        for name, status, says in self.CASES:
            with self.subTest(name):
                done = schedule(name)
                self.assertEqual(done.returncode, status, said(done))
                self.assertNotIn("no steps", said(done))
                if says:
                    self.assertRegex(said(done), r"failed: .*(\n  .*)*?" + says)
                    replay = schedule(name, "--replay", schedule_string(done))
                    self.assertEqual(replay.returncode, 1, said(replay))
                    self.assertRegex(said(replay), says)

    def test_the_counter_loses_additions_step_by_step_and_replays_the_loss(self):
        done = subprocess.run([SCHEDULE, COUNTER], input=b"3\n", capture_output=True,
                              timeout=LIMIT)
        self.assertEqual(done.returncode, 1, said(done))
        self.assertRegex(said(done), r"failed: the program ended with status 1\n  data race on "
                                     r"count")
        table = said(done).split("step by step:")[1]
        self.assertIn("loads count", table)
        self.assertIn("stores count", table)
        string = schedule_string(done)
        replays = [subprocess.run([SCHEDULE, COUNTER, "--replay", string], input=b"3\n",
                                  capture_output=True, timeout=LIMIT) for _ in range(2)]
        for replay in replays:
            self.assertEqual(replay.returncode, 1, said(replay))
            self.assertRegex(said(replay), r"\d+ +[a-z] add \[.\] .* load count")
            self.assertRegex(said(replay), r"additions lost")
        first, second = (r.stdout.decode().rsplit("\n", 2)[0] for r in replays)
        self.assertEqual(first, second)
        locked = subprocess.run([SCHEDULE, COUNTER + "-locked"], input=b"3\n",
                                capture_output=True, timeout=LIMIT)
        self.assertEqual(locked.returncode, 0, said(locked))

    def test_lab_cxx_builds_a_program_that_runs_and_whose_race_is_found(self):
        source = os.path.join(SOURCE, "tests", "scheduler", "account.cpp")
        cxx = os.path.join(SOURCE, "lab", "cxx")
        with tempfile.TemporaryDirectory() as folder:
            whole, parts = os.path.join(folder, "whole"), os.path.join(folder, "parts")
            built = [subprocess.run([cxx, "-std=c++17", "-O2", "-g", "-pthread", "-DBUG",
                                     source, "-o", whole], capture_output=True),
                     subprocess.run([cxx, "-std=c++17", "-O2", "-g", "-DBUG", "-c", source,
                                     "-o", parts + ".o"], capture_output=True),
                     subprocess.run([cxx, parts + ".o", "-pthread", "-o", parts],
                                    capture_output=True)]
            for done in built:
                self.assertEqual(done.returncode, 0, said(done))
            for program in (whole, parts):
                self.assertIn(subprocess.run([program]).returncode, (0, 1))  # runs by itself
                done = subprocess.run([SCHEDULE, program], capture_output=True, timeout=LIMIT)
                self.assertEqual(done.returncode, 1, said(done))
                self.assertIn("data race on balance", said(done))

    def test_a_program_built_without_it_is_said_to_hide_its_races_once(self):
        done = schedule("onecond", "-k", "0", "-w", "0")
        self.assertEqual(said(done).count("its loads and stores are no steps"), 1, said(done))


class Reduction(unittest.TestCase):
    # (program, preemptions, spurious wake-ups): small enough to search in full.
    CASES = [("onecond", 0, 1), ("onecond-bug", 2, 1), ("fifo", 2, 1), ("fifo-bug", 1, 0),
             ("account", 2, 0), ("account-bug", 2, 0), ("publish-bug", 2, 1), ("flag", 1, 0),
             ("broadcast", 2, 1), ("timed", 1, 1), ("undefined-two_mutexes", 2, 1),
             ("semaphore-bug", 1, 0), ("barrier", 1, 0), ("mutexes", 2, 0)]

    def search(self, name, preemptions, spurious, reduce, data=b"", races=True):
        session = explore.Session(name if os.path.isabs(name) else os.path.join(PROGRAMS, name),
                                  data, jobs=1)
        ends = set()
        try:
            with open(os.devnull, "w") as quiet:
                count, found = explore.explore(session, preemptions, spurious, out=quiet,
                                               reduce=reduce, races=races, observe=lambda run:
                                               ends.add((run.verdict, run.exit_status, run.out)))
        finally:
            session.close()
        return count, found and found[1].what, ends

    def test_with_loads_and_stores_as_steps_it_reaches_every_ending_the_full_one_does(self):
        # The races are let be, so that the searches go on through every order of the racing
        # accesses: the counter loses additions, the account goes below zero, in some
        # schedules and not in others.
        for name, data, preemptions in [(COUNTER, b"2\n", 2), ("account-bug", b"", 2),
                                        ("publish-bug", b"", 2), ("flag-bug", b"", 2)]:
            with self.subTest(os.path.basename(name)):
                full = self.search(name, preemptions, 0, False, data, races=False)
                reduced = self.search(name, preemptions, 0, True, data, races=False)
                self.assertEqual(reduced[1], full[1])
                self.assertEqual(reduced[2], full[2])
                self.assertGreater(len(full[2]), 1)  # more than one way to end: raced for real
                print(f"{os.path.basename(name)}: {full[0]} schedules in full, {reduced[0]} "
                      f"reduced, {len(full[2])} endings", file=sys.stderr)

    def test_the_reduced_day_ends_in_every_way_the_full_one_does(self):
        # Within two preemptions the day's output comes out in 264 ways, where the small
        # programs above end in one or two: a reduction that skips a schedule it needs shows
        # here. A dynamic partial-order reduction under the bound, tried, passed the tests
        # above and reached 255 of these.
        orderdesk = os.path.join(os.path.dirname(COUNTER), "orderdesk")
        full = self.search(orderdesk, 2, 0, False, day.INPUT.encode())
        reduced = self.search(orderdesk, 2, 0, True, day.INPUT.encode())
        self.assertIsNone(full[1])
        self.assertIsNone(reduced[1])
        self.assertGreater(len(full[2]), 200)
        missing = full[2] - reduced[2]
        self.assertFalse(missing, f"the reduced search missed {len(missing)} of {len(full[2])} "
                         f"endings, among them:\n{min(missing)[2].decode() if missing else ''}")
        self.assertEqual(reduced[2], full[2])
        print(f"orderdesk: {full[0]} schedules in full, {reduced[0]} reduced, "
              f"{len(full[2])} endings", file=sys.stderr)

    def test_the_reduced_search_finds_what_the_full_one_finds(self):
        for name, preemptions, spurious in self.CASES:
            with self.subTest(name):
                full = self.search(name, preemptions, spurious, False)
                reduced = self.search(name, preemptions, spurious, True)
                self.assertEqual(reduced[1], full[1])  # the same failure, or none
                if full[1] is None:
                    self.assertEqual(reduced[2], full[2])  # every way the program can end
                self.assertLessEqual(reduced[0], full[0])
                print(f"{name}: {full[0]} schedules in full, {reduced[0]} reduced",
                      file=sys.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
