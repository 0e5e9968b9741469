"""Reads a valgrind memcheck log and fails on memory errors or definite leaks that involve _dirsieve.

A loss record or error counts as ours when any frame of its stack lies in the _dirsieve module or in
the dirsieve namespace. Usage: valgrind_report.py <memcheck log>
"""

import re
import sys

OURS = re.compile(r"_dirsieve|dirsieve::|/src/core/|/src/python/")


def records(lines):
    """Yields (headline, stack lines) for every error and loss record of the log."""
    current = None
    for raw in lines:
        line = re.sub(r"^==\d+== ?", "", raw.rstrip("\n"))
        if current is None:
            if line and not line.startswith(" ") and (
                "lost in loss record" in line or line.startswith(("Invalid ", "Conditional jump", "Use of uninit",
                                                                  "Mismatched free", "Syscall param", "Source and destination"))
            ):
                current = (line, [])
        elif line.strip() == "":
            yield current
            current = None
        else:
            current[1].append(line)
    if current is not None:
        yield current


def main(path):
    with open(path, errors="replace") as f:
        lines = f.readlines()
    ours, theirs = [], 0
    for headline, stack in records(lines):
        involved = any(OURS.search(frame) for frame in stack)
        if "lost in loss record" in headline and "definitely" not in headline:
            continue
        if involved:
            ours.append((headline, stack))
        else:
            theirs += 1
    summary = [l.split("== ", 1)[-1].rstrip() for l in lines if "definitely lost:" in l or "ERROR SUMMARY" in l]
    for line in summary:
        print("valgrind:", line)
    print(f"valgrind: {len(ours)} errors or definite losses involving _dirsieve, {theirs} elsewhere (interpreter)")
    for headline, stack in ours[:10]:
        print(headline)
        print("\n".join(stack[:25]))
        print()
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
