"""audit, detect_flip, the timed and glyph variants, and repair, end to end on the phantom."""
import pathlib
import json
import struct

import numpy as np
import pytest

import _dirsieve

TIMING_KEYS = ["threads", "decompress", "convert", "fit", "coherence", "other", "total"]
GLYPH_KEYS = ["shape", "affine", "voxel_sizes", "frame_map", "v1", "fa", "s0", "mask"]


def without_timestamp(text):
    report = json.loads(text)
    del report["timestamp"]
    return report


def test_audit_members_and_verdicts(phantom_dir, flipped_phantom):
    p = phantom_dir
    report = json.loads(_dirsieve.audit(p["bvec"], p["bval"], dwi=p["dwi"]))
    assert list(report) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                            "shells", "b0_drift", "angular", "flip", "norm_stats", "notes"]
    assert report["status"] == "PASS"
    flip = report["flip"]
    assert list(flip) == ["working_b", "n_wm_voxels", "mask_mean_fa", "ranking", "best", "runner_up",
                          "identity_coherence", "margin", "relative_margin", "decision", "recommended_transform",
                          "recommended_label"]
    assert len(flip["ranking"]) == 48 and flip["recommended_label"] is None

    f = flipped_phantom
    flagged = json.loads(_dirsieve.audit(f["bvec"], f["bval"], dwi=f["dwi"]))
    assert flagged["status"] == "FLAG"
    assert flagged["flip"]["recommended_label"] == "-x+y+z"
    assert flagged["flip"]["recommended_transform"] == [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    grad = json.loads(_dirsieve.audit(grad=f["grad"], dwi=f["dwi"]))
    assert grad["status"] == "FLAG" and grad["flip"]["recommended_label"] == "-x+y+z"


def test_detect_flip_carries_only_the_flip(phantom_dir):
    p = phantom_dir
    report = json.loads(_dirsieve.detect_flip(p["dwi"], p["bvec"], p["bval"], margin_threshold=0.05))
    assert list(report) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                            "flip", "notes"]
    assert report["flip"]["margin_threshold"] == 0.05
    audited = json.loads(_dirsieve.audit(p["bvec"], p["bval"], dwi=p["dwi"], margin_threshold=0.05))
    assert report["flip"] == audited["flip"]


def test_pipeline_errors(phantom_dir, tmp_path):
    p = phantom_dir
    short = tmp_path / "short.bval"
    values = pathlib.Path(p["bval"]).read_text().split()
    short.write_text(" ".join(values[:-1]) + "\n")
    bvec_rows = [row.split() for row in pathlib.Path(p["bvec"]).read_text().splitlines()]
    short_bvec = tmp_path / "short.bvec"
    short_bvec.write_text("\n".join(" ".join(r[:-1]) for r in bvec_rows) + "\n")
    n = len(values)
    with pytest.raises(ValueError, match=rf"^volume mismatch: {n - 1} gradients but {n} DWI volumes$"):
        _dirsieve.audit(str(short_bvec), str(short), dwi=p["dwi"])
    with pytest.raises(ValueError, match=r"^margin threshold must be finite and in \(0, 1\]: 1.5$"):
        _dirsieve.detect_flip(p["dwi"], p["bvec"], p["bval"], margin_threshold=1.5)
    with pytest.raises(ValueError, match=r"^NIfTI error: "):
        _dirsieve.audit(p["bvec"], p["bval"], dwi=str(tmp_path / "missing.nii.gz"))
    # audit without a DWI still loads the mask it was given.
    with pytest.raises(ValueError, match=r"^NIfTI error: "):
        _dirsieve.audit(p["bvec"], p["bval"], mask=str(tmp_path / "missing.nii"))
    assert "flip" not in json.loads(_dirsieve.audit(p["bvec"], p["bval"], mask=p["mask"]))


def test_profiled_audit_matches_audit(phantom_dir):
    p = phantom_dir
    text, timing = _dirsieve.audit_profiled(p["dwi"], p["bvec"], p["bval"], threads=2)
    assert list(timing) == TIMING_KEYS
    assert all(type(v) is float for v in timing.values())
    assert timing["threads"] == 2.0
    parts = timing["decompress"] + timing["convert"] + timing["fit"] + timing["coherence"] + timing["other"]
    assert parts == pytest.approx(timing["total"], rel=1e-9, abs=1e-9) or timing["other"] == 0.0
    assert without_timestamp(text) == without_timestamp(_dirsieve.audit(p["bvec"], p["bval"], dwi=p["dwi"]))
    _, shared = _dirsieve.audit_profiled(p["dwi"], p["bvec"], p["bval"])
    assert shared["threads"] >= 1.0


def test_glyph_dict(phantom_dir, tmp_path):
    p = phantom_dir
    text, glyphs = _dirsieve.audit_with_glyphs(p["dwi"], p["bvec"], p["bval"])
    assert list(glyphs) == GLYPH_KEYS
    nx, ny, nz = glyphs["shape"]
    n = nx * ny * nz
    assert (len(glyphs["v1"]), len(glyphs["fa"]), len(glyphs["s0"]), len(glyphs["mask"])) == (12 * n, 4 * n, 4 * n, n)
    mask = np.frombuffer(glyphs["mask"], dtype=np.uint8)
    assert set(np.unique(mask)) <= {0, 1}
    assert int(mask.sum()) == json.loads(text)["flip"]["n_wm_voxels"]
    assert glyphs["affine"][3] == [0.0, 0.0, 0.0, 1.0]
    assert glyphs["frame_map"] == [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    fa = np.frombuffer(glyphs["fa"], dtype="<f4")
    assert np.all((fa >= 0) & (fa <= 1))
    v1 = np.frombuffer(glyphs["v1"], dtype="<f4").reshape(nx, ny, nz, 3)
    norms = np.linalg.norm(v1[mask.reshape(nx, ny, nz) == 1], axis=-1)
    assert np.allclose(norms, 1.0, atol=1e-5)

    report3, timing3, glyphs3 = _dirsieve.audit_profiled_with_glyphs(p["dwi"], p["bvec"], p["bval"])
    assert list(timing3) == TIMING_KEYS and glyphs3 == glyphs
    _, flip_glyphs = _dirsieve.detect_flip_with_glyphs(p["dwi"], p["bvec"], p["bval"])
    assert flip_glyphs == glyphs
    _, repair_glyphs = _dirsieve.repair_with_glyphs(p["dwi"], str(tmp_path / "o.bvec"), str(tmp_path / "o.bval"),
                                                    p["bvec"], p["bval"])
    assert repair_glyphs == glyphs


def test_thread_counts_agree(phantom_dir):
    p = phantom_dir
    _, one = _dirsieve.audit_with_glyphs(p["dwi"], p["bvec"], p["bval"], threads=1)
    _, two = _dirsieve.audit_with_glyphs(p["dwi"], p["bvec"], p["bval"], threads=2)
    assert one["v1"] == two["v1"] and one["fa"] == two["fa"] and one["mask"] == two["mask"]
    a = json.loads(_dirsieve.detect_flip(p["dwi"], p["bvec"], p["bval"], threads=1))["flip"]["ranking"]
    b = json.loads(_dirsieve.detect_flip(p["dwi"], p["bvec"], p["bval"], threads=2))["flip"]["ranking"]
    assert [e["label"] for e in a] == [e["label"] for e in b]
    assert [e["coherence"] for e in a] == pytest.approx([e["coherence"] for e in b], rel=1e-12)


def test_repair_round_trip(flipped_phantom, tmp_path):
    f = flipped_phantom
    out_bvec, out_bval, prov = str(tmp_path / "fixed.bvec"), str(tmp_path / "fixed.bval"), str(tmp_path / "p.json")
    dry = json.loads(_dirsieve.repair(f["dwi"], out_bvec, out_bval, f["bvec"], f["bval"], dry_run=True))
    assert dry["repair"] == {"matrix": [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], "label": "-x+y+z",
                             "outputs": []}
    assert not (tmp_path / "fixed.bvec").exists()
    report = json.loads(_dirsieve.repair(f["dwi"], out_bvec, out_bval, f["bvec"], f["bval"], provenance=prov))
    assert report["status"] == "FLAG" and report["repair"]["outputs"] == [out_bvec, out_bval]
    provenance = json.loads(pathlib.Path(prov).read_text())
    assert provenance["applied_label"] == "-x+y+z" and provenance["frame"]["input_format"] == "fsl"
    again = json.loads(_dirsieve.audit(out_bvec, out_bval, dwi=f["dwi"]))
    assert again["status"] == "PASS"
    before = pathlib.Path(out_bvec).read_bytes()
    with pytest.raises(ValueError, match=r"^refusing to overwrite existing file: .*fixed.bvec \(pass --force"):
        _dirsieve.repair(f["dwi"], out_bvec, out_bval, f["bvec"], f["bval"])
    assert pathlib.Path(out_bvec).read_bytes() == before
    _dirsieve.repair(f["dwi"], out_bvec, out_bval, f["bvec"], f["bval"], in_place=True)
    assert pathlib.Path(out_bvec + ".bak").read_bytes() == before


def test_provenance_never_replaces_an_input_or_output(flipped_phantom, tmp_path):
    f = flipped_phantom
    out_bvec, out_bval = str(tmp_path / "r.bvec"), str(tmp_path / "r.bval")
    for target in (f["bvec"], f["dwi"], out_bval):
        before = pathlib.Path(target).read_bytes() if target != out_bval else None
        with pytest.raises(ValueError, match=r"^refusing to overwrite existing file: "):
            _dirsieve.repair(f["dwi"], out_bvec, out_bval, f["bvec"], f["bval"], provenance=target)
        assert not (tmp_path / "r.bvec").exists()
        if before is not None:
            assert pathlib.Path(target).read_bytes() == before
    with pytest.raises(ValueError, match=r"^refusing to overwrite existing file: "):
        _dirsieve.recompute_bval(out_bvec, out_bval, f["bvec"], f["bval"], provenance=f["bval"])
    assert not (tmp_path / "r.bvec").exists()
