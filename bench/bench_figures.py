"""Cost of one run's QC figure: seconds to draw it and kB it takes on disk (targets: 0.5 s, 150 kB).

The 96x96x60 phantom with 65 volumes (5 b0 + 60 directions) is written as .nii.gz with its y axis
flipped, so the figure has both rows (as given, after the fix). The engine runs once; then
qc.write_run_figures (what a batch calls per run: choose regions, draw, write the PNG) is timed in
the same process, best and median of several rounds, wall and CPU time. Importing matplotlib and
nibabel happens once per process and is reported apart.

    PYTHONPATH=build/python:python .venv/bin/python bench/bench_figures.py [--rounds 7]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import dirsieve
from dirsieve import qc
from dirsieve.phantom import write_phantom

SECONDS = 0.5
KILOBYTES = 150.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--flip", default="y", help="axis letter or label; 'none' for a PASS (one row)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as directory:
        p = write_phantom(directory, shape=(96, 96, 60), n_b0=5, n_directions=60, background=50.0, grad=False,
                          mask=False, flip=None if args.flip == "none" else args.flip)
        result = dirsieve.check(p["dwi"], bvec=p["bvec"], bval=p["bval"], glyphs=True)
        verdict = result.verdict.to_dict()
        print(f"verdict on the phantom: {verdict['status']} ({verdict['reason']})")
        start = time.perf_counter()
        qc.require_matplotlib()
        print(f"importing matplotlib and nibabel (once per process): {time.perf_counter() - start:.3f} s")
        walls, cpus, sizes = [], [], []
        for r in range(args.rounds + 1):
            folder = os.path.join(directory, f"run{r}")
            os.mkdir(folder)
            start, cpu = time.perf_counter(), time.process_time()
            names = qc.write_run_figures(folder, "sub-01_dwi", result.report, verdict, result.glyphs)
            wall, cpu = time.perf_counter() - start, time.process_time() - cpu
            size = sum(os.path.getsize(os.path.join(folder, n)) for n in names) / 1024.0
            if r == 0:
                print(f"first figure (fonts loaded, caches filled): {wall:.3f} s")
                continue
            walls.append(wall)
            cpus.append(cpu)
            sizes.append(size)
    best, median = min(walls), statistics.median(walls)
    print(f"figures per run: best {best:.3f} s, median {median:.3f} s wall ({statistics.median(cpus):.3f} s CPU), "
          f"{max(sizes):.1f} kB in {len(names)} file(s)")
    ok = median <= SECONDS and max(sizes) <= KILOBYTES
    print(f"targets: at most {SECONDS} s and {KILOBYTES:.0f} kB per run: {'met' if ok else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
