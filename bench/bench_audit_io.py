"""Audit of a gzip-compressed DWI against the decompressors alone, on the same file, in one run.

    PYTHONPATH=build/python:python .venv/bin/python bench/bench_audit_io.py [--rounds N] [--file DIR]

Writes the 96x96x60x65 int16 phantom as .nii.gz (gzip level 6, as scanners' converters write it),
then takes, round after round so that a busy machine slows all alike:
  - `libdeflate-gunzip -c FILE > /dev/null` wall (Debian package libdeflate-tools),
  - `gzip -dc FILE > /dev/null` wall,
  - `_dirsieve.audit(..., threads=2)` wall,
  - `_dirsieve.audit_profiled(..., threads=2)` decompress + convert stage times.
Each figure is the best of the rounds. Targets: audit at most 1.5x the libdeflate wall, decompress +
convert at most 1.2x it. `--baseline-build DIR` also times, in every round, the audit of an earlier
build whose module lies in DIR/python (in a child process, best of two there), and checks that this
build's audit is at least 1.8x faster. Exit status 0 when every target holds.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import _dirsieve
from dirsieve.phantom import write_phantom


def wall(command: list[str]) -> float:
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        subprocess.run(command, stdout=sink, check=True)
        return time.perf_counter() - start


BASELINE_SNIPPET = """
import sys, time, _dirsieve
dwi, bvec, bval = sys.argv[1:4]
_dirsieve.audit(bvec=bvec, bval=bval, dwi=dwi, threads=2)
best = float("inf")
for _ in range(2):
    start = time.perf_counter()
    _dirsieve.audit(bvec=bvec, bval=bval, dwi=dwi, threads=2)
    best = min(best, time.perf_counter() - start)
print(best)
"""


def baseline_audit(build: str, dwi: str, bvec: str, bval: str) -> float:
    """Best of two audits (after one warm-up) by the module in `build`/python, in a child process."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(build, "python"), os.path.join(here, "..", "python")]))
    out = subprocess.run([sys.executable, "-c", BASELINE_SNIPPET, dwi, bvec, bval], env=env, check=True,
                         capture_output=True, text=True).stdout
    return float(out.split()[-1])


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--dir", help="keep the phantom in this folder (reused when present)")
    parser.add_argument("--baseline-build", help="build folder of an earlier version to compare with")
    args = parser.parse_args()
    for tool in ("libdeflate-gunzip", "gzip"):
        if shutil.which(tool) is None:
            print(f"{tool} is not installed (scripts/setup.sh installs it)")
            return 2

    with tempfile.TemporaryDirectory() as scratch:
        directory = args.dir or scratch
        paths = {k: os.path.join(directory, f"dwi.{k}") for k in ("bvec", "bval")}
        paths["dwi"] = os.path.join(directory, "dwi.nii.gz")
        if not all(os.path.exists(p) for p in paths.values()):
            paths = write_phantom(directory, shape=(96, 96, 60), n_b0=5, n_directions=60, background=50.0,
                                  grad=False, mask=False, int16=True)
        dwi, bvec, bval = paths["dwi"], paths["bvec"], paths["bval"]
        print(f"image: {dwi}, {os.path.getsize(dwi)} bytes (96x96x60x65 int16, gzip)")

        wall(["libdeflate-gunzip", "-c", dwi])  # warms the page cache
        _dirsieve.audit(bvec=bvec, bval=bval, dwi=dwi, threads=2)
        tools = {"libdeflate": [], "gzip": []}
        audits, loads, decompress, convert, baseline = [], [], [], [], []
        for _ in range(max(1, args.rounds)):
            tools["libdeflate"].append(wall(["libdeflate-gunzip", "-c", dwi]))
            tools["gzip"].append(wall(["gzip", "-dc", dwi]))
            start = time.perf_counter()
            _dirsieve.audit(bvec=bvec, bval=bval, dwi=dwi, threads=2)
            audits.append(time.perf_counter() - start)
            _, timing = _dirsieve.audit_profiled(dwi, bvec=bvec, bval=bval, threads=2)
            decompress.append(timing["decompress"])
            convert.append(timing["convert"])
            loads.append(timing["decompress"] + timing["convert"])
            if args.baseline_build:
                baseline.append(baseline_audit(args.baseline_build, dwi, bvec, bval))

    libdeflate, gzip_dc, audit, load = min(tools["libdeflate"]), min(tools["gzip"]), min(audits), min(loads)
    print(f"libdeflate-gunzip -c > /dev/null : best {libdeflate:.4f} s")
    print(f"gzip -dc > /dev/null             : best {gzip_dc:.4f} s")
    print(f"audit (threads 2)                : best {audit:.4f} s = {audit / libdeflate:.2f}x libdeflate (limit 1.5)")
    print(f"audit_profiled decompress+convert: best {load:.4f} s = {load / libdeflate:.2f}x libdeflate (limit 1.2)"
          f"; decompress {min(decompress):.4f} s, convert {min(convert):.4f} s")
    ok = audit <= 1.5 * libdeflate and load <= 1.2 * libdeflate
    if baseline:
        speedup = min(baseline) / audit
        print(f"baseline audit (threads 2)       : best {min(baseline):.4f} s; speed-up {speedup:.2f}x (at least 1.8)")
        ok = ok and speedup >= 1.8
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
