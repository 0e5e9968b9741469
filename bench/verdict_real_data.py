"""The verdict on the real series in ../shared/data, with their own tables and with every wrong one.

Each whole-brain series is checked with its own FSL table (it must PASS) and with each of the 23
wrong sign-equivalence classes applied to its directions (g' = M g): each must FLAG with exactly
the inverse class, and `repair` must write the true table (or its negation, the same encoding).
The same runs again with the series' `*_mask.nii.gz` as a brain mask (`--masks`, on by default).
The small or ambiguous sets (the GE two-slice series, the Philips phantom, the spinal cord, the
dipy and MRtrix crops) must never get a wrong table written, whatever table they are given.

Prints a per-series table (distances, winners, relative margins, z, blocks) for the own tables and
the distribution of the confidence; exit status 1 when a criterion fails.

Run by hand, not in CI (a few minutes):
  PYTHONPATH=build/python:python .venv/bin/python bench/verdict_real_data.py [--no-masks] [--json FILE]
"""

from __future__ import annotations

import argparse
import itertools
import json
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))

from dirsieve import _engine  # noqa: E402

DATA = REPO.parent / "shared" / "data"

BRAIN = [
    ("siemens-prisma-sag", "4_DWI_SagAPmosaic"),
    ("siemens-prisma-sag", "5_DWI_SagHFmosaic"),
    ("siemens-prisma-decubitus", "HFS_ep2d_diff_mddw_20_p2"),
    ("siemens-prisma-decubitus", "HFP_ep2d_diff_mddw_20_p2"),
    ("siemens-prisma-decubitus", "HFDR_ep2d_diff_mddw_20_p2"),
    ("siemens-prisma-decubitus", "HFDL_ep2d_diff_mddw_20_p2"),
    ("canon-galan-3t", "3000_DTI_PA-ortho_cl"),
    ("canon-galan-3t", "8000_DTI_PA-ALL_20d_cl"),
    ("canon-galan-3t", "9000_SAG_DTI_PA-ortho_cl"),
    ("canon-galan-3t", "11000_SAG_DTI_PA-ALL_20d_cl"),
    ("canon-galan-3t", "14000_DTI_PA-ortho-HT_cl"),
    ("philips-elition-biobank", "701_DTI_Biobank_2mm_MB3S2_EPI"),
]
# (folder, image, bvec, bval)
SMALL = [
    ("ge-signa-pioneer", "Ax_DWI_TENSOR_R2_1.nii", "Ax_DWI_TENSOR_R2_1.bvec", "Ax_DWI_TENSOR_R2_1.bval"),
    ("philips-achieva-phantom", "DTI.nii.gz", "DTI.bvec", "DTI.bval"),
    ("sct-spinalcord-dmri", "dmri.nii.gz", "bvecs.txt", "bvals.txt"),
    ("dipy-small", "small_25.nii.gz", "small_25.bvec", "small_25.bval"),
    ("dipy-small", "small_64D.nii", "small_64D.bvec", "small_64D.bval"),
    ("dipy-small", "small_101D.nii.gz", "small_101D.bvec", "small_101D.bval"),
    ("mrtrix3-testdata", "b3000_dwi.nii.gz", "b3000_dwi.bvec", "b3000_dwi.bval"),
    ("mrtrix3-testdata", "msmt_dwi.nii.gz", "msmt_dwi.bvec", "msmt_dwi.bval"),
]


def signed_permutations():
    """The 24 classes of signed axis permutations (M and -M are one class), identity first."""
    seen, out = set(), []
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            m = np.zeros((3, 3))
            for row, (col, s) in enumerate(zip(perm, signs)):
                m[row, col] = s
            key = tuple(m.ravel()) if tuple(m.ravel()) > tuple((-m).ravel()) else tuple((-m).ravel())
            if key not in seen:
                seen.add(key)
                out.append(np.array(key).reshape(3, 3))
    out.sort(key=lambda m: not np.array_equal(np.abs(m), np.eye(3)) or not np.allclose(np.abs(np.diag(m)).sum(), 3)
             or not (np.array_equal(m, np.eye(3)) or np.array_equal(m, -np.eye(3))))
    return out


def same_class(a, b) -> bool:
    a, b = np.asarray(a, float), np.asarray(b, float)
    return bool(np.allclose(a, b) or np.allclose(a, -b))


def read_bvec(path: Path) -> np.ndarray:
    a = np.atleast_2d(np.loadtxt(path, dtype=float))
    return a.T if a.shape[0] == 3 else a


def b0_rows_as_zeros(dirs: np.ndarray) -> np.ndarray:
    """dipy's small_64D stores its b0 direction as nan; the engine refuses non-finite directions, so
    the tables made from it give that row as zeros, as the field writes b0 rows."""
    return np.where(np.isfinite(dirs).all(axis=1, keepdims=True), dirs, 0.0)


def write_bvec(path: Path, dirs: np.ndarray) -> None:
    with open(path, "w") as f:
        for axis in range(3):
            f.write(" ".join(repr(float(v) + 0.0) for v in dirs[:, axis]) + "\n")


def image_of(folder: Path, stem: str) -> Path:
    for ext in (".nii.gz", ".nii"):
        if (folder / (stem + ext)).exists():
            return folder / (stem + ext)
    raise FileNotFoundError(folder / stem)


def run(dwi, bvec, bval, out_dir: Path, mask=None, threads=None):
    kw = {"bvec": str(bvec), "bval": str(bval)}
    if mask is not None:
        kw["mask"] = str(mask)
    if threads:
        kw["threads"] = threads
    out_bvec, out_bval = out_dir / "fixed.bvec", out_dir / "fixed.bval"
    for p in (out_bvec, out_bval):
        p.unlink(missing_ok=True)
    t = time.perf_counter()
    result = _engine.repair(str(dwi), str(out_bvec), str(out_bval), **kw)
    seconds = time.perf_counter() - t
    written = read_bvec(out_bvec) if result["written"] else None
    return result["verdict"], written, seconds


def table_error(written: np.ndarray, truth: np.ndarray) -> float:
    return float(min(np.max(np.abs(written - truth)), np.max(np.abs(written + truth))))


def finish(failures, started: float, record, json_path) -> int:
    """The failures and the time taken, the record written when asked; the exit code."""
    print(f"\n{len(failures)} failure(s) in {time.perf_counter() - started:.0f} s")
    for f in failures[:40]:
        print("  " + f)
    if json_path:
        Path(json_path).write_text(json.dumps(record, indent=1))
    return 1 if failures else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-masks", action="store_true", help="skip the runs with the brain masks")
    parser.add_argument("--series", nargs="*", help="only series whose stem contains one of these texts")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--json", help="write every verdict to this file")
    args = parser.parse_args(argv)

    classes = signed_permutations()
    identity, wrong = classes[0], classes[1:]
    assert np.array_equal(identity, np.eye(3)) and len(wrong) == 23
    failures, rows, record = [], [], []
    confidences = {"none": [], "mask": []}
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="dirsieve-verdict-") as tmp:
        work = Path(tmp)
        for folder, stem in BRAIN:
            if args.series and not any(s in stem for s in args.series):
                continue
            base = DATA / folder
            dwi, bvec, bval = image_of(base, stem), base / f"{stem}.bvec", base / f"{stem}.bval"
            mask = base / f"{stem}_mask.nii.gz"
            truth = read_bvec(bvec)
            for mode in ("none",) + (() if args.no_masks else ("mask",)):
                m = mask if mode == "mask" else None
                verdict, written, seconds = run(dwi, bvec, bval, work, m, args.threads)
                record.append({"series": stem, "mask": mode, "injected": "+x+y+z", "verdict": verdict})
                confidences[mode].append(verdict["confidence"])
                rows.append((stem, mode, verdict, seconds))
                if verdict["status"] != "PASS":
                    failures.append(f"{stem} [{mode}] own table: {verdict['status']} ({verdict['reason']})")
                elif written is None or table_error(written, truth) > 1e-5:
                    failures.append(f"{stem} [{mode}] own table: PASS but the copy differs")
                flagged = 0
                for mat in wrong:
                    path = work / "wrong.bvec"
                    write_bvec(path, truth @ mat.T)
                    verdict, written, _ = run(dwi, path, bval, work, m, args.threads)
                    record.append({"series": stem, "mask": mode, "injected": mat.tolist(), "verdict": verdict})
                    ok = (verdict["status"] == "FLAG" and same_class(verdict["recommended_transform"], mat.T)
                          and written is not None and table_error(written, truth) <= 1e-5)
                    flagged += ok
                    if not ok:
                        failures.append(f"{stem} [{mode}] injected {mat.tolist()}: {verdict['status']} "
                                        f"{verdict['recommended_label']} ({verdict['reason']})")
                print(f"{stem:32s} {mode:4s} own {rows[-1][2]['status']:4s}  wrong tables flagged and repaired "
                      f"{flagged}/23", flush=True)
        for folder, image, bvec_name, bval_name in SMALL:
            base = DATA / folder
            dwi, bvec, bval = base / image, base / bvec_name, base / bval_name
            truth = b0_rows_as_zeros(read_bvec(bvec))
            statuses = {}
            first_reason = None
            for mat in [identity] + wrong:
                path = work / "wrong.bvec"
                write_bvec(path, truth @ mat.T)
                try:
                    verdict, written, _ = run(dwi, path, bval, work, None, args.threads)
                except ValueError as error:
                    statuses["error: " + str(error)[:60]] = statuses.get("error: " + str(error)[:60], 0) + 1
                    continue
                statuses[verdict["status"]] = statuses.get(verdict["status"], 0) + 1
                if written is not None and table_error(written, truth) > 1e-5:
                    failures.append(f"{image} injected {mat.tolist()}: a wrong table was written "
                                    f"({verdict['status']}: {verdict['reason']})")
                if mat is identity:
                    first_reason = verdict["reason"]
            print(f"{image:32s} small: {statuses}  (own table: {first_reason})", flush=True)

    print("\nOwn tables: per distance winner, relative margin, z, blocks")
    for stem, mode, v, seconds in rows:
        cells = "  ".join(f"{d['distance_mm']:.1f}mm {d['winner']} {100 * d['relative_margin']:.1f}% "
                          f"z={d['z']:.1f}" for d in v["distances"])
        print(f"{stem:32s} {mode:4s} {v['status']:4s} blocks={v['n_blocks']:3d} vox={v['n_sampled']:6d} "
              f"{seconds:5.2f}s  {cells}")
    for mode, values in confidences.items():
        if values:
            finite = np.array([v for v in values if v is not None], float)
            print(f"confidence ({mode}): min {finite.min():.1f}  median {np.median(finite):.1f}  max {finite.max():.1f}")
    return finish(failures, started, record, args.json)


if __name__ == "__main__":
    sys.exit(main())
