import gzip
import json
import math
import os

import numpy as np
import pytest

from dirsieve import consensus as cons
from dirsieve.phantom import write_nifti, write_phantom

_dirsieve = pytest.importorskip("_dirsieve")

LABELS = [s0 + a0 + s1 + a1 + s2 + a2 for a0, a1, a2 in ("xyz", "xzy", "yxz", "yzx", "zxy", "zyx")
          for s2 in "+-" for s1 in "+-" for s0 in "+-"]


def verdict(label, margin, step=None, voxels=None, decision=None):
    matrix = cons.matrix_of_label(label)
    if decision is None:
        decision = "PASS" if cons.is_identity_class(matrix) else ("FLAG" if margin >= 0.02 else "WARN")
    flip = {"best": {"label": label, "matrix": matrix}, "runner_up": {"label": "+z+y+x"},
            "relative_margin": margin, "margin": margin / 2, "decision": decision}
    return cons.ScaleVerdict.from_flip(flip, step, voxels)


def scales(*entries):
    steps = [(None, 1.5), (2.0, None), (3.0, None), (4.0, None)]
    return [verdict(label, m, *steps[i]) for i, (label, m) in enumerate(entries)]


# --------------------------------------------------------------------------- classes


def test_labels_and_classes_follow_the_module_candidate_order(phantom_dir):
    assert len(set(LABELS)) == 48
    for label in LABELS:
        assert cons.label_of_matrix(cons.matrix_of_label(label)) == label
    # In the module's ranking a pair's earlier member is its class representative.
    ranking = json.loads(_dirsieve.detect_flip(phantom_dir["dwi"], bvec=phantom_dir["bvec"],
                                               bval=phantom_dir["bval"]))["flip"]["ranking"]
    seen = set()
    for entry in ranking:
        rep = cons.label_of_matrix(cons.class_of(entry["matrix"]))
        assert (rep == entry["label"]) == (rep not in seen)
        seen.add(rep)
    assert len(seen) == 24
    assert cons.is_identity_class(cons.matrix_of_label("-x-y-z"))
    assert not cons.is_identity_class(cons.matrix_of_label("-x+y+z"))
    for bad in ([[1, 0, 0], [1, 0, 0], [0, 0, 1]], [[2, 0, 0], [0, 1, 0], [0, 0, 1]]):
        with pytest.raises(ValueError):
            cons.label_of_matrix(bad)
    with pytest.raises(ValueError):
        cons.matrix_of_label("+x+x+z")


# --------------------------------------------------------------------------- decision


def test_decide_pass_flag_and_warn():
    # The identity class at every scale passes whatever the margins, -x-y-z included.
    c = cons.decide(scales(("+x+y+z", 0.001), ("-x-y-z", 0.3), ("+x+y+z", 0.0), ("+x+y+z", 0.01)))
    assert (c.status, c.label, c.transform) == ("PASS", None, None)

    c = cons.decide(scales(("+y+x+z", 0.003), ("+y+x+z", 0.02), ("-y-x-z", 0.05), ("+y+x+z", 0.05)))
    assert (c.status, c.label) == ("FLAG", "+y+x+z")
    assert c.transform == cons.matrix_of_label("+y+x+z")
    assert c.max_margin_scale.step == 3.0  # the first of two equal margins
    assert c.to_json()["recommended_label"] == "+y+x+z"

    # The threshold is inclusive, and it is the caller's.
    assert cons.decide(scales(("-x+y+z", 0.01), ("-x+y+z", 0.02)), 0.02).status == "FLAG"
    c = cons.decide(scales(("-x+y+z", 0.01), ("-x+y+z", 0.019)))
    assert (c.status, c.label, c.agreed) == ("WARN", "-x+y+z", True)
    assert "below the 2.0% threshold" in c.message
    assert c.to_json()["recommended_label"] is None and c.to_json()["common_label"] == "-x+y+z"
    assert cons.decide(scales(("-x+y+z", 0.01), ("-x+y+z", 0.019)), 0.015).status == "FLAG"


def test_decide_names_the_scales_that_disagree():
    c = cons.decide(scales(("-x+y+z", 0.08), ("-x+y+z", 0.05), ("+x+y+z", 0.01), ("-x+y+z", 0.04)))
    assert c.status == "WARN" and not c.agreed and c.label is None
    assert c.disagreeing == ("3 voxels",)
    assert "default step (1.50 voxels): -x+y+z" in c.message and "3 voxels: +x+y+z" in c.message
    # A non-identity winner against the identity is a disagreement too, never a FLAG.
    assert cons.decide(scales(("+x+y+z", 0.0), ("+z+y+x", 0.5))).status == "WARN"


def test_decide_handles_nan_margins_and_bad_thresholds():
    c = cons.decide(scales(("+y+x+z", float("nan")), ("+y+x+z", 0.03)))
    assert c.status == "FLAG" and c.max_margin_scale.step == 2.0
    c = cons.decide(scales(("+y+x+z", float("nan")), ("+y+x+z", float("nan"))))
    assert c.status == "WARN" and math.isnan(c.max_relative_margin) and c.max_margin_scale is None
    body = json.dumps(c.to_json(), allow_nan=False)  # NaN leaves as null
    assert json.loads(body)["max_relative_margin"] is None
    for bad in (0.0, 1.5, float("nan")):
        with pytest.raises(ValueError, match="margin threshold"):
            cons.decide(scales(("+x+y+z", 0.1)), bad)


# --------------------------------------------------------------------------- running


def test_default_step_reads_the_header(tmp_path):
    for size, want in ((2.0, 2.0), (1.0, 4.0), (5.0, 1.0), (0.5, 8.0)):
        path = write_nifti(str(tmp_path / f"v{size}.nii"), np.zeros((2, 2, 2), np.float32),
                           np.diag([size, size, size, 1.0]))
        assert cons.default_step(path) == want
    path = write_nifti(str(tmp_path / "a.nii.gz"), np.zeros((2, 2, 2), np.float32), np.diag([2.0, 2.0, 3.5, 1]))
    assert cons.default_step(path) == 4 / 2.5
    (tmp_path / "junk.nii").write_bytes(b"not an image")
    with gzip.open(tmp_path / "junk.nii.gz", "wb") as f:
        f.write(b"short")
    assert cons.default_step(str(tmp_path / "junk.nii")) is None
    assert cons.default_step(str(tmp_path / "junk.nii.gz")) is None
    assert cons.default_step(str(tmp_path / "missing.nii")) is None


class Recorder:
    """Passes calls to the module and records their keyword arguments."""

    def __init__(self, repair_label=None):
        self.calls = []
        self.repair_label = repair_label

    def detect_flip(self, dwi, **kw):
        self.calls.append(("detect_flip", kw))
        return _dirsieve.detect_flip(dwi, **kw)

    def detect_flip_with_glyphs(self, dwi, **kw):
        self.calls.append(("detect_flip_with_glyphs", kw))
        return _dirsieve.detect_flip_with_glyphs(dwi, **kw)

    def repair(self, dwi, out_bvec, out_bval, **kw):
        self.calls.append(("repair", kw))
        text = _dirsieve.repair(dwi, out_bvec, out_bval, **kw)
        if self.repair_label is not None:  # a module that applied something else
            report = json.loads(text)
            report["repair"]["label"] = self.repair_label
            text = json.dumps(report)
        return text


def test_consensus_flags_a_flipped_phantom_with_one_call_per_distinct_scale(flipped_phantom, phantom_dir):
    rec = Recorder()
    run = cons.run_consensus(flipped_phantom["dwi"], module=rec, bvec=flipped_phantom["bvec"],
                             bval=flipped_phantom["bval"], threads=2)
    c = run.consensus
    assert (c.status, c.label) == ("FLAG", "-x+y+z")
    # 2 mm voxels make the module's default step exactly 2 voxels, so that scale is scored once.
    assert [kw["step"] for _, kw in rec.calls] == [None, 3.0, 4.0] and run.calls == 3
    assert [s.voxels for s in c.scales] == [2.0, 3.0, 4.0]
    assert all(kw["threads"] == 2 and "margin_threshold" not in kw for _, kw in rec.calls)
    doc = json.loads(run.document())
    assert doc["report"] == json.loads(run.report_text) and doc["consensus"]["status"] == "FLAG"
    assert doc["consensus"]["recommended_transform"] == [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert cons.run_consensus(phantom_dir["dwi"], grad=phantom_dir["grad"]).consensus.status == "PASS"


def test_consensus_reuses_a_given_report_and_the_users_step(flipped_phantom):
    kw = {"bvec": flipped_phantom["bvec"], "bval": flipped_phantom["bval"]}
    audit = _dirsieve.audit(dwi=flipped_phantom["dwi"], step=3.0, margin_threshold=0.05, strict=True, **kw)
    rec = Recorder()
    run = cons.run_consensus(flipped_phantom["dwi"], module=rec, base_report=audit, step=3.0,
                             margin_threshold=0.05, strict=True, **kw)
    assert run.report_text == audit
    assert [kw["step"] for _, kw in rec.calls] == [2.0, 4.0]
    assert all("strict" not in kw and kw["margin_threshold"] == 0.05 for _, kw in rec.calls)
    assert run.consensus.margin_threshold == 0.05 and run.consensus.scales[0].step == 3.0

    rec = Recorder()
    run = cons.run_consensus(flipped_phantom["dwi"], module=rec, glyphs=True, **kw)
    assert rec.calls[0][0] == "detect_flip_with_glyphs" and set(run.glyphs) >= {"v1", "mask"}
    with pytest.raises(ValueError, match="margin threshold"):
        cons.run_consensus(flipped_phantom["dwi"], margin_threshold=0.0, **kw)


# --------------------------------------------------------------------------- repair


def read_dirs(path):
    return np.loadtxt(path).T


def test_repair_writes_the_consensus_transform_through_the_module(flipped_phantom, phantom_dir, tmp_path):
    kw = {"bvec": flipped_phantom["bvec"], "bval": flipped_phantom["bval"]}
    run = cons.run_consensus(flipped_phantom["dwi"], **kw)
    out = {k: str(tmp_path / f"fixed.{k}") for k in ("bvec", "bval")}
    rec = Recorder()
    outcome = cons.repair_with_consensus(run, flipped_phantom["dwi"], out["bvec"], out["bval"], module=rec,
                                         provenance=str(tmp_path / "prov.json"))
    (name, call), = rec.calls
    assert call["step"] == 4.0 and call["force_repair"] is True  # the scale with the largest margin
    assert outcome.label == "-x+y+z" and outcome.report["repair"]["outputs"] == [out["bvec"], out["bval"]]
    np.testing.assert_allclose(read_dirs(out["bvec"]), read_dirs(phantom_dir["bvec"]), atol=1e-6)  # written to 6 decimals
    assert json.loads((tmp_path / "prov.json").read_text())["applied_label"] == "-x+y+z"

    # A second run refuses to overwrite, as the module does, and backs up with in_place.
    with pytest.raises(ValueError, match="refusing to overwrite"):
        cons.repair_with_consensus(run, flipped_phantom["dwi"], out["bvec"], out["bval"])
    cons.repair_with_consensus(run, flipped_phantom["dwi"], out["bvec"], out["bval"], in_place=True)
    assert os.path.exists(out["bvec"] + ".bak")

    dry = cons.repair_with_consensus(run, flipped_phantom["dwi"], str(tmp_path / "d.bvec"),
                                     str(tmp_path / "d.bval"), dry_run=True)
    assert dry.report["repair"]["outputs"] == [] and not (tmp_path / "d.bvec").exists()


def test_repair_refuses_what_the_consensus_does_not_support(flipped_phantom, phantom_dir, tmp_path):
    out = str(tmp_path / "o.bvec"), str(tmp_path / "o.bval")
    good = cons.run_consensus(phantom_dir["dwi"], bvec=phantom_dir["bvec"], bval=phantom_dir["bval"])
    assert cons.repair_with_consensus(good, phantom_dir["dwi"], *out) is None  # PASS: nothing to do
    assert not os.path.exists(out[0])

    # The module applying another label than the consensus is refused, and the message says so.
    run = cons.run_consensus(flipped_phantom["dwi"], bvec=flipped_phantom["bvec"], bval=flipped_phantom["bval"])
    with pytest.raises(cons.ConsensusError, match=r"applied \+y\+x\+z, not the consensus -x\+y\+z.*do not use"):
        cons.repair_with_consensus(run, flipped_phantom["dwi"], *out, module=Recorder("+y+x+z"))

    # A table that changed after scoring is refused before anything is written.
    copy = {k: str(tmp_path / f"in.{k}") for k in ("bvec", "bval")}
    for k in copy:
        with open(flipped_phantom[k]) as src, open(copy[k], "w") as dst:
            dst.write(src.read())
    run = cons.run_consensus(flipped_phantom["dwi"], **copy)
    with open(copy["bvec"], "a") as f:
        f.write("\n")
    rec = Recorder()
    with pytest.raises(cons.ConsensusError, match="changed since the flip was scored"):
        cons.repair_with_consensus(run, flipped_phantom["dwi"], str(tmp_path / "n.bvec"),
                                   str(tmp_path / "n.bval"), module=rec)
    assert rec.calls == []


def test_repair_plan_on_warn_and_on_inconsistent_scales():
    agreed = cons.decide(scales(("+y+x+z", 0.01), ("+y+x+z", 0.015)))
    assert cons.repair_plan(agreed) is None
    assert cons.repair_plan(agreed, force=True).step == 2.0
    split = cons.decide(scales(("+y+x+z", 0.01), ("+x+y+z", 0.015)))
    assert cons.repair_plan(split) is None
    with pytest.raises(cons.ConsensusError, match="no common transform"):
        cons.repair_plan(split, force=True)
    # Cannot come out of decide(): a FLAG whose strongest scale the module itself passed.
    flagged = cons.decide(scales(("+y+x+z", 0.01), ("+y+x+z", 0.05)))
    broken = cons.Consensus(**{**flagged.__dict__, "max_margin_scale": verdict("+y+x+z", 0.05, 2.0,
                                                                              decision="PASS")})
    with pytest.raises(cons.ConsensusError, match="module chose"):
        cons.repair_plan(broken)


# --------------------------------------------------------------------------- verdict


def test_overall_status_keeps_the_scheme_rules_and_exit_codes():
    passed = cons.decide(scales(("+x+y+z", 0.1)))
    flagged = cons.decide(scales(("+y+x+z", 0.1)))
    plain = {"status": "PASS", "flip": {"decision": "PASS"}, "notes": []}
    assert cons.overall_status(passed, plain) == "PASS"
    assert cons.overall_status(passed, {**plain, "status": "WARN"}) == "WARN"
    # The module's flip said WARN, so it did not promote; the consensus PASS must still be raised.
    severe = {"status": "WARN", "flip": {"decision": "WARN"},
              "notes": ["shell b=1000: 4 directions, below the DTI minimum of 6 — the tensor fit is underdetermined"]}
    assert cons.overall_status(passed, severe) == "PASS"
    assert cons.overall_status(passed, severe, strict=True) == "WARN"
    amplitude = {**severe, "notes": ["... — likely amplitude-encoded bvecs: ..."]}
    assert cons.overall_status(passed, amplitude) == "WARN"
    assert cons.overall_status(flagged, amplitude, strict=True) == "FLAG"
    assert [cons.exit_code(s) for s in ("PASS", "FLAG", "WARN")] == [0, 0, 3]
    assert cons.exit_code("FLAG", fail_on_flag=True) == 4 and cons.exit_code("PASS", True) == 0
    lines = cons.render_consensus(flagged)
    assert lines[0] == "Multi-scale consensus: FLAG" and "+y+x+z" in lines[2]
