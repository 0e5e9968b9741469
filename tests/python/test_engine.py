"""The engine module and the typed API: the verdict beside the module's unchanged report."""
import ast
import inspect
import json
import pathlib
import re

import numpy as np
import pytest

import _dirsieve
import dirsieve
from dirsieve import _engine, api
from dirsieve.phantom import write_nifti, write_phantom

SHAPE = (32, 32, 32)
ROOT = pathlib.Path(__file__).resolve().parents[2]


def no_timestamp(text):
    return re.sub(r'"timestamp":"[^"]*"', '"timestamp":""', text)


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="y", mask=True)


@pytest.fixture(scope="module")
def truth(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("truth")), shape=SHAPE, mask=False)


def read_bvec(path):
    return np.loadtxt(path)


def stub_signatures(path):
    """name -> [(parameter, default source text or None)] from a .pyi file."""
    out = {}
    for node in ast.parse(pathlib.Path(path).read_text()).body:
        if isinstance(node, ast.FunctionDef):
            args = node.args.args
            defaults = [None] * (len(args) - len(node.args.defaults)) + [ast.unparse(d) for d in node.args.defaults]
            out[node.name] = [(a.arg, d) for a, d in zip(args, defaults)]
    return out


def runtime_signature(function):
    return [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
            for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("module, stub", [(_dirsieve, ROOT / "python" / "_dirsieve.pyi"),
                                          (_engine, ROOT / "python" / "dirsieve" / "_engine.pyi")])
def test_stubs_match_the_compiled_signatures(module, stub):
    stubs = stub_signatures(stub)
    assert sorted(stubs) == sorted(module.__all__)
    for name in module.__all__:
        assert stubs[name] == runtime_signature(getattr(module, name)), name
    assert (ROOT / "python" / "dirsieve" / "py.typed").exists()


def test_engine_surface():
    assert _engine.__all__ == ["version", "audit", "detect_flip", "repair", "recompute_bval", "read_table",
                               "format_table", "check_outputs", "write_outputs", "restore_outputs", "discover_bids",
                               "acquisition_groups"]
    assert _engine.version() == _dirsieve.version() == dirsieve.__version__
    assert issubclass(_engine.InternalError, BaseException) and _engine.InternalError.__module__ == "dirsieve._engine"
    # The module keeps its thirteen functions.
    assert len(_dirsieve.__all__) == 13 and "check" not in _dirsieve.__all__


def test_report_is_the_module_report_for_the_same_inputs(flipped):
    fsl = dict(bvec=flipped["bvec"], bval=flipped["bval"], threads=1)
    out = _engine.audit(flipped["dwi"], **fsl)
    assert no_timestamp(out["report"]) == no_timestamp(_dirsieve.audit(dwi=flipped["dwi"], **fsl))
    assert set(out) == {"report", "verdict"}
    # A white-matter mask is the module's own mask.
    out = _engine.detect_flip(flipped["dwi"], wm_mask=flipped["mask"], glyphs=True, **fsl)
    module_text, module_glyphs = _dirsieve.detect_flip_with_glyphs(flipped["dwi"], mask=flipped["mask"], **fsl)
    assert no_timestamp(out["report"]) == no_timestamp(module_text)
    assert out["glyphs"].keys() == module_glyphs.keys() and out["glyphs"]["mask"] == module_glyphs["mask"]
    assert out["verdict"]["sample"] == "white-matter mask"
    assert out["verdict"]["n_wm_voxels"] == json.loads(module_text)["flip"]["n_wm_voxels"]


def test_verdict_on_a_flipped_phantom(flipped):
    verdict = _engine.audit(flipped["dwi"], bvec=flipped["bvec"], bval=flipped["bval"])["verdict"]
    assert verdict["status"] == "FLAG" and verdict["recommended_label"] in ("+x-y+z", "-x+y-z")
    assert verdict["recommended_transform"] == verdict["common_transform"]
    assert [round(d["distance_mm"], 9) for d in verdict["distances"]] == [4.0, 6.0, 8.0]  # 2, 3, 4 x 2 mm
    for row in verdict["distances"]:
        assert row["winner"] == verdict["recommended_label"] and not row["identity_class"]
        assert row["z"] >= 3 and row["n_blocks"] >= 20
        assert row["relative_margin"] == pytest.approx((row["winner_coherence"] - row["runner_up_coherence"])
                                                       / row["winner_coherence"])
        # The per-voxel mean difference is the coherence margin, summed in another order.
        assert row["mean_difference"] == pytest.approx(row["margin"], rel=1e-9)
    assert verdict["confidence"] == min(row["z"] for row in verdict["distances"])


def test_brain_mask_bounds_the_sample(flipped, tmp_path):
    nibabel = pytest.importorskip("nibabel")
    image = nibabel.load(flipped["dwi"])
    b0 = np.asarray(image.dataobj)[..., 0]
    brain_path = write_nifti(str(tmp_path / "brain.nii.gz"), (b0 > 500).astype(np.uint8), image.affine)
    fsl = dict(bvec=flipped["bvec"], bval=flipped["bval"])
    brain = _engine.audit(flipped["dwi"], mask=brain_path, **fsl)["verdict"]
    # The module scores every voxel of a mask; the verdict keeps the valid ones with FA >= 0.2 in it.
    module = json.loads(_dirsieve.detect_flip(flipped["dwi"], mask=brain_path, **fsl))["flip"]
    assert module["n_wm_voxels"] == int((b0 > 500).sum())
    assert brain["sample"] == "brain mask" and 0 < brain["n_wm_voxels"] < module["n_wm_voxels"]
    assert brain["mask_mean_fa"] > module["mask_mean_fa"]
    assert brain["status"] == "FLAG" and brain["recommended_label"] in ("+x-y+z", "-x+y-z")


def test_argument_errors(flipped):
    fsl = dict(bvec=flipped["bvec"], bval=flipped["bval"])
    with pytest.raises(ValueError, match="not both"):
        _engine.audit(flipped["dwi"], mask=flipped["mask"], wm_mask=flipped["mask"], **fsl)
    for bad in ([0.0], [4.0, -1.0], [float("nan")], [float("inf")]):
        with pytest.raises(ValueError, match="distances must be finite and positive"):
            _engine.audit(flipped["dwi"], scales_mm=bad, **fsl)
    with pytest.raises(ValueError, match="at most 16 distances"):
        _engine.detect_flip(flipped["dwi"], scales_mm=[4.0] * 17, **fsl)
    with pytest.raises(TypeError, match="scales_mm"):
        _engine.audit(flipped["dwi"], scales_mm="4,6", **fsl)
    with pytest.raises(TypeError, match="scales_mm"):
        _engine.audit(flipped["dwi"], scales_mm=["four"], **fsl)
    with pytest.raises(ValueError, match="provide bvec and bval, or grad"):
        _engine.audit(flipped["dwi"], bvec=flipped["bvec"])


def test_typed_check(flipped):
    result = dirsieve.check(pathlib.Path(flipped["dwi"]), bvec=pathlib.Path(flipped["bvec"]),
                            bval=flipped["bval"], scales_mm=(3, 5))
    assert isinstance(result, api.CheckResult) and isinstance(result.verdict, api.Verdict)
    assert result.status == "FLAG" and result.report["flip"]["working_b"] == 1000.0
    rows = result.verdict.distances
    assert [r.distance_mm for r in rows] == [3.0, 5.0] and all(isinstance(r, api.DistanceRow) for r in rows)
    assert rows[0].step_voxels == (1.5, 1.5, 1.5)
    assert result.verdict.recommended_transform == ((1.0, 0.0, 0.0), (0.0, -1.0, 0.0), (0.0, 0.0, 1.0)) or \
        result.verdict.recommended_transform == ((-1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, -1.0))
    document = result.document_text()
    assert document.startswith('{"report":' + result.report_text + ',"verdict":')
    assert json.loads(document)["verdict"] == result.verdict.to_dict()

    only_flip = dirsieve.check(flipped["dwi"], grad=flipped["grad"], flip_only=True, glyphs=True)
    assert "shells" not in only_flip.report and only_flip.glyphs is not None
    with pytest.raises(ValueError, match="flip_only"):
        dirsieve.check(flipped["dwi"], grad=flipped["grad"], flip_only=True, strict=True)
    profiled = dirsieve.check(flipped["dwi"], grad=flipped["grad"], profile=True)
    assert set(profiled.timing) >= {"decompress", "convert", "fit", "coherence", "total"}


def test_typed_repair_writes_what_the_verdict_trusts(flipped, truth, tmp_path):
    out_bvec, out_bval = tmp_path / "r.bvec", tmp_path / "r.bval"
    result = dirsieve.repair(flipped["dwi"], out_bvec, out_bval, bvec=flipped["bvec"], bval=flipped["bval"],
                             provenance=tmp_path / "p.json")
    assert isinstance(result, api.RepairResult) and result.status == "FLAG" and result.written
    assert result.outputs == (str(out_bvec), str(out_bval))
    fixed, true = read_bvec(out_bvec), read_bvec(truth["bvec"])
    assert min(np.abs(fixed - true).max(), np.abs(fixed + true).max()) < 1e-6
    provenance = json.loads((tmp_path / "p.json").read_text())
    assert provenance["verdict"]["status"] == "FLAG"
    assert provenance["applied_label"] == result.verdict.recommended_label

    # An existing output is refused without force, and nothing changes; with force it is backed up.
    before = out_bvec.read_bytes()
    with pytest.raises(ValueError, match="refusing to overwrite existing file"):
        dirsieve.repair(flipped["dwi"], out_bvec, out_bval, bvec=flipped["bvec"], bval=flipped["bval"])
    assert out_bvec.read_bytes() == before
    again = dirsieve.repair(flipped["dwi"], out_bvec, out_bval, bvec=flipped["bvec"], bval=flipped["bval"],
                            force=True)
    assert again.written and (tmp_path / "r.bvec.bak").read_bytes() == before

    # A dry run writes nothing; a WARN (a sample too small to decide) writes nothing either.
    dry = dirsieve.repair(flipped["dwi"], tmp_path / "d.bvec", tmp_path / "d.bval", bvec=flipped["bvec"],
                          bval=flipped["bval"], dry_run=True)
    assert dry.written and dry.outputs == () and not (tmp_path / "d.bvec").exists()
    tiny = np.zeros(SHAPE, dtype=np.uint8)
    tiny[14:17, 14:17, 14:17] = 1
    nibabel = pytest.importorskip("nibabel")
    tiny_path = write_nifti(str(tmp_path / "tiny.nii.gz"), tiny, nibabel.load(flipped["dwi"]).affine)
    warn = dirsieve.repair(flipped["dwi"], tmp_path / "w.bvec", tmp_path / "w.bval", bvec=flipped["bvec"],
                           bval=flipped["bval"], wm_mask=tiny_path)
    assert warn.status == "WARN" and warn.verdict.reason.startswith("cannot decide: only ")
    assert not warn.written and not (tmp_path / "w.bvec").exists()


def test_engine_calls_let_other_threads_run(flipped):
    """The engine drops the interpreter lock while it loads and analyses (a Dask worker keeps answering
    its scheduler meanwhile): another thread runs during a call, and calls from two threads at once give
    what one call alone gives."""
    import threading
    import time

    kw = dict(bvec=flipped["bvec"], bval=flipped["bval"], mask=flipped["mask"], threads=1)
    alone = _engine.audit(flipped["dwi"], **kw)

    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.perf_counter()
        for _ in range(3):
            _engine.audit(flipped["dwi"], **kw)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
    assert sum(start < t < end for t in ticks) >= 5

    results = [None, None]

    def call(i):
        results[i] = _engine.audit(flipped["dwi"], **kw)

    threads = [threading.Thread(target=call, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for out in results:
        assert out["verdict"] == alone["verdict"]
        assert no_timestamp(out["report"]) == no_timestamp(alone["report"])
