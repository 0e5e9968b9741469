"""Time dipy's OLS tensor fit on the array written by ``bench_flip --dump DIR``.

    python bench/bench_dipy.py DIR [--repeat N]

Installs nothing: it exits with a message when dipy is not importable. The figure to compare with is
bench_flip's fit_tensors time (or fit+sample+score) on the same array.
"""

import argparse
import os
import sys
import time

import numpy as np


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    try:
        from dipy.core.gradients import gradient_table
        from dipy.reconst.dti import TensorModel
    except ImportError:
        print("dipy is not importable; nothing to compare")
        return 0

    d = args.directory
    nx, ny, nz, nt = (int(v) for v in open(os.path.join(d, "shape.txt")).read().split())
    raw = np.fromfile(os.path.join(d, "dwi.f32"), dtype=np.float32)
    data = raw.reshape((nt, nz, ny, nx)).transpose(3, 2, 1, 0)  # to (x, y, z, t), no copy
    data = np.ascontiguousarray(data)
    bvals = np.loadtxt(os.path.join(d, "bvals"))
    bvecs = np.loadtxt(os.path.join(d, "bvecs")).T
    norms = np.linalg.norm(bvecs, axis=1)
    bvecs = np.where(norms[:, None] > 0, bvecs / np.where(norms > 0, norms, 1)[:, None], 0)
    gtab = gradient_table(bvals, bvecs=bvecs, b0_threshold=50)
    model = TensorModel(gtab, fit_method="OLS")

    best = float("inf")
    for _ in range(max(1, args.repeat)):
        start = time.perf_counter()
        cpu_start = time.process_time()
        fit = model.fit(data)
        fa = fit.fa  # force the eigen-decomposition results to be used
        best = min(best, time.perf_counter() - start)
        cpu = time.process_time() - cpu_start
    print(f"dipy {__import__('dipy').__version__} TensorModel(OLS).fit on {data.shape} float32: {best:.3f} s "
          f"(process CPU {cpu:.3f} s, mean FA {float(np.nanmean(fa)):.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
