"""``dirsieve demo``: the whole job on a synthetic phantom, with nothing needed from the user.

Writes the phantom with a deliberately sign-flipped table, audits it (FLAG), repairs it, audits
the repaired table (PASS), and says what it did and where the files are. Every step decides by the
multi-scale consensus, as the commands it shows do by default. If the verdicts are not
the expected ones the demo fails: a demo that reports success regardless would hide a broken build.
"""

from __future__ import annotations

import os
import shlex
import sys
import tempfile
from typing import Optional

from dirsieve import consensus as multiscale
from dirsieve.render import Style, format_matrix, pretty_json

__all__ = ["DemoError", "run_demo", "DEMO_SHAPE", "DEMO_FLIP"]

DEMO_SHAPE = (32, 32, 32)
DEMO_FLIP = "y"  # the y axis of the stored directions has the wrong sign


class DemoError(RuntimeError):
    pass


def _prepare_directory(directory: Optional[str]) -> str:
    if directory is None:
        return tempfile.mkdtemp(prefix="dirsieve-demo-")
    if os.path.exists(directory):
        if not os.path.isdir(directory):
            raise DemoError(f"demo folder is not a folder: {directory}")
        if os.listdir(directory):
            raise DemoError(f"demo folder is not empty: {directory} (give a new or empty folder)")
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


def run_demo(directory: Optional[str] = None, *, module, out=sys.stdout, style: Optional[Style] = None) -> int:
    """Run the demo; returns 0 when every verdict came out as expected. Module errors propagate."""
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
    glyphs = None
    if qc is not None:
        text, glyphs = module.audit_with_glyphs(dwi, bvec=bvec, bval=bval)
    else:
        text = module.audit(bvec=bvec, bval=bval, dwi=dwi)
    run = multiscale.run_consensus(dwi, module=module, base_report=text, bvec=bvec, bval=bval)
    before = run.report
    status = multiscale.overall_status(run.consensus, before)
    before_path = os.path.join(folder, "audit_before.json")
    _write(before_path, pretty_json(run.document()))
    flip = before["flip"]
    say(f"   {style.status(status)}  best {flip['best']['label']} (coherence "
        f"{flip['best']['coherence']:.3f}) against {flip['identity_coherence']:.3f} for the table as given; "
        f"margin {100 * flip['relative_margin']:.1f}% at the default step")
    say(f"   consensus: {run.consensus.message}")
    if status != "FLAG":
        raise DemoError(f"the flipped phantom was judged {status}, expected FLAG")
    say(f"   recommended fix {run.consensus.label}: M = {format_matrix(run.consensus.transform)}")
    if picture is not None:
        qc.write_qc(picture, qc.report_for_picture(before, run.consensus, status), glyphs, dwi)
    say()

    # 2. Repair it.
    out_bvec = os.path.join(folder, "dwi_repaired.bvec")
    out_bval = os.path.join(folder, "dwi_repaired.bval")
    provenance = os.path.join(folder, "repair_provenance.json")
    say(style.bold("2. Repair it"))
    say(shown(["dirsieve", "repair", dwi, "--bvec", bvec, "--bval", bval, "--out-bvec", out_bvec,
               "--out-bval", out_bval, "--provenance", provenance]))
    try:
        outcome = multiscale.repair_with_consensus(run, dwi, out_bvec, out_bval, module=module,
                                                   provenance=provenance)
    except multiscale.ConsensusError as exc:
        raise DemoError(str(exc)) from None
    if outcome is None:
        raise DemoError("repair wrote no files although the audit flagged the table")
    repaired = outcome.report
    _write(os.path.join(folder, "repair_report.json"),
           pretty_json(multiscale.consensus_document(outcome.report_text, run.consensus,
                                                     {"repair_step": outcome.step})))
    outputs = (repaired.get("repair") or {}).get("outputs", [])
    if not outputs:
        raise DemoError("repair wrote no files although the audit flagged the table")
    say(f"   applied {repaired['repair']['label']}; wrote " + ", ".join(os.path.basename(p) for p in outputs))
    say()

    # 3. Audit the repaired table.
    say(style.bold("3. Audit the repaired table"))
    say(shown(["dirsieve", "audit", dwi, "--bvec", out_bvec, "--bval", out_bval]))
    text = module.audit(bvec=out_bvec, bval=out_bval, dwi=dwi)
    run = multiscale.run_consensus(dwi, module=module, base_report=text, bvec=out_bvec, bval=out_bval)
    after = run.report
    status = multiscale.overall_status(run.consensus, after)
    _write(os.path.join(folder, "audit_after.json"), pretty_json(run.document()))
    say(f"   {style.status(status)}  best {after['flip']['best']['label']}, the table's own axes, at every scale")
    if status != "PASS":
        raise DemoError(f"the repaired table was judged {status}, expected PASS")
    say()

    say(style.bold("Files") + f" in {folder}")
    described = [
        (dwi, "the phantom DWI"),
        (bvec, "the deliberately wrong table"),
        (bval, ""),
        (before_path, "report of step 1"),
        (picture, "colour FA maps before and after the fix"),
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
