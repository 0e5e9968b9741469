"""dirsieve's flip stages against dipy's OLS tensor fit, on the same array, in one run.

    python bench/bench_dipy.py [--bench build/bench/bench_flip] [--rounds N] [--repeat N]

Each round runs ``bench_flip --dump DIR`` (fit + white-matter sample + 48-candidate scoring of a
96x96x60x65 phantom whose every voxel is fitted, at 1 and 2 threads) and then times dipy's
``TensorModel(gtab, fit_method="OLS").fit`` on the very array bench_flip dumped, with no mask.
Rounds alternate the two, so a busy machine slows both alike; the summary gives every round's
ratio. Installs nothing: without dipy it says so and only runs bench_flip.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

ROW = re.compile(r"^([12])\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s*$")


def run_flip(bench: str, directory: str, repeat: int) -> dict[int, float]:
    """bench_flip's fit+sample+score seconds per thread count."""
    out = subprocess.run([bench, "--repeat", str(repeat), "--dump", directory], check=True, capture_output=True,
                         text=True).stdout
    totals = {}
    for line in out.splitlines():
        match = ROW.match(line)
        if match:
            totals[int(match.group(1))] = float(match.group(5))
    if set(totals) != {1, 2}:
        raise SystemExit("unexpected bench_flip output:\n" + out)
    return totals


def time_dipy(directory: str, repeat: int) -> float:
    from dipy.core.gradients import gradient_table
    from dipy.reconst.dti import TensorModel

    nx, ny, nz, nt = (int(v) for v in open(os.path.join(directory, "shape.txt")).read().split())
    raw = np.fromfile(os.path.join(directory, "dwi.f32"), dtype=np.float32)
    data = np.ascontiguousarray(raw.reshape((nt, nz, ny, nx)).transpose(3, 2, 1, 0))  # (x, y, z, t)
    bvals = np.loadtxt(os.path.join(directory, "bvals"))
    bvecs = np.loadtxt(os.path.join(directory, "bvecs")).T
    norms = np.linalg.norm(bvecs, axis=1)
    bvecs = np.where(norms[:, None] > 0, bvecs / np.where(norms > 0, norms, 1)[:, None], 0)
    model = TensorModel(gradient_table(bvals, bvecs=bvecs, b0_threshold=50), fit_method="OLS")
    best = float("inf")
    for _ in range(max(1, repeat)):
        start = time.perf_counter()
        fit = model.fit(data)
        _ = fit.fa  # the eigen-decomposition is part of the work
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", default=os.path.join(os.path.dirname(__file__), "..", "build", "bench",
                                                         "bench_flip"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=3, help="best of N within each program")
    args = parser.parse_args()
    try:
        import dipy
    except ImportError:
        dipy = None
        print("dipy is not importable: bench_flip only")

    with tempfile.TemporaryDirectory() as directory:
        for round_ in range(1, args.rounds + 1):
            flip = run_flip(args.bench, directory, args.repeat)
            line = f"round {round_}: dirsieve {flip[1]:.4f} s (1 thread), {flip[2]:.4f} s (2 threads)"
            if dipy is not None:
                ref = time_dipy(directory, args.repeat)
                line += (f"; dipy {dipy.__version__} OLS fit {ref:.3f} s; ratio 1/{ref / flip[1]:.1f} (1 thread), "
                         f"1/{ref / flip[2]:.1f} (2 threads); scaling {flip[1] / flip[2]:.2f}x")
            print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
