"""Cost of the glyph export: audit_with_glyphs against audit on a 96x96x60 grid with 65 volumes.

Run with the module on PYTHONPATH, e.g.
    PYTHONPATH=build/python:python .venv/bin/python bench/bench_glyphs.py
The glyph dictionary (four packed byte arrays and the geometry) is built after the timed pipeline, so
its cost is the wall time beyond the pipeline's `total`, compared with the same call without glyphs.
It must stay under 5% of the audit.
"""
import statistics
import sys
import tempfile
import time

import _dirsieve
from dirsieve.phantom import write_phantom


def after_pipeline(fn, repeats):
    """Median seconds spent after the timed pipeline (serialising, building dicts) and median total."""
    extra, totals = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        wall = time.perf_counter() - start
        timing = result[1]
        extra.append(wall - timing["total"])
        totals.append(timing["total"])
    return statistics.median(extra), statistics.median(totals)


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory() as directory:
        p = write_phantom(directory, shape=(96, 96, 60), n_b0=5, n_directions=60, background=50.0, grad=False,
                          mask=False, gzip_image=False)
        args = (p["dwi"], p["bvec"], p["bval"])
        with_glyphs, total = after_pipeline(lambda: _dirsieve.audit_profiled_with_glyphs(*args), repeats)
        plain, _ = after_pipeline(lambda: _dirsieve.audit_profiled(*args), repeats)
    glyph_cost = max(with_glyphs - plain, 0.0)
    share = glyph_cost / total
    print(f"audit pipeline {total:.3f} s; glyph dict {glyph_cost * 1000:.1f} ms ({100 * share:.2f}% of the audit)")
    print("PASS" if share < 0.05 else "FAIL")
    return 0 if share < 0.05 else 1


if __name__ == "__main__":
    sys.exit(main())
