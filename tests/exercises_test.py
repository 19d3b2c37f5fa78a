# SPDX-License-Identifier: MIT
"""The commands of the exercises and of the primer, run as a learner runs them: each line of each
block of commands in docs/6-exercises.md but the first (which builds), or in docs/0-primer.md,
in the source folder, by bash, with the environment this test was given (the PATH and whichever
python3 comes first on it). A line's comment "# exits N" (or "N or M") gives the statuses it
may end with; 0 where it says none.

    python3 exercises_test.py BUILD_DIR [N] [PAGE]

runs block N (from 1; all when not given) of PAGE (6-exercises.md when not given). The commands
name the default build, build/default; BUILD_DIR takes its place."""

import os
import re
import subprocess
import sys
import unittest

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHOICE = int(sys.argv.pop(1)) if len(sys.argv) > 1 else None
PAGE = sys.argv.pop(1) if len(sys.argv) > 1 else "6-exercises.md"
with open(os.path.join(SOURCE, "docs", PAGE)) as f:
    BLOCKS = re.findall(r"^```sh\n(.*?)^```", f.read(), re.M | re.S)
BLOCKS = BLOCKS[1:] if PAGE == "6-exercises.md" else BLOCKS  # the first builds
CHOSEN = [BLOCKS[CHOICE - 1]] if CHOICE else BLOCKS


def commands(block):
    """(command, the statuses it may end with) for each line of a block."""
    for line in block.strip().splitlines():
        command, _, comment = line.partition("  # ")
        said = re.match(r"exits (\d+)(?: or (\d+))?", comment.strip())
        yield command.strip(), {int(n) for n in said.groups() if n} if said else {0}


class Exercises(unittest.TestCase):
    def test_every_command_ends_as_its_exercise_says(self):
        self.assertGreaterEqual(len(BLOCKS), 6 if PAGE == "6-exercises.md" else 1)
        for block in CHOSEN:
            for command, statuses in commands(block):
                with self.subTest(command):
                    done = subprocess.run(["bash", "-c", command.replace("build/default", BUILD)],
                                          cwd=SOURCE, stdin=subprocess.DEVNULL,
                                          capture_output=True, text=True, timeout=240)
                    said = done.stdout + done.stderr
                    self.assertIn(done.returncode, statuses, said)
                    self.assertTrue(done.stdout.strip(), f"it printed nothing:\n{said}")


if __name__ == "__main__":
    unittest.main(verbosity=2)
