# SPDX-License-Identifier: MIT
"""The lab, driven through the programs: each planted fault broken by the tool that the faults
table names (lab/demo), and the scheduler (lab/schedule) on the unchanged order desk, on
hellospawn and on rings changed here, right and wrong. (helgrind on the unchanged day is a
valgrind test of its own.)

    python3 lab_test.py BUILD_DIR [unittest arguments]      (FAULT=NAME: that fault alone)

Rings changed here are built with the compiler named by $CXX (default c++)."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEDULE = os.path.join(SOURCE, "lab", "schedule")
DEMO = os.path.join(SOURCE, "lab", "demo")
DAY = b"12\n7\n33\n50\n1\n8\n21\n4\n45\n19\n"
with open(os.path.join(SOURCE, "lab", "faults.json")) as f:
    FAULTS = [fault for fault in json.load(f)["faults"]
              if os.environ.get("FAULT") in (None, "", fault["name"])]  # $FAULT: that one alone
EMULATED = bool(os.environ.get("EMULATOR"))
LIMIT = 900 if EMULATED else 300  # seconds for one command
# The whole day to one preemption and one spurious wake-up here; to two, the grader's test of
# the project's own ring explores it (lab.grade.Correct), once for each test run.
PREEMPTIONS = "1"


# Runs a schedule, then shows it minimised: its failure, the minimised schedule (the choices
# that are not the default), and that one's failure.
MINIMISE = """
import sys
from threadlab import explore, scheduler
session = explore.Session(sys.argv[1], sys.stdin.buffer.read())
run = session.run(session.names.parse(sys.argv[2]))
failure = session.checks.check(run)
print(failure.what)
run, failure = explore.minimise(session, run, failure)
print(session.names.format(scheduler.forced(run)))
print(failure.what)
session.close()
"""


def program(name):
    return os.path.join(BUILD, "bin", name)


def schedule(path, *args, data=DAY):
    return subprocess.run([SCHEDULE, path, *args], input=data, capture_output=True,
                          timeout=LIMIT)


def said(done):
    return done.stdout.decode() + done.stderr.decode()


def schedule_string(done):
    found = re.search(r"^schedule: (\S*)$", done.stdout.decode(), re.M)
    return found.group(1) if found else None


def explored(done):
    """The number of schedules that the last line reports."""
    last = done.stdout.decode().splitlines()[-1]
    found = re.fullmatch(r"(\d+) schedules? in [\d.]+ s \(\d+ a second\)", last)
    return int(found.group(1)) if found else None


class Ring:
    """orderdesk built here from a copy of the sources with ring.cpp changed."""

    def __init__(self, *changes):
        self.folder = tempfile.mkdtemp()
        for name in ("ring.h", "ring.cpp", "orderdesk.cpp"):
            shutil.copy(os.path.join(SOURCE, "orderdesk", name), self.folder)
        path = os.path.join(self.folder, "ring.cpp")
        with open(path) as f:
            text = f.read()
        for old, new in changes:
            assert old in text, old
            text = text.replace(old, new)
        with open(path, "w") as f:
            f.write(text)
        self.path = os.path.join(self.folder, "orderdesk")
        subprocess.run([os.environ.get("CXX", "c++"), "-std=c++17", "-O2", "-g", "-pthread",
                        os.path.join(self.folder, "ring.cpp"),
                        os.path.join(self.folder, "orderdesk.cpp"), "-o", self.path], check=True)

    def __enter__(self):
        return self.path

    def __exit__(self, *_):
        shutil.rmtree(self.folder)


class Faults(unittest.TestCase):
    def test_each_fault_breaks_the_real_program_as_the_faults_table_says(self):
        for fault in FAULTS:
            tool = fault["real"]["tool"]
            if tool == "helgrind" and EMULATED:
                continue  # valgrind cannot run under qemu-user (the build leaves these out)
            with self.subTest(fault["name"]):
                done = subprocess.run([DEMO, fault["name"], BUILD] + ["--alone"] * EMULATED,
                                      capture_output=True, timeout=LIMIT)
                self.assertEqual(done.returncode, 1, said(done))
                # What the tool says comes on the failure's line, or on a line below it.
                self.assertRegex(done.stdout.decode(),
                                 ("failed: .*(\n  .*)*?" if tool == "schedule" else "broke: .*")
                                 + fault["real"]["says"])
                witness = fault["real"].get("witness")
                if witness and not EMULATED:  # valgrind cannot run under qemu-user
                    self.assertRegex(done.stdout.decode().split("Its second witness:")[1],
                                     "broke: .*" + witness["says"])

    def test_each_failing_schedule_replays_to_the_same_bytes(self):
        for fault in FAULTS:
            if fault["real"]["tool"] != "schedule":
                continue
            with self.subTest(fault["name"]):
                path = program(f"orderdesk-{fault['name']}")
                found = schedule(path)
                self.assertEqual(found.returncode, 1, said(found))
                string = schedule_string(found)
                self.assertIsNotNone(string, said(found))
                replays = [schedule(path, "--replay", string) for _ in range(2)]
                for replay in replays:
                    self.assertEqual(replay.returncode, 1, said(replay))
                    self.assertRegex(replay.stdout.decode(),
                                     "failed: .*(\n  .*)*?" + fault["real"]["says"])
                # All but the last line, which says how long it took.
                first, second = (r.stdout.decode().rsplit("\n", 2)[0] for r in replays)
                self.assertEqual(first, second)


class Unchanged(unittest.TestCase):
    def test_the_day_passes_every_schedule_within_the_bounds(self):
        done = schedule(program("orderdesk"), "--preemptions", PREEMPTIONS, "--spurious", "1")
        self.assertEqual(done.returncode, 0, said(done))
        self.assertEqual(done.stdout.decode().count("none failed"), 2 * (int(PREEMPTIONS) + 1))
        self.assertGreater(explored(done), 500)  # the day's every interleaving, not one
        print(done.stdout.decode().splitlines()[-1])


class Modes(unittest.TestCase):
    def test_replay_prints_each_step_where_it_stands_and_the_output_as_it_came(self):
        done = schedule(program("orderdesk"), "--replay", "m2 c3 p5")
        text = done.stdout.decode()
        self.assertEqual(done.returncode, 0, said(done))
        self.assertRegex(text, r"\n +1  m main +main 1 orderdesk\.cpp:\d+ +create processOrders\n")
        self.assertRegex(text, r"\n +5  c consumer \(processOrders\) +take 2 ring\.cpp:\d+ +wait "
                               r"buffer_empty\n")
        # The producer's first step starts it; its second locks the console, and it runs on to
        # its unlock, printing its first exchange on the way.
        self.assertRegex(text, r"\n +7  p producer \(takeOrders\) +takeOrders 1 orderdesk\.cpp:\d+ "
                               r"+lock console_mutex\n +\| Enter a menu item number between 1 "
                               r"and 50: Got new order! Order number is 0 and item number: 12\n"
                               r" +8  p producer \(takeOrders\) +takeOrders 5 ")
        self.assertIn("the run passed every check", text)

    def test_a_schedule_that_cannot_be_followed_or_read_is_refused_with_status_2(self):
        for string, why in [("c", "cannot be followed at step 1: the consumer (processOrders) "
                                  "cannot move"),
                            ("m2p~", "cannot be followed at step 3: the producer (takeOrders) "
                                     "cannot have a spurious wake-up: it does not wait"),
                            ("mx", "no thread is called 'x'"), ("m2!", "not a schedule")]:
            with self.subTest(string):
                done = schedule(program("orderdesk"), "--replay", string)
                self.assertEqual(done.returncode, 2, said(done))
                self.assertIn(why, done.stderr.decode())

    def test_random_schedules_find_a_fault_and_say_which(self):
        done = schedule(program("orderdesk-if_in_take"), "--random", "200")
        self.assertEqual(done.returncode, 1, said(done))
        self.assertRegex(done.stdout.decode(), r"random schedule \d+ of 200 \(seed \d+\) failed")
        replay = schedule(program("orderdesk-if_in_take"), "--replay", schedule_string(done))
        self.assertEqual(replay.returncode, 1, said(replay))
        # Shown minimised: of a random schedule's many choices, only those it needs to fail.
        # The consumer starts and waits, wakes with no order in the ring, and takes one.
        self.assertEqual(schedule_string(done), "mc3c~c")

    def test_the_days_rules_catch_what_a_ring_gets_wrong(self):
        # The judge of every run's output, on days written here: the right one passes; each
        # wrong one is caught by the rule named, and by that alone where the others hold.
        sys.path.insert(0, os.path.join(SOURCE, "lab"))
        from threadlab import day
        items = [12, 7, 33, 50, 1, 8, 21, 4, 45, 19]

        def text(numbers):  # each order's item in its place, under the numbers given
            return "".join(f"{day.PROMPT}{day.confirmation(n, i)}\n{day.processing(n, i)}\n"
                           for n, i in zip(numbers, items)) + day.FAREWELL + "\n"
        self.assertEqual(day.check_output(text(range(10))), [])
        for numbers, said in (([0] * 10, "order 0, item 7, confirmed where order 1"),
                              ([1, 0, 3, 2, 5, 4, 7, 6, 9, 8], "order 1, item 12, confirmed "
                                                              "where order 0")):
            with self.subTest(numbers=numbers):
                self.assertIn(said, " / ".join(what for _, what in day.check_output(
                    text(numbers))))

    def test_a_failure_table_ends_where_the_run_went_wrong(self):
        done = schedule(program("orderdesk-if_in_put"), "--replay", "m2p25c27p22p~p")
        rows = [line for line in done.stdout.decode().splitlines() if line.startswith("| ")]
        self.assertIn("**here it goes wrong: 5 orders in a ring of 4", rows[-2])
        self.assertRegex(rows[-1], r"the run went on for \d+ more steps after it, not in this "
                                   r"table")

    def test_a_failing_schedule_is_shown_without_the_steps_it_does_not_need(self):
        # A put that signals no one deadlocks on the default schedule: a spurious wake-up of
        # the consumer, or main preempted for it, is a step the failure does not need.
        for given in ("m2c3c~p21", "mc3mp21"):
            with self.subTest(given):
                done = subprocess.run(
                    [sys.executable, "-c", MINIMISE, program("orderdesk-no_signal_after_put"),
                     given], input=DAY, capture_output=True, timeout=LIMIT,
                    env=dict(os.environ, PYTHONPATH=os.path.join(SOURCE, "lab")))
                self.assertEqual(done.returncode, 0, said(done))
                given_failed, shown, failed = done.stdout.decode().splitlines()
                self.assertTrue(given_failed.startswith("deadlock"), said(done))
                self.assertEqual((shown, failed.split(":")[0]), ("", "deadlock"), said(done))

    def test_what_the_tool_cannot_do_is_said_in_one_line_with_status_2(self):
        with tempfile.TemporaryDirectory() as folder:
            stripped = os.path.join(folder, "stripped")
            shutil.copy(program("orderdesk"), stripped)
            subprocess.run([os.environ.get("STRIP", "strip"), stripped], check=True)
            script = os.path.join(folder, "script")
            with open(script, "w") as f:
                f.write("#!/bin/sh\n")
            for args, why in [((stripped,), "is stripped"),
                              ((script,), "not a 64-bit little-endian ELF program"),
                              ((program("orderdesk"), "--library", script), "no threadlab")]:
                with self.subTest(why):
                    done = schedule(*args)
                    self.assertEqual(done.returncode, 2, said(done))
                    self.assertIn(why, done.stderr.decode())
                    self.assertEqual(len(done.stderr.decode().splitlines()), 1)

    @unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
    def test_a_person_breaks_if_in_put_at_the_keys_of_an_80_by_24_terminal(self):
        program_path = program("orderdesk-if_in_put")
        with Terminal(f"{SCHEDULE} {program_path} --interactive") as terminal:
            terminal.type("m2", "p25", "s")
            screen = terminal.wait_for("schedule: m2p25")
            self.assertIn("schedule: m2p25\n", screen)  # a count makes that many steps
            terminal.type("?")
            screen = terminal.wait_for("marks an order still waiting")
            wide = [line for line in screen.splitlines() if len(line) > 80]
            self.assertEqual(wide, [], "lines wider than the terminal")
        with Terminal(f"{SCHEDULE} {program_path} --interactive --from m2p25") as terminal:
            terminal.type("p~", "p")
            terminal.wait_for("failed: 5 orders in a ring of 4")
            terminal.type("b")  # the session stays after a failure: back a step from it
            screen = terminal.wait_for("after 28 steps: m2p25p~\n", after="failed: 5 orders")
            terminal.interrupt()
            screen = terminal.wait_for("schedule: m2p25p~\n", after="interrupted")
            self.assertNotIn("Traceback", screen)


class Terminal:
    """A command in a tmux pane of 80 columns and 24 lines, typed at and read as a person
    would. The pane stays a while after the command has ended, to be read."""

    def __init__(self, command):
        self.name = f"schedule-test-{os.getpid()}-{time.monotonic_ns()}"
        subprocess.run(["tmux", "new-session", "-d", "-s", self.name, "-x", "80", "-y", "24",
                        command + "; sleep 60"], check=True)

    def type(self, *keys):
        for key in keys:
            subprocess.run(["tmux", "send-keys", "-t", self.name, key, "Enter"], check=True)

    def interrupt(self):
        subprocess.run(["tmux", "send-keys", "-t", self.name, "C-c"], check=True)

    def screen(self):
        """The whole history, wrapped lines joined: keys typed ahead are echoed, and push what
        came before above the pane."""
        return subprocess.run(["tmux", "capture-pane", "-p", "-J", "-S", "-", "-t", self.name],
                              capture_output=True, text=True).stdout

    def wait_for(self, text, after=None):
        """The screen once text has come (after the text after, where given)."""
        deadline = time.monotonic() + 60
        while True:
            screen = self.screen()
            tail = screen.split(after, 1)[1] if after and after in screen else \
                ("" if after else screen)
            if text in tail or time.monotonic() > deadline:
                assert text in tail, f"no {text!r} on the screen:\n{screen}"
                return tail

    def __enter__(self):
        return self

    def __exit__(self, *_):
        subprocess.run(["tmux", "kill-session", "-t", self.name])


class Others(unittest.TestCase):
    def test_hellospawn_passes_every_schedule(self):
        done = schedule(program("hellospawn"), data=b"42\n")
        self.assertEqual(done.returncode, 0, said(done))
        self.assertGreaterEqual(explored(done), 2)

    def test_a_fault_planted_here_is_found(self):
        # put wakes the thread waiting for room, not the one waiting for an order.
        with Ring(("pthread_cond_signal(&buffer_empty);", "pthread_cond_signal(&buffer_full);")) \
                as ring:
            done = schedule(ring)
        self.assertEqual(done.returncode, 1, said(done))
        self.assertIn("failed: deadlock", done.stdout.decode())

    @unittest.skipIf(EMULATED, "what these rings call differs, not where they run: the "
                     "scheduler on this processor is lab.Unchanged's")
    def test_correct_rings_written_differently_raise_no_false_alarm(self):
        # To one preemption here, to keep the tests' time in bounds: each of these rings was
        # also explored to two by hand.
        unlock = "  pthread_mutex_unlock(&data_mutex);"
        rings = {
            "signals after the unlocks": [
                ("  pthread_cond_signal(&buffer_empty);                        // 5\n" + unlock,
                 unlock + "                         // 6\n  pthread_cond_signal(&buffer_empty);"),
                ("  pthread_cond_signal(&buffer_full);            // 5\n" + unlock,
                 unlock + "            // 6\n  pthread_cond_signal(&buffer_full);")],
            "broadcasts": [("pthread_cond_signal", "pthread_cond_broadcast")],
            "one condition variable for both waits": [("&buffer_empty", "&buffer_full")],
        }
        for name, changes in rings.items():
            with self.subTest(name), Ring(*changes) as ring:
                done = schedule(ring, "--preemptions", "1", "--spurious", "1")
                self.assertEqual(done.returncode, 0, said(done))
                self.assertGreater(explored(done), 500)


if __name__ == "__main__":
    unittest.main(verbosity=2)
