# SPDX-License-Identifier: MIT
"""Data races in a real run, as the race detectors see them: valgrind's helgrind on any build,
ThreadSanitizer on a build instrumented for it. Each race is told as its two accesses, each
with the function and, where the build has debug information, the file and line that made
it. What they see depends on the run: they watch the accesses that happen, and report a pair
that no lock or signal ordered."""

import os
import re
from dataclasses import dataclass

from . import day, deadline

LIMIT = 120.0  # seconds for a day under a detector
FRAME = re.compile(r"^\s*(?:==\d+==\s+)?(?:at|#\d+)\s+(?:0x[0-9a-fA-F]+:?\s*)?(?:in )?([\w:~]+)\(.*?\)"
                   r"(?:\s+\((?:([^()\s]+:\d+)|in [^)]*)\)|\s+(\S+:\d+)(?::\d+)?)?")


@dataclass(frozen=True)
class Access:
    kind: str  # read or write
    function: str
    where: str  # file:line, or "" without debug information

    def __str__(self):
        at = f" ({os.path.basename(self.where)})" if self.where else ""
        return f"a {self.kind} in {self.function}{at}"


@dataclass(frozen=True)
class Race:
    first: Access
    second: Access

    def __str__(self):
        return f"data race: {self.first}, against {self.second}"


def accesses(report, starts):
    """The accesses of a detector's report: each begins with a line matching starts, which
    names its kind, and is placed by its first frame in the program's own code."""
    found, current = [], None
    for line in report.splitlines():
        if kind := starts.search(line):
            current = [kind.group(1).lower(), None, ""]
            found.append(current)
        elif current and current[1] is None and (frame := FRAME.match(line)):
            name = frame.group(1).split("::")[-1]
            if not name.startswith(("__", "std")) and name not in ("memcpy", "memmove"):
                current[1], current[2] = name, frame.group(2) or frame.group(3) or ""
    return [Access(*a) for a in found if a[1]]


def pairs(found):
    return sorted({Race(found[i], found[i + 1]) for i in range(0, len(found) - 1, 2)},
                  key=str)


def helgrind(program, data=day.INPUT.encode(), limit=LIMIT):
    """(the run, the races that helgrind reports in it)."""
    ran = deadline.run(["valgrind", "-q", "--tool=helgrind", program], data, limit)
    starts = re.compile(r"(?:Possible data race during|conflicts with a previous) (\w+)")
    return ran, pairs(accesses(ran.err.decode(errors="replace"), starts))


def tsan_races(report):
    """The races in ThreadSanitizer's report."""
    starts = re.compile(r"^\s*(?:Previous )?(\w+) of size \d+ at ", re.I)
    return pairs(accesses(report, starts))


def tsan(program, data=day.INPUT.encode(), last_line=day.FAREWELL, limit=60.0):
    """(status, output, ThreadSanitizer's report, the races in it) of a run of a program built
    with -fsanitize=thread. A program whose main ends with pthread_exit never exits under
    ThreadSanitizer (its own thread lives on, and SIGTERM is ignored), so the run is read up
    to its last line, given half a second to report, and killed; halt_on_error ends it at
    the first report, with status 66. The status is None for a run that was killed."""
    env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1:exitcode=66")
    ran = deadline.run([program], data, limit, env=env, until=(last_line + "\n").encode())
    report = ran.err.decode(errors="replace")
    return ran.status, ran.out, report, tsan_races(report)
