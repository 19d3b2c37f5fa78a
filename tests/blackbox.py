"""Runs a built program the way its users do: bytes in, bytes out, exit status, timing.

Every test module is run as  python3 MODULE.py PROGRAM [unittest arguments].
"""

import atexit
import os
import subprocess
import sys
import threading
import time
import unittest

PROGRAM = ""
HARD_LIMIT = 60.0  # seconds; a run still going then is killed (SIGKILL) and fails
SANITIZED = bool(os.environ.get("SANITIZE"))

# Run under this, a program's first pthread_create fails with EAGAIN: the default thread
# stack, as large as the stack limit, no longer fits in the address-space limit.
NO_THREADS = ("sh", "-c", 'ulimit -s 1000000 && ulimit -v 500000 && exec "$0"')


class Session:
    """One run of PROGRAM; its output is collected with arrival times while we type."""

    def __init__(self, wrapper=(), stdout=subprocess.PIPE):
        self.start = time.monotonic()
        self.proc = subprocess.Popen([*wrapper, PROGRAM], stdin=subprocess.PIPE, stdout=stdout)
        atexit.register(self.proc.kill)  # a failed test leaves no program behind
        self.killer = threading.Timer(HARD_LIMIT, self.proc.kill)
        self.killer.daemon = True
        self.killer.start()
        self.chunks = []  # (seconds since start, bytes)
        self.reader = threading.Thread(target=self._read, daemon=True)
        if self.proc.stdout:
            self.reader.start()

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

    def finish(self):
        self.end_input()
        self.status = self.proc.wait()
        self.elapsed = time.monotonic() - self.start
        self.killer.cancel()
        if self.proc.stdout:
            self.reader.join()
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


def main():
    global PROGRAM
    PROGRAM = sys.argv[1]
    unittest.main(argv=[sys.argv[0], *sys.argv[2:]], verbosity=2)
