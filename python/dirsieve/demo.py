"""``dirsieve demo``: the whole job on a synthetic phantom, with nothing needed from the user.

Writes the phantom with a deliberately sign-flipped table, audits it (FLAG), repairs it, audits
the repaired table (PASS), and says what it did and where the files are. Every step decides by the
verdict over several walking distances, as the commands it shows do by default. If the verdicts are not
the expected ones the demo fails: a demo that reports success regardless would hide a broken build.
"""

from __future__ import annotations

import os
import shlex
import sys
from typing import Optional

from dirsieve import api
from dirsieve.render import Style, format_matrix, pretty_json

__all__ = ["DemoError", "run_demo", "DEMO_SHAPE", "DEMO_FLIP"]

DEMO_SHAPE = (32, 32, 32)
DEMO_FLIP = "y"  # the y axis of the stored directions has the wrong sign


class DemoError(RuntimeError):
    pass


DEFAULT_FOLDER = "dirsieve-demo"

# Everything a run of the demo writes; a folder holding only these is the demo's own and is reused.
DEMO_FILES = frozenset({
    "dwi.nii.gz", "dwi.bvec", "dwi.bval", "audit_before.json", "qc_before.png", "repair_provenance.json",
    "dwi_repaired.bvec", "dwi_repaired.bval", "repair_report.json", "audit_after.json",
})


def _prepare_directory(directory: Optional[str]) -> str:
    """The demo's folder: new, empty, or one a previous demo filled (its files are replaced)."""
    directory = directory or DEFAULT_FOLDER
    if os.path.exists(directory):
        if not os.path.isdir(directory):
            raise DemoError(f"demo folder is not a folder: {directory}")
        entries = set(os.listdir(directory))
        strangers = sorted(entries - DEMO_FILES)
        if strangers:
            raise DemoError(f"demo folder {directory} holds files the demo did not write ({', '.join(strangers[:3])}"
                            f"{', ...' if len(strangers) > 3 else ''}); give a new or empty folder")
        for name in entries:
            os.remove(os.path.join(directory, name))
    else:
        try:
            os.makedirs(directory)
        except OSError as exc:
            raise DemoError(f"cannot create demo folder {directory}: {exc.strerror or exc}") from None
    return directory


def _write(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def _qc_module():
    """The picture module when matplotlib is there; the demo runs without it."""
    try:
        from dirsieve import qc
    except ImportError:
        return None
    try:
        qc.require_matplotlib()
    except qc.MissingMatplotlib:
        return None
    return qc


def run_demo(directory: Optional[str] = None, *, out=sys.stdout, style: Optional[Style] = None) -> int:
    """Run the demo; returns 0 when every verdict came out as expected. Engine errors propagate."""
    from dirsieve.phantom import write_phantom

    style = style or Style()
    folder = os.path.abspath(_prepare_directory(directory))

    def say(text: str = "") -> None:
        out.write(text + "\n")

    def shown(argv) -> str:
        # Every file lives in the folder: show the commands as typed from inside it.
        return "   $ " + shlex.join(os.path.relpath(a, folder) if os.path.isabs(a) else a for a in argv)

    say(style.bold("dirsieve demo") + ": a synthetic phantom whose gradient table has the y axis sign-flipped")
    say(f"   folder {folder}   (the commands below are run from there: cd {shlex.quote(folder)})")
    paths = write_phantom(folder, shape=DEMO_SHAPE, flip=DEMO_FLIP, seed=0, grad=False, mask=False)
    dwi, bvec, bval = paths["dwi"], paths["bvec"], paths["bval"]
    say(f"   wrote {os.path.basename(dwi)} ({'x'.join(map(str, DEMO_SHAPE))} voxels, three ring-shaped fibre "
        f"bundles), {os.path.basename(bvec)}, {os.path.basename(bval)}")
    say()

    # 1. Audit the table as given.
    say(style.bold("1. Audit the table as given"))
    qc = _qc_module()
    picture = os.path.join(folder, "qc_before.png") if qc is not None else None
    say(shown(["dirsieve", "audit", dwi, "--bvec", bvec, "--bval", bval] + (["--qc", picture] if picture else [])))
    checked = api.check(dwi, bvec=bvec, bval=bval, glyphs=qc is not None)
    verdict = checked.verdict
    before_path = os.path.join(folder, "audit_before.json")
    _write(before_path, pretty_json(checked.document_text()))
    say(f"   {style.status(verdict.status)}  {verdict.reason}")
    for row in verdict.distances:
        say(f"   {row.distance_mm:4.1f} mm: {row.winner} ahead of {row.runner_up} by {100 * row.relative_margin:.1f}%, "
            f"z = {row.z:.1f}")
    if verdict.status != "FLAG":
        raise DemoError(f"the flipped phantom was judged {verdict.status}, expected FLAG")
    say(f"   recommended fix {verdict.recommended_label}: M = {format_matrix(verdict.recommended_transform)}")
    if picture is not None:
        qc.write_qc(picture, checked.report, checked.glyphs, dwi, verdict=verdict.to_dict())
    say()

    # 2. Repair it.
    out_bvec = os.path.join(folder, "dwi_repaired.bvec")
    out_bval = os.path.join(folder, "dwi_repaired.bval")
    provenance = os.path.join(folder, "repair_provenance.json")
    say(style.bold("2. Repair it"))
    say(shown(["dirsieve", "repair", dwi, "--bvec", bvec, "--bval", bval, "--out-bvec", out_bvec,
               "--out-bval", out_bval, "--provenance", provenance]))
    repaired = api.repair(dwi, out_bvec, out_bval, bvec=bvec, bval=bval, provenance=provenance)
    _write(os.path.join(folder, "repair_report.json"), pretty_json(repaired.document_text()))
    if not repaired.written or not repaired.outputs:
        raise DemoError("repair wrote no files although the audit flagged the table")
    say(f"   applied {repaired.report['repair']['label']}; wrote "
        + ", ".join(os.path.basename(p) for p in repaired.outputs))
    say()

    # 3. Audit the repaired table.
    say(style.bold("3. Audit the repaired table"))
    say(shown(["dirsieve", "audit", dwi, "--bvec", out_bvec, "--bval", out_bval]))
    after = api.check(dwi, bvec=out_bvec, bval=out_bval)
    _write(os.path.join(folder, "audit_after.json"), pretty_json(after.document_text()))
    say(f"   {style.status(after.status)}  {after.verdict.reason}")
    if after.status != "PASS":
        raise DemoError(f"the repaired table was judged {after.status}, expected PASS")
    say()

    say(style.bold("Files") + f" in {folder}")
    described = [
        (dwi, "the phantom DWI"),
        (bvec, "the deliberately wrong table"),
        (bval, ""),
        (before_path, "report of step 1"),
        (picture, "fibre directions before and after the fix"),
        (provenance, "what repair did, with input digests"),
        (out_bvec, "the corrected table"),
        (out_bval, ""),
        (os.path.join(folder, "repair_report.json"), "report of step 2"),
        (os.path.join(folder, "audit_after.json"), "report of step 3"),
    ]
    for path, what in described:
        if path is not None:
            say(f"   {os.path.basename(path):<24} {what}".rstrip())
    if picture is None:
        say("   (install matplotlib for the QC picture qc_before.png)")
    return 0
