"""QC figures: what they say matches the verdict, what they draw follows the fibres, where they put it."""
import importlib.util
import os
import re

import numpy as np
import pytest

import dirsieve
from dirsieve import cli, qc
from dirsieve.phantom import make_phantom, write_phantom

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None or importlib.util.find_spec("nibabel") is None,
    reason="the figures need matplotlib and nibabel (the qc extra)")

SHAPE = (32, 32, 32)  # the smallest phantom that FLAGs reliably


@pytest.fixture(scope="module")
def y_flipped(tmp_path_factory):
    paths = write_phantom(str(tmp_path_factory.mktemp("yflip")), shape=SHAPE, flip="y", grad=False, mask=False)
    result = dirsieve.check(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], glyphs=True)
    assert result.status == "FLAG"
    return paths, result


def alignment(panel, row, fiber):
    """Mean |cos| between the drawn strokes and the true fibre, both in the panel's plane.

    The phantom's affine is diagonal and positive, so its voxel axes are the display's anatomical
    axes; voxels whose true fibre runs mostly through the plane are left out.
    """
    strokes = panel.strokes[row]
    (h, hs), (v, vs) = panel.horizontal, panel.vertical
    drawn = strokes.segments[:, 1] - strokes.segments[:, 0]
    true = fiber[tuple(strokes.voxels.T)]
    true = np.stack([hs * true[:, h], vs * true[:, v]], axis=1)
    keep = np.linalg.norm(true, axis=1) > 0.5
    assert keep.sum() >= 10, "too few strokes on the bundles to judge"
    drawn, true = drawn[keep], true[keep]
    cos = np.abs((drawn * true).sum(1)) / np.linalg.norm(drawn, axis=1) / np.linalg.norm(true, axis=1)
    return float(cos.mean())


def test_strokes_follow_the_bundles_only_after_the_fix(y_flipped):
    _, result = y_flipped
    data = qc.figure_data(result.report, result.glyphs, result.verdict.to_dict())
    fiber = make_phantom(shape=SHAPE)["fiber"]
    assert data.rows == ["table as given", "after +x-y+z (the fix)"]
    before = [alignment(p, 0, fiber) for p in data.panels]
    after = [alignment(p, 1, fiber) for p in data.panels]
    assert min(after) > 0.97, after
    assert np.mean(before) < 0.85, before
    # The third column is where the fix turns the strokes most: the table as given is far off there.
    assert before[2] < 0.75 and before[2] <= np.mean(before), before
    assert data.panels[2].region.startswith("changed most by +x-y+z")


def test_true_table_draws_one_row_along_the_bundles(tmp_path):
    paths = write_phantom(str(tmp_path), shape=SHAPE, grad=False, mask=False)
    result = dirsieve.check(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], glyphs=True)
    assert result.status == "PASS"
    data = qc.figure_data(result.report, result.glyphs, result.verdict.to_dict())
    fiber = make_phantom(shape=SHAPE)["fiber"]
    assert data.rows == ["table as given"]
    assert min(alignment(p, 0, fiber) for p in data.panels) > 0.97
    # The third column still shows where the closest competitor would differ.
    assert "(runner-up)" in data.panels[2].region or "(wins at" in data.panels[2].region


def test_title_carries_the_verdict(y_flipped, tmp_path):
    paths, result = y_flipped
    verdict = result.verdict.to_dict()
    lines = qc.title_lines(result.report, verdict, paths["dwi"])
    head = lines[0].split()
    assert head[:3] == ["FLAG", "fix", verdict["recommended_label"]]
    assert float(lines[0].rsplit("=", 1)[1]) == pytest.approx(verdict["confidence"], abs=0.05)
    text = "\n".join(lines)
    shown = re.findall(r"(\d+\.\d) mm: (\S+) by (\d+\.\d)% over (\S+), z (\d+\.\d), (\d+) blocks", text)
    assert len(shown) == len(verdict["distances"])
    for (mm, winner, margin, runner, z, blocks), d in zip(shown, verdict["distances"]):
        assert float(mm) == pytest.approx(d["distance_mm"], abs=0.05)
        assert (winner, runner, int(blocks)) == (d["winner"], d["runner_up"], d["n_blocks"])
        assert float(margin) == pytest.approx(100 * d["relative_margin"], abs=0.05)
        assert float(z) == pytest.approx(d["z"], abs=0.05)
    assert verdict["reason"] in text and "dwi.nii.gz" in text

    # The drawn figure carries the same text (SVG keeps it as text).
    svg = qc.render_figure(result.report, result.glyphs, verdict, paths["dwi"], fmt="svg").decode()
    for line in lines[:2]:
        assert line.replace("&", "&amp;").replace("<", "&lt;") in svg
    assert "neurological" in svg


def test_title_without_a_verdict_and_on_a_warn(y_flipped):
    _, result = y_flipped
    report = result.report
    lines = qc.title_lines(report, None)
    assert lines[0].startswith(f"{report['status']}  (single distance)")
    assert f"best {report['flip']['best']['label']}" in lines[1]

    # A WARN whose distances agree on another transform: it is shown as a candidate, not a fix.
    warn = dict(result.verdict.to_dict(), status="WARN", recommended_label=None, recommended_transform=None,
                reason="too few blocks", confidence=2.1)
    data = qc.figure_data(report, result.glyphs, warn)
    assert data.title[0] == "WARN   confidence z = 2.1"
    assert data.rows[1].startswith("if +x-y+z were applied")


def test_slices_are_resliced_to_anatomical_axes():
    # A sagittal acquisition: voxel i runs posterior to anterior, j superior to inferior, k right to
    # left (axis codes AIL), 2.5 mm voxels; every fibre along i + j: anterior-inferior.
    shape = (10, 12, 14)
    affine = np.array([[0.0, 0.0, -2.5, 10.0], [2.5, 0.0, 0.0, 20.0], [0.0, -2.5, 0.0, 30.0], [0, 0, 0, 1]])
    v1 = np.zeros(shape + (3,), dtype="<f4")
    v1[..., :2] = np.sqrt(0.5)
    fa = np.full(shape, 0.6, dtype="<f4")
    # One black line per view, each through a known corner of every slice of that view.
    fa[0, :, -1] = 0.0  # posterior, left: runs S-I
    fa[:, -1, -1] = 0.0  # inferior, left: runs A-P
    fa[-1, 0, :] = 0.0  # anterior, superior: runs L-R
    glyphs = {"shape": list(shape), "affine": affine.tolist(), "voxel_sizes": [2.5, 2.5, 2.5],
              "frame_map": np.eye(3).tolist(), "v1": v1.tobytes(), "fa": fa.tobytes(),
              "s0": np.full(shape, 100.0, dtype="<f4").tobytes(), "mask": np.ones(fa.size, dtype=np.uint8).tobytes()}
    data = qc.figure_data({"status": "PASS", "flip": {}}, glyphs, None)
    assert data.orientation == "image axes AIL"
    assert data.shape == (14, 10, 12) and data.voxel_sizes == (2.5, 2.5, 2.5)  # L-R, P-A, I-S
    views = {p.view: p for p in data.panels}
    assert set(views) == {"axial", "coronal", "sagittal"}

    def black(panel):
        return [tuple(int(i) for i in ij) for ij in np.argwhere(panel.overview.sum(axis=2) == 0)]

    # Images run bottom row first; neurological: the subject's left on the left; sagittal: anterior left.
    assert black(views["axial"]) == [(0, 0)]  # posterior (bottom), left
    assert black(views["coronal"]) == [(0, 0)]  # inferior (bottom), left
    rows = views["sagittal"].overview.shape[0]
    assert black(views["sagittal"]) == [(rows - 1, 0)]  # superior (top), anterior (left)

    # Vertical cyan (A-P and S-I) strokes in the axial and coronal views; in the sagittal view,
    # anterior on the left, they rise from bottom left to top right.
    for view in ("axial", "coronal"):
        d = views[view].strokes[0].segments[:, 1] - views[view].strokes[0].segments[:, 0]
        assert len(d) > 10 and np.allclose(d[:, 0], 0.0) and np.all(np.abs(d[:, 1]) > 1.0)
        assert np.allclose(views[view].strokes[0].colours, [0.0, 1.0, 1.0])
    axial = views["axial"].strokes[0]
    d = views["sagittal"].strokes[0].segments[:, 1] - views["sagittal"].strokes[0].segments[:, 0]
    assert len(d) > 10 and np.allclose(np.abs(d[:, 0]), np.abs(d[:, 1])) and np.all(d[:, 0] * d[:, 1] > 0)
    # Each stroke names its voxel in the image's own grid: the fibre there is the one drawn.
    assert np.all(fa[tuple(axial.voxels.T)] >= qc.STROKE_FA)


@pytest.mark.parametrize("name, magic", [("f.png", b"\x89PNG\r\n\x1a\n"), ("f.SVG", b"<?xml"), ("f.pdf", b"%PDF-"),
                                         ("f.jpg", b"\xff\xd8\xff"), ("f.jpeg", b"\xff\xd8\xff")])
def test_format_follows_the_file_name(y_flipped, tmp_path, name, magic):
    paths, result = y_flipped
    path = tmp_path / name
    qc.write_qc(str(path), result.report, result.glyphs, paths["dwi"], verdict=result.verdict.to_dict())
    assert path.read_bytes().startswith(magic)
    assert os.listdir(tmp_path) == [name]  # no temporary file left behind


def test_unknown_formats_are_refused_before_any_work(y_flipped, tmp_path, capsys):
    paths, _ = y_flipped
    for name in ("f.gif", "figure", "f.png.bak"):
        with pytest.raises(ValueError, match=re.escape(str(tmp_path / name)) + ".*use .png, .svg, .pdf, .jpg"):
            qc.figure_format(str(tmp_path / name))
    report = tmp_path / "r.json"
    code = cli.main(["audit", paths["dwi"], "--bvec", paths["bvec"], "--bval", paths["bval"], "--qc",
                     str(tmp_path / "f.gif"), "--report", str(report)])
    err = capsys.readouterr().err
    assert code == 1 and err.startswith("dirsieve: error: cannot write figure") and err.count("\n") == 1
    assert os.listdir(tmp_path) == []


def test_failed_write_leaves_nothing_and_keeps_the_old_file(y_flipped, tmp_path, monkeypatch):
    _, result = y_flipped
    with pytest.raises(OSError):
        qc.write_qc(str(tmp_path / "missing" / "f.png"), result.report, result.glyphs)
    old = tmp_path / "f.png"
    old.write_bytes(b"the previous figure")

    def fail(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(OSError, match="No space"):
        qc.write_qc(str(old), result.report, result.glyphs)
    assert os.listdir(tmp_path) == ["f.png"] and old.read_bytes() == b"the previous figure"


def test_module_path_and_run_figures(y_flipped, tmp_path, capsys):
    paths, result = y_flipped
    figure = tmp_path / "nc.png"
    assert cli.main(["detect-flip", paths["dwi"], "--bvec", paths["bvec"], "--bval", paths["bval"], "--no-consensus",
                     "--qc", str(figure)]) in (3, 4)
    assert f"Picture written to {figure}" in capsys.readouterr().out
    assert figure.read_bytes().startswith(b"\x89PNG")

    names = qc.write_run_figures(str(tmp_path), "sub-01_dwi", result.report, result.verdict.to_dict(), result.glyphs)
    assert names == ["sub-01_dwi_qc.png"]
    assert (tmp_path / names[0]).read_bytes().startswith(b"\x89PNG")
