"""The dirsieve command line: verdict output, --json fidelity, exit codes and error handling.

The program is driven as a subprocess (python -m dirsieve) on small synthetic phantoms.
"""
import pathlib
import json
import os
import re
import shlex
import subprocess
import sys

import pytest

import _dirsieve
import dirsieve
from dirsieve import cli
from dirsieve.phantom import write_phantom
from dirsieve.render import Style, pretty_json

SHAPE = (24, 24, 24)
ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join([os.path.dirname(_dirsieve.__file__), os.path.dirname(os.path.dirname(dirsieve.__file__))]),
    NO_COLOR="1",
)


def run(*args, cwd=None, env=None):
    return subprocess.run([sys.executable, "-m", "dirsieve", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=env or ENV, timeout=120)


def no_timestamp(text):
    return re.sub(r'"timestamp":"[^"]*"', '"timestamp":""', text)


def assert_clean_error(result, code, *fragments):
    assert result.returncode == code, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("dirsieve: error: "), result.stderr
    assert "Traceback" not in result.stderr
    for fragment in fragments:
        assert fragment in lines[0]


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="x", mask=True)


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("clean")), shape=SHAPE, grad=False, mask=False)


def fsl(paths):
    return ["--bvec", paths["bvec"], "--bval", paths["bval"]]


# --------------------------------------------------------------------------- human output


def test_flag_output_leads_with_verdict_and_gives_a_working_repair_command(flipped, tmp_path):
    result = run("audit", flipped["dwi"], *fsl(flipped), cwd=tmp_path)
    assert result.returncode == 4, result.stderr
    out = result.stdout
    assert out.startswith("FLAG ")
    verdict = dirsieve.check(flipped["dwi"], bvec=flipped["bvec"], bval=flipped["bval"]).verdict
    assert verdict.recommended_label == "-x+y+z"
    assert f"Recommended fix: {verdict.recommended_label}" in out
    # One row per walking distance: the distance, the winner, its margin, z and blocks.
    for row in verdict.distances:
        assert re.search(rf"^\s+{row.distance_mm:.1f} mm .* {re.escape(row.winner)}\s+{re.escape(row.runner_up)}\s+"
                         rf"{100 * row.relative_margin:.1f}%\s+{row.z:.1f}\s+{row.n_blocks}$", out, re.M), out
    # Sections in the promised order.
    assert (out.index("Shells") < out.index("Verdict over walking distances") < out.index("Recommended fix")
            < out.index("Notes"))

    # The printed command is shell-quoted and, run as printed, applies the fix.
    command = next(line.strip() for line in out.splitlines() if line.strip().startswith("dirsieve repair "))
    argv = shlex.split(command)
    out_bvec = argv[argv.index("--out-bvec") + 1]
    argv[argv.index("--out-bvec") + 1] = str(tmp_path / "fixed.bvec")
    argv[argv.index("--out-bval") + 1] = str(tmp_path / "fixed.bval")
    assert out_bvec.endswith("_repaired.bvec")
    repaired = run(*argv[1:], cwd=tmp_path)
    assert repaired.returncode == 0, repaired.stderr
    assert (tmp_path / "fixed.bvec").exists() and (tmp_path / "fixed.bval").exists()
    again = run("audit", flipped["dwi"], "--bvec", tmp_path / "fixed.bvec", "--bval", tmp_path / "fixed.bval")
    assert again.returncode == 0 and again.stdout.startswith("PASS ")


def test_single_distance_view_with_no_consensus(flipped):
    result = run("audit", flipped["dwi"], *fsl(flipped), "--no-consensus")
    assert result.returncode == 4 and result.stdout.startswith("FLAG ")
    for section in ("Flip detection", "margin over the runner-up", "table as given"):
        assert section in result.stdout
    assert "Verdict over walking distances" not in result.stdout


def test_pass_and_scheme_only_output(clean):
    result = run("audit", clean["dwi"], *fsl(clean))
    assert result.returncode == 0 and result.stdout.startswith("PASS ")
    assert "Recommended fix" not in result.stdout and "dirsieve repair" not in result.stdout

    scheme_only = run("audit", *fsl(clean))
    assert scheme_only.returncode == 0 and "no flip check" in scheme_only.stdout.splitlines()[0]
    assert "Flip detection" not in scheme_only.stdout and "Verdict over" not in scheme_only.stdout

    inspected = run("inspect", *fsl(clean))
    assert inspected.returncode == 0 and inspected.stdout.startswith("PASS ") and "Shells" in inspected.stdout


def test_grad_input_suggests_grad_output(flipped, tmp_path):
    result = run("detect-flip", flipped["dwi"], "--grad", flipped["grad"])
    assert result.returncode == 4 and result.stdout.startswith("FLAG ")
    command = next(line.strip() for line in result.stdout.splitlines() if line.strip().startswith("dirsieve repair"))
    assert "--out-grad" in shlex.split(command) and "--grad" in shlex.split(command)


def test_profile_adds_stage_split(clean):
    result = run("audit", clean["dwi"], *fsl(clean), "--profile", "--threads", 2)
    assert result.returncode == 0, result.stderr
    assert "Stage timing  (2 worker threads)" in result.stdout
    for stage in ("decompress", "convert", "fit", "coherence", "other", "total"):
        assert re.search(rf"^\s+{stage}\s+\d+\.\d{{3}} s", result.stdout, re.M), stage

    # With --json, stdout stays pure JSON and the split goes to stderr.
    as_json = run("audit", clean["dwi"], *fsl(clean), "--profile", "--json")
    assert json.loads(as_json.stdout)["verdict"]["status"] == "PASS"
    assert "Stage timing" in as_json.stderr


# --------------------------------------------------------------------------- --json and --report


def test_json_carries_the_module_text_verbatim(flipped, clean, tmp_path):
    # One worker thread on both sides: the coherence sums may differ in their last bits when the
    # pool splits the work differently.
    module_cases = [
        (["inspect", *fsl(flipped)], 0, lambda: _dirsieve.inspect(bvec=flipped["bvec"], bval=flipped["bval"], threads=1)),
        (["repair", clean["dwi"], *fsl(clean), "--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval",
          "--no-consensus"], 0,
         lambda: _dirsieve.repair(clean["dwi"], str(tmp_path / "o.bvec"), str(tmp_path / "o.bval"),
                                  bvec=clean["bvec"], bval=clean["bval"], threads=1)),
        (["detect-flip", flipped["dwi"], "--grad", flipped["grad"], "--mask", flipped["mask"], "--no-consensus"], 4,
         lambda: _dirsieve.detect_flip(flipped["dwi"], grad=flipped["grad"], mask=flipped["mask"], threads=1)),
    ]
    for argv, code, module_call in module_cases:
        result = run(*argv, "--json", "--threads", "1")
        assert result.returncode == code, (argv, result.stderr)
        assert result.stdout.endswith("\n") and result.stdout.count("\n") == 1
        assert no_timestamp(result.stdout[:-1]) == no_timestamp(module_call()), argv

    # With the verdict: {"report": <the module's text, byte for byte>, "verdict": {...}}, whose status
    # is the exit code's. A white-matter mask is the module's own mask.
    verdict_cases = [
        (["audit", flipped["dwi"], *fsl(flipped), "--shell", "1000"], "FLAG",
         lambda: _dirsieve.audit(bvec=flipped["bvec"], bval=flipped["bval"], dwi=flipped["dwi"], shell=1000.0,
                                 threads=1)),
        # The bundles of this small phantom span fewer than 20 blocks: the verdict cannot decide.
        (["detect-flip", flipped["dwi"], "--grad", flipped["grad"], "--wm-mask", flipped["mask"]], "WARN",
         lambda: _dirsieve.detect_flip(flipped["dwi"], grad=flipped["grad"], mask=flipped["mask"], threads=1)),
    ]
    for argv, status, module_call in verdict_cases:
        result = run(*argv, "--json", "--threads", "1")
        assert result.returncode == {"FLAG": 4, "WARN": 3}[status], (argv, result.stderr)
        text = result.stdout[:-1]
        assert text.startswith('{"report":') and text.count("\n") == 0
        document = json.loads(text)
        assert document["verdict"]["status"] == status
        module_text = no_timestamp(module_call())
        assert no_timestamp(text)[len('{"report":'):].startswith(module_text + ',"verdict":'), argv


def test_only_given_options_reach_the_module(flipped):
    plain = json.loads(run("audit", flipped["dwi"], *fsl(flipped), "--json").stdout)["report"]
    assert "margin_threshold" not in plain["flip"]  # the module's default (0.02) applied
    assert plain["shells"]["b0_threshold"] == 50.0 and plain["shells"]["tolerance"] == 0.05

    tuned = json.loads(run("audit", flipped["dwi"], *fsl(flipped), "--json", "--margin-threshold", "0.05",
                           "--b0-threshold", "10", "--tolerance", "0.1", "--norm-tolerance", "0.2").stdout)["report"]
    assert tuned["flip"]["margin_threshold"] == 0.05
    assert tuned["shells"]["b0_threshold"] == 10.0 and tuned["shells"]["tolerance"] == 0.1
    assert tuned["norm_stats"]["tolerance"] == 0.2


def test_report_file_is_pretty_and_keeps_number_spelling(flipped, tmp_path):
    # The module's report goes beside the verdict; with --no-consensus it is the whole file.
    target = tmp_path / "report.json"
    result = run("audit", flipped["dwi"], *fsl(flipped), "--report", target)
    assert result.returncode == 4 and f"Report written to {target}" in result.stdout
    text = target.read_text(encoding="utf-8")
    assert text.startswith('{\n  "report": {\n    "schema_version": 1,\n    "tool": "dirsieve",')
    document = json.loads(text)
    assert document["report"]["status"] == "FLAG" and document["verdict"]["status"] == "FLAG"
    assert [d["winner"] for d in document["verdict"]["distances"]] == ["-x+y+z"] * 3

    alone = tmp_path / "alone.json"
    assert run("audit", flipped["dwi"], *fsl(flipped), "--report", alone, "--no-consensus").returncode == 4
    text = alone.read_text(encoding="utf-8")
    assert text.startswith('{\n  "schema_version": 1,\n  "tool": "dirsieve",')
    assert json.loads(text)["status"] == "FLAG"

    compact = '{"a":[1e-6,1000.0,-0.0,null],"b":{},"c":[],"d":"x,\\"y\\": [z]","e":{"f":true}}'
    assert pretty_json(compact) == (
        '{\n  "a": [\n    1e-6,\n    1000.0,\n    -0.0,\n    null\n  ],\n  "b": {},\n  "c": [],\n'
        '  "d": "x,\\"y\\": [z]",\n  "e": {\n    "f": true\n  }\n}'
    )


# --------------------------------------------------------------------------- exit codes


@pytest.mark.parametrize(
    "extra, code, verdict",
    [
        ([], 4, "FLAG"),
        (["--fail-on-flag"], 4, "FLAG"),
        # The module's threshold is not the verdict's: the verdict still flags.
        (["--margin-threshold", "0.9"], 4, "FLAG"),
        (["--margin-threshold", "0.9", "--no-consensus"], 3, "WARN"),
        (["--margin-threshold", "0.9", "--fail-on-flag", "--no-consensus"], 3, "WARN"),
        # A white-matter mask of a few voxels cannot decide.
        (["--wm-mask", "{tiny}"], 3, "WARN"),
    ],
)
def test_verdict_exit_codes(flipped, tiny_mask, extra, code, verdict):
    extra = [a.format(tiny=tiny_mask) for a in extra]
    result = run("detect-flip", flipped["dwi"], *fsl(flipped), *extra)
    assert result.returncode == code and result.stdout.startswith(verdict + " "), result.stdout
    if "{tiny}" in " ".join(extra) or tiny_mask in extra:
        assert "cannot decide: only" in result.stdout.splitlines()[0]
        assert "dirsieve repair" not in result.stdout


@pytest.fixture(scope="module")
def tiny_mask(flipped, tmp_path_factory):
    import numpy as np

    from dirsieve.phantom import write_nifti

    mask = np.zeros(SHAPE, dtype=np.uint8)
    mask[10:13, 10:13, 10:13] = 1
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    affine[:3, 3] = -2.0 * (np.array(SHAPE) - 1) / 2.0
    return write_nifti(str(tmp_path_factory.mktemp("tiny") / "tiny.nii.gz"), mask, affine)


def test_warn_suggests_force_repair(flipped):
    result = run("audit", flipped["dwi"], *fsl(flipped), "--margin-threshold", "0.9", "--no-consensus")
    assert result.returncode == 3
    command = next(line.strip() for line in result.stdout.splitlines() if line.strip().startswith("dirsieve repair"))
    argv = shlex.split(command)
    assert "--force-repair" in argv and argv[argv.index("--margin-threshold") + 1] == "0.9"


def test_help_and_version(capsys):
    top = run("--help")
    assert top.returncode == 0 and "exit codes (in order of severity):" in top.stdout
    for command in ("inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo"):
        assert cli.main([command, "--help"]) == 0
        assert "example" in capsys.readouterr().out, command
    version = run("--version")
    assert version.returncode == 0 and version.stdout.strip() == f"dirsieve {_dirsieve.version()}"
    bare = run()
    assert bare.returncode == 2 and "usage:" in bare.stderr


# --------------------------------------------------------------------------- bad input


def in_process(capsys, *argv):
    """Run main() in this process (cheaper than a subprocess for the many error cases)."""
    code = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return subprocess.CompletedProcess(argv, code, captured.out, captured.err)


def test_bad_option_as_a_subprocess(flipped, tmp_path):
    result = run("audit", flipped["dwi"], *fsl(flipped), "--report", tmp_path / "r.json", "--no-such-option")
    assert_clean_error(result, 2, "unrecognized arguments: --no-such-option", "dirsieve audit --help")
    assert result.stdout == "" and os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "argv, fragment",
    [
        (["audit", "{dwi}", "--bvec", "{bvec}"], "give --bvec and --bval together"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--grad", "{bval}"], "cannot be combined"),
        (["audit", "--bvec", "{bvec}", "--bval", "{bval}", "--profile"], "need(s) a DWI"),
        (["audit", "--bvec", "{bvec}", "--bval", "{bval}", "--mask", "{mask}"], "need(s) a DWI"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--threads", "0"], "--threads"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--tolerance", "nan"], "finite"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--step", "fast"], "expected a number"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--step", "-1"], "expected a number in (0, 100]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--step", "0"], "expected a number in (0, 100]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--step", "1e9"], "expected a number in (0, 100]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--margin-threshold", "0"], "in (0, 1]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--b0-threshold", "-5"], "in [0, 100000]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--tolerance", "0.9"], "in [0, 0.5]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--norm-tolerance", "1"], "in [0, 1)"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--shell", "0"], "in (0, 100000]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--scales-mm", "4,0"], "each in (0, 200]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--scales-mm", "4,500"], "each in (0, 200]"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--threads", "5000"], "from 1 to 4096"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--mask", "{mask}", "--wm-mask", "{mask}"],
         "not both"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--scales-mm", "4", "--no-consensus"],
         "cannot be combined with --no-consensus"),
        (["detect-flip", "--bvec", "{bvec}", "--bval", "{bval}"], "required"),
        (["detect-flip", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--strict"], "unrecognized arguments"),
        (["repair", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--out-bvec", "{out}"], "--out-bval"),
        (["repair", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--out-bvec", "{out}", "--out-bval", "{out}"],
         "name the same file"),
        (["repair", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--out-bvec", "{bval}", "--out-bval", "{out2}"],
         "would overwrite the input bval"),
        (["repair", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--out-bvec", "{out}", "--out-bval", "{out2}",
          "--provenance", "{bvec}"], "would overwrite the input bvec"),
        (["audit", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}", "--report", "{dwi}"], "would overwrite the input dwi"),
        (["bids", "{dwi}", "--mask", "{mask}"], "unrecognized arguments"),
    ],
)
def test_usage_errors(flipped, tmp_path, capsys, argv, fragment):
    before = {p: os.path.getmtime(p) for p in flipped.values()}
    names = dict(flipped, out=str(tmp_path / "o.bvec"), out2=str(tmp_path / "o.bval"))
    result = in_process(capsys, *[a.format(**names) for a in argv])
    assert_clean_error(result, 2, fragment)
    assert result.stdout == "" and os.listdir(tmp_path) == []
    assert before == {p: os.path.getmtime(p) for p in flipped.values()}


def test_missing_file_as_a_subprocess(flipped, tmp_path):
    result = run("audit", tmp_path / "missing.nii.gz", *fsl(flipped), "--report", tmp_path / "r.json")
    assert_clean_error(result, 1, f"DWI not found: {tmp_path / 'missing.nii.gz'}")
    assert result.stdout == "" and os.listdir(tmp_path) == []


def test_analysis_errors(flipped, tmp_path, capsys):
    report = tmp_path / "r.json"
    junk = tmp_path / "junk.nii"
    junk.write_bytes(b"not an image")
    cases = [
        (["audit", flipped["dwi"], "--bvec", tmp_path / "missing.bvec", "--bval", flipped["bval"]], "bvec file not found"),
        (["audit", flipped["dwi"], *fsl(flipped), "--mask", tmp_path], "mask is a folder"),
        (["audit", junk, *fsl(flipped)], "NIfTI error: "),
        (["audit", flipped["dwi"], "--bvec", flipped["bval"], "--bval", flipped["bval"]], "the layout of a bval file"),
        (["audit", flipped["dwi"], *fsl(flipped), "--report", tmp_path / "no" / "r.json"], "does not exist"),
        (["inspect", "--grad", flipped["dwi"]], "I/O error: "),  # a binary file is not valid UTF-8
    ]
    for argv, fragment in cases:
        result = in_process(capsys, *argv, "--report", report) if "--report" not in argv else in_process(capsys, *argv)
        assert_clean_error(result, 1, fragment)
        assert result.stdout == ""
        assert not report.exists()


def test_internal_and_type_errors_are_one_line(monkeypatch, capsys, clean):
    def broken(**kwargs):
        raise _dirsieve.InternalError("invariant broken")

    monkeypatch.setattr(_dirsieve, "inspect", broken)
    assert cli.main(["inspect", *fsl(clean)]) == 1
    assert capsys.readouterr().err == "dirsieve: error: internal error: invariant broken\n"

    def multi_line(**kwargs):
        raise TypeError("first\nsecond")

    monkeypatch.setattr(_dirsieve, "inspect", multi_line)
    assert cli.main(["inspect", *fsl(clean)]) == 1
    assert capsys.readouterr().err == "dirsieve: error: first second\n"


def test_colour_only_on_a_tty_without_no_color(monkeypatch):
    class Tty:
        def isatty(self):
            return True

    monkeypatch.delenv("NO_COLOR", raising=False)
    assert Style.for_stream(Tty()).status("FLAG") == "\033[1;31mFLAG\033[0m"
    monkeypatch.setenv("NO_COLOR", "1")
    assert Style.for_stream(Tty()).status("FLAG") == "FLAG"
    monkeypatch.delenv("NO_COLOR")
    with open(os.devnull) as devnull:
        assert Style.for_stream(devnull).status("PASS") == "PASS"
