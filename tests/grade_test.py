# SPDX-License-Identifier: MIT
"""The grader, given rings as students hand them in: the project's own, a correct one written
differently, each planted fault's ring.cpp, the handout, and rings that do not build, crash,
hang or spin. Every grading must end within three minutes.

    python3 grade_test.py BUILD_DIR [unittest arguments]"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import types
import unittest
from concurrent.futures import ThreadPoolExecutor

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GRADE = os.path.join(SOURCE, "lab", "grade")
RING = os.path.join(SOURCE, "orderdesk", "ring.cpp")
with open(os.path.join(SOURCE, "lab", "faults.json")) as f:
    FAULTS = json.load(f)["faults"]
CHECK_OF_TOOL = {"schedule": "schedules", "helgrind": "races"}  # what finds each fault
# Seconds: a ring that builds, hangs, spins or crashes is graded within this, whatever it does
# (the exploration of a ring that works takes longer, and is bounded by its count).
LIMIT = 180
with open(RING) as f:
    REFERENCE = f.read()


def grade(text, *options):
    """(exit status, Gradescope's results by check, the report, seconds taken)."""
    with tempfile.TemporaryDirectory() as folder:
        ring, results = os.path.join(folder, "ring.cpp"), os.path.join(folder, "results.json")
        with open(ring, "w") as f:
            f.write(text)
        started = time.monotonic()
        done = subprocess.run([GRADE, ring, "--json", results, *options], capture_output=True,
                              text=True, timeout=900)
        took = time.monotonic() - started
        if not os.path.exists(results):
            raise AssertionError(f"no results.json (status {done.returncode}):\n{done.stdout}"
                                 f"{done.stderr}")
        with open(results) as f:
            tests = {t["name"]: t for t in json.load(f)["tests"]}
    return done.returncode, tests, done.stdout + done.stderr, took


def changed(*changes):
    text = REFERENCE
    for old, new in changes:
        assert old in text, old
        text = text.replace(old, new)
    return text


SIGNALS_AFTER_UNLOCKS = changed(
    ("  pthread_cond_signal(&buffer_empty);                        // 5\n"
     "  pthread_mutex_unlock(&data_mutex);",
     "  pthread_mutex_unlock(&data_mutex);                         // 6\n"
     "  pthread_cond_signal(&buffer_empty);"),
    ("  pthread_cond_signal(&buffer_full);            // 5\n  pthread_mutex_unlock(&data_mutex);",
     "  pthread_mutex_unlock(&data_mutex);            // 6\n  pthread_cond_signal(&buffer_full);"))


HEAD = """#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <semaphore.h>
#include "ring.h"

Order new_orders[ring_slots];
int num_new_orders = 0;
int order_num = 0;
pthread_mutex_t data_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t console_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t buffer_full = PTHREAD_COND_INITIALIZER;
pthread_cond_t buffer_empty = PTHREAD_COND_INITIALIZER;
"""

# A correct ring written as the project's is not: each wait is a timed wait on the monotonic
# clock (as C++'s wait_for waits), in a loop with its predicate in a function of its own; the
# mutex is locked and unlocked through helpers the compiler does not inline; and each step
# is traced on standard error.
UNUSUAL = HEAD + """
namespace {
__attribute__((noinline)) void hold() { pthread_mutex_lock(&data_mutex); }
__attribute__((noinline)) void release() { pthread_mutex_unlock(&data_mutex); }
bool full() { return num_new_orders == ring_slots; }
bool empty() { return num_new_orders == 0; }
void wait_while(bool (*condition)(), pthread_cond_t *cond) {
  while (condition()) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 1;
    pthread_cond_clockwait(cond, &data_mutex, CLOCK_MONOTONIC, &until);
  }
}
}  // namespace

void ringPut(int &write_slot, int item_number) {
  hold();
  wait_while(full, &buffer_full);
  new_orders[write_slot++] = Order{order_num, item_number};
  ++num_new_orders;
  std::fprintf(stderr, "put %d\\n", order_num);
  pthread_cond_signal(&buffer_empty);
  release();
  ++order_num;
  if (write_slot == ring_slots) {
    write_slot = 0;
  }
}

Order ringTake(int &read_slot) {
  hold();
  wait_while(empty, &buffer_empty);
  const Order order = new_orders[read_slot++];
  --num_new_orders;
  std::fprintf(stderr, "take %d\\n", order.order_number);
  pthread_cond_signal(&buffer_full);
  release();
  return order;
}
"""

# Faulty rings, each with the one check that finds it.
SEMAPHORES = HEAD + """
namespace {
sem_t room, orders;
int ready = [] { sem_init(&room, 0, ring_slots); sem_init(&orders, 0, 0); return 0; }();
}  // namespace

void ringPut(int &write_slot, int item_number) {
  sem_wait(&room);
  pthread_mutex_lock(&data_mutex);
  new_orders[write_slot++] = Order{order_num, item_number};
  ++num_new_orders;
  pthread_mutex_unlock(&data_mutex);
  sem_post(&orders);
  ++order_num;
  if (write_slot == ring_slots) {
    write_slot = 0;
  }
}

Order ringTake(int &read_slot) {
  sem_wait(&orders);
  pthread_mutex_lock(&data_mutex);
  const Order order = new_orders[read_slot++];
  --num_new_orders;
  pthread_mutex_unlock(&data_mutex);
  sem_post(&room);
  return order;
}
"""
POLLING = changed(
    ("    pthread_cond_wait(&buffer_full, &data_mutex);",
     "    pthread_mutex_unlock(&data_mutex);\n    usleep(1000);\n"
     "    pthread_mutex_lock(&data_mutex);"),
    ("    pthread_cond_wait(&buffer_empty, &data_mutex);",
     "    pthread_mutex_unlock(&data_mutex);\n    usleep(1000);\n"
     "    pthread_mutex_lock(&data_mutex);"),
    ('#include "ring.h"', '#include "ring.h"\n\n#include <unistd.h>'))
RING_OF_THREE = changed(("  while (num_new_orders == ring_slots) {", "  while (num_new_orders == 3) {"))
EXITS_ON_ODD_ITEMS = changed(("  pthread_mutex_lock(&data_mutex);        // 1",
                              "  if (item_number < 1 || item_number > 50) {\n    std::exit(1);\n  }"
                              "\n  pthread_mutex_lock(&data_mutex);        // 1"),
                             ('#include "ring.h"', '#include "ring.h"\n\n#include <cstdlib>'))
# A wait whose deadline is on the monotonic clock, given to a condition variable that reads
# the wall clock: the deadline is long past, each wait returns at once, and the loop spins.
WRONG_CLOCK = changed(("    pthread_cond_wait(&buffer_empty, &data_mutex);",
                       "    timespec until{};\n    clock_gettime(CLOCK_MONOTONIC, &until);\n"
                       "    until.tv_sec += 1;\n"
                       "    pthread_cond_timedwait(&buffer_empty, &data_mutex, &until);"),
                      ('#include "ring.h"', '#include "ring.h"\n\n#include <time.h>'))


class Correct(unittest.TestCase):
    def test_correct_rings_get_full_marks(self):
        # The ring with its signals after the unlocks is graded on every check but the
        # schedules, which lab.Others explores: what it tests here is that helgrind's
        # "dubious" report of such a signal costs nothing.
        # The project's ring on the grader's own bounds: the only full exploration of the order
        # desk at two preemptions among the tests. The unusual ring at one, for time.
        rings = {"the project's ring": (REFERENCE,),
                 "signals after the unlocks": (SIGNALS_AFTER_UNLOCKS, "--only", "races",
                                               "--only", "real time", "--only", "lock discipline"),
                 "clock waits, helpers, traces": (UNUSUAL, "--preemptions", "1")}
        with ThreadPoolExecutor(2) as pool:
            graded = dict(zip(rings, pool.map(lambda ring: grade(*ring), rings.values())))
        for name, (status, tests, said, took) in graded.items():
            with self.subTest(name):
                self.assertEqual(status, 0, said)
                ran = [t for t in tests.values() if "not run: " not in t["output"]]
                self.assertEqual({t["status"] for t in ran}, {"passed"}, said)
                self.assertEqual(sum(t["score"] for t in ran), sum(t["max_score"] for t in ran))
        for name in ("the project's ring", "clock waits, helpers, traces"):
            self.assertEqual(sum(t["score"] for t in graded[name][1].values()), 100)


class Assignment(unittest.TestCase):
    def test_what_the_assignment_asks_is_checked(self):
        rings = {"a ring of three": (RING_OF_THREE, "ring of four", r"confirmed 4 orders and put 3"),
                 "an exit on an odd item": (EXITS_ON_ODD_ITEMS, "any item",
                                            r"ended with status 1"),
                 "semaphores": (SEMAPHORES, "waits", r"never waits on buffer_full: it polls"),
                 "polling": (POLLING, "waits", r"never waits on buffer_full: it polls"),
                 # a ring of four that polls loses the points of waits, and only those
                 "polling, held at four": (POLLING, "ring of four", None),
                 "a wait on the wrong clock": (WRONG_CLOCK, "real time", r"a thread busy-waits")}
        with ThreadPoolExecutor(2) as pool:
            graded = dict(zip(rings, pool.map(lambda ring: grade(ring[0], "--only", ring[1]),
                                              rings.values())))
        for name, (status, tests, said, took) in graded.items():
            text, check, says = rings[name]
            with self.subTest(name):
                self.assertEqual(status, 1 if says else 0, said)
                self.assertEqual(tests[check]["status"], "failed" if says else "passed", said)
                self.assertRegex(tests[check]["output"], says or "holds order 4")
                self.assertLess(took, LIMIT)

    def test_the_same_ring_gets_the_same_grade_every_time(self):
        with ThreadPoolExecutor(2) as pool:
            graded = list(pool.map(lambda _: grade(WRONG_CLOCK, "--only", "real time",
                                                   "--only", "waits"), range(3)))
        grades = {tuple(sorted((n, t["score"]) for n, t in tests.items()))
                  for _, tests, _, _ in graded}
        self.assertEqual(len(grades), 1, grades)


class Failures(unittest.TestCase):
    def test_a_grader_that_cannot_run_gives_no_grade(self):
        # valgrind missing from the PATH: the grader says so, exits 2, and its results hold no
        # score for Gradescope to publish.
        with tempfile.TemporaryDirectory() as folder:
            # Every command of the PATH but valgrind, linked into one folder: on a merged /usr
            # valgrind shares its folder with everything else.
            path = os.path.join(folder, "bin")
            os.mkdir(path)
            for place in os.environ["PATH"].split(os.pathsep):
                for name in os.listdir(place) if os.path.isdir(place) else ():
                    link = os.path.join(path, name)
                    if name != "valgrind" and not os.path.lexists(link):
                        os.symlink(os.path.join(place, name), link)
            ring, results = os.path.join(folder, "ring.cpp"), os.path.join(folder, "r.json")
            with open(ring, "w") as f:
                f.write(REFERENCE)
            done = subprocess.run([GRADE, ring, "--json", results], capture_output=True,
                                  text=True, timeout=LIMIT, env=dict(os.environ, PATH=path))
            self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
            self.assertIn("valgrind", done.stderr)
            with open(results) as f:
                self.assertNotIn("score", json.load(f))
            # Gradescope's run_autograder leaves no results at all, and fails: no score.
            root = os.path.join(folder, "autograder")
            for part in ("submission", "results"):
                os.makedirs(os.path.join(root, part))
            os.symlink(SOURCE, os.path.join(root, "source"))
            shutil.copy(ring, os.path.join(root, "submission"))
            done = subprocess.run([os.path.join(SOURCE, "lab", "gradescope", "run_autograder")],
                                  capture_output=True, text=True, timeout=LIMIT,
                                  env=dict(os.environ, PATH=path, AUTOGRADER=root))
            self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
            self.assertIn("valgrind", done.stderr)
            self.assertEqual(os.listdir(os.path.join(root, "results")), [])

    def test_a_race_detector_that_breaks_is_the_graders_failure_unless_the_day_broke_it(self):
        # GCC's ThreadSanitizer on a kernel with more address randomisation than it expects
        # stops at once with such a line; valgrind can end in an error of its own too. With
        # a day that ran right, that is the grader's failure; after a day that crashed, it
        # may be the program's own wild write.
        sys.path.insert(0, os.path.join(SOURCE, "lab"))
        from threadlab import grade as grader
        calm = (types.SimpleNamespace(status=0, err=b""), [])
        broken = (types.SimpleNamespace(status=1, err=b"valgrind: the 'impossible' happened"), [])
        fatal = (None, None, "FATAL: ThreadSanitizer: unexpected memory mapping 0x5f2d", [])
        right = grader.Result("day", True, "every line exact")
        crashed = grader.Result("day", False, "the program crashed with SIGSEGV")
        for helgrind, tsan in ((calm, fatal), (broken, None)):
            with self.assertRaises(grader.CannotGrade):
                grader.check_races(helgrind, tsan, right)
            result = grader.check_races(helgrind, tsan, crashed)
            self.assertEqual((result.passed, result.score), (False, 0))
            self.assertIn("an error of its own", result.why)

    def test_a_ring_under_another_name_is_graded_and_its_failure_replays_in_its_folder(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(BUILD, "lab", "if_in_put", "orderdesk", "ring.cpp")) as f:
                faulty = f.read()
            with open(os.path.join(folder, "Ring.cpp"), "w") as f:
                f.write(faulty)
            results = os.path.join(folder, "results.json")
            done = subprocess.run([GRADE, folder, "--json", results, "--only", "schedules"],
                                  capture_output=True, text=True, timeout=LIMIT)
            self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
            self.assertIn("Ring.cpp", done.stdout)
            with open(results) as f:
                output = {t["name"]: t for t in json.load(f)["tests"]}["schedules"]["output"]
            commands = re.search(r"```\n(\$LAB/cxx .*?)\n```", output, re.S).group(1)
            for name in ("ring.h", "orderdesk.cpp"):
                shutil.copy(os.path.join(SOURCE, "orderdesk", name), folder)
            replayed = subprocess.run(["sh", "-c", commands.replace("\n", " && ")], cwd=folder,
                                      capture_output=True, text=True, timeout=LIMIT,
                                      env=dict(os.environ, LAB=os.path.join(SOURCE, "lab")))
            self.assertEqual(replayed.returncode, 1, replayed.stdout + replayed.stderr)
            self.assertIn("5 orders in a ring of 4", replayed.stdout)

    def test_no_report_is_longer_than_gradescope_shows_well(self):
        status, tests, said, took = grade(POLLING, "--only", "schedules", "--only", "real time",
                                          "--preemptions", "1")
        for test in tests.values():
            self.assertLess(len(test["output"]), 10000, test["name"])


class Faults(unittest.TestCase):
    def test_each_fault_fails_the_check_that_finds_it(self):
        # Each is graded on that check alone (--only): the full gradings are the other tests'.
        rings = {}
        for fault in FAULTS:
            with open(os.path.join(BUILD, "lab", fault["name"], "orderdesk", "ring.cpp")) as f:
                text = f.read()
            if text != REFERENCE:  # a fault of orderdesk.cpp alone is not the student's
                rings[fault["name"]] = (text, CHECK_OF_TOOL[fault["real"]["tool"]])
        self.assertGreaterEqual(len(rings), 9)
        with ThreadPoolExecutor(2) as pool:
            graded = dict(zip(rings, pool.map(lambda ring: grade(ring[0], "--only", ring[1]),
                                              rings.values())))
        for name, (status, tests, said, took) in graded.items():
            with self.subTest(name):
                self.assertEqual(status, 1, said)
                self.assertEqual(tests[rings[name][1]]["status"], "failed", said)
                self.assertEqual(tests[rings[name][1]]["score"], 0)
                self.assertLess(took, LIMIT)


class Broken(unittest.TestCase):
    def test_what_a_ring_does_wrong_is_reported_within_the_bound(self):
        with tempfile.TemporaryDirectory() as folder:
            handout = os.path.join(folder, "ring.cpp")
            subprocess.run([GRADE, "--handout", handout], check=True, capture_output=True)
            with open(handout) as f:
                handed_out = f.read()
        take = "  const Order order = new_orders[read_slot++];  // 3\n"
        rings = {
            "the handout": (handed_out, {}, r"day +failed"),
            "does not build": (REFERENCE.replace("--num_new_orders;", "--num_new_orders"),
                               {"builds": "failed"}, r"error: expected .;."),
            "crashes": (changed((take, take + "  new_orders[1 << 28] = order;\n")),
                        {"day": "failed"}, r"crashed with SIGSEGV"),
            "hangs": (changed(("  while (num_new_orders == 0) {", "  while (true) {")),
                      {"day": "failed", "schedules": "failed"}, r"did not end within \d+ s"),
            "spins": (changed(("    pthread_cond_wait(&buffer_full, &data_mutex);",
                               "    pthread_mutex_unlock(&data_mutex);\n"
                               "    pthread_mutex_lock(&data_mutex);")),
                      {"real time": "failed", "schedules": "failed"}, r"a thread busy-waits"),
        }
        with ThreadPoolExecutor(2) as pool:
            graded = dict(zip(rings, pool.map(grade, [text for text, _, _ in rings.values()])))
        for name, (status, tests, said, took) in graded.items():
            _, statuses, shows = rings[name]
            with self.subTest(name):
                self.assertEqual(status, 1, said)
                self.assertLess(took, LIMIT)
                self.assertRegex(said, shows)
                for check, wanted in statuses.items():
                    self.assertEqual(tests[check]["status"], wanted, said)
                if name == "the handout":
                    self.assertEqual(sum(t["score"] for t in tests.values()), 0, said)
                    self.assertTrue(re.search(r"ringPut never locks data_mutex", said), said)


if __name__ == "__main__":
    unittest.main(verbosity=2)
