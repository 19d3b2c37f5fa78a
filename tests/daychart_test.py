# SPDX-License-Identifier: MIT
"""The day's recorder and chart, run as a learner runs them: lab/daychart with the PATH it was
given, whichever python3 comes first on it; a recorded day, broken days, the tool's own
failures, and the committed traces.

    python3 daychart_test.py BUILD_DIR [unittest arguments]"""

import copy
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DAYCHART = os.path.join(SOURCE, "lab", "daychart")
THREADS = {"main", "producer (takeOrders)", "consumer (processOrders)"}


def daychart(*args, env=None):
    return subprocess.run([DAYCHART, *args], capture_output=True, text=True, timeout=120,
                          env=env)


def events(trace, ph, name=None):
    return [e for e in trace["traceEvents"] if e["ph"] == ph and name in (None, e["name"])]


class Recorded(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.folder.name, "piped.json")
        recorded = daychart("record", os.path.join(BUILD, "bin", "orderdesk"), "piped", cls.path)
        assert recorded.returncode == 0, recorded.stdout + recorded.stderr
        with open(cls.path) as f:
            cls.trace = json.load(f)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def draw(self, trace, picture="day.svg"):
        path = os.path.join(self.folder.name, "day.json")
        with open(path, "w") as f:
            json.dump(trace, f)
        return daychart("draw", path, os.path.join(self.folder.name, picture))

    def test_a_piped_day_draws_whole(self):
        drawn = self.draw(self.trace)
        self.assertEqual(drawn.returncode, 0, drawn.stdout + drawn.stderr)
        self.assertIn("most orders in the ring: 4", drawn.stdout)
        # Orders 5 to 9 each find the ring full, seen with the count read at each wait: the
        # check that the producer waits only at four is not vacuous.
        waits = [e for e in events(self.trace, "B", "pthread_cond_wait")
                 if e["args"].get("uses") == "buffer_full"]
        self.assertGreaterEqual(len(waits), 5)
        self.assertEqual({e["args"]["num_new_orders"] for e in waits}, {4})

    def test_a_broken_day_is_drawn_with_its_violation_and_fails(self):
        def processing(t):
            return [e for e in events(t, "i") if e["name"].startswith("Processing")]

        def lose_order_3(t):
            t["traceEvents"].remove(processing(t)[3])

        def process_order_2_twice(t):
            processing(t)[3]["name"] = processing(t)[2]["name"]

        def put_a_fifth_order(t):
            counter = events(t, "C")[3]
            counter["args"]["num_new_orders"] = 5

        def wait_for_room_with_some(t):
            wait = next(e for e in events(t, "B", "pthread_cond_wait")
                        if e["args"].get("uses") == "buffer_full")
            wait["args"]["num_new_orders"] = 2

        def hang(t):
            t["metadata"]["status"] = None

        for fault, said in [(lose_order_3, "order 3 never processed"),
                            (process_order_2_twice, "order 2 processed twice"),
                            (put_a_fifth_order, "5 orders in a ring of 4"),
                            (wait_for_room_with_some, "the producer waits for room with 2"),
                            (hang, "the day did not end")]:
            with self.subTest(fault.__name__):
                broken = copy.deepcopy(self.trace)
                fault(broken)
                drawn = self.draw(broken)
                self.assertEqual(drawn.returncode, 1, drawn.stdout + drawn.stderr)
                self.assertIn(said, drawn.stdout)
                with open(os.path.join(self.folder.name, "day.svg")) as f:
                    self.assertIn(said, f.read())

    def test_the_picture_is_written_as_its_name_says_or_refused(self):
        drawn = self.draw(self.trace, "day.png")
        self.assertEqual(drawn.returncode, 0, drawn.stderr)
        with open(os.path.join(self.folder.name, "day.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        old = os.path.join(self.folder.name, "day.jpg")
        with open(old, "w") as f:
            f.write("an earlier picture")
        drawn = self.draw(self.trace, "day.jpg")
        self.assertEqual(drawn.returncode, 2)
        self.assertIn("a picture is written as .svg, .png, .pdf", drawn.stderr)
        self.assertFalse(os.path.exists(old), "an old picture left in place of the new one")

    def test_it_draws_whichever_python3_comes_first(self):
        # A Python of the learner's own, first on the PATH, without matplotlib.
        with tempfile.TemporaryDirectory() as venv:
            made = subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv],
                                  capture_output=True)
            if made.returncode != 0:
                self.skipTest("this Python cannot make a venv")
            env = dict(os.environ, PATH=os.path.join(venv, "bin") + os.pathsep
                       + os.environ["PATH"])
            path = os.path.join(self.folder.name, "day.json")
            with open(path, "w") as f:
                json.dump(self.trace, f)
            drawn = daychart("draw", path, os.path.join(self.folder.name, "venv.svg"), env=env)
        self.assertEqual(drawn.returncode, 0, drawn.stdout + drawn.stderr)


class Broken(unittest.TestCase):
    def test_a_spurious_wake_up_breaks_if_in_put_for_real(self):
        with tempfile.TemporaryDirectory() as folder:
            drawn = daychart("record", os.path.join(BUILD, "bin", "orderdesk-if_in_put"), "piped",
                             os.path.join(folder, "if.json"), "--spurious", "buffer_full",
                             "--draw", os.path.join(folder, "if.svg"))
        self.assertEqual(drawn.returncode, 1, drawn.stdout + drawn.stderr)
        self.assertIn("the day broke at", drawn.stdout)
        self.assertIn("5 orders in a ring of 4", drawn.stdout)

    def test_what_the_tool_cannot_do_is_its_own_failure(self):
        with tempfile.TemporaryDirectory() as folder:
            stripped = os.path.join(folder, "orderdesk")
            shutil.copy(os.path.join(BUILD, "bin", "orderdesk"), stripped)
            subprocess.run([os.environ.get("STRIP", "strip"), stripped], check=True)
            nothing = os.path.join(folder, "nothing.json")
            with open(nothing, "w") as f:
                json.dump({"traceEvents": []}, f)
            trace, picture = os.path.join(folder, "day.json"), os.path.join(folder, "day.svg")
            for args, said, written in [
                    (("record", stripped, "piped", trace), "is stripped", trace),
                    (("draw", nothing, picture), "not the three threads of orderdesk", picture)]:
                with self.subTest(said):
                    with open(written, "w") as f:
                        f.write("what an earlier run wrote")
                    done = daychart(*args)
                    self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                    self.assertIn(said, done.stderr)
                    self.assertFalse(os.path.exists(written), "an earlier output left in place")


class Committed(unittest.TestCase):
    def test_the_committed_traces_hold_three_threads_and_draw_as_they_were(self):
        for name, status, said in [("piped", 0, ""), ("typed", 0, ""),
                                   ("if_in_put", 1, "5 orders in a ring of 4")]:
            with self.subTest(name):
                path = os.path.join(SOURCE, "docs", "figures", f"day-{name}.json")
                with open(path) as f:
                    trace = json.load(f)
                names = {e["args"]["name"] for e in events(trace, "M", "thread_name")}
                self.assertEqual(names, THREADS)
                with tempfile.TemporaryDirectory() as folder:
                    drawn = daychart("draw", path, os.path.join(folder, "day.svg"))
                self.assertEqual(drawn.returncode, status, drawn.stdout + drawn.stderr)
                self.assertIn(said, drawn.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
