# SPDX-License-Identifier: MIT
"""sortfour as its users see it: the exact bytes for every ordering, limit and bad input."""

import itertools
import unittest

import blackbox
from blackbox import OUTPUT_LOST, Session, hostile_runs, lost_output_statuses, run, stream_reads

HEADER = b"Input 4 values into the array.\n"
INT_MAX, INT_MIN = 2**31 - 1, -(2**31)


def printed(values):
    return HEADER + b"".join(b"%d " % value for value in values)


class Sorting(unittest.TestCase):
    def check(self, data, expected):
        with self.subTest(input=data):
            result = run(data)
            self.assertEqual((result.out, result.status), (printed(expected), 0))

    def test_every_ordering_of_small_values_with_ties(self):
        for values in itertools.product([-1, 0, 1, 2], repeat=4):
            self.check(b"%d %d %d %d\n" % values, sorted(values))

    def test_limits_of_32_bit_integers(self):
        for values in itertools.permutations([INT_MAX, INT_MIN, -1, 0]):
            self.check(b"%d %d %d %d" % values, sorted(values))
        self.check(b"%d %d %d %d" % (INT_MAX, INT_MIN, INT_MAX, INT_MIN), [INT_MIN] * 2 + [INT_MAX] * 2)

    def test_values_that_no_read_reached_stay_zero(self):
        self.check(b"", [0, 0, 0, 0])
        self.check(b"-3\n", [-3, 0, 0, 0])
        self.check(b"5 x 7 8", [0, 0, 0, 5])
        self.check(b"1 2 3 4.5", [1, 2, 3, 4])
        self.check(b"99999999999 -5 6 7", [0, 0, 0, INT_MAX])  # out of range: the limit, then no more
        self.check(b"7 -99999999999 1 2", [INT_MIN, 0, 0, 7])

    def test_any_whitespace_separates_and_only_four_are_read(self):
        self.check(b"\n 4\n\t3\r\n\v2\f  1", [1, 2, 3, 4])
        self.check(b"9 8 7 6 5 4 x", [6, 7, 8, 9])
        self.check(b"+5 -0 007 -12", [-12, 0, 5, 7])


class Console(unittest.TestCase):
    def test_header_shows_before_input_and_no_end_of_input_is_awaited(self):
        session = Session()
        self.assertEqual(session.output_ending(HEADER), HEADER)
        session.type(b"4 3 2 1\n")
        self.assertEqual(session.proc.wait(timeout=10), 0)
        self.assertEqual(session.finish().out, printed([1, 2, 3, 4]))


class Failures(unittest.TestCase):
    def test_hostile_input_reads_as_the_stream_rules_say(self):
        for name, data, result in hostile_runs():
            with self.subTest(name):
                values = [value or 0 for value in stream_reads(data, 4)]
                self.assertEqual((result.out, result.status), (printed(sorted(values)), 0))

    def test_lost_output_ends_with_status_1(self):
        self.assertEqual(lost_output_statuses(b"3 1 2 0"), dict.fromkeys(OUTPUT_LOST, 1))

if __name__ == "__main__":
    blackbox.main()
