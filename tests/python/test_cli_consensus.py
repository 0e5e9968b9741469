"""The multi-scale consensus in the command line: on by default, what it prints, writes and exits with.

On the 2 mm phantom the default step is 2 voxels, so the consensus scores 2, 3 and 4 voxels. The
x-flipped table wins at every scale with margins of about 13%, 30% and 40%: a margin threshold
of 0.2 leaves the module alone at WARN while the consensus FLAGs, and 0.9 is a WARN for both.
"""
import importlib.util
import json
import os
import re
import shlex
import struct
import subprocess
import sys

import numpy as np
import pytest

import _dirsieve
import dirsieve
from dirsieve import cli
from dirsieve.phantom import write_phantom

SHAPE = (24, 24, 24)
ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join([os.path.dirname(_dirsieve.__file__), os.path.dirname(os.path.dirname(dirsieve.__file__))]),
    NO_COLOR="1",
)
HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="x", grad=False, mask=False)


@pytest.fixture(scope="module")
def truth(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("truth")), shape=SHAPE, grad=False, mask=False)


def fsl(paths):
    return ["--bvec", paths["bvec"], "--bval", paths["bval"]]


def main(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return subprocess.CompletedProcess(argv, code, captured.out, captured.err)


def shown_command(out, prefix="dirsieve repair "):
    return shlex.split(next(line.strip() for line in out.splitlines() if line.strip().startswith(prefix)))


def no_timestamp(text):
    return re.sub(r'"timestamp":"[^"]*"', '"timestamp":""', text)


def table(path):
    return np.loadtxt(path, ndmin=2)


# --------------------------------------------------------------------------- default and --no-consensus


def test_consensus_is_on_by_default_and_goes_beside_the_module_report(flipped, tmp_path, capsys):
    target = tmp_path / "r.json"
    result = main(capsys, "audit", flipped["dwi"], *fsl(flipped), "--report", target, "--threads", 1)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("FLAG  the table's axes look wrong: -x+y+z wins at every scale (3 of 3)")
    table_lines = result.stdout[result.stdout.index("Multi-scale consensus: FLAG"):].splitlines()[:5]
    assert [line.split()[:3] for line in table_lines[2:5]] == [["default", "step", "(2"], ["3", "voxels", "-x+y+z"],
                                                               ["4", "voxels", "-x+y+z"]]
    assert table_lines[4].split()[3:5] == ["40.5%", "*"]  # the scale with the largest margin
    assert result.stdout.index("Flip detection") < result.stdout.index("Multi-scale") < result.stdout.index(
        "Recommended fix: -x+y+z")

    document = json.loads(target.read_text())
    assert list(document) == ["report", "consensus"]
    module_text = _dirsieve.audit(dwi=flipped["dwi"], bvec=flipped["bvec"], bval=flipped["bval"], threads=1)
    expected = json.loads(module_text)
    assert dict(document["report"], timestamp="") == dict(expected, timestamp="")
    c = document["consensus"]
    assert (c["status"], c["recommended_label"], c["max_margin_step"]) == ("FLAG", "-x+y+z", 4.0)
    assert [s["step"] for s in c["scales"]] == [None, 3.0, 4.0]

    # detect-flip carries it too; --json stays the module's text alone.
    as_json = main(capsys, "detect-flip", flipped["dwi"], *fsl(flipped), "--json", "--threads", 1)
    assert no_timestamp(as_json.stdout) == no_timestamp(
        _dirsieve.detect_flip(flipped["dwi"], bvec=flipped["bvec"], bval=flipped["bval"], threads=1)) + "\n"


def test_no_consensus_keeps_the_module_verdict(flipped, tmp_path, capsys):
    target = tmp_path / "r.json"
    result = main(capsys, "audit", flipped["dwi"], *fsl(flipped), "--no-consensus", "--report", target)
    assert result.returncode == 0
    assert result.stdout.startswith("FLAG  the table's axes look wrong: -x+y+z fits the fibres 13.3% better")
    assert "Multi-scale" not in result.stdout
    assert "schema_version" in json.loads(target.read_text())
    # The suggested commands keep the choice, so they reproduce this verdict.
    assert "--no-consensus" in shown_command(result.stdout)

    # Scheme-only audits have nothing to score at several scales.
    scheme = main(capsys, "audit", *fsl(flipped), "--no-consensus")
    assert scheme.returncode == 0 and "no flip check" in scheme.stdout
    refused = main(capsys, "audit", *fsl(flipped), "--consensus")
    assert refused.returncode == 2 and "--consensus need(s) a DWI" in refused.stderr


@pytest.mark.parametrize(
    "extra, consensus_code, module_code",
    [
        (["--margin-threshold", "0.2"], 0, 3),  # only the larger scales reach the threshold
        (["--margin-threshold", "0.2", "--fail-on-flag"], 4, 3),
        (["--margin-threshold", "0.9"], 3, 3),
        (["--margin-threshold", "0.1", "--fail-on-flag"], 4, 4),
    ],
)
def test_exit_codes_follow_the_consensus(flipped, capsys, extra, consensus_code, module_code):
    for command in ("audit", "detect-flip"):
        on = main(capsys, command, flipped["dwi"], *fsl(flipped), *extra)
        off = main(capsys, command, flipped["dwi"], *fsl(flipped), *extra, "--no-consensus")
        assert (on.returncode, off.returncode) == (consensus_code, module_code), command
        assert on.stdout.split()[0] == {0: "FLAG", 3: "WARN", 4: "FLAG"}[consensus_code]


# --------------------------------------------------------------------------- repair


def test_consensus_fix_shown_on_a_module_warn_runs_as_printed(flipped, truth, tmp_path, capsys):
    audit = main(capsys, "audit", flipped["dwi"], *fsl(flipped), "--margin-threshold", "0.2")
    assert audit.returncode == 0 and audit.stdout.startswith("FLAG ")
    assert "Recommended fix: -x+y+z" in audit.stdout and "the default step alone leaves it at WARN" in audit.stdout
    argv = shown_command(audit.stdout)
    assert "--no-consensus" not in argv and argv[argv.index("--margin-threshold") + 1] == "0.2"
    argv[argv.index("--out-bvec") + 1] = str(tmp_path / "fixed.bvec")
    argv[argv.index("--out-bval") + 1] = str(tmp_path / "fixed.bval")
    argv += ["--provenance", str(tmp_path / "prov.json"), "--report", str(tmp_path / "repair.json")]

    repaired = main(capsys, *argv[1:])
    assert repaired.returncode == 0, repaired.stderr
    assert "applied -x+y+z" in repaired.stdout and "scored at 4 voxels" in repaired.stdout
    # The written table is the true one (up to the sign of the whole table, the same encoding).
    fixed, true = table(tmp_path / "fixed.bvec"), table(truth["bvec"])
    assert np.allclose(fixed, true, atol=1e-5) or np.allclose(fixed, -true, atol=1e-5)
    assert json.loads((tmp_path / "prov.json").read_text())["applied_label"] == "-x+y+z"
    document = json.loads((tmp_path / "repair.json").read_text())
    assert document["report"]["repair"]["label"] == document["consensus"]["recommended_label"] == "-x+y+z"
    assert document["consensus"]["repair_step"] == 4.0

    verify = shown_command(repaired.stdout.replace("check it: ", ""), "dirsieve audit ")
    again = main(capsys, *verify[1:])
    assert again.returncode == 0 and again.stdout.startswith("PASS  the table's axes fit the fibres best at every")

    # The module alone stays at WARN and writes nothing.
    alone = main(capsys, *argv[1:-4], "--out-bvec", tmp_path / "m.bvec", "--out-bval", tmp_path / "m.bval",
                 "--no-consensus")
    assert alone.returncode == 3 and not (tmp_path / "m.bvec").exists()


def test_repair_warn_dry_run_and_pass(flipped, truth, tmp_path, capsys):
    out = ["--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval"]
    warn = main(capsys, "repair", flipped["dwi"], *fsl(flipped), *out, "--margin-threshold", "0.9")
    assert warn.returncode == 3 and os.listdir(tmp_path) == []
    assert "largest margin across the scales is below the threshold" in warn.stdout
    assert "--force-repair" in shown_command(warn.stdout)

    dry = main(capsys, "repair", flipped["dwi"], *fsl(flipped), *out, "--margin-threshold", "0.9",
               "--force-repair", "--dry-run", "--report", tmp_path / "r.json")
    assert dry.returncode == 3 and "(dry run): would apply -x+y+z" in dry.stdout
    assert os.listdir(tmp_path) == ["r.json"]
    os.remove(tmp_path / "r.json")

    fine = main(capsys, "repair", truth["dwi"], *fsl(truth), *out, "--json")
    assert fine.returncode == 0 and os.listdir(tmp_path) == []
    assert json.loads(fine.stdout)["status"] == "PASS"


def test_scales_that_disagree_warn_and_refuse_a_forced_repair(flipped, tmp_path, capsys, monkeypatch):
    real = _dirsieve.detect_flip

    def far_scale_prefers_a_swap(dwi, **kwargs):
        report = json.loads(real(dwi, **kwargs))
        if kwargs.get("step") == 4.0:
            report["flip"]["best"] = {"label": "+y+x+z", "matrix": [[0, 1, 0], [1, 0, 0], [0, 0, 1]]}
        return json.dumps(report)

    monkeypatch.setattr(_dirsieve, "detect_flip", far_scale_prefers_a_swap)
    audit = main(capsys, "audit", flipped["dwi"], *fsl(flipped))
    assert audit.returncode == 3
    assert audit.stdout.startswith("WARN  the scales disagree on the best transform (")
    assert "4 voxels: +y+x+z" in audit.stdout.splitlines()[0]
    assert "Recommended fix" not in audit.stdout
    # The way out is the default step's own candidate, without the consensus.
    argv = shown_command(audit.stdout)
    assert "--no-consensus" in argv and "--force-repair" in argv

    out = ["--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval"]
    repair = main(capsys, "repair", flipped["dwi"], *fsl(flipped), *out)
    assert repair.returncode == 3 and "scales disagree" in repair.stdout and os.listdir(tmp_path) == []
    forced = main(capsys, "repair", flipped["dwi"], *fsl(flipped), *out, "--force-repair",
                  "--report", tmp_path / "r.json")
    assert forced.returncode == 1 and forced.stdout == ""
    assert forced.stderr.startswith("dirsieve: error: cannot force a repair: the scales disagree")
    assert forced.stderr.count("\n") == 1 and os.listdir(tmp_path) == []


# --------------------------------------------------------------------------- picture


def png_rows(path):
    with open(path, "rb") as f:
        height = struct.unpack(">II", f.read(24)[16:24])[1]
    return (height - 60) // 300


@pytest.mark.skipif(not HAVE_MATPLOTLIB, reason="matplotlib is not installed")
def test_picture_shows_the_consensus_fix(flipped, tmp_path, capsys):
    for extra, rows in ((["--margin-threshold", "0.2"], 2), (["--margin-threshold", "0.2", "--no-consensus"], 1)):
        picture = tmp_path / "qc.png"
        assert main(capsys, "detect-flip", flipped["dwi"], *fsl(flipped), *extra, "--qc", picture).returncode in (0, 3)
        assert png_rows(picture) == rows, extra
