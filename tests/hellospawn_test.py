# SPDX-License-Identifier: MIT
"""hellospawn as its users see it: the whole output, its timing, and a real failed start."""

import unittest

import blackbox
from blackbox import (NO_THREADS, NO_THREADS_LIMITS, OUTPUT_LOST, REFUSED, Session, hostile_runs,
                      lost_output_statuses, needs, run, stream_reads)

HEAD = b"In main: creating thread \nEnter a number: "


def greeting(number):
    return HEAD + b"Hello World from thread with arg: %d!\n" % number


class Greeting(unittest.TestCase):
    def test_whole_output_for_each_input(self):
        cases = {
            b"42\n": 42,
            b"-7": -7,
            b"": 0,
            b"forty-two\n": 0,
            b"  \n\t2147483647 9": 2**31 - 1,
            b"99999999999": 2**31 - 1,
            b"-2147483648\n": -(2**31),
        }
        for data, number in cases.items():
            with self.subTest(input=data):
                result = run(data)
                self.assertEqual((result.out, result.status), (greeting(number), 0))

    def test_texts_show_before_input(self):
        session = Session()
        self.assertEqual(session.output_ending(HEAD), HEAD)
        session.type(b"5\n")
        self.assertEqual(session.finish().out, greeting(5))

    @unittest.skipIf(blackbox.SANITIZED, "sanitizers need more address space than the limit")
    @unittest.skipIf(blackbox.EMULATOR, blackbox.EMULATOR_REFUSED)
    def test_failed_thread_start_is_reported_with_status_255(self):
        needs(NO_THREADS_LIMITS, "the limits that refuse a thread")
        result = run(b"42\n", wrapper=NO_THREADS)
        self.assertEqual((result.out, result.status), (HEAD + REFUSED, 255))

    def test_hostile_input_reads_as_the_stream_rules_say(self):
        for name, data, result in hostile_runs():
            with self.subTest(name):
                number = stream_reads(data, 1)[0] or 0
                self.assertEqual((result.out, result.status), (greeting(number), 0))

    def test_lost_output_ends_with_status_1(self):
        self.assertEqual(lost_output_statuses(b"42\n"), dict.fromkeys(OUTPUT_LOST, 1))

if __name__ == "__main__":
    blackbox.main()
