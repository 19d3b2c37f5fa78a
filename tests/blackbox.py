# SPDX-License-Identifier: MIT
"""Runs a built program the way its users do: bytes in, bytes out, exit status, timing.

Every test module is run as  python3 MODULE.py PROGRAM [unittest arguments].
"""

import atexit
import errno
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

PROGRAM = ""
HARD_LIMIT = 90.0  # seconds; a run still going then is killed (SIGKILL) and fails
SANITIZED = bool(os.environ.get("SANITIZE"))
# A program built for another processor runs under the emulator named here (qemu-user);
# each wrapper below runs its "$0" "$@", which is the emulator and the program then.
EMULATOR = tuple(os.environ.get("EMULATOR", "").split())

# Run under these limits, a program's first pthread_create fails with EAGAIN: the default
# thread stack, as large as the stack limit, no longer fits in the address-space limit.
NO_THREADS_LIMITS = "ulimit -s 1000000 && ulimit -v 500000"
NO_THREADS = ("sh", "-c", NO_THREADS_LIMITS + ' && exec "$0" "$@"')
# What a program prints when the library refuses it a thread for want of resources; EAGAIN
# is 11 on most Linux architectures, not on all.
REFUSED = b"ERROR; return code from pthread_create() is %d\n" % errno.EAGAIN
# qemu-user starts threads of its own, which these limits refuse: it aborts.
EMULATOR_REFUSED = "qemu-user cannot start its own threads under the limits that refuse one"


class Refused(unittest.SkipTest):
    """This machine refuses what a case needs; the test module then ends with status 77."""


def needs(command, what):
    """Skips the calling case unless the shell command succeeds here."""
    if subprocess.run(("sh", "-c", command), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        raise Refused(f"refused here: {what} ({command})")

# Ways to lose a program's output; each program must then end with status 1.
OUTPUT_LOST = {
    "full device": ("sh", "-c", 'exec "$0" "$@" >/dev/full'),
    "closed": ("sh", "-c", 'exec "$0" "$@" >&-'),
}
NO_INPUT = ("sh", "-c", 'exec "$0" "$@" <&-')  # standard input closed


def _random_text(seed):
    rng = random.Random(seed)
    pieces = [b" ", b"\n", b"\t", b"+", b"-", b"0", b"7", b"42", b"x", b"\0", b"\xff", b"99999999999"]
    return b"".join(rng.choice(pieces) for _ in range(200))


HOSTILE = {
    "random bytes": random.Random(1).randbytes(4096),
    "binary zeros": bytes(4096),
    "a megabyte of digits": b"7" * (1 << 20),
    "above 32 bits": b"2147483648 5 6 7 8 9 1 2 3 4",
    "below 32 bits": b"-2147483649 5 6 7 8 9 1 2 3 4",
    "far beyond 32 bits": b"\t-" + b"9" * 40 + b" 12",
    **{f"random text {seed}": _random_text(seed) for seed in range(3)},
}

WHITESPACE = b" \t\n\v\f\r"


def stream_reads(data, count):
    """What `count` successive reads of an int from a standard stream leave: the number, 0
    when the characters do not convert, the nearest limit beyond 32 bits, or None once the
    stream has failed or ended and no longer touches the variable."""
    values, pos, failed = [], 0, False
    for _ in range(count):
        while pos < len(data) and data[pos] in WHITESPACE:
            pos += 1
        if failed or pos == len(data):
            failed = True
            values.append(None)
            continue
        token = re.match(rb"[+-]?[0-9]*", data[pos:]).group()
        pos += len(token)
        digits = token.lstrip(b"+-")
        magnitude = int(digits.lstrip(b"0")[:11] or b"0")  # 11 digits are beyond 32 bits already
        number = -magnitude if token.startswith(b"-") else magnitude
        clamped = min(max(number, -(2**31)), 2**31 - 1)
        failed = not digits or clamped != number
        values.append(clamped)
    return values


class Session:
    """One run of PROGRAM; its output is collected with arrival times while we type."""

    def __init__(self, wrapper=(), stdout=subprocess.PIPE):
        self.start = time.monotonic()
        # In a process group of its own, so that the kill reaches a wrapper's children too
        self.proc = subprocess.Popen([*wrapper, *EMULATOR, PROGRAM], stdin=subprocess.PIPE,
                                     stdout=stdout, start_new_session=True)
        atexit.register(self.kill)  # a failed test leaves no program behind
        self.killer = threading.Timer(HARD_LIMIT, self.kill)
        self.killer.daemon = True
        self.killer.start()
        self.chunks = []  # (seconds since start, bytes)
        self.reader = threading.Thread(target=self._read, daemon=True)
        if self.proc.stdout:
            self.reader.start()

    def kill(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def _read(self):
        while chunk := os.read(self.proc.stdout.fileno(), 65536):
            self.chunks.append((time.monotonic() - self.start, chunk))

    def type(self, data):
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # the program has stopped reading, as it may

    def end_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def output(self, after=0.0):
        """What the program has printed so far, once it had `after` more seconds to print."""
        time.sleep(after)
        return b"".join(chunk for _, chunk in self.chunks)

    def output_ending(self, end, within=5.0):
        """What the program has printed once it ends with `end`, or after `within` seconds
        (an emulated program may take a while to start)."""
        deadline = time.monotonic() + within
        while not self.output().endswith(end) and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.output()

    def finish(self):
        self.end_input()
        self.status = self.proc.wait()
        self.elapsed = time.monotonic() - self.start
        self.killer.cancel()
        atexit.unregister(self.kill)  # its process group may be gone, its number reused
        if self.proc.stdout:
            self.reader.join()
            self.proc.stdout.close()
        self.out = self.output()
        return self

    def lines(self):
        """Each complete output line with the time at which its line end arrived."""
        stamped, line = [], b""
        for when, chunk in self.chunks:
            for piece in chunk.splitlines(keepends=True):
                line += piece
                if line.endswith(b"\n"):
                    stamped.append((when, line))
                    line = b""
        return stamped


def start(data=b"", **kwargs):
    """Starts PROGRAM with all of `data` as its input, already ended."""
    session = Session(**kwargs)
    session.type(data)
    session.end_input()
    return session


def run(data=b"", **kwargs):
    return start(data, **kwargs).finish()


def hostile_runs():
    """Runs PROGRAM on each hostile input and on a closed input, side by side; yields the
    case's name, its input and the finished session."""
    sessions = {name: (data, start(data)) for name, data in HOSTILE.items()}
    sessions["closed input"] = (b"", start(wrapper=NO_INPUT))
    for name, (data, session) in sessions.items():
        yield name, data, session.finish()


def lost_output_statuses(data):
    """The exit status of PROGRAM on `data` for each way of losing its output."""
    sessions = {name: start(data, wrapper=wrapper) for name, wrapper in OUTPUT_LOST.items()}
    return {name: session.finish().status for name, session in sessions.items()}


def main():
    global PROGRAM
    PROGRAM = sys.argv[1]
    result = unittest.main(argv=[sys.argv[0], *sys.argv[2:]], verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    refused = [reason for _, reason in result.skipped if reason.startswith("refused here")]
    sys.exit(77 if refused else 0)
