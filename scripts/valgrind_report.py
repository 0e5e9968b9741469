"""Reads two valgrind memcheck logs of the same call sequence, a short run and a long one, and fails on
memory errors involving _dirsieve or on definite losses involving _dirsieve that grow with the calls.

A record counts as ours when any frame of its stack lies in the _dirsieve module or the dirsieve
namespace. Some definite losses pass through the module once per process and do not grow: CPython 3.13
interns the key strings of PyDict_SetItemString and deliberately never frees interned strings at exit,
and oneTBB keeps its small-object caches; those show up in both runs, give or take a few blocks.
Usage: valgrind_report.py <short run log> <long run log>
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


ALLOWED_EXTRA_BLOCKS = 4
LOST = re.compile(r"([\d,]+) bytes in ([\d,]+) blocks are definitely lost")


def analyse(path):
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
    errors = [(h, st) for h, st in ours if "lost in loss record" not in h]
    lost_bytes = sum(int(LOST.search(h).group(1).replace(",", "")) for h, _ in ours if LOST.search(h))
    lost_blocks = sum(int(LOST.search(h).group(2).replace(",", "")) for h, _ in ours if LOST.search(h))
    return summary, errors, lost_bytes, lost_blocks, theirs, ours


def show(records):
    for headline, stack in records[:10]:
        print(headline)
        print("\n".join(stack[:25]))
        print()


def main(short_log, long_log):
    results = {}
    for name, path in (("short", short_log), ("long", long_log)):
        summary, errors, lost_bytes, lost_blocks, theirs, ours = analyse(path)
        results[name] = (errors, lost_bytes, lost_blocks, ours)
        for line in summary:
            print(f"valgrind ({name} run):", line)
        print(f"valgrind ({name} run): {len(errors)} memory errors involving _dirsieve; definitely lost through "
              f"_dirsieve: {lost_bytes} bytes in {lost_blocks} blocks; {theirs} records elsewhere (interpreter)")
    failed = False
    for name in ("short", "long"):
        if results[name][0]:
            print(f"valgrind: FAIL: memory errors involving _dirsieve in the {name} run")
            show(results[name][0])
            failed = True
    # A loss per call would add hundreds of blocks between the runs; a few come and go with the worker
    # threads' lazily created caches.
    if results["long"][2] - results["short"][2] > ALLOWED_EXTRA_BLOCKS:
        print("valgrind: FAIL: definite losses through _dirsieve grow with the number of calls")
        show(results["long"][3])
        failed = True
    if not failed:
        print("valgrind: no memory errors and no growing definite losses attributable to _dirsieve")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
