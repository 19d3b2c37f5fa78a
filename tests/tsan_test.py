# SPDX-License-Identifier: MIT
"""A whole run of a ThreadSanitizer build, which must print its last line and no report.

    python3 tsan_test.py PROGRAM INPUT LAST_LINE

The run is read to its last line and then killed (threadlab.races.tsan says why). Any report,
an early end or a missing last line fails."""

import sys

from threadlab import races

program, data, last_line = sys.argv[1], sys.argv[2].encode(), sys.argv[3]
status, out, report, _ = races.tsan(program, data, last_line)
sys.stdout.buffer.write(out)
sys.stderr.write(report)
if status not in (None, 0) or "ThreadSanitizer" in report:
    sys.exit(f"tsan_test: ThreadSanitizer reported (status {status})")
if not out.endswith((last_line + "\n").encode()):
    sys.exit(f"tsan_test: the run did not end with {last_line!r}")
print("tsan_test: the whole run, and no report")
