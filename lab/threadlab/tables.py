# SPDX-License-Identifier: MIT
"""A run folded into a table to read: one row for each stretch of one thread, with the code's
steps it went through, what it did in the order desk's terms, and the count and the waiting
threads after it. The model's failing runs and the scheduler's are told the same way."""

import re

HEADER = ["| # | thread | the code's steps | what it does | count | waiting |",
          "|---|---|---|---|---|---|"]


def summary(did):
    """What a stretch of one thread did, each order's confirmation and put said together,
    and a run of orders that went the same way said once."""
    merged = []
    for phrase in did:
        put = re.fullmatch(r"puts order (\d+)", phrase)
        if put and merged and merged[-1] == f"confirms order {put.group(1)}":
            merged[-1] = f"confirms order {put.group(1)} and puts it"
        else:
            merged.append(phrase)
    runs = []  # [pattern, first, last]
    for phrase in merged:
        if phrase.startswith("**"):  # what went wrong is said as it is
            runs.append([phrase, None, None])
            continue
        pattern, n = re.sub(r"order \d+", "order #", phrase), re.search(r"order (\d+)", phrase)
        if n and runs and runs[-1][0] == pattern and int(n.group(1)) == runs[-1][2] + 1:
            runs[-1][2] += 1
        else:
            runs.append([pattern, int(n.group(1)) if n else None, int(n.group(1)) if n else None])
    said = []
    for pattern, first, last in runs:
        if first is None:
            said.append(pattern)
        elif first == last:
            said.append(pattern.replace("#", str(first)))
        else:
            said.append(pattern.replace("order #", f"orders {first}–{last}").replace(" it", " each"))
    return ", ".join(phrase if times == 1 else f"{phrase} ({times:,} times)"
                     for phrase, times in fold(said))


def fold(said, longest=6):
    """The same thing done again and again, said once with the count, as (phrase, times): one
    phrase, or a round of up to longest phrases done three times or more, such as a thread's
    that polls (lock, unlock, sleep)."""
    folded, at = [], 0
    while at < len(said):
        best, times = 1, 1
        for period in range(1, longest + 1):
            round_ = said[at:at + period]
            count = 1
            while said[at + count * period:at + (count + 1) * period] == round_:
                count += 1
            if (count >= 2 if period == 1 else count >= 3) and count * period > best * times:
                best, times = period, count
        round_ = said[at:at + best]
        folded.append((round_[0] if best == 1 else f"({', '.join(round_)})", times))
        at += best * times
    return folded


SHOWN = (40, 10)  # of a longer run: its first rows and its last


def table(rows, ending):
    """rows: dicts with who, steps (names), did (phrases), count, waiting; ending: the last
    row's words. Of a run of more rows than SHOWN allows, its first and last rows are shown."""
    lines = list(HEADER)
    first, last = SHOWN
    for n, row in enumerate(rows, 1):
        if first < n <= len(rows) - last:
            if n == first + 1:
                lines.append(f"| … | | | {len(rows) - first - last:,} more rows like these | | |")
            continue
        seen = row["steps"]
        span = f"{seen[0]} … {seen[-1]}" if len(seen) > 1 else "".join(seen)
        lines.append(f"| {n} | {row['who']} | {span} | {summary(row['did'])} | {row['count']} "
                     f"| {row['waiting']} |")
    lines.append(f"| {len(rows) + 1} | | | {ending} | | |")
    return "\n".join(lines) + "\n"
