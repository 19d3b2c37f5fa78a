# SPDX-License-Identifier: MIT
"""orderdesk as its users see it: exact lines, their order between the threads, timing."""

import os
import tempfile
import time
import unittest

import blackbox
from blackbox import (NO_THREADS, NO_THREADS_LIMITS, OUTPUT_LOST, REFUSED, Session, hostile_runs,
                      lost_output_statuses, needs, run, start, stream_reads)

PROMPT = b"Enter a menu item number between 1 and 50: "
FAREWELL = b"Phew! Done with orders for today!\n"
INT_MAX, INT_MIN = 2**31 - 1, -(2**31)
AT_ONCE = 5.0  # seconds: far less than a day's ten, with room for a slow or loaded machine


def confirmation(number, item):
    return PROMPT + b"Got new order! Order number is %d and item number: %d\n" % (number, item)


def processing(number, item):
    return b"Processing order number %d with item number: %d\n" % (number, item)


class DayTest(unittest.TestCase):
    def check_day(self, session, items):
        """A whole day: every line exact, each thread's lines in sequence, the farewell last."""
        items = list(items) + [0] * (10 - len(items))
        lines = session.out.splitlines(keepends=True)
        self.assertEqual(session.status, 0)
        self.assertEqual(len(lines), 21, session.out)
        self.assertEqual(lines[-1], FAREWELL)
        taken = [line for line in lines if line.startswith(PROMPT)]
        self.assertEqual(taken, [confirmation(n, item) for n, item in enumerate(items)])
        processed = [line for line in lines if not line.startswith(PROMPT)][:-1]
        self.assertEqual(processed, [processing(n, item) for n, item in enumerate(items)])
        for n, item in enumerate(items):
            self.assertLess(lines.index(confirmation(n, item)), lines.index(processing(n, item)))
        self.assertGreaterEqual(session.elapsed, 10.0)


class Day(DayTest):
    def test_piped_day_passes_through_a_ring_of_four_at_one_order_per_second(self):
        items = [5, 0, 51, -3, 50, 1, INT_MAX, INT_MIN, 17, 42]
        session = start(b"".join(b"%d\n" % item for item in items)).finish()
        self.check_day(session, items)

        # Orders 0 to 5 are confirmed at once: four wait in the ring, one is being
        # processed, one waits for room. Then each take makes room for one more. A loaded
        # machine may run late, never early: order n is announced after n seconds of sleep,
        # so it cannot reach us sooner than n seconds after the day's start, however late the
        # lines before it arrived; the upper bound allows half a second more for each order.
        # Together they fail a day whose consumer spends no second, or two.
        seen = {line: when for when, line in session.lines()}
        first = seen[processing(0, items[0])]
        for n, item in enumerate(items):
            confirmed, processed = seen[confirmation(n, item)], seen[processing(n, item)]
            self.assertGreaterEqual(processed, n, "a second per order")
            self.assertLessEqual(processed - first, 1.5 * n + 0.5, f"order {n} processed late")
            earliest = max(n - 5, 0)
            self.assertGreaterEqual(confirmed, earliest, f"order {n} confirmed before there was room")
            taken = seen[processing(earliest, items[earliest])]
            self.assertLess(confirmed, taken + 0.5, f"order {n} not confirmed once there was room")
        self.assertGreaterEqual(seen[FAREWELL], 10.0)


class ShortInput(DayTest):
    def test_orders_without_a_number_record_zero(self):
        cases = {
            b"": [],
            b"7 8 9\n": [7, 8, 9],
            b" 3\n\t4\n\n  5": [3, 4, 5],
            b"4 five 6\n": [4],
            b"12 99999999999 3\n": [12, INT_MAX],
            b"-99999999999 3\n": [INT_MIN],
            b"+8 -0 9x": [8, 0, 9],
        }
        sessions = {data: start(data) for data in cases}  # days run side by side
        for data, items in cases.items():
            with self.subTest(input=data):
                self.check_day(sessions[data].finish(), items)


class Interactive(DayTest):
    def test_prompt_waits_for_the_user_and_nothing_interrupts_it(self):
        # Typed a little slower than the orders are processed. Each prompt comes once the
        # last number was confirmed and there was room in the ring (on a loaded machine the
        # consumer may fall behind, and the ring fill); then, while it waits, it must stay
        # last, alone, a processing line's period and more.
        session = Session()
        for n in range(10):
            deadline = time.monotonic() + 30
            while not (session.output().count(PROMPT) == n + 1
                       and session.output().endswith(PROMPT)) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertEqual(session.output().count(PROMPT), n + 1, session.output())
            self.assertTrue(session.output(after=1.2).endswith(PROMPT), session.output())
            session.type(b"%d\n" % (n * 3))
        self.check_day(session.finish(), [n * 3 for n in range(10)])


class Hostile(DayTest):
    def test_hostile_input_reads_as_the_stream_rules_say(self):
        for name, data, session in hostile_runs():
            with self.subTest(name):
                self.check_day(session, [item or 0 for item in stream_reads(data, 10)])


class Failures(unittest.TestCase):
    def test_lost_output_ends_the_day_with_status_1(self):
        self.assertEqual(lost_output_statuses(b"1 2 3"), dict.fromkeys(OUTPUT_LOST, 1))

    @unittest.skipIf(blackbox.SANITIZED, "sanitizers need more address space than the limit")
    @unittest.skipIf(blackbox.EMULATOR, blackbox.EMULATOR_REFUSED)
    def test_refused_thread_is_reported_at_once_with_status_255(self):
        needs(NO_THREADS_LIMITS, "the limits that refuse a thread")
        result = run(b"1 2 3", wrapper=NO_THREADS)
        self.assertEqual((result.out, result.status), (REFUSED, 255))
        self.assertLess(result.elapsed, AT_ONCE)

    @unittest.skipUnless(os.environ.get("REFUSE_LIBRARY"), "no library to refuse a thread here")
    def test_first_thread_refused_alone_is_reported_at_once_with_status_255(self):
        # The consumer is refused and the producer would be allowed: the program must not
        # start it, and must not wait for a day.
        refuse = ("env", f"LD_PRELOAD={os.environ['REFUSE_LIBRARY']}",
                  "THREADTRIO_REFUSE_CREATE=1")
        result = run(b"1 2 3", wrapper=refuse)
        self.assertEqual((result.out, result.status), (REFUSED, 255))
        self.assertLess(result.elapsed, AT_ONCE)

    @unittest.skipIf(blackbox.SANITIZED, "sanitizers need more address space than the limit")
    @unittest.skipIf(blackbox.EMULATOR, blackbox.EMULATOR_REFUSED)
    @unittest.skipUnless(os.environ.get("STRACE"), "strace is not used in this build")
    def test_second_thread_refused_alone_is_reported_at_once_with_status_255(self):
        # A thread's stack is as large as the stack limit. With a limit far above all else
        # that the program maps, an address-space limit half a stack below what a running
        # day maps leaves room for the consumer's stack, not for the producer's too.
        stack_kib = 1_000_000
        strace = os.environ["STRACE"]
        needs(f"ulimit -s {stack_kib}", "a stack limit this large")
        needs(f"{strace} -o /dev/null true", "tracing a process")
        limit = f'ulimit -s {stack_kib} && exec "$0" "$@"'
        day = Session(wrapper=("sh", "-c", limit))
        self.assertTrue(day.output_ending(PROMPT).endswith(PROMPT), "both threads run")
        with open(f"/proc/{day.proc.pid}/status") as status:
            mapped_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        day.kill()
        day.finish()
        self.assertLess(mapped_kib - 2 * stack_kib, stack_kib / 4, "all else is small")

        with tempfile.NamedTemporaryFile("r") as trace:
            # Only the clones that succeeded (-z): where clone3 is refused, the library
            # tries clone.
            result = run(b"1 2 3", wrapper=(
                strace, "-f", "-z", "-e", "trace=clone,clone3", "-o", trace.name,
                "sh", "-c", f"ulimit -v {mapped_kib - stack_kib // 2} && {limit}"))
            self.assertEqual(trace.read().count("CLONE_THREAD"), 1, "the consumer started")
        self.assertEqual((result.out, result.status), (REFUSED, 255))
        self.assertLess(result.elapsed, AT_ONCE)


if __name__ == "__main__":
    blackbox.main()
