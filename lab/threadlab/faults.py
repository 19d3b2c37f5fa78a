# SPDX-License-Identifier: MIT
"""The planted faults: lab/faults.json, the one table of them, and each one's patch."""

import json
import os

from . import LAB



def table():
    """{name: the fault's row}, in the table's order."""
    with open(os.path.join(LAB, "faults.json")) as f:
        return {row["name"]: row for row in json.load(f)["faults"]}


def patch(name):
    with open(os.path.join(LAB, "faults", f"{name}.patch")) as f:
        return f.read()
