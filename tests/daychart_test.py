# SPDX-License-Identifier: MIT
"""The day's tracer and chart: a traced day of the real program, broken days, the committed
traces.  python3 daychart_test.py ORDERDESK SOURCE_DIR  (ORDERDESK built with -pg)"""

import copy
import json
import os
import subprocess
import sys
import tempfile
import unittest

ORDERDESK, SOURCE = sys.argv.pop(1), sys.argv.pop(1)
TOOL = os.path.join(SOURCE, "tools", "daychart.py")
THREADS = {"main", "producer (takeOrders)", "consumer (processOrders)"}


def daychart(*args):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True,
                          timeout=90)


def events(trace, ph, name=None):
    return [e for e in trace["traceEvents"] if e["ph"] == ph and name in (None, e["name"])]


class Traced(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.folder.name, "piped.json")
        recorded = daychart("record", ORDERDESK, "piped", cls.path)
        assert recorded.returncode == 0, recorded.stderr
        with open(cls.path) as f:
            cls.trace = json.load(f)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def draw(self, trace):
        path = os.path.join(self.folder.name, "day.json")
        with open(path, "w") as f:
            json.dump(trace, f)
        return daychart("draw", path, os.path.join(self.folder.name, "day.svg"))

    def test_a_piped_day_draws_whole(self):
        drawn = self.draw(self.trace)
        self.assertEqual(drawn.returncode, 0, drawn.stdout + drawn.stderr)
        self.assertIn("most orders in the ring: 4", drawn.stdout)
        # Orders 5 to 9 each find the ring full: the check that the producer waits only at
        # four is not vacuous.
        waits = [e for e in events(self.trace, "B", "pthread_cond_wait")
                 if e.get("args", {}).get("uses") == "buffer_full"]
        self.assertGreaterEqual(len(waits), 5)

    def test_a_broken_day_is_drawn_with_its_violation_and_fails(self):
        def processing(t):
            return [e for e in events(t, "i") if e["name"].startswith("Processing")]

        def lose_order_3(t):
            t["traceEvents"].remove(processing(t)[3])

        def process_order_2_twice(t):
            processing(t)[3]["name"] = processing(t)[2]["name"]

        def put_a_fifth_order(t):
            # One more put, seen as its release of data_mutex, while four orders wait.
            put = dict(next(e for e in events(t, "B", "ringPut")), ts=processing(t)[0]["ts"])
            unlock = dict(put, name="pthread_mutex_unlock", args={"uses": "data_mutex"})
            t["traceEvents"] += [put, unlock, dict(unlock, ph="E"), dict(put, ph="E")]

        def hang(t):
            t["metadata"]["status"] = None

        for fault, said in [(lose_order_3, "order 3 never processed"),
                            (process_order_2_twice, "order 2 processed twice"),
                            (put_a_fifth_order, "5 orders in a ring of 4"),
                            (hang, "the day did not end")]:
            with self.subTest(fault.__name__):
                broken = copy.deepcopy(self.trace)
                fault(broken)
                drawn = self.draw(broken)
                self.assertEqual(drawn.returncode, 1, drawn.stdout + drawn.stderr)
                self.assertIn(said, drawn.stdout)
                with open(os.path.join(self.folder.name, "day.svg")) as f:
                    self.assertIn(said, f.read())

    def test_what_is_no_trace_is_refused(self):
        drawn = self.draw({"traceEvents": []})
        self.assertEqual(drawn.returncode, 2)
        self.assertIn("cannot read the day", drawn.stderr)


class Committed(unittest.TestCase):
    def test_the_committed_traces_hold_three_threads_and_draw_as_they_were(self):
        # The piped and typed days are whole; the day of if_in_put broke.
        for day, status, said in [("piped", 0, ""), ("typed", 0, ""),
                                  ("if-in-put", 1, "5 orders in a ring of 4")]:
            with self.subTest(day):
                path = os.path.join(SOURCE, "docs", f"day-{day}.json")
                with open(path) as f:
                    trace = json.load(f)
                names = {e["args"]["name"] for e in events(trace, "M", "thread_name")}
                self.assertEqual(names, THREADS)
                with tempfile.TemporaryDirectory() as folder:
                    drawn = daychart("draw", path, os.path.join(folder, "day.svg"))
                self.assertEqual(drawn.returncode, status, drawn.stdout + drawn.stderr)
                self.assertIn(said, drawn.stdout)


if __name__ == "__main__":
    unittest.main()
