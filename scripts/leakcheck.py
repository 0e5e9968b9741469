"""Repeats a representative sequence of _dirsieve calls (and the engine's dataset discovery) and checks
that nothing accumulates.

Every iteration runs each module function once (successful calls on a small phantom, a BIDS batch,
repairs that write files, and the usual failure paths: missing files, wrong argument types, a bad
thread count, a corrupt image). After a warm-up, the number of live Python objects, the allocated
memory blocks and the traced Python allocations must stay flat, and the resident set must not grow
beyond a small allowance. Exit status 1 when anything grows.

Run from the repository root with the module on PYTHONPATH, for example:
    PYTHONPATH=build/python:python .venv/bin/python scripts/leakcheck.py --iterations 100
Under valgrind (see scripts/valgrind.sh) use --no-checks: only the leak report of valgrind counts there.
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import os
import pathlib
import shutil
import sys
import tempfile
import tracemalloc

import _dirsieve
from dirsieve import _engine
from dirsieve.phantom import write_phantom


def make_bids(root: str, phantom: dict) -> None:
    dwi_dir = os.path.join(root, "sub-01", "dwi")
    os.makedirs(dwi_dir, exist_ok=True)
    for role, suffix in (("dwi", ".nii.gz"), ("bvec", ".bvec"), ("bval", ".bval")):
        shutil.copyfile(phantom[role], os.path.join(dwi_dir, "sub-01_dwi" + suffix))
    with open(os.path.join(dwi_dir, "sub-01_dwi.json"), "w") as f:
        json.dump({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05, "MultibandAccelerationFactor": 2}, f)


class Workload:
    def __init__(self, work: str, shape) -> None:
        self.work = work
        self.good = write_phantom(os.path.join(work, "good"), shape=shape)
        self.bad = write_phantom(os.path.join(work, "bad"), shape=shape, flip="x")
        self.bids = os.path.join(work, "bids")
        make_bids(self.bids, self.good)
        self.out = os.path.join(work, "out")
        os.makedirs(self.out, exist_ok=True)
        self.corrupt = os.path.join(work, "corrupt.nii.gz")
        with open(self.good["dwi"], "rb") as f:
            data = f.read()
        with open(self.corrupt, "wb") as f:
            f.write(data[: len(data) // 2])
        self.calls = 0

    def expect_error(self, exc_type, fn, *args, **kwargs) -> None:
        self.calls += 1
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn.__name__} did not raise {exc_type.__name__}")

    def call(self, fn, *args, **kwargs):
        self.calls += 1
        return fn(*args, **kwargs)

    def clear_outputs(self) -> None:
        for name in os.listdir(self.out):
            os.remove(os.path.join(self.out, name))

    def run_once(self) -> None:
        g, b = self.good, self.bad
        out = lambda name: os.path.join(self.out, name)  # noqa: E731
        self.call(_dirsieve.version)
        self.call(_dirsieve.build_features)
        self.call(_dirsieve.inspect, g["bvec"], g["bval"])
        self.call(_dirsieve.inspect, grad=g["grad"], strict=True, shell=1000)
        self.call(_dirsieve.audit, g["bvec"], g["bval"], dwi=g["dwi"], mask=g["mask"])
        self.call(_dirsieve.audit, g["bvec"], g["bval"])
        report, glyphs = self.call(_dirsieve.audit_with_glyphs, g["dwi"], grad=g["grad"], threads=1)
        json.loads(report)
        self.call(_dirsieve.audit_profiled, g["dwi"], g["bvec"], g["bval"], threads=2)
        self.call(_dirsieve.audit_profiled_with_glyphs, g["dwi"], g["bvec"], g["bval"], mask=g["mask"])
        self.call(_dirsieve.detect_flip, b["dwi"], b["bvec"], b["bval"])
        self.call(_dirsieve.detect_flip_with_glyphs, b["dwi"], grad=b["grad"], threads=2)
        self.clear_outputs()
        self.call(_dirsieve.repair, b["dwi"], out("r.bvec"), out("r.bval"), b["bvec"], b["bval"],
                  provenance=out("r.json"))
        self.call(_dirsieve.repair_with_glyphs, b["dwi"], out("g.bvec"), out("g.bval"), grad=b["grad"],
                  out_grad=out("g.grad"), dry_run=True)
        self.call(_dirsieve.recompute_bval, out("c.bvec"), out("c.bval"), g["bvec"], g["bval"], dry_run=True)
        self.call(_dirsieve.audit_bids, self.bids)
        self.call(_engine.discover_bids, self.bids, participant_label=["sub-01", "02"], session_label=None)
        self.call(_engine.acquisition_groups, json.dumps([{"status": "PASS", "confidence": 4.0}, {}]))
        # Failure paths: each must clean up after itself as well as a success does.
        self.expect_error(ValueError, _dirsieve.repair, b["dwi"], out("r.bvec"), out("r.bval"), b["bvec"],
                          b["bval"])  # refuses to overwrite the files written above
        self.expect_error(ValueError, _dirsieve.inspect, os.path.join(self.work, "missing.bvec"), g["bval"])
        self.expect_error(ValueError, _dirsieve.inspect, g["bvec"])
        self.expect_error(TypeError, _dirsieve.inspect, pathlib.Path(g["bvec"]), g["bval"])
        self.expect_error(TypeError, _dirsieve.audit, g["bvec"], g["bval"], tolerance="wide")
        self.expect_error(TypeError, _dirsieve.audit, g["bvec"], g["bval"], nonsense=1)
        self.expect_error(ValueError, _dirsieve.audit, g["bvec"], g["bval"], threads=0)
        self.expect_error(OverflowError, _dirsieve.audit, g["bvec"], g["bval"], threads=-1)
        self.expect_error(ValueError, _dirsieve.detect_flip, self.corrupt, g["bvec"], g["bval"])
        self.expect_error(ValueError, _dirsieve.audit, g["bvec"], g["bval"], dwi=g["dwi"], margin_threshold=0.0)
        self.expect_error(ValueError, _dirsieve.detect_flip, g["dwi"], g["bvec"], g["bval"], mask=self.corrupt)
        self.expect_error(TypeError, _engine.discover_bids, self.bids, participant_label=["01", 2])
        self.expect_error(ValueError, _engine.discover_bids, os.path.join(self.work, "missing"))
        self.expect_error(ValueError, _engine.acquisition_groups, "{}")


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def measure():
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
    return len(gc.get_objects()), sys.getallocatedblocks(), traced, rss_kib()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100, help="measured iterations (after the warm-up)")
    parser.add_argument("--warmup", type=int, default=5)
    parser.add_argument("--shape", type=int, nargs=3, default=(12, 12, 12))
    parser.add_argument("--tracemalloc", action="store_true", help="also trace Python allocations (slower)")
    parser.add_argument("--no-checks", action="store_true", help="only run the calls (for valgrind)")
    parser.add_argument("--rss-allowance-kib", type=int, default=16384)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="dirsieve-leakcheck-") as work:
        workload = Workload(work, tuple(args.shape))
        for _ in range(args.warmup):
            workload.run_once()
        if args.tracemalloc:
            tracemalloc.start()
        workload.calls = 0
        # Samples go into a preallocated C array so that recording them allocates nothing.
        history = array.array("q", [0] * 10)
        samples = 0
        every = max(1, args.iterations // len(history))
        before = measure()
        for i in range(args.iterations):
            workload.run_once()
            if not args.no_checks and (i + 1) % every == 0 and samples < len(history):
                history[samples] = measure()[1]
                samples += 1
        after = measure()
        if tracemalloc.is_tracing():
            tracemalloc.stop()

    objects, blocks, traced, rss = (a - b for a, b in zip(after, before))
    print(f"leakcheck: {workload.calls} calls in {args.iterations} iterations; growth: "
          f"{objects} gc objects, {blocks} allocated blocks, {traced} traced bytes, {rss} KiB resident")
    if args.no_checks:
        return 0
    failures = []
    # A handful of blocks can move with interpreter caches (type attribute cache, interned strings);
    # a leak of one object per call would show up as at least `calls` blocks.
    if objects > 0:
        failures.append(f"{objects} more live gc objects")
    if blocks > max(64, workload.calls // 50):
        failures.append(f"{blocks} more allocated blocks")
    if traced > 64 * 1024:
        failures.append(f"{traced} more traced bytes")
    # AddressSanitizer keeps freed memory in quarantine, so the resident set means nothing under it.
    under_asan = "libasan" in os.environ.get("LD_PRELOAD", "")
    if rss > args.rss_allowance_kib and not under_asan:
        failures.append(f"resident set grew by {rss} KiB")
    # The block count may drift by a few blocks as free lists and caches settle; one leaked object per
    # call would add thousands, which the samples show as a steady climb between the first and last.
    blocks_series = list(history[:samples])
    if len(blocks_series) >= 2 and blocks_series[-1] - blocks_series[0] > max(32, workload.calls // 50):
        failures.append(f"allocated blocks climbed through the run: {blocks_series}")
    for failure in failures:
        print("leakcheck: FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
