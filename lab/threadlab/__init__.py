# SPDX-License-Identifier: MIT
"""threadlab: the tools around the order desk's lesson. Run as python3 -m threadlab with this
folder's parent on the Python path, or through the lab's short commands (lab/schedule)."""
