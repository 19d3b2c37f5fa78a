# SPDX-License-Identifier: MIT
"""threadlab: the tools around the order desk's lesson. Run as python3 -m threadlab with this
folder's parent on the Python path, or through the lab's short commands (lab/schedule)."""

import os

LAB = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the lab's folder
PROJECT = os.path.dirname(LAB)
