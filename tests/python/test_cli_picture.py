"""The QC picture (--qc) and `dirsieve demo`."""
import pathlib
import importlib.util
import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import _dirsieve
import dirsieve
from dirsieve import cli, qc
from dirsieve.phantom import write_phantom

SHAPE = (24, 24, 24)
ROOTS = [os.path.dirname(_dirsieve.__file__), os.path.dirname(os.path.dirname(dirsieve.__file__))]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(ROOTS), NO_COLOR="1")
HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
needs_matplotlib = pytest.mark.skipif(not HAVE_MATPLOTLIB, reason="matplotlib is not installed")


def run(*args, env=ENV, cwd=None):
    return subprocess.run([sys.executable, "-m", "dirsieve", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=120)


def png_size(path):
    data = pathlib.Path(path).read_bytes()[:24]
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="z", grad=False, mask=False)


def test_direction_colour_follows_frame_and_transform():
    # One voxel whose principal direction is +x in table axes, FA 0.5.
    v1 = np.array([[[[1.0, 0.0, 0.0]]]])
    fa = np.array([[[0.5]]])
    swap = np.array([[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])
    mirror = np.diag([-1.0, 1.0, 1.0])
    assert np.allclose(qc.colour_fa(v1, fa, mirror)[0, 0, 0], [0.5, 0.0, 0.0])
    # frame_map · T · v1: the transform acts first, so x becomes y (green).
    assert np.allclose(qc.colour_fa(v1, fa, mirror, swap)[0, 0, 0], [0.0, 0.5, 0.0])
    nan = qc.colour_fa(np.full((1, 1, 1, 3), np.nan), fa, np.eye(3))
    assert np.array_equal(nan, np.zeros((1, 1, 1, 3)))


def test_glyph_arrays_follow_voxel_order(flipped):
    _, glyphs = _dirsieve.detect_flip_with_glyphs(flipped["dwi"], bvec=flipped["bvec"], bval=flipped["bval"])
    data = qc.glyph_arrays(glyphs)
    flat_fa = np.frombuffer(glyphs["fa"], dtype="<f4")
    x, y, z = 3, 5, 7
    assert data["fa"][x, y, z] == flat_fa[(x * SHAPE[1] + y) * SHAPE[2] + z]
    assert data["mask"].sum() == sum(glyphs["mask"])


@pytest.fixture
def no_matplotlib_env(tmp_path):
    """An environment where importing matplotlib fails, whether or not it is installed."""
    blocker = tmp_path / "blocker" / "matplotlib"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    return dict(ENV, PYTHONPATH=os.pathsep.join([str(tmp_path / "blocker")] + ROOTS))


@needs_matplotlib
def test_qc_figure_rows_follow_the_verdict(flipped, tmp_path, capsys):
    flag_png = tmp_path / "flag.png"
    result = run("audit", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"], "--qc", flag_png)
    assert result.returncode == 4, result.stderr
    assert f"Picture written to {flag_png}" in result.stdout
    flag_size = png_size(flag_png)  # as given, and after the fix
    assert flag_size[0] == qc.WIDTH_PX

    # In this process from here on (matplotlib is slow to import). repair draws the table as supplied.
    repair_png = tmp_path / "repair.png"
    assert cli.main(["repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                     "--out-bvec", str(tmp_path / "r.bvec"), "--out-bval", str(tmp_path / "r.bval"),
                     "--qc", str(repair_png)]) == 0
    assert png_size(repair_png) == flag_size
    # A PASS (the repaired table) has one row of strokes, so it is one zoomed row shorter.
    pass_png = tmp_path / "pass.png"
    assert cli.main(["detect-flip", flipped["dwi"], "--bvec", str(tmp_path / "r.bvec"), "--bval",
                     str(tmp_path / "r.bval"), "--qc", str(pass_png)]) == 0
    assert capsys.readouterr().out.count("PASS ") == 1
    width, height = png_size(pass_png)
    assert width == qc.WIDTH_PX and flag_size[1] - height == qc.ROW_TITLE_PX + qc.PANEL_TITLE_PX + qc.ZOOM_PX


def test_qc_without_matplotlib_fails_before_writing(flipped, tmp_path, no_matplotlib_env):
    out = tmp_path / "out"
    out.mkdir()
    result = run("repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                 "--out-bvec", out / "r.bvec", "--out-bval", out / "r.bval", "--qc", out / "q.png",
                 "--report", out / "r.json", env=no_matplotlib_env)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.startswith("dirsieve: error: --qc needs matplotlib") and result.stderr.count("\n") == 1
    assert os.listdir(out) == []


def test_demo_runs_the_whole_job(tmp_path, capsys):
    # In this process; the subprocess path is covered by the default-folder case below.
    folder = tmp_path / "demo"
    assert cli.main(["demo", str(folder)]) == 0
    out = capsys.readouterr().out
    assert out.index("FLAG") < out.index("applied") < out.index("PASS")
    for name in ("dwi.nii.gz", "dwi.bvec", "dwi.bval", "dwi_repaired.bvec", "dwi_repaired.bval",
                 "repair_provenance.json", "audit_before.json", "audit_after.json"):
        assert (folder / name).exists(), name
        assert name in out
    before = json.loads((folder / "audit_before.json").read_text())
    after = json.loads((folder / "audit_after.json").read_text())
    assert before["report"]["status"] == before["verdict"]["status"] == "FLAG"
    assert after["report"]["status"] == after["verdict"]["status"] == "PASS"
    repaired = json.loads((folder / "repair_report.json").read_text())
    assert repaired["report"]["repair"]["label"] == before["verdict"]["recommended_label"]
    if HAVE_MATPLOTLIB:
        assert png_size(folder / "qc_before.png")[0] == qc.WIDTH_PX

    # A folder the demo filled is reused; one with anything else in it is never written into.
    assert cli.main(["demo", str(folder)]) == 0
    capsys.readouterr()
    (folder / "mine.txt").write_text("x")
    assert cli.main(["demo", str(folder)]) == 1
    assert "holds files the demo did not write (mine.txt)" in capsys.readouterr().err


def test_demo_default_folder_is_reused_without_litter(tmp_path, no_matplotlib_env):
    # The default folder is ./dirsieve-demo; a second run replaces the first run's files and leaves
    # nothing else behind, here or in the temporary folder.
    home = tmp_path / "tmp"
    home.mkdir()
    env = dict(no_matplotlib_env, TMPDIR=str(home))
    for _ in range(2):
        result = run("demo", env=env, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path)) == ["blocker", "dirsieve-demo", "tmp"] and os.listdir(home) == []
    folder = tmp_path / "dirsieve-demo"
    assert str(folder) in result.stdout
    assert "install matplotlib" in result.stdout and not (folder / "qc_before.png").exists()
    (folder / "notes.txt").write_text("mine")
    refused = run("demo", env=env, cwd=tmp_path)
    assert refused.returncode == 1 and "holds files the demo did not write (notes.txt)" in refused.stderr
    assert (folder / "notes.txt").read_text() == "mine"
