"""Nothing half-written, nothing silently wrong: failed writes, bad tables, bad masks, odd files.

Each failure is driven through the command line: one line on stderr naming the file, exit 1 or 2,
no traceback, and every folder involved byte-identical to before.
"""
import json
import math
import os
import pathlib
import resource
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _dirsieve
import dirsieve
from dirsieve import _engine, cli
from dirsieve.phantom import write_nifti, write_phantom

SHAPE = (32, 32, 32)
ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join([os.path.dirname(_dirsieve.__file__),
                                os.path.dirname(os.path.dirname(dirsieve.__file__))]),
    NO_COLOR="1",
)


def run(*args, cwd=None, preexec=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "dirsieve", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=ENV, timeout=timeout, preexec_fn=preexec)


def snapshot(*folders):
    """Every file under the folders with its bytes (and nothing else)."""
    state = {}
    for folder in folders:
        for path in sorted(pathlib.Path(folder).rglob("*")):
            state[str(path)] = path.read_bytes() if path.is_file() else None
    return state


def assert_one_line(result, code, *fragments):
    assert result.returncode == code, (result.returncode, result.stdout, result.stderr)
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("dirsieve: error: "), result.stderr
    assert "Traceback" not in result.stderr
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="y", mask=True)


def immutable(folder):
    """Makes a folder refuse new entries, even for root; skips where the file system cannot."""
    done = subprocess.run(["chattr", "+i", str(folder)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot make a folder immutable here: {done.stderr.decode().strip()}")
    return folder


def mutable(folder):
    subprocess.run(["chattr", "-i", str(folder)], capture_output=True)


# --------------------------------------------------------------------------- failed writes


OUTPUTS = ["out_bvec", "out_bval", "out_grad", "provenance", "report"]


@pytest.mark.parametrize("blocked", OUTPUTS)
def test_a_read_only_folder_for_any_output_writes_nothing(flipped, tmp_path, blocked):
    folders = {name: tmp_path / name for name in OUTPUTS}
    for folder in folders.values():
        folder.mkdir()
        (folder / "keep.txt").write_text("existing\n")
    paths = {name: folders[name] / f"out.{name}" for name in OUTPUTS}
    before = snapshot(tmp_path)
    immutable(folders[blocked])
    try:
        result = run("repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                     "--out-bvec", paths["out_bvec"], "--out-bval", paths["out_bval"], "--out-grad", paths["out_grad"],
                     "--provenance", paths["provenance"], "--report", paths["report"])
    finally:
        mutable(folders[blocked])
    assert_one_line(result, 1, f"cannot write {paths[blocked]}")
    assert result.stdout == ""
    assert snapshot(tmp_path) == before


def test_a_full_disk_leaves_every_file_as_it_was(flipped, tmp_path):
    # Old outputs exist and --force is given: the write of the (large) report fails part-way, so the new
    # table files already in place are undone and the old ones come back from their backups.
    out = tmp_path / "out"
    out.mkdir()
    for name in ("r.bvec", "r.bval", "p.json"):
        (out / name).write_text(f"old {name}\n")
    before = snapshot(out)

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    result = run("repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"], "--force",
                 "--out-bvec", out / "r.bvec", "--out-bval", out / "r.bval", "--provenance", out / "p.json",
                 "--report", out / "report.json", preexec=small_files)
    assert result.returncode == 1 and "File too large" in result.stderr, result.stderr
    assert_one_line(result, 1)
    assert snapshot(out) == before


def test_existing_report_and_picture_are_refused_or_backed_up(flipped, tmp_path):
    report = tmp_path / "report.json"
    report.write_text("mine\n")
    refused = run("detect-flip", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                  "--report", report)
    assert_one_line(refused, 1, f"refusing to overwrite existing file: {report} (pass --force to allow)")
    assert report.read_text() == "mine\n" and sorted(os.listdir(tmp_path)) == ["report.json"]

    forced = run("detect-flip", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                 "--report", report, "--force")
    assert forced.returncode == 4, forced.stderr
    assert (tmp_path / "report.json.bak").read_text() == "mine\n"
    assert json.loads(report.read_text())["verdict"]["status"] == "FLAG"

    inspected = run("inspect", "--bvec", flipped["bvec"], "--bval", flipped["bval"], "--report", report)
    assert_one_line(inspected, 1, "refusing to overwrite existing file")


# --------------------------------------------------------------------------- bad tables


def write(path, text):
    path.write_text(text)
    return path


@pytest.fixture(scope="module")
def table_texts(flipped):
    return {"bvec": pathlib.Path(flipped["bvec"]).read_text(), "bval": pathlib.Path(flipped["bval"]).read_text(),
            "grad": pathlib.Path(flipped["grad"]).read_text()}


def test_bad_table_values_and_layouts_name_the_file(flipped, table_texts, tmp_path):
    bvals = table_texts["bval"].split()
    rows = table_texts["bvec"].splitlines()
    grad_rows = table_texts["grad"].splitlines()

    def bvals_with(index, value):
        changed = list(bvals)
        changed[index] = value
        return " ".join(changed) + "\n"

    cases = [
        ("negative b", {"bval": bvals_with(7, "-1000")}, "value 8 is b = -1000; b-values must be finite and not negative (1 of 35 volumes)"),
        ("NaN b", {"bval": bvals_with(4, "nan")}, "value 5 is b = nan"),
        ("infinite component", {"bvec": "\n".join([rows[0], rows[1].replace(rows[1].split()[5], "inf", 1), rows[2]]) + "\n"},
         "has a non-finite y component (inf)"),
        ("extra b-value", {"bval": table_texts["bval"].strip() + " 1000\n"}, "has 36 b-values but bvec file"),
        ("bval as bvec", {"bvec": table_texts["bval"]}, "the layout of a bval file"),
        ("bvec as bval", {"bval": table_texts["bvec"]}, "the layout of a bvec file"),
        ("grad as bvec", {"bvec": table_texts["grad"]}, "the layout of a four-column grad file"),
    ]
    for what, change, fragment in cases:
        bvec = write(tmp_path / "t.bvec", change.get("bvec", table_texts["bvec"]))
        bval = write(tmp_path / "t.bval", change.get("bval", table_texts["bval"]))
        named = str(bval) if "bval" in change else str(bvec)
        result = run("audit", flipped["dwi"], "--bvec", bvec, "--bval", bval)
        assert_one_line(result, 1, named, fragment)

    six = write(tmp_path / "six.b", "".join(line + " 0 0\n" for line in grad_rows))
    assert_one_line(run("audit", flipped["dwi"], "--grad", six), 1, f"grad file {six}: row 1 has 6 values")
    assert_one_line(run("audit", flipped["dwi"], "--grad", flipped["bvec"]), 1,
                    f"grad file {flipped['bvec']} has 3 rows of 35 values, the layout of an FSL bvec file")
    assert_one_line(run("inspect", "--grad", flipped["bval"]), 1, "the layout of an FSL bval file")


def test_shell_must_exist_and_lists_the_shells(flipped):
    result = run("audit", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"], "--shell", "5000")
    assert_one_line(result, 1, "no shell at b=5000: the table's non-b0 shells are b=1000")


def test_a_fifo_or_folder_is_refused_at_once(flipped, tmp_path):
    fifo = tmp_path / "pipe.bvec"
    os.mkfifo(fifo)
    result = run("audit", flipped["dwi"], "--bvec", fifo, "--bval", flipped["bval"], timeout=30)
    assert_one_line(result, 1, f"bvec file {fifo} is a FIFO, not a regular file")
    result = run("detect-flip", tmp_path, "--bvec", flipped["bvec"], "--bval", flipped["bval"], timeout=30)
    assert_one_line(result, 1, "DWI")
    with pytest.raises(ValueError, match="is a FIFO"):
        _engine.read_table(grad=str(fifo))


# --------------------------------------------------------------------------- bad masks


def test_masks_must_lie_on_the_dwi_grid(flipped, tmp_path):
    nibabel = pytest.importorskip("nibabel")
    affine = nibabel.load(flipped["dwi"]).affine
    mask = (np.asarray(nibabel.load(flipped["mask"]).dataobj) > 0).astype(np.uint8)
    shifted = affine.copy()
    shifted[0, 3] += 30.0
    moved = write_nifti(str(tmp_path / "moved.nii.gz"), mask, shifted)
    smaller = write_nifti(str(tmp_path / "smaller.nii.gz"), mask[:, :, :30], affine)
    junk = tmp_path / "junk.nii.gz"
    junk.write_bytes(b"not an image at all")
    fsl = ["--bvec", flipped["bvec"], "--bval", flipped["bval"]]
    assert_one_line(run("audit", flipped["dwi"], *fsl, "--mask", moved), 1,
                    f"mask {moved} has the DWI's 32×32×32 grid but lies elsewhere in the world",
                    "30.0 mm from where the DWI")
    assert_one_line(run("audit", flipped["dwi"], *fsl, "--wm-mask", smaller), 1,
                    f"white-matter mask {smaller} is on a 32×32×30 grid, but the DWI {flipped['dwi']} is on 32×32×32")
    assert_one_line(run("audit", flipped["dwi"], *fsl, "--mask", junk), 1, f"mask {junk}: NIfTI error")


# --------------------------------------------------------------------------- recompute-bval


def test_recompute_refuses_unit_vectors_unless_told(flipped, tmp_path):
    out = ["--out-bvec", tmp_path / "u.bvec", "--out-bval", tmp_path / "u.bval"]
    refused = run("recompute-bval", "--bvec", flipped["bvec"], "--bval", flipped["bval"], *out)
    assert_one_line(refused, 1, "are already unit length", "--allow-unit-vectors")
    assert os.listdir(tmp_path) == []
    allowed = run("recompute-bval", "--bvec", flipped["bvec"], "--bval", flipped["bval"], *out, "--allow-unit-vectors")
    assert allowed.returncode == 0, allowed.stderr
    assert sorted(os.listdir(tmp_path)) == ["u.bval", "u.bvec"]


# --------------------------------------------------------------------------- provenance


def test_provenance_names_the_images_command_options_and_verdict(flipped, tmp_path):
    argv = ["repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"], "--wm-mask",
            flipped["mask"], "--out-bvec", str(tmp_path / "r.bvec"), "--out-bval", str(tmp_path / "r.bval"),
            "--provenance", str(tmp_path / "p.json")]
    assert cli.main(argv) in (0, 3)
    doc = json.loads((tmp_path / "p.json").read_text())
    images = {record["path"]: record for record in doc["images"]}
    assert set(images) == {flipped["dwi"], flipped["mask"]}
    assert len(images[flipped["dwi"]]["sha256"]) == 64
    assert images[flipped["dwi"]]["bytes"] == os.path.getsize(flipped["dwi"])
    assert doc["command"] == ["dirsieve", *argv]
    assert doc["options"]["sample"] == "white-matter mask" and doc["options"]["distances_mm"] == [4.0, 6.0, 8.0]
    assert doc["verdict"]["status"] in ("PASS", "WARN", "FLAG") and "distances" in doc["verdict"]


# --------------------------------------------------------------------------- property: reading tables


MESSAGES = ("b-values must be finite and not negative", "directions must be finite", "b-value",
            "direction", "layout", "row", "value", "invalid number", "empty", "UTF-8")

finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)
anything = st.one_of(finite, st.just(float("nan")), st.just(float("inf")), st.just(-float("inf")))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(bvals=st.lists(anything, min_size=1, max_size=12), data=st.data(), grad=st.booleans(),
       extra=st.integers(min_value=-1, max_value=1))
def test_tables_read_back_equal_or_are_refused_with_a_message(tmp_path_factory, bvals, data, grad, extra):
    folder = tmp_path_factory.mktemp("table")
    n = len(bvals)
    dirs = data.draw(st.lists(st.tuples(anything, anything, anything), min_size=n, max_size=n))

    def text(value):
        return "nan" if math.isnan(value) else repr(value)

    if grad:
        rows = [" ".join(text(v) for v in (*d, b)) for d, b in zip(dirs, bvals)]
        if extra > 0:
            rows[0] += " 1"
        (folder / "t.b").write_text("\n".join(rows) + "\n")
        kwargs = {"grad": str(folder / "t.b")}
    else:
        (folder / "t.bvec").write_text("\n".join(" ".join(text(d[a]) for d in dirs) for a in range(3)) + "\n")
        values = [text(b) for b in bvals] + (["1000"] if extra > 0 else [])
        (folder / "t.bval").write_text(" ".join(values) + "\n")
        kwargs = {"bvec": str(folder / "t.bvec"), "bval": str(folder / "t.bval")}
    try:
        table = _engine.read_table(**kwargs)
    except ValueError as error:
        assert any(m in str(error) for m in MESSAGES), str(error)
        assert "\n" not in str(error)
        return
    valid = all(math.isfinite(b) and b >= 0 for b in bvals) and all(math.isfinite(v) for d in dirs for v in d)
    assert valid and extra <= 0
    # Written back by the engine and read again: the same table.
    flat = [v for d in table["directions"] for v in d]
    texts = _engine.format_table(flat, table["bvals"], grad=grad)
    for name, content in texts.items():
        (folder / f"again.{name}").write_text(content)
    again = _engine.read_table(**({"grad": str(folder / "again.grad")} if grad else
                                  {"bvec": str(folder / "again.bvec"), "bval": str(folder / "again.bval")}))
    assert len(again["bvals"]) == n
    written = _engine.format_table([v for d in again["directions"] for v in d], again["bvals"], grad=grad)
    assert written == texts
