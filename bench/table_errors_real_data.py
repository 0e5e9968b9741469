"""Tables wrong in part or in the wrong frame, on the real series in ../shared/data.

Each whole-brain series is repaired (`_engine.repair`) with its own table and with tables made wrong
in part: x negated on the second half of the diffusion-weighted volumes, x and y swapped on the
second half, z negated on the last third, y negated on the first third, x negated on the middle
third, the directions moved by one
and by two volumes, the second half turned 20 degrees about x and about z (a run at another slice
angulation joined without turning its table); on the series oblique by 10 degrees or more also the table in scanner axes (world
RAS, and DICOM LPS). An own table must PASS with no consistency finding. A wrong table should FLAG
and the written table must be the true one (up to the sign of each direction; a row the fix's
transform turns by less than the 10 degree resolution is kept as given, so the deviation is also
reported); a WARN writes nothing. A wrong table written is a failure, and so is an own table that
does not pass. The small or ambiguous sets (the GE two-slice series, the Philips phantom, the spinal
cord, the dipy and MRtrix crops) get the same wrong tables and must never have a wrong table
written.

Prints per case the decision, the finding (effect, z, volumes named) and what was written, then the
distributions of the findings' effect and confidence, own tables against wrong ones.

Run by hand, not in CI (several minutes):
  PYTHONPATH=build/python:python .venv/bin/python bench/table_errors_real_data.py [--masks] [--json FILE]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "python"))
sys.path.insert(0, str(REPO / "bench"))

from verdict_real_data import BRAIN, DATA, SMALL, b0_rows_as_zeros, finish, image_of, read_bvec, run, write_bvec  # noqa: E402

RESOLUTION_DEG = 10.0


def part_errors(truth: np.ndarray, bval: np.ndarray):
    """(name, wrong table) for the errors of part of a table."""
    dw = np.nonzero(bval > 50)[0]
    n = len(dw)
    out = []

    def make(name, rows, change):
        g = truth.copy()
        g[rows] = change(g[rows])
        out.append((name, g))

    make("x negated on the second half", dw[n // 2:], lambda d: d * [-1, 1, 1])
    make("x and y swapped on the second half", dw[n // 2:], lambda d: d[:, [1, 0, 2]])
    make("z negated on the last third", dw[n - n // 3:], lambda d: d * [1, 1, -1])
    make("y negated on the first third", dw[:n // 3], lambda d: d * [1, -1, 1])
    make("x negated on the middle third", dw[n // 3:n - n // 3], lambda d: d * [-1, 1, 1])
    for k in (1, 2):
        g = truth.copy()
        g[dw] = truth[np.roll(dw, k)]
        out.append((f"directions moved by {k}", g))
    # A second run acquired at another slice angulation and joined without turning its table.
    for axis in (0, 2):
        make(f"the second half turned 20° about {'xyz'[axis]}", dw[n // 2:], lambda d, a=axis: d @ turn(a, 20.0).T)
    return out


def turn(axis: int, degrees: float) -> np.ndarray:
    """The rotation by `degrees` about image axis `axis`."""
    t = np.radians(degrees)
    m = np.eye(3)
    i, j = [(1, 2), (0, 2), (0, 1)][axis]
    m[i, i] = m[j, j] = np.cos(t)
    m[i, j], m[j, i] = -np.sin(t), np.sin(t)
    return m


def frame_errors(dwi: Path, truth: np.ndarray):
    """(name, wrong table) for a table in scanner axes, on images oblique by 10 degrees or more."""
    import nibabel as nib

    a = nib.load(str(dwi)).affine[:3, :3]
    r = a / np.linalg.norm(a, axis=0)
    u, _, vt = np.linalg.svd(r)
    r = u @ vt
    fsl = np.diag([-1.0, 1.0, 1.0]) if np.linalg.det(a) > 0 else np.eye(3)
    world = (r @ fsl @ truth.T).T
    return [("world RAS table", world), ("world LPS table", world * [-1, -1, 1])]


def deviation(written: np.ndarray, truth: np.ndarray, bval: np.ndarray):
    """Largest angle (as axes) between written and true directions, and whether equal to the file's six
    decimals up to the sign of each direction."""
    dw = bval > 50
    w, t = written[dw], truth[dw]
    wn = w / np.linalg.norm(w, axis=1, keepdims=True)
    tn = t / np.linalg.norm(t, axis=1, keepdims=True)
    angle = float(np.degrees(np.arccos(np.clip(np.abs((wn * tn).sum(axis=1)), 0, 1))).max())
    exact = bool(np.all(np.minimum(np.abs(w - t).max(axis=1), np.abs(w + t).max(axis=1)) <= 1e-5))
    return angle, exact


def finding_text(verdict) -> str:
    c = verdict.get("consistency") or {}
    chosen = c.get("finding")
    if chosen is None:
        return ""
    for cand in c.get("candidates", []):
        if cand["description"] == chosen["description"]:
            return (f"effect {100 * cand['effect']:.1f}% z {cand['z']:.1f} fibre z {cand.get('fibre_z', 0):.1f}: "
                    f"{chosen['description']}")
    return chosen["description"]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--masks", action="store_true", help="use the series' *_mask.nii.gz as the brain mask")
    parser.add_argument("--series", nargs="*", help="only series whose stem contains one of these texts")
    parser.add_argument("--json", help="write every verdict to this file")
    args = parser.parse_args(argv)

    failures, record = [], []
    tally = {"own": {"PASS": 0, "other": 0}, "wrong": {"right": 0, "near": 0, "warn": 0, "pass": 0, "wrong": 0}}
    effects = {"own": [], "wrong": []}
    by_kind = {}
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="dirsieve-table-errors-") as tmp:
        work = Path(tmp)
        for folder, stem in BRAIN:
            if args.series and not any(s in stem for s in args.series):
                continue
            base = DATA / folder
            dwi, bvec, bval_path = image_of(base, stem), base / f"{stem}.bvec", base / f"{stem}.bval"
            mask = base / f"{stem}_mask.nii.gz" if args.masks else None
            truth, bval = b0_rows_as_zeros(read_bvec(bvec)), np.loadtxt(bval_path)
            verdict, _, seconds = run(dwi, bvec, bval_path, work, mask)
            c = verdict["consistency"]
            for cand in c.get("candidates", []):
                if cand.get("eligible"):
                    effects["own"].append((cand["effect"], cand["z"]))
            ok = verdict["status"] == "PASS" and c["finding"] is None
            tally["own"]["PASS" if ok else "other"] += 1
            if not ok:
                failures.append(f"{stem} own table: {verdict['status']} ({verdict['reason']})")
            print(f"{stem:32s} own table                         {verdict['status']:4s} {seconds:5.2f}s  "
                  f"obliquity {verdict['obliquity_deg']:.1f}°", flush=True)
            record.append({"series": stem, "case": "own", "verdict": verdict})
            cases = part_errors(truth, bval)
            if verdict["frame_candidates"]:
                cases += frame_errors(dwi, truth)
            for name, wrong in cases:
                write_bvec(work / "wrong.bvec", wrong)
                verdict, written, seconds = run(dwi, work / "wrong.bvec", bval_path, work, mask)
                record.append({"series": stem, "case": name, "verdict": verdict})
                c = verdict["consistency"]
                if c.get("finding") is not None:
                    for cand in c["candidates"]:
                        if cand["description"] == c["finding"]["description"]:
                            effects["wrong"].append((cand["effect"], cand["z"]))
                if written is None:
                    outcome = "warn" if verdict["status"] == "WARN" else "pass"
                    what = "nothing written"
                else:
                    angle, exact = deviation(written, truth, bval)
                    if verdict["status"] == "PASS":
                        outcome = "pass"
                        what = f"written unchanged (wrong by {angle:.0f}°)"
                    elif exact:
                        outcome, what = "right", "the true table"
                    elif angle < RESOLUTION_DEG:
                        outcome, what = "near", f"the true table but for rows within {angle:.1f}°"
                    else:
                        outcome, what = "wrong", f"A WRONG TABLE ({angle:.0f}° off)"
                        failures.append(f"{stem} {name}: a wrong table written ({verdict['reason']})")
                tally["wrong"][outcome] += 1
                by_kind.setdefault(name, {}).setdefault(outcome, 0)
                by_kind[name][outcome] += 1
                print(f"{'':32s} {name:33s} {verdict['status']:4s} {seconds:5.2f}s  {what}; {finding_text(verdict) or verdict['reason'][:110]}",
                      flush=True)
        for folder, image, bvec_name, bval_name in SMALL:
            base = DATA / folder
            dwi, bvec, bval_path = base / image, base / bvec_name, base / bval_name
            truth, bval = b0_rows_as_zeros(read_bvec(bvec)), np.loadtxt(bval_path)
            statuses = {}
            for name, wrong in [("own table", truth)] + part_errors(truth, bval):
                write_bvec(work / "wrong.bvec", wrong)
                try:
                    verdict, written, _ = run(dwi, work / "wrong.bvec", bval_path, work)
                except ValueError as error:
                    key = "error: " + str(error)[:50]
                    statuses[key] = statuses.get(key, 0) + 1
                    continue
                statuses[verdict["status"]] = statuses.get(verdict["status"], 0) + 1
                if written is not None and deviation(written, truth, bval)[0] > 1e-3:
                    failures.append(f"{image} {name}: a wrong table written ({verdict['status']}: {verdict['reason']})")
            print(f"{image:32s} small: {statuses}", flush=True)

    print("\nper error:")
    for name, outcomes in by_kind.items():
        print(f"  {name:40s} " + ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items())))
    print(f"\nown tables: {tally['own']}")
    print(f"wrong tables: {tally['wrong']}  (right: the true table written; near: true but for rows within the "
          f"{RESOLUTION_DEG:.0f}° resolution; warn: nothing written; pass: the wrong table passed)")
    for kind, values in effects.items():
        if values:
            e = np.array([v[0] for v in values]) * 100
            z = np.array([v[1] for v in values])
            label = "eligible candidates on own tables" if kind == "own" else "findings on wrong tables"
            print(f"{label}: {len(values)}; effect % min {e.min():.1f} median {np.median(e):.1f} max {e.max():.1f}; "
                  f"z min {z.min():.1f} median {np.median(z):.1f} max {z.max():.1f}")
    return finish(failures, started, record, args.json)


if __name__ == "__main__":
    sys.exit(main())
