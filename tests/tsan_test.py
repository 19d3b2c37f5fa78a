# SPDX-License-Identifier: MIT
"""A whole run of a ThreadSanitizer build, which must print its last line and no report.

    python3 tsan_test.py PROGRAM INPUT LAST_LINE

Under ThreadSanitizer a program whose main thread ends with pthread_exit never exits (the
sanitizer's own thread lives on), and it ignores SIGTERM. So the run is read until its
last line, given a moment to report, and killed; halt_on_error ends it early instead, with
status 66, at the first report. Any report, an early end or a missing last line fails.
"""

import os
import select
import signal
import subprocess
import sys
import time

program, data, last_line = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode() + b"\n"
env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1:exitcode=66")
run = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, env=env)
run.stdin.write(data)
run.stdin.close()

out = b""
deadline = time.monotonic() + 60
while not out.endswith(last_line) and time.monotonic() < deadline:
    if not select.select([run.stdout], [], [], deadline - time.monotonic())[0]:
        break
    chunk = os.read(run.stdout.fileno(), 65536)
    if not chunk:
        break
    out += chunk
time.sleep(0.5)  # a report raised by the last steps has time to arrive, or to end the run
status = run.poll()
run.send_signal(signal.SIGKILL)
err = run.stderr.read()
run.wait()

sys.stdout.buffer.write(out)
sys.stderr.buffer.write(err)
if status not in (None, 0) or b"ThreadSanitizer" in err:
    sys.exit(f"tsan_test: ThreadSanitizer reported (status {status})")
if not out.endswith(last_line):
    sys.exit(f"tsan_test: the run did not end with {last_line!r}")
print("tsan_test: the whole run, and no report")
