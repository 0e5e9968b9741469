"""inspect reports: the envelope, the gradient readers seen through the module, and their errors."""
import pathlib
import hashlib
import json
import re

import pytest

import _dirsieve


def test_envelope_members_and_order(fsl_pair):
    bvec, bval = fsl_pair
    text = _dirsieve.inspect(bvec, bval)
    report = json.loads(text)
    assert list(report) == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs", "scheme",
                            "shells", "angular", "norm_stats", "notes"]
    assert report["schema_version"] == 1 and report["tool"] == "dirsieve" and report["tool_version"] == "1.1.6"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d*[1-9])?Z", report["timestamp"])
    assert [r["path"] for r in report["inputs"]] == [bvec, bval]
    data = pathlib.Path(bvec).read_bytes()
    assert report["inputs"][0] == {"path": bvec, "sha256": hashlib.sha256(data).hexdigest(), "bytes": len(data)}
    assert report["scheme"]["bvals"][:3] == [0.0, 0.0, 1000.0]
    assert '"bvals":[0.0,0.0,1000.0' in text
    assert len(report["scheme"]["directions"]) == 32
    # Compact: no whitespace between tokens outside strings.
    outside = re.sub(r'"(?:[^"\\]|\\.)*"', '""', text)
    assert not re.search(r"\s", outside)


def test_grad_input_ignores_the_pair(grad_file, tmp_path):
    report = json.loads(_dirsieve.inspect(bvec=str(tmp_path / "no.bvec"), bval=str(tmp_path / "no.bval"),
                                          grad=grad_file))
    assert [r["path"] for r in report["inputs"]] == [grad_file]
    assert report["scheme"]["directions"][1] == [1.0, 0.0, 0.0]
    assert "b0_drift" not in report and "flip" not in report and "repair" not in report


def test_audit_without_dwi_is_scheme_only(fsl_pair):
    bvec, bval = fsl_pair
    inspected = json.loads(_dirsieve.inspect(bvec, bval))
    audited = json.loads(_dirsieve.audit(bvec, bval))
    for report in (inspected, audited):
        del report["timestamp"]
    assert audited == inspected


def test_gradient_errors_through_the_module(tmp_path, fsl_pair):
    bvec, bval = fsl_pair
    with pytest.raises(ValueError) as info:
        _dirsieve.inspect(bvec, str(tmp_path / "missing.bval"))
    message = str(info.value)
    assert message.startswith("I/O error: ") and "missing" not in message and "(os error 2)" in message

    bad = tmp_path / "bad.bval"
    bad.write_text("0 1000 x\n")
    with pytest.raises(ValueError, match=re.escape(f"failed to parse {bad}: invalid number: x")):
        _dirsieve.inspect(bvec, str(bad))

    short = tmp_path / "short.bvec"
    short.write_text("0 1\n0 0\n")
    two = tmp_path / "two.bval"
    two.write_text("0 1000")
    with pytest.raises(ValueError, match="bvec shape does not match the b-value count"):
        _dirsieve.inspect(str(short), str(two))

    latin = tmp_path / "latin.bval"
    latin.write_bytes(b"0 1000\xe9")
    with pytest.raises(ValueError, match=r"^I/O error: stream did not contain valid UTF-8$"):
        _dirsieve.inspect(bvec, str(latin))

    # A NUL in a path can never name a file: refused instead of silently truncated.
    with pytest.raises(ValueError, match="NUL"):
        _dirsieve.inspect(bvec + "\0x", bval)


def test_paths_are_passed_unchanged(tmp_path, monkeypatch, fsl_pair):
    bvec, bval = fsl_pair
    monkeypatch.chdir(tmp_path)
    report = json.loads(_dirsieve.inspect("dwi.bvec", "./dwi.bval"))
    assert [r["path"] for r in report["inputs"]] == ["dwi.bvec", "./dwi.bval"]
    with pytest.raises(ValueError, match="^I/O error"):
        _dirsieve.inspect("~/dwi.bvec", "dwi.bval")
