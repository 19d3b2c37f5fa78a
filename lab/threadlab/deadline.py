# SPDX-License-Identifier: MIT
"""Runs a command with a deadline: one that outlives it is killed, with everything it started.
The run's output comes with the time each piece arrived, and its CPU time is kept."""

import os
import signal
import subprocess
import threading
import time
from dataclasses import dataclass, field


@dataclass
class Ran:
    status: int  # as subprocess gives it (minus a signal's number); None when it was killed
    out: bytes
    err: bytes
    took: float  # seconds from its start to its end
    cpu: float   # seconds of CPU time, its children's included
    timed_out: bool = False  # killed at the deadline
    stopped: bool = False    # killed once its output ended as asked
    chunks: list = field(default_factory=list)  # (seconds since the start, bytes)

    @property
    def text(self):
        return self.out.decode(errors="replace")

    def lines(self):
        """Each whole line of the output with the time its end arrived, and an unfinished last
        one with the run's end."""
        found, line = [], b""
        for when, chunk in self.chunks:
            for piece in chunk.splitlines(keepends=True):
                line += piece
                if line.endswith(b"\n"):
                    found.append((when, line.decode(errors="replace")))
                    line = b""
        return found + ([(self.took, line.decode(errors="replace"))] if line else [])


def run(command, data=b"", limit=60.0, env=None, cwd=None, until=None, grace=0.5):
    """Runs command with data as its standard input, for at most limit seconds. With until
    (bytes), the run is stopped grace seconds after its output ends with them, if it has not
    ended by then: for a program that never exits by itself."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env, cwd=cwd, start_new_session=True)
    started = time.monotonic()
    chunks, err, reached = [], [], threading.Event()

    def read_out():
        out = b""
        while chunk := os.read(process.stdout.fileno(), 65536):
            chunks.append((time.monotonic() - started, chunk))
            out += chunk
            if until is not None and out.endswith(until):
                reached.set()

    def read_err():
        while chunk := os.read(process.stderr.fileno(), 65536):
            err.append(chunk)

    readers = [threading.Thread(target=target, daemon=True) for target in (read_out, read_err)]
    for reader in readers:
        reader.start()
    try:
        process.stdin.write(data)
        process.stdin.close()
    except BrokenPipeError:
        pass  # it ended, or stopped reading, before it read all of it
    ended = threading.Event()
    timed_out = stopped = False

    def watch():
        nonlocal timed_out, stopped
        while not ended.is_set():
            if reached.wait(0.05):
                if not ended.wait(grace):
                    stopped = kill()
                return
            if time.monotonic() - started > limit:
                timed_out = kill()
                return

    def kill():
        try:
            os.killpg(process.pid, signal.SIGKILL)
            return True
        except ProcessLookupError:
            return False  # it ended meanwhile

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    _, status, usage = os.wait4(process.pid, 0)
    took = time.monotonic() - started
    ended.set()
    process.returncode = os.waitstatus_to_exitcode(status)
    for reader in readers:
        reader.join()
    watcher.join()
    return Ran(None if timed_out or stopped else process.returncode,
               b"".join(chunk for _, chunk in chunks), b"".join(err), took,
               usage.ru_utime + usage.ru_stime, timed_out, stopped, chunks)
