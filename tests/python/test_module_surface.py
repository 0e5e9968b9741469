"""The module's calling conventions: registration, binding rules, conversions and messages."""
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import _dirsieve

FUNCTIONS = ["version", "build_features", "inspect", "audit", "audit_with_glyphs", "audit_profiled",
             "audit_profiled_with_glyphs", "audit_bids", "detect_flip", "detect_flip_with_glyphs", "repair",
             "repair_with_glyphs", "recompute_bval"]

SIGNATURES = {
    "inspect": "(bvec=None, bval=None, grad=None, tolerance=0.05, b0_threshold=50.0, shell=None, strict=False, "
               "norm_tolerance=0.05, threads=None)",
    "audit": "(bvec=None, bval=None, grad=None, dwi=None, mask=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
             "step=None, margin_threshold=0.02, strict=False, norm_tolerance=0.05, threads=None)",
    "audit_bids": "(root, tolerance=0.05, b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, "
                  "strict=False, norm_tolerance=0.05, threads=None)",
    "detect_flip": "(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
                   "step=None, margin_threshold=0.02, threads=None)",
    "repair": "(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, out_grad=None, provenance=None, "
              "tolerance=0.05, b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, dry_run=False, "
              "in_place=False, strict=False, force_repair=False, norm_tolerance=0.05, threads=None)",
    "recompute_bval": "(out_bvec, out_bval, bvec=None, bval=None, grad=None, out_grad=None, provenance=None, "
                      "b0_threshold=50.0, dry_run=False, in_place=False, threads=None)",
    "audit_with_glyphs": "(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, b0_threshold=50.0, "
                         "shell=None, step=None, margin_threshold=0.02, strict=False, norm_tolerance=0.05, "
                         "threads=None)",
    "version": "()",
}


def test_registration_order_version_and_features():
    assert _dirsieve.__all__ == FUNCTIONS
    assert [name for name in dir(_dirsieve) if name in FUNCTIONS] == sorted(FUNCTIONS)
    assert _dirsieve.version() == "1.1.6"
    first, second = _dirsieve.build_features(), _dirsieve.build_features()
    assert first == [] and second == [] and first is not second
    with pytest.raises(TypeError, match=r"^version\(\) takes 0 positional arguments but 1 was given$"):
        _dirsieve.version(1)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signatures(name):
    assert getattr(_dirsieve, name).__text_signature__ == SIGNATURES[name]


def test_descriptions():
    assert _dirsieve.audit_profiled.__doc__.startswith("One instrumented audit: returns the report JSON plus")
    assert _dirsieve.audit_profiled.__doc__.count("\n") == 3
    assert "The exit code blocks only on WARN." in _dirsieve.audit_bids.__doc__
    assert _dirsieve.recompute_bval.__doc__ == ("Opt-in b-value recovery from amplitude-encoded bvecs. Never "
                                                "reached from\n`repair`; returns a JSON before/after summary.")
    assert not _dirsieve.inspect.__doc__


def test_binding_messages():
    with pytest.raises(TypeError, match=r"^inspect\(\) takes from 0 to 9 positional arguments but 10 were given$"):
        _dirsieve.inspect(*range(10))
    with pytest.raises(TypeError, match=r"^inspect\(\) got an unexpected keyword argument 'dwi'$"):
        _dirsieve.inspect(dwi="x")
    with pytest.raises(TypeError, match=r"^inspect\(\) got multiple values for argument 'bvec'$"):
        _dirsieve.inspect("a", bvec="b")
    with pytest.raises(TypeError, match=r"^detect_flip\(\) missing 1 required positional argument: 'dwi'$"):
        _dirsieve.detect_flip()
    with pytest.raises(TypeError, match=r"^repair\(\) missing 3 required positional arguments: "
                                        r"'dwi', 'out_bvec', and 'out_bval'$"):
        _dirsieve.repair()
    with pytest.raises(TypeError, match=r"^recompute_bval\(\) missing 1 required positional argument: 'out_bval'$"):
        _dirsieve.recompute_bval("x")


def test_missing_inputs_and_thread_checks(tmp_path):
    with pytest.raises(ValueError, match=r"^provide bvec and bval, or grad$"):
        _dirsieve.audit()
    with pytest.raises(ValueError, match=r"^provide bvec and bval, or grad$"):
        _dirsieve.inspect(bvec=str(tmp_path / "only.bvec"))
    # threads=0 is reported before any gradient file is read.
    with pytest.raises(ValueError) as info:
        _dirsieve.inspect(grad=str(tmp_path / "missing.b"), threads=0)
    assert str(info.value) == "threads must be a positive integer"
    with pytest.raises(OverflowError):
        _dirsieve.inspect(grad="x", threads=-1)
    with pytest.raises(TypeError, match=r"^argument 'threads': "):
        _dirsieve.inspect(grad="x", threads=1.0)


def test_conversion_errors_are_wrapped_with_their_cause(fsl_pair):
    bvec, bval = fsl_pair
    with pytest.raises(TypeError) as info:
        _dirsieve.inspect(bvec, bval, tolerance=None)
    assert str(info.value).startswith("argument 'tolerance': ")
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError, match=r"^argument 'strict': 'int' object cannot be converted to 'PyBool'$"):
        _dirsieve.inspect(bvec, bval, strict=1)
    with pytest.raises(TypeError, match=r"^argument 'bvec': 'PosixPath' object cannot be converted to 'PyString'$"):
        _dirsieve.inspect(pathlib.Path(bvec), bval)
    with pytest.raises(TypeError, match=r"^argument 'bval': 'bytes' object cannot be converted to 'PyString'$"):
        _dirsieve.inspect(bvec, bval.encode())
    with pytest.raises(TypeError, match=r"^argument 'shell': "):
        _dirsieve.inspect(bvec, bval, shell="1000")
    # The first wrong argument in signature order is the one reported.
    with pytest.raises(TypeError, match=r"^argument 'tolerance': "):
        _dirsieve.inspect(bvec, bval, strict=1, tolerance="x")
    with pytest.raises(UnicodeEncodeError):
        _dirsieve.inspect("\udcff", bval)


def test_accepted_conversions(fsl_pair):
    bvec, bval = fsl_pair

    class Path(str):
        pass

    base = json.loads(_dirsieve.inspect(bvec, bval))
    for kwargs in ({"tolerance": 1}, {"strict": True}, {"strict": np.bool_(True)}, {"strict": np.bool_(False)},
                   {"threads": 1}, {"threads": 2}, {"threads": np.int64(1)}, {"shell": 1000}):
        report = json.loads(_dirsieve.inspect(Path(bvec), bval, **kwargs))
        assert report["status"] in ("PASS", "WARN")
    assert json.loads(_dirsieve.inspect(bvec, bval, tolerance=1))["shells"]["tolerance"] == 1.0
    assert base["inputs"][0]["path"] == bvec


def test_internal_error_type():
    assert issubclass(_dirsieve.InternalError, BaseException)
    assert not issubclass(_dirsieve.InternalError, Exception)


def test_sub_interpreter_import_fails():
    code = (
        "import _interpreters, sys\n"
        "interp = _interpreters.create()\n"
        "err = _interpreters.run_string(interp, 'import _dirsieve')\n"
        "print('ImportError' in repr(err))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=None, check=False)
    assert out.stdout.strip() == "True", out.stderr


def test_reimport_returns_the_same_module():
    import importlib
    assert importlib.import_module("_dirsieve") is _dirsieve
