# SPDX-License-Identifier: MIT
"""Runs a command with a deadline: one that outlives it is killed, with everything it started."""

import os
import signal
import subprocess
from dataclasses import dataclass


@dataclass
class Ran:
    status: int  # None when the command was killed at its deadline
    out: bytes
    err: bytes

    @property
    def text(self):
        return self.out.decode(errors="replace")


def run(command, data=b"", limit=60.0, env=None, cwd=None):
    """Runs command with data as its standard input, for at most limit seconds."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env, cwd=cwd, start_new_session=True)
    try:
        out, err = process.communicate(data, timeout=limit)
        return Ran(process.returncode, out, err)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        return Ran(None, out, err)
