# SPDX-License-Identifier: MIT
"""The grader, given rings as students hand them in: the project's own, a correct one written
differently, each planted fault's ring.cpp, the handout, and rings that do not build, crash,
hang or spin. Every grading must end within three minutes.

    python3 grade_test.py BUILD_DIR [unittest arguments]"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GRADE = os.path.join(SOURCE, "lab", "grade")
RING = os.path.join(SOURCE, "orderdesk", "ring.cpp")
with open(os.path.join(SOURCE, "lab", "faults.json")) as f:
    FAULTS = json.load(f)["faults"]
CHECK_OF_TOOL = {"schedule": "schedules", "helgrind": "races"}  # what finds each fault
LIMIT = 180  # seconds: a submission takes at most this long, whatever it does
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
                              text=True, timeout=LIMIT + 60)
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


class Correct(unittest.TestCase):
    def test_correct_rings_get_full_marks(self):
        # The ring with its signals after the unlocks is graded on every check but the
        # schedules, which lab.Others explores: what it tests here is that helgrind's
        # "dubious" report of such a signal costs nothing.
        rings = {"the project's ring": (REFERENCE,),
                 "signals after the unlocks": (SIGNALS_AFTER_UNLOCKS, "--only", "races",
                                               "--only", "real time", "--only", "lock discipline")}
        with ThreadPoolExecutor(2) as pool:
            graded = dict(zip(rings, pool.map(lambda ring: grade(*ring), rings.values())))
        for name, (status, tests, said, took) in graded.items():
            with self.subTest(name):
                self.assertEqual(status, 0, said)
                ran = [t for t in tests.values() if "\n\nnot run: " not in t["output"]]
                self.assertEqual({t["status"] for t in ran}, {"passed"}, said)
                self.assertEqual(len(ran), 5 if name != "the project's ring" else 6, said)
                self.assertEqual(sum(t["score"] for t in ran), sum(t["max_score"] for t in ran))
                self.assertLess(took, LIMIT)
        self.assertEqual(sum(t["score"] for t in graded["the project's ring"][1].values()), 100)


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
        with ThreadPoolExecutor(3) as pool:
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
        with ThreadPoolExecutor(3) as pool:
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
