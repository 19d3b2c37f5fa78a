# SPDX-License-Identifier: MIT
"""The commands of one exercise run as written.
    python3 exercises_test.py SOURCE_DIR BUILD_DIR N
runs the Nth block of commands in docs/exercises.md (from 1; block 0 builds, and made
BUILD_DIR). The commands name the lab build as build/lab; they run in SOURCE_DIR with
BUILD_DIR in its place."""

import os
import re
import subprocess
import sys

SOURCE, BUILD, N = sys.argv[1], sys.argv[2], int(sys.argv[3])

with open(os.path.join(SOURCE, "docs", "exercises.md")) as f:
    block = re.findall(r"^```sh\n(.*?)^```", f.read(), re.M | re.S)[N]
done = subprocess.run(["bash", "-euo", "pipefail", "-c", block.replace("build/lab", BUILD)],
                      cwd=SOURCE, capture_output=True, text=True, timeout=240)
print(block + done.stdout + done.stderr)
if done.returncode != 0 or not done.stdout.strip():
    sys.exit(f"the commands failed or printed nothing (status {done.returncode})")
