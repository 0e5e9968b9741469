"""QC figures: what they say matches the verdict, what they draw follows the fibres, where they put it."""
import importlib.util
import io
import json
import os
import re

import numpy as np
import pytest

import dirsieve
from dirsieve import cli, qc
from dirsieve.phantom import make_phantom, write_nifti, write_phantom

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


# --------------------------------------------------------------------------- part of the table wrong


def part_wrong(directory, whole=None):
    """The phantom with x negated on the second half of its diffusion-weighted rows (``whole`` on every row)."""
    paths = write_phantom(directory, shape=SHAPE, flip=whole, grad=False, mask=False)
    g, b = np.loadtxt(paths["bvec"]).T, np.loadtxt(paths["bval"])
    dw = np.nonzero(b > 50)[0]
    g[dw[len(dw) // 2:]] *= [-1, 1, 1]
    np.savetxt(paths["bvec"], g.T, fmt="%.6f")
    result = dirsieve.check(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], glyphs=True)
    verdict = result.verdict.to_dict()
    assert verdict["status"] == "FLAG" and verdict["fix"] is not None and verdict["recommended_transform"] is None
    return paths, result, verdict


@pytest.fixture(scope="module")
def half_negated(tmp_path_factory):
    return part_wrong(str(tmp_path_factory.mktemp("half")))


@pytest.fixture(scope="module")
def half_negated_then_y(tmp_path_factory):
    """The same part wrong, and y negated on the whole table: the fix is per volume, then +x-y+z."""
    return part_wrong(str(tmp_path_factory.mktemp("half_y")), whole="y")


@pytest.mark.parametrize("case", ["half_negated", "half_negated_then_y"])
def test_per_volume_fix_draws_the_corrected_fit(case, request):
    _, result, verdict = request.getfixturevalue(case)
    fiber = make_phantom(shape=SHAPE)["fiber"]
    data = qc.figure_data(result.report, result.glyphs, verdict)
    assert data.rows[0] == "table as given" and data.rows[1].startswith(f"after the fix ({verdict['fix']['description']}")
    assert (verdict["fix"]["whole_label"] is not None) == ("on the whole table" in data.rows[1])
    before = [alignment(p, 0, fiber) for p in data.panels]
    after = [alignment(p, 1, fiber) for p in data.panels]
    # The corrected table's fit (with the fix's whole-table transform, if any) runs along the bundles;
    # the given one is off somewhere.
    assert min(after) > 0.97, after
    assert min(before) < 0.85, before
    assert data.panels[2].region == "changed most by the fix"

    # Without the corrected fit there is nothing honest to draw after the fix: no single matrix turns
    # the given fit into it, and the verdict's transforms belong to the corrected table.
    glyphs = {k: v for k, v in result.glyphs.items() if k != "corrected"}
    data = qc.figure_data(result.report, glyphs, verdict)
    assert data.rows == ["table as given"] and data.panels[2].region == "midline"
    assert len(data.charts) == 2  # the residual shares do not need the glyphs


def test_title_describes_a_per_volume_fix(half_negated, half_negated_then_y):
    for paths, result, verdict in (half_negated, half_negated_then_y):
        lines = qc.title_lines(result.report, verdict, paths["dwi"])
        text = "\n".join(lines)
        assert "per-volume" not in text and verdict["fix"]["description"] in lines[0] + lines[1]
        assert f"the table as given: {verdict['as_given']['status']}, " in text
        assert re.search(r"^corrected table: \d+\.\d mm: ", text, re.M)
    _, _, verdict = half_negated
    assert qc.title_lines({}, verdict)[0].startswith(f"FLAG  fix {verdict['fix']['description']}   confidence z = ")
    # A longer fix (a part, then the whole table) gets a line of its own under the head.
    _, _, verdict = half_negated_then_y
    head, second = qc.title_lines({}, verdict)[:2]
    assert head.startswith("FLAG  fix volume by volume   confidence z = ")
    assert second == f"the fix, volume by volume: {verdict['fix']['description']}, then +x-y+z on the whole table"


def test_share_charts_follow_the_consistency_check(half_negated, y_flipped):
    _, result, verdict = half_negated
    c = verdict["consistency"]
    given, after = qc.figure_data(result.report, result.glyphs, verdict).charts
    assert (given.caption, after.caption) == ("table as given", "after the fix")
    assert given.volumes == [v["volume"] for v in c["volumes"]] and after.volumes == [v["volume"] for v in c["volumes_fixed"]]
    assert given.states == [v["state"] for v in c["volumes"]]
    assert sum(given.shares) == pytest.approx(1.0, abs=1e-6) and sum(after.shares) == pytest.approx(1.0, abs=1e-6)
    changed = set(verdict["fix"]["changed"])
    assert {v for v, m in zip(given.volumes, given.changed) if m} == changed == {v for v, m in zip(after.volumes, after.changed) if m}
    # The fix evens the shares out: the largest share falls towards the even one.
    assert max(after.shares) < 0.6 * max(given.shares)

    # A whole-table fix leaves the table consistent with itself: one chart, nothing shaded.
    _, whole = y_flipped
    (chart,) = qc.share_charts(whole.verdict.to_dict())
    assert not any(chart.changed) and set(chart.states) == {"fits"}
    assert qc.share_charts(None) == [] and qc.share_charts({"consistency": "broken"}) == []


def with_states(verdict, states):
    """The verdict with some volumes' states replaced (the phantom has no dropout to show)."""
    verdict = json.loads(json.dumps(verdict))
    for row in verdict["consistency"]["volumes"]:
        row["state"] = states.get(row["volume"], row["state"])
    return verdict


def pixel(image, x, y):
    """The RGB at figure pixel (x, y), y up."""
    return image[image.shape[0] - 1 - int(round(y)), int(round(x))].astype(int)


def hex_rgb(colour):
    return np.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)])


def test_share_bars_are_drawn_to_scale_in_their_state_colours(half_negated):
    from PIL import Image

    _, result, verdict = half_negated
    verdict = with_states(verdict, {5: "fits no direction", 6: "fits another direction"})
    data = qc.figure_data(result.report, result.glyphs, verdict)
    scene = qc._scene(data)
    bars = {(k, v): box for k, v, *box in scene.bars}
    assert len(bars) == sum(len(c.volumes) for c in data.charts)
    rendered = np.asarray(Image.open(io.BytesIO(qc.render_figure(result.report, result.glyphs, verdict))).convert("RGB"))
    assert rendered.shape[:2] == scene.canvas.shape[:2]
    for k, chart in enumerate(data.charts):
        boxes = [bars[(k, v)] for v in chart.volumes]
        # Left to right in volume order, one slot per volume index (b = 0 volumes leave theirs empty).
        lefts = [x0 for x0, _, _, _ in boxes]
        slot = (lefts[-1] - lefts[0]) / (chart.volumes[-1] - chart.volumes[0])
        assert np.allclose(np.diff(lefts), slot * np.diff(chart.volumes), atol=0.01)
        assert lefts[0] > qc.CHART_LEFT_PX + chart.volumes[0] * slot - 1
        # Heights in proportion to the shares, on one scale for both charts.
        heights = np.array([y1 - y0 for _, _, y0, y1 in boxes])
        assert np.allclose(heights, np.array(chart.shares) * qc.CHART_PX / qc.share_scale(data.charts), atol=1.01)
        for (x0, x1, y0, y1), volume, state, changed in zip(boxes, chart.volumes, chart.states, chart.changed):
            inside = rendered[rendered.shape[0] - int(y1) + 1:rendered.shape[0] - int(y0) - 1, int(x0) + 1:int(x1) - 1]
            colours = {tuple(c) for c in inside.reshape(-1, 3)}
            ink = tuple(hex_rgb(qc.STATE_COLOURS[state]))
            assert min(np.abs(np.array(list(colours)) - ink).sum(1)) <= 12, (volume, state)
            if state in qc.HATCHED:  # stripes: the colour and a lighter one
                assert max(np.array(list(colours)).sum(1)) > sum(ink) + 150, volume
            # Above the bar: the shading of a changed volume, else the white of the figure.
            above = pixel(rendered, (x0 + x1) / 2, y0 + qc.CHART_PX - 2)
            expected = hex_rgb(qc.CHANGED_COLOUR) if changed else np.array([255, 255, 255])
            assert np.abs(above - expected).sum() <= 12, (k, volume, above)
    # What the bars are is said on the figure, with the volumes counted from 0 along the axis.
    strings = [t[2] for t in scene.texts]
    assert "Residual share per volume" in strings and "volume (counted from 0)" in strings
    assert "fits no direction (dropout or motion)" in strings and "shaded: changed by the fix" in strings
    ticks = [int(t[2]) for t in scene.texts if len(t) > 6 and t[6] == "center" and t[2].isdigit()]
    assert ticks[0] == 0 and len(set(np.diff(sorted(set(ticks))))) == 1


def test_share_chart_of_a_long_table_keeps_its_labels_apart():
    """300 volumes: every bar drawn, the volume numbers thinned so that none overlap."""
    rng = np.random.default_rng(1)
    shares = rng.uniform(0.5, 1.5, 300)
    shares /= shares.sum()
    volumes = [{"volume": i + 6, "b": 2000.0, "share": float(s), "state": "fits"} for i, s in enumerate(shares)]
    verdict = {"status": "PASS", "consistency": {"status": "PASS", "volumes": volumes, "volumes_fixed": []}}
    glyphs = synthetic_glyphs()
    data = qc.figure_data({"status": "PASS", "flip": {}}, glyphs, verdict)
    scene = qc._scene(data)
    assert len(scene.bars) == 300 and all(x1 > x0 for _, _, x0, x1, _, _ in scene.bars)
    assert all(x1 <= qc.WIDTH_PX - qc.CHART_RIGHT_PX + 0.01 for _, _, _, x1, _, _ in scene.bars)
    ticks = sorted((t[0], t[2]) for t in scene.texts if len(t) > 6 and t[6] == "center" and t[2].isdigit())
    labels = [int(label) for _, label in ticks]
    step = labels[1]
    assert labels == list(range(0, 306, step)) and step <= 20  # from volume 0, regular, not needlessly sparse
    widths = [qc._text_bitmap(label, 7.5, False)[0].shape[1] for _, label in ticks]
    gaps = [b[0] - a[0] - (wa + wb) / 2 for (a, b, wa, wb) in zip(ticks, ticks[1:], widths, widths[1:])]
    assert min(gaps) > 4


def synthetic_glyphs(shape=(12, 12, 12)):
    v1 = np.zeros(shape + (3,), dtype="<f4")
    v1[..., 0] = 1.0
    n = int(np.prod(shape))
    return {"shape": list(shape), "affine": np.diag([2.0, 2.0, 2.0, 1.0]).tolist(), "voxel_sizes": [2.0] * 3,
            "frame_map": np.eye(3).tolist(), "v1": v1.tobytes(), "fa": np.full(n, 0.6, "<f4").tobytes(),
            "s0": np.full(n, 100.0, "<f4").tobytes(), "mask": np.ones(n, np.uint8).tobytes()}


def test_malformed_consistency_and_glyphs(half_negated):
    _, result, verdict = half_negated
    broken = json.loads(json.dumps(verdict))
    rows = broken["consistency"]["volumes"]
    rows[0] = None
    rows[1]["share"] = None
    rows[2]["share"] = float("nan")
    rows[3]["state"] = "something new"
    del rows[4]["volume"]
    (given, _) = qc.share_charts(broken)
    assert len(given.volumes) == len(rows) - 3 and given.states[0] == "fits"  # junk rows are left out
    assert all(np.isfinite(given.shares))
    qc.render_figure(result.report, result.glyphs, broken)  # draws regardless

    glyphs = dict(result.glyphs, corrected=dict(result.glyphs["corrected"], fa=b"\0" * 12))
    with pytest.raises(ValueError, match="the corrected table's glyph arrays do not match the image shape"):
        qc.figure_data(result.report, glyphs, verdict)
    with pytest.raises(ValueError, match="need v1, fa and mask"):
        qc.figure_data(result.report, dict(result.glyphs, corrected={"v1": b""}), verdict)


def test_part_finding_decided_suspected_and_none(half_negated, y_flipped):
    _, _, verdict = half_negated
    c = verdict["consistency"]
    assert qc.part_finding(verdict) == {"description": c["finding"]["description"], "decided": True,
                                        "changed": c["finding"]["changed"]}
    assert qc.part_finding(y_flipped[1].verdict.to_dict()) is None
    # A suspect the check could not decide: the candidate its reason names (not simply the first).
    suspect = c["candidates"][1]
    undecided = json.loads(json.dumps(verdict))
    undecided["consistency"].update(status="WARN", finding=None, reason=(
        f"part of the table looks wrong ({suspect['description']}; residual 80.9% lower, z = 5.9), but the data "
        "cannot decide volumes 3, 17, 18"))
    assert qc.part_finding(undecided) == {"description": suspect["description"], "decided": False,
                                          "changed": suspect["changed"]}
    undecided["consistency"].update(reason="volumes 13, 15 fit another direction than its row (not decided)",
                                    candidates=[])
    assert qc.part_finding(undecided)["description"] == "volumes 13, 15 fit another direction than its row"
    assert qc.volume_ranges([19, 3, 4, 5, 20, 21, 7, 8, "x"]) == "3\u20135, 7, 8, 19\u201321"


def test_scanner_axes_fix_on_an_oblique_image(tmp_path):
    """A table in scanner axes of a 20° oblique image: the fix is a rotation, and the strokes follow it."""
    paths = write_phantom(str(tmp_path), shape=SHAPE, grad=False, mask=False)
    phantom = make_phantom(shape=SHAPE)
    a = np.radians(20.0)
    turn = np.array([[1.0, 0.0, 0.0], [0.0, np.cos(a), -np.sin(a)], [0.0, np.sin(a), np.cos(a)]])
    affine = phantom["affine"].copy()
    affine[:3, :3] = turn @ affine[:3, :3]
    write_nifti(paths["dwi"], phantom["data"], affine)
    g = np.loadtxt(paths["bvec"]).T  # image axes, x mirrored as FSL stores it
    np.savetxt(paths["bvec"], (turn @ np.diag([-1.0, 1.0, 1.0]) @ g.T), fmt="%.6f")
    result = dirsieve.check(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], glyphs=True)
    verdict = result.verdict.to_dict()
    assert verdict["status"] == "FLAG" and verdict["recommended_kind"] == "scanner axes"
    label = verdict["recommended_label"]
    data = qc.figure_data(result.report, result.glyphs, verdict)
    assert data.rows == ["table as given", f"after {label} (the fix)"] and data.title[0].startswith(f"FLAG  fix {label} ")
    assert data.orientation == "image axes RAS, 20° oblique"
    # The phantom's fibres are in voxel axes, which the (nearest RAS) display keeps here.
    assert min(alignment(p, 1, phantom["fiber"]) for p in data.panels) > 0.97
