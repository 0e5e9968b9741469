"""Multi-scale flip consensus on the real clinical series in ../shared/data.

For every series the FSL table shipped with it is checked as given, and then with injected errors:
each signed axis permutation M below is applied to the FSL directions (g' = M g), the wrong table
is written to a temporary folder, and the consensus must FLAG it with the inverse transform Mᵀ
(up to sign-equivalence). No mask is passed, so the module picks its own white-matter sample.

Pass criteria (the exit status is 1 when one fails):
  * a series' own table never FLAGs;
  * at least 95% of the injected tables FLAG with exactly the inverse transform;
  * the two-slice GE series and the Philips phantom never FLAG, whatever the table.

With --repair every correct FLAG is also repaired through the module (into the temporary folder)
and the written table is compared with the original one.

Run by hand, not in CI (a few minutes):
  PYTHONPATH=build/python:python .venv/bin/python bench/consensus_real_data.py [--repair] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))

import _dirsieve  # noqa: E402

from dirsieve import consensus as cons  # noqa: E402

DATA = REPO.parent / "shared" / "data"

# (folder, stem, role): "brain" series carry a verdict; "ambiguous" ones must never FLAG.
SERIES = [
    ("siemens-prisma-sag", "4_DWI_SagAPmosaic", "brain"),
    ("siemens-prisma-sag", "5_DWI_SagHFmosaic", "brain"),
    ("siemens-prisma-decubitus", "HFS_ep2d_diff_mddw_20_p2", "brain"),
    ("siemens-prisma-decubitus", "HFP_ep2d_diff_mddw_20_p2", "brain"),
    ("siemens-prisma-decubitus", "HFDR_ep2d_diff_mddw_20_p2", "brain"),
    ("siemens-prisma-decubitus", "HFDL_ep2d_diff_mddw_20_p2", "brain"),
    ("canon-galan-3t", "3000_DTI_PA-ortho_cl", "brain"),
    ("canon-galan-3t", "8000_DTI_PA-ALL_20d_cl", "brain"),
    ("canon-galan-3t", "9000_SAG_DTI_PA-ortho_cl", "brain"),
    ("canon-galan-3t", "11000_SAG_DTI_PA-ALL_20d_cl", "brain"),
    ("canon-galan-3t", "14000_DTI_PA-ortho-HT_cl", "brain"),
    ("philips-elition-biobank", "701_DTI_Biobank_2mm_MB3S2_EPI", "brain"),
    ("ge-signa-pioneer", "Ax_DWI_TENSOR_R2_1", "ambiguous"),
    ("philips-achieva-phantom", "DTI", "ambiguous"),
]

# Single flips of each axis, the three swaps and the two 3-cycles.
INJECTED = ["-x+y+z", "+x-y+z", "+x+y-z", "+y+x+z", "+z+y+x", "+x+z+y", "+y+z+x", "+z+x+y"]
# Rotations mixing a swap with flips, for --extended.
EXTENDED = ["-y+x+z", "+x-z+y", "+z-y+x", "-z+x-y"]


def find_image(folder: Path, stem: str) -> Path:
    for ext in (".nii.gz", ".nii"):
        p = folder / (stem + ext)
        if p.exists():
            return p
    raise FileNotFoundError(folder / stem)


def read_bvec(path: Path) -> np.ndarray:
    """Directions as an (N, 3) array, from a 3 x N (or N x 3) FSL file."""
    a = np.atleast_2d(np.loadtxt(path, dtype=float))
    return a.T if a.shape[0] == 3 else a


def write_bvec(path: Path, dirs: np.ndarray) -> None:
    with open(path, "w") as f:
        for axis in range(3):
            f.write(" ".join(repr(float(v) + 0.0) for v in dirs[:, axis]) + "\n")


def expected_label(injected: str) -> str:
    m = np.array(cons.matrix_of_label(injected))
    return cons.label_of_matrix(cons.class_of(m.T))


def run_case(dwi: Path, bvec: Path, bval: Path, threads, threshold):
    kw = {"bvec": str(bvec), "bval": str(bval)}
    if threads:
        kw["threads"] = threads
    if threshold is not None:
        kw["margin_threshold"] = threshold
    t = time.perf_counter()
    run = cons.run_consensus(str(dwi), module=_dirsieve, **kw)
    return run, time.perf_counter() - t, kw


def check_repair(run, dwi: Path, truth: np.ndarray, workdir: Path, name: str, kw: dict) -> float:
    """Repair into workdir and return the largest difference from the true table.

    The consensus applies the first member of a sign-equivalent pair, so the repaired table may be
    the true one with every direction negated, which describes the same diffusion encoding.
    """
    out_bvec, out_bval = workdir / f"{name}.fixed.bvec", workdir / f"{name}.fixed.bval"
    outcome = cons.repair_with_consensus(run, str(dwi), str(out_bvec), str(out_bval), module=_dirsieve,
                                         provenance=str(workdir / f"{name}.prov.json"))
    assert outcome is not None and outcome.label == run.consensus.label
    fixed = read_bvec(out_bvec)
    return float(min(np.max(np.abs(fixed - truth)), np.max(np.abs(fixed + truth))))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repair", action="store_true", help="repair every correct FLAG and verify the files")
    parser.add_argument("--extended", action="store_true", help="also inject mixed swap-and-flip rotations")
    parser.add_argument("--series", nargs="*", help="only series whose stem contains one of these texts")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--margin-threshold", type=float, default=None,
                        help="passed to every call (default: the module's 0.02)")
    parser.add_argument("--json", metavar="FILE", help="write every result as JSON")
    args = parser.parse_args(argv)

    transforms = INJECTED + (EXTENDED if args.extended else [])
    series = [s for s in SERIES if not args.series or any(t in s[1] for t in args.series)]
    results, timings = [], []
    started = time.perf_counter()

    with tempfile.TemporaryDirectory(prefix="dirsieve-consensus-") as tmp:
        tmp = Path(tmp)
        for folder, stem, role in series:
            base = DATA / folder
            dwi = find_image(base, stem)
            bvec, bval = base / (stem + ".bvec"), base / (stem + ".bval")
            truth = read_bvec(bvec)

            # Cost of the consensus against one module call at the default step.
            kw = {"bvec": str(bvec), "bval": str(bval)}
            if args.threads:
                kw["threads"] = args.threads
            t = time.perf_counter()
            _dirsieve.detect_flip(str(dwi), **kw)
            one = time.perf_counter() - t
            # Only the coherence stage depends on the step; the rest is the reload and refit.
            _, split = _dirsieve.audit_profiled(str(dwi), **kw)

            cases = [("own table", None)] + [(m, m) for m in transforms]
            for name, injected in cases:
                if injected is None:
                    case_bvec = bvec
                else:
                    case_bvec = tmp / f"{stem}.{injected}.bvec"
                    write_bvec(case_bvec, (np.array(cons.matrix_of_label(injected)) @ truth.T).T)
                run, seconds, case_kw = run_case(dwi, case_bvec, bval, args.threads, args.margin_threshold)
                c = run.consensus
                want = expected_label(injected) if injected else None
                if injected is None:
                    timings.append({"series": stem, "one_call_s": one, "consensus_s": seconds, "calls": run.calls,
                                    "split": split})
                row = {
                    "series": stem, "role": role, "injected": injected, "expected": want,
                    "status": c.status, "label": c.label, "max_margin": c.max_relative_margin,
                    "max_margin_scale": c.max_margin_scale.name if c.max_margin_scale else None,
                    "module_default": run.report["flip"]["decision"],
                    "module_default_label": run.report["flip"]["best"]["label"],
                    "scales": [(s.name, s.label, s.relative_margin) for s in c.scales],
                }
                row["correct_flag"] = c.status == "FLAG" and c.label == want
                if args.repair and injected and row["correct_flag"]:
                    row["repair_max_diff"] = check_repair(run, dwi, truth, tmp, f"{stem}.{injected}", case_kw)
                results.append(row)
                print(f"  {stem[:28]:28} {name:9} {c.status:4} {c.label or '-':7} "
                      f"{100 * c.max_relative_margin:5.1f}%  (module default: {row['module_default']}"
                      f" {row['module_default_label']})", flush=True)

    total = time.perf_counter() - started
    print_tables(results, timings, transforms)
    ok = summarize(results)
    print(f"\ntotal run time {total:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": results, "timings": timings}, f, indent=2, default=str)
    return 0 if ok else 1


def _cell(r) -> str:
    mark = ""
    if r["injected"]:
        mark = " ok" if r["correct_flag"] else " !!"
    return f"{r['status']} {r['label'] or '-'} {100 * r['max_margin']:.1f}%{mark}"


def print_tables(results, timings, transforms) -> None:
    print("\nResults: consensus status, label, largest relative margin ('ok' = FLAG with the inverse)")
    columns = ["own table"] + transforms
    by = {(r["series"], r["injected"] or "own table"): r for r in results}
    stems = list(dict.fromkeys(r["series"] for r in results))
    width = max(len(s) for s in stems)
    print("| " + "series".ljust(width) + " | " + " | ".join(columns) + " |")
    print("|" + "-" * (width + 2) + "|" + "|".join("-" * (len(c) + 2) for c in columns) + "|")
    for stem in stems:
        cells = [_cell(by[(stem, c)]) if (stem, c) in by else "" for c in columns]
        print("| " + stem.ljust(width) + " | " + " | ".join(cells) + " |")

    print("\nCost: one module call at the default step against the whole consensus")
    print("(load = decompress + convert, from audit_profiled; only 'coherence' depends on the step)")
    print("| series | 1 call (s) | consensus (s) | calls | ratio | load (s) | fit (s) | coherence (s) |")
    print("|---|---|---|---|---|---|---|---|")
    for t in timings:
        sp = t["split"]
        print(f"| {t['series']} | {t['one_call_s']:.2f} | {t['consensus_s']:.2f} | {t['calls']} | "
              f"{t['consensus_s'] / t['one_call_s']:.2f} | {sp['decompress'] + sp['convert']:.2f} | "
              f"{sp['fit']:.2f} | {sp['coherence']:.2f} |")


def summarize(results) -> bool:
    brain = [r for r in results if r["role"] == "brain"]
    own = [r for r in brain if r["injected"] is None]
    injected = [r for r in brain if r["injected"]]
    ambiguous = [r for r in results if r["role"] == "ambiguous"]
    own_flags = [r for r in own if r["status"] == "FLAG"]
    correct = [r for r in injected if r["correct_flag"]]
    wrong_flags = [r for r in injected if r["status"] == "FLAG" and not r["correct_flag"]]
    amb_flags = [r for r in ambiguous if r["status"] == "FLAG"]
    module_flags = [r for r in injected if r["module_default"] == "FLAG" and r["module_default_label"] == r["expected"]]

    rate = len(correct) / len(injected) if injected else 1.0
    print("\nSummary")
    print(f"  own tables: {len(own) - len(own_flags)}/{len(own)} not flagged "
          f"({sum(r['status'] == 'PASS' for r in own)} PASS)")
    print(f"  injected tables: {len(correct)}/{len(injected)} = {100 * rate:.1f}% FLAG with the inverse "
          f"(module alone at its default step: {len(module_flags)}/{len(injected)}); "
          f"wrong-transform FLAGs: {len(wrong_flags)}")
    print(f"  ambiguous series: {len(ambiguous) - len(amb_flags)}/{len(ambiguous)} runs not flagged")
    repaired = [r for r in injected if "repair_max_diff" in r]
    if repaired:
        worst = max(r["repair_max_diff"] for r in repaired)
        print(f"  repairs: {len(repaired)} written, largest difference from the true table {worst:.2e}")
    for r in own_flags + amb_flags + [r for r in injected if not r["correct_flag"]]:
        print(f"  ! {r['series']} {r['injected'] or 'own'}: {r['status']} {r['label']} "
              f"(expected {r['expected']}); scales: "
              + ", ".join(f"{n} {lab} {100 * m:.1f}%" for n, lab, m in r["scales"]))
    return not own_flags and rate >= 0.95 and not amb_flags and not wrong_flags


if __name__ == "__main__":
    sys.exit(main())
