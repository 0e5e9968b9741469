"""dirsieve subcommands that write files: repair and recompute-bval (bids: test_bids_app.py)."""
import pathlib
import json
import os
import shlex
import shutil
import subprocess
import sys

import pytest

import _dirsieve
import dirsieve
from dirsieve.phantom import write_phantom

SHAPE = (24, 24, 24)
ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join([os.path.dirname(_dirsieve.__file__), os.path.dirname(os.path.dirname(dirsieve.__file__))]),
    NO_COLOR="1",
)


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "dirsieve", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=ENV, timeout=120)


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="y", mask=False)


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("clean")), shape=SHAPE, grad=False, mask=False)


def repair_args(paths, out_dir, *extra, grad=False):
    source = ["--grad", paths["grad"]] if grad else ["--bvec", paths["bvec"], "--bval", paths["bval"]]
    return ["repair", paths["dwi"], *source, "--out-bvec", out_dir / "r.bvec", "--out-bval", out_dir / "r.bval",
            *extra]


# --------------------------------------------------------------------------- repair


def test_repair_writes_the_fix_and_the_provenance(flipped, tmp_path):
    result = run(*repair_args(flipped, tmp_path, "--provenance", tmp_path / "prov.json", "--report",
                              tmp_path / "report.json"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("FLAG ")
    document = json.loads((tmp_path / "report.json").read_text())
    report = document["report"]
    assert document["verdict"]["status"] == "FLAG"
    assert report["repair"]["label"] == document["verdict"]["recommended_label"]
    assert report["repair"]["outputs"] == [str(tmp_path / "r.bvec"), str(tmp_path / "r.bval")]
    assert f"wrote {tmp_path / 'r.bvec'}" in result.stdout and f"provenance {tmp_path / 'prov.json'}" in result.stdout
    provenance = json.loads((tmp_path / "prov.json").read_text())
    assert provenance["applied_label"] == report["repair"]["label"]
    assert provenance["verdict"]["status"] == "FLAG" and len(provenance["verdict"]["distances"]) == 3
    # The corrected table passes; the b-values are carried over unchanged.
    assert (tmp_path / "r.bval").read_text().split() == pathlib.Path(flipped["bval"]).read_text().split()
    verify = shlex.split(next(line for line in result.stdout.splitlines() if "check it:" in line).split("check it: ")[1])
    assert verify[:2] == ["dirsieve", "audit"] and str(tmp_path / "r.bvec") in verify
    again = run(*verify[1:])
    assert again.returncode == 0 and again.stdout.startswith("PASS ")


def test_repair_from_grad_writes_three_files(flipped, tmp_path):
    result = run(*repair_args(flipped, tmp_path, "--out-grad", tmp_path / "r.grad", grad=True))
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path)) == ["r.bval", "r.bvec", "r.grad"]


def test_dry_run_writes_nothing_and_pass_copies_the_table(flipped, clean, tmp_path):
    dry = run(*repair_args(flipped, tmp_path, "--dry-run", "--provenance", tmp_path / "prov.json"))
    assert dry.returncode == 4 and "(dry run)" in dry.stdout and "nothing written" in dry.stdout
    assert os.listdir(tmp_path) == []

    # A PASS writes the table unchanged, so a pipeline always finds its output, and exits 0.
    fine = run(*repair_args(clean, tmp_path, "--provenance", tmp_path / "prov.json"))
    assert fine.returncode == 0 and fine.stdout.startswith("PASS ")
    assert "written unchanged" in fine.stdout
    assert sorted(os.listdir(tmp_path)) == ["prov.json", "r.bval", "r.bvec"]
    assert (tmp_path / "r.bval").read_text().split() == pathlib.Path(clean["bval"]).read_text().split()
    written = [[float(v) for v in line.split()] for line in (tmp_path / "r.bvec").read_text().splitlines()]
    original = [[float(v) for v in line.split()] for line in pathlib.Path(clean["bvec"]).read_text().splitlines()]
    # The same table, to the six decimals of the file format.
    assert all(abs(w - o) <= 5e-7 for wr, orow in zip(written, original) for w, o in zip(wr, orow))

    # The module's own verdict writes nothing on a PASS.
    for name in os.listdir(tmp_path):
        os.remove(tmp_path / name)
    module_pass = run(*repair_args(clean, tmp_path, "--no-consensus"))
    assert module_pass.returncode == 0 and "nothing written" in module_pass.stdout and os.listdir(tmp_path) == []


def test_warn_repairs_only_when_forced(flipped, tmp_path):
    warn = run(*repair_args(flipped, tmp_path, "--margin-threshold", "0.9", "--no-consensus"))
    assert warn.returncode == 3 and "--force-repair" in warn.stdout and os.listdir(tmp_path) == []
    forced = run(*repair_args(flipped, tmp_path, "--margin-threshold", "0.9", "--force-repair", "--no-consensus"))
    assert forced.returncode == 3 and sorted(os.listdir(tmp_path)) == ["r.bval", "r.bvec"]
    assert "force-applied" in forced.stdout


def test_existing_outputs_are_refused_before_anything_is_written(flipped, tmp_path):
    # Only the four-column output exists: the module would write the FSL pair first and then
    # refuse; the program refuses up front so no partial set is left behind.
    (tmp_path / "r.grad").write_text("keep me\n")
    result = run(*repair_args(flipped, tmp_path, "--out-grad", tmp_path / "r.grad"))
    assert result.returncode == 1
    assert result.stderr == f"dirsieve: error: refusing to overwrite existing file: {tmp_path / 'r.grad'} (pass --force to allow)\n"
    assert os.listdir(tmp_path) == ["r.grad"] and (tmp_path / "r.grad").read_text() == "keep me\n"

    missing_dir = run(*repair_args(flipped, tmp_path, "--out-grad", tmp_path / "no" / "r.grad", "--force"))
    assert missing_dir.returncode == 1 and "does not exist" in missing_dir.stderr
    assert os.listdir(tmp_path) == ["r.grad"]


def test_force_backs_up_and_says_where(flipped, tmp_path):
    for name in ("r.bvec", "r.bval", "r.bvec.bak"):
        (tmp_path / name).write_text(f"old {name}\n")
    result = run(*repair_args(flipped, tmp_path, "--force"))
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "r.bvec.bak.1").read_text() == "old r.bvec\n"
    assert (tmp_path / "r.bvec.bak").read_text() == "old r.bvec.bak\n"
    assert (tmp_path / "r.bval.bak").read_text() == "old r.bval\n"
    assert f"kept the previous {tmp_path / 'r.bvec'} as {tmp_path / 'r.bvec.bak.1'}" in result.stdout
    assert f"kept the previous {tmp_path / 'r.bval'} as {tmp_path / 'r.bval.bak'}" in result.stdout


def test_repairing_the_input_in_place(flipped, tmp_path):
    for key in ("bvec", "bval"):
        shutil.copy(flipped[key], tmp_path / f"dwi.{key}")
    argv = ["repair", flipped["dwi"], "--bvec", tmp_path / "dwi.bvec", "--bval", tmp_path / "dwi.bval",
            "--out-bvec", tmp_path / "dwi.bvec", "--out-bval", tmp_path / "dwi.bval"]
    refused = run(*argv)
    assert refused.returncode == 1 and "refusing to overwrite" in refused.stderr
    done = run(*argv, "--force")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "dwi.bvec.bak").read_text() == pathlib.Path(flipped["bvec"]).read_text()
    assert run("audit", flipped["dwi"], "--bvec", tmp_path / "dwi.bvec", "--bval", tmp_path / "dwi.bval").stdout.startswith("PASS")


# --------------------------------------------------------------------------- recompute-bval


@pytest.fixture
def amplitude_table(tmp_path):
    # Lengths 1, sqrt(0.5) and 0 with b = 3000, 3000, 0.
    (tmp_path / "a.bvec").write_text("1 0.5 0\n0 0.5 0\n0 0 0\n")
    (tmp_path / "a.bval").write_text("3000 3000 0\n")
    return tmp_path / "a.bvec", tmp_path / "a.bval"


def test_recompute_bval(amplitude_table, tmp_path):
    bvec, bval = amplitude_table
    out = ["--out-bvec", tmp_path / "u.bvec", "--out-bval", tmp_path / "u.bval"]
    dry = run("recompute-bval", "--bvec", bvec, "--bval", bval, *out, "--dry-run")
    assert dry.returncode == 0 and "Dry run: nothing written." in dry.stdout
    assert "recomputed b range: 1500–3000" in dry.stdout
    assert not (tmp_path / "u.bvec").exists()

    as_json = run("recompute-bval", "--bvec", bvec, "--bval", bval, *out, "--dry-run", "--json")
    assert as_json.stdout == _dirsieve.recompute_bval(str(tmp_path / "u.bvec"), str(tmp_path / "u.bval"),
                                                      bvec=str(bvec), bval=str(bval), dry_run=True) + "\n"

    done = run("recompute-bval", "--bvec", bvec, "--bval", bval, *out, "--provenance", tmp_path / "p.json")
    assert done.returncode == 0, done.stderr
    assert [float(b) for b in (tmp_path / "u.bval").read_text().split()] == [3000.0, 1500.0, 0.0]
    assert json.loads((tmp_path / "p.json").read_text())["outputs"] == [str(tmp_path / "u.bvec"),
                                                                        str(tmp_path / "u.bval")]
    again = run("recompute-bval", "--bvec", bvec, "--bval", bval, *out)
    assert again.returncode == 1 and "refusing to overwrite" in again.stderr

    unusable = tmp_path / "zero.bvec"
    unusable.write_text("0 0 0\n0 0 0\n0 0 0\n")
    failed = run("recompute-bval", "--bvec", unusable, "--bval", bval, "--out-bvec", tmp_path / "z.bvec",
                 "--out-bval", tmp_path / "z.bval")
    assert failed.returncode == 1
    assert failed.stderr == "dirsieve: error: no usable non-b0 shell for flip detection\n"
