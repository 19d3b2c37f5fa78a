# SPDX-License-Identifier: MIT
"""Every command of the exercises runs as written.
    python3 exercises_test.py SOURCE_DIR BUILD_DIR
The commands name the lab build as build/lab; they run in SOURCE_DIR with BUILD_DIR in its
place. The first block, which builds, is what made BUILD_DIR."""

import os
import re
import subprocess
import sys
import unittest

SOURCE, BUILD = sys.argv.pop(1), sys.argv.pop(1)


class Exercises(unittest.TestCase):
    def test_every_command_runs(self):
        with open(os.path.join(SOURCE, "docs", "exercises.md")) as f:
            blocks = re.findall(r"^```sh\n(.*?)^```", f.read(), re.M | re.S)
        self.assertGreaterEqual(len(blocks), 6)
        for block in blocks[1:]:
            with self.subTest(block.splitlines()[0]):
                done = subprocess.run(["bash", "-euo", "pipefail", "-c",
                                       block.replace("build/lab", BUILD)], cwd=SOURCE,
                                      capture_output=True, text=True, timeout=240)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertTrue(done.stdout.strip(), "the commands printed nothing")


if __name__ == "__main__":
    unittest.main()
