"""The ``dirsieve`` command-line program.

Argument parsing and dispatch only. Each subcommand calls one function and passes on only the
options the user gave, so the defaults of the function apply to everything else. ``audit``,
``detect-flip`` and ``repair`` with a DWI decide by the verdict of :mod:`dirsieve.api` (the engine:
the fitted directions scored at several physical distances, each with a confidence); with
``--no-consensus`` they call the module ``_dirsieve`` and keep its single-distance verdict. The
human output is built by :mod:`dirsieve.render`.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
import time
from typing import Dict, List, Optional, Sequence

from dirsieve import __version__
from dirsieve import api
from dirsieve.outputs import OutputSet, undo
from dirsieve.render import Style, plain_number, pretty_json, render_bids, render_profile, render_recompute, \
    render_report

__all__ = ["main", "build_parser", "EXIT_OK", "EXIT_ERROR", "EXIT_USAGE", "EXIT_WARN", "EXIT_FLAG"]

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_WARN = 3
EXIT_FLAG = 4

EXIT_CODES_HELP = """\
exit codes (in order of severity):
  0  PASS
  3  WARN
  4  FLAG
  1  error: unreadable or inconsistent input, refused overwrite, failed write
  2  usage error: unknown option, missing or conflicting arguments"""

# audit, detect-flip and repair decide by the verdict unless told otherwise.
VERDICT_EXIT_HELP = EXIT_CODES_HELP + """
  The verdict scores the table at several walking distances (see --scales-mm); --no-consensus
  keeps the module's single-distance verdict. --json prints {"report": ..., "verdict": ...}.
  repair exits 0 whenever the table it wrote can be trusted (the fix after a FLAG, or the table
  unchanged after a PASS)."""

# The module's keyword arguments each subcommand may pass on. Options the user did not give are
# absent from the parsed namespace (argparse.SUPPRESS), so the module's defaults apply.
MODULE_KEYWORDS = {
    "inspect": ("bvec", "bval", "grad", "tolerance", "b0_threshold", "shell", "strict", "norm_tolerance",
                "threads"),
    "audit": ("bvec", "bval", "grad", "dwi", "mask", "tolerance", "b0_threshold", "shell", "step",
              "margin_threshold", "strict", "norm_tolerance", "threads"),
    "detect-flip": ("bvec", "bval", "grad", "mask", "tolerance", "b0_threshold", "shell", "step",
                    "margin_threshold", "threads"),
    "repair": ("bvec", "bval", "grad", "mask", "out_grad", "provenance", "tolerance", "b0_threshold", "shell",
               "step", "margin_threshold", "dry_run", "in_place", "strict", "force_repair", "norm_tolerance",
               "threads"),
    "recompute-bval": ("bvec", "bval", "grad", "out_grad", "provenance", "b0_threshold", "dry_run", "in_place",
                       "allow_unit_vectors", "threads"),
}

# The engine's keyword arguments (the module's, plus the verdict's own).
ENGINE_KEYWORDS = {
    "audit": ("bvec", "bval", "grad", "mask", "wm_mask", "tolerance", "b0_threshold", "shell", "step",
              "margin_threshold", "scales_mm", "strict", "norm_tolerance", "threads"),
    "detect-flip": ("bvec", "bval", "grad", "mask", "wm_mask", "tolerance", "b0_threshold", "shell", "step",
                    "margin_threshold", "scales_mm", "threads"),
    "repair": ("bvec", "bval", "grad", "mask", "wm_mask", "out_grad", "provenance", "tolerance", "b0_threshold",
               "shell", "step", "margin_threshold", "scales_mm", "dry_run", "in_place", "strict", "force_repair",
               "norm_tolerance", "threads"),
}

# The engine's analysis keywords that `bids` passes on to every run (its mask is found per run).
BIDS_KEYWORDS = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "scales_mm", "strict",
                 "norm_tolerance")

BIDS_LEVELS = ("participant", "group")

# Options that change the verdict; they are carried into the suggested follow-up commands.
ANALYSIS_OPTIONS = ("mask", "wm_mask", "tolerance", "b0_threshold", "shell", "step", "margin_threshold",
                    "scales_mm", "norm_tolerance")

OPTION_SPELLING = {"in_place": "--force"}


def _spelling(keyword: str) -> str:
    return OPTION_SPELLING.get(keyword, "--" + keyword.replace("_", "-"))


class CliError(Exception):
    """A failure to report as one line on stderr with exit code 1."""


class Parser(argparse.ArgumentParser):
    """argparse with one-line usage errors."""

    def error(self, message):  # noqa: D401 - argparse's hook
        self.exit(EXIT_USAGE, f"dirsieve: error: {message} (see '{self.prog} --help')\n")


# --------------------------------------------------------------------------- argument types


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    return value


def finite_float(text: str) -> float:
    value = _number(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}") from None
    if not 1 <= value <= MAX_THREADS:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to {MAX_THREADS}, got {text!r}")
    return value


MAX_THREADS = 4096


def in_range(low: float, high: float, *, low_open: bool = False, high_open: bool = False):
    """An argument type: a finite number in the interval, open or closed at either end."""
    left, right = "(" if low_open else "[", ")" if high_open else "]"

    def parse(text: str) -> float:
        value = finite_float(text)
        above = value > low if low_open else value >= low
        below = value < high if high_open else value <= high
        if not (above and below):
            raise argparse.ArgumentTypeError(f"expected a number in {left}{plain_number(low)}, {plain_number(high)}"
                                             f"{right}, got {text!r}")
        return value

    return parse


# What the numeric options accept: anything outside is a usage error, before any file is read.
FRACTION_TOLERANCE = in_range(0.0, 0.5)     # relative b-value spread within a shell
B_VALUE = in_range(0.0, 100000.0)           # s/mm^2
SHELL_B = in_range(0.0, 100000.0, low_open=True)
NORM_TOLERANCE = in_range(0.0, 1.0, high_open=True)
STEP_VOXELS = in_range(0.0, 100.0, low_open=True)
MARGIN = in_range(0.0, 1.0, low_open=True)
MAX_DISTANCE_MM = 200.0


# --------------------------------------------------------------------------- parser


def _add_gradients(p):
    g = p.add_argument_group("gradient table (an FSL pair or one four-column file)")
    g.add_argument("--bvec", metavar="FILE", default=argparse.SUPPRESS, help="FSL direction file")
    g.add_argument("--bval", metavar="FILE", default=argparse.SUPPRESS, help="FSL b-value file")
    g.add_argument("--grad", metavar="FILE", default=argparse.SUPPRESS,
                   help="MRtrix-style x y z b file in world axes (instead of --bvec/--bval)")


def _add_scheme(p, *, strict=True, norm=True, tolerance=True):
    g = p.add_argument_group("analysis")
    if tolerance:
        g.add_argument("--tolerance", type=FRACTION_TOLERANCE, metavar="FRACTION", default=argparse.SUPPRESS,
                       help="relative b-value spread within one shell, 0 to 0.5 (default 0.05)")
    g.add_argument("--b0-threshold", dest="b0_threshold", type=B_VALUE, metavar="B", default=argparse.SUPPRESS,
                   help="b-values at or below this count as b0 (default 50)")
    if tolerance:
        g.add_argument("--shell", type=SHELL_B, metavar="B", default=argparse.SUPPRESS,
                       help="b-value of the shell used for flip detection; must be one of the table's shells "
                            "(default: the one nearest 1000)")
    if norm:
        g.add_argument("--norm-tolerance", dest="norm_tolerance", type=NORM_TOLERANCE, metavar="FRACTION",
                       default=argparse.SUPPRESS, help="allowed deviation of vector norms from 1, below 1 "
                                                       "(default 0.05)")
    if strict:
        g.add_argument("--strict", action="store_true", default=argparse.SUPPRESS,
                       help="severe scheme issues turn PASS into WARN; amplitude-encoded vectors are an error")
    return g


def distances_mm(text: str) -> List[float]:
    """A comma-separated list of walking distances in mm."""
    values = [finite_float(part) for part in text.split(",") if part.strip()]
    if not values or any(not 0 < v <= MAX_DISTANCE_MM for v in values):
        raise argparse.ArgumentTypeError(f"expected distances in mm, each in (0, {plain_number(MAX_DISTANCE_MM)}], "
                                         f"separated by commas, got {text!r}")
    if len(values) > 16:
        raise argparse.ArgumentTypeError(f"at most 16 distances, got {len(values)}")
    return values


def _add_flip(g, *, mask=True, verdict=True):
    if mask:
        g.add_argument("--mask", metavar="FILE", default=argparse.SUPPRESS,
                       help="brain mask on the DWI grid: the verdict scores its valid voxels with FA >= 0.2")
    if mask and verdict:
        g.add_argument("--wm-mask", dest="wm_mask", metavar="FILE", default=argparse.SUPPRESS,
                       help="white-matter mask on the DWI grid, used as given (instead of --mask)")
    if verdict:
        g.add_argument("--scales-mm", dest="scales_mm", type=distances_mm, metavar="D[,D...]",
                       default=argparse.SUPPRESS,
                       help="walking distances of the verdict in mm (default: 2, 3 and 4 times the geometric "
                            "mean of the voxel sizes)")
    g.add_argument("--step", type=STEP_VOXELS, metavar="VOXELS", default=argparse.SUPPRESS,
                   help="sampling distance of the module's single-distance score in voxels (default: 4 mm "
                        "worth, at least 1)")
    g.add_argument("--margin-threshold", dest="margin_threshold", type=MARGIN, metavar="FRACTION",
                   default=argparse.SUPPRESS,
                   help="relative margin at which the module's single-distance score flags, in (0, 1] "
                        "(default 0.02)")


def _add_consensus(g):
    g.add_argument("--consensus", action=argparse.BooleanOptionalAction, default=None,
                   help="decide by the verdict over several walking distances (default); --no-consensus keeps "
                        "the module's single-distance verdict")


VERDICT_REPORT_HELP = ("write the module's report and the verdict, pretty-printed, to FILE as "
                       '{"report": ..., "verdict": ...} (the report alone with --no-consensus)')


def _add_common(p, *, verdict=True, qc=False, force=False, report_help="write the report, pretty-printed, to FILE"):
    g = p.add_argument_group("output")
    if force:
        g.add_argument("--force", dest="in_place", action="store_true", default=argparse.SUPPRESS,
                       help="replace existing output files (each is first moved to a numbered backup)")
    g.add_argument("--json", action="store_true", help="print the module's JSON text instead of the summary")
    g.add_argument("--report", metavar="FILE", help=report_help)
    if qc:
        g.add_argument("--qc", metavar="FILE.png",
                       help="draw the QC figure: fibre directions in anatomical orientation, as given and after "
                            "the fix (.png, .svg, .pdf or .jpg; needs the qc extra)")
        g.add_argument("--html", metavar="FILE.html",
                       help="write one self-contained page: the verdict, the distances, the figure and the repair "
                            "command (needs the qc extra)")
    if verdict:
        g.add_argument("--fail-on-flag", action="store_true",
                       help="accepted for older scripts: FLAG always exits with 4")
    g.add_argument("--threads", type=positive_int, metavar="N", default=argparse.SUPPRESS,
                   help="worker threads (default: one per logical processor, shared)")


def _add_outputs(p, title: str, bvec_help: str, bval_help: str, grad_help: str, dry_run_help: str):
    g = p.add_argument_group(title)
    g.add_argument("--out-bvec", dest="out_bvec", metavar="FILE", required=True, help=bvec_help)
    g.add_argument("--out-bval", dest="out_bval", metavar="FILE", required=True, help=bval_help)
    g.add_argument("--out-grad", dest="out_grad", metavar="FILE", default=argparse.SUPPRESS, help=grad_help)
    g.add_argument("--provenance", metavar="FILE", default=argparse.SUPPRESS,
                   help="write a JSON record of what was done (replaced if it exists)")
    g.add_argument("--dry-run", dest="dry_run", action="store_true", default=argparse.SUPPRESS, help=dry_run_help)
    g.add_argument("--force", dest="in_place", action="store_true", default=argparse.SUPPRESS,
                   help="replace existing output files (each is first moved to a numbered backup)")
    return g


def build_parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = Parser(
        prog="dirsieve",
        description="Check the gradient table of a diffusion MRI acquisition: shells, angular coverage, "
                    "vector norms, b0 drift, and whether the axes are permuted or sign-flipped.",
        epilog="examples:\n"
               "  dirsieve audit dwi.nii.gz --bvec dwi.bvec --bval dwi.bval\n"
               "  dirsieve demo\n\n" + EXIT_CODES_HELP,
        formatter_class=formatter,
    )
    parser.add_argument("--version", action="version",
                        version=f"dirsieve {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    p = sub.add_parser(
        "inspect", help="check the gradient scheme alone (no image)", formatter_class=formatter,
        description="Analyse the gradient table without an image: shells, angular coverage and conditioning, "
                    "vector norms, non-integer b-values. The verdict is PASS or WARN.",
        epilog="example:\n  dirsieve inspect --bvec dwi.bvec --bval dwi.bval\n\n" + EXIT_CODES_HELP)
    _add_gradients(p)
    _add_scheme(p)
    _add_common(p, force=True)

    p = sub.add_parser(
        "audit", help="full check of a table against its DWI", formatter_class=formatter,
        description="Audit a gradient table against its DWI: the scheme checks of 'inspect', b0 drift, and "
                    "flip detection (all 48 signed axis permutations scored by fibre coherence). Without a "
                    "DWI only the scheme is checked.",
        epilog="examples:\n"
               "  dirsieve audit dwi.nii.gz --bvec dwi.bvec --bval dwi.bval\n"
               "  dirsieve audit dwi.nii.gz --grad dwi.b --mask brain.nii.gz --profile --qc audit.png\n\n"
               + VERDICT_EXIT_HELP)
    p.add_argument("dwi", nargs="?", metavar="DWI", default=argparse.SUPPRESS,
                   help="4-D NIfTI-1 image (.nii or .nii.gz); optional")
    _add_gradients(p)
    g = _add_scheme(p)
    _add_flip(g)
    _add_consensus(g)
    _add_common(p, qc=True, force=True, report_help=VERDICT_REPORT_HELP)
    p.add_argument("--profile", action="store_true", help="also show the wall-clock split over the stages")

    p = sub.add_parser(
        "detect-flip", help="flip detection only", formatter_class=formatter,
        description="Only decide whether the table's axes are permuted or sign-flipped; the report carries "
                    "just the flip result.",
        epilog="example:\n  dirsieve detect-flip dwi.nii.gz --bvec dwi.bvec --bval dwi.bval\n\n" + VERDICT_EXIT_HELP)
    p.add_argument("dwi", metavar="DWI", help="4-D NIfTI-1 image (.nii or .nii.gz)")
    _add_gradients(p)
    g = _add_scheme(p, strict=False, norm=False)
    _add_flip(g)
    _add_consensus(g)
    _add_common(p, qc=True, force=True, report_help=VERDICT_REPORT_HELP)

    p = sub.add_parser(
        "repair", help="audit, then write the corrected table", formatter_class=formatter,
        description="Audit, then write the table the verdict trusts, as an FSL pair and optionally a "
                    "four-column file: on FLAG the corrected table, on PASS the table unchanged (so a pipeline "
                    "always finds its output), on WARN nothing. Existing files are never replaced without --force; "
                    "with --force each one is first moved to a numbered backup (FILE.bak, FILE.bak.1, ...).",
        epilog="example:\n  dirsieve repair dwi.nii.gz --bvec dwi.bvec --bval dwi.bval \\\n"
               "      --out-bvec fixed.bvec --out-bval fixed.bval --provenance fixed.json\n\n" + VERDICT_EXIT_HELP)
    p.add_argument("dwi", metavar="DWI", help="4-D NIfTI-1 image (.nii or .nii.gz)")
    _add_gradients(p)
    g = _add_scheme(p)
    _add_flip(g)
    _add_consensus(g)
    g = _add_outputs(p, "repair outputs", "corrected FSL direction file", "FSL b-value file",
                     "also write a four-column file in world axes", "decide and report, write nothing")
    g.add_argument("--force-repair", dest="force_repair", action="store_true", default=argparse.SUPPRESS,
                   help="also apply the winner on a WARN verdict when every distance agrees on it")
    _add_common(p, qc=True, report_help=VERDICT_REPORT_HELP)

    p = sub.add_parser(
        "recompute-bval", help="recover b-values from amplitude-encoded vectors", formatter_class=formatter,
        description="Recompute b-values from the vector lengths (b = b_max * (|g| / max |g|)^2) and write the "
                    "table with unit directions. Opt-in: no other command changes b-values.",
        epilog="example:\n  dirsieve recompute-bval --bvec dwi.bvec --bval dwi.bval \\\n"
               "      --out-bvec unit.bvec --out-bval recovered.bval\n\n"
               "exit codes:\n  0  success\n  1  error\n  2  usage error")
    _add_gradients(p)
    _add_scheme(p, strict=False, norm=False, tolerance=False)
    g = _add_outputs(p, "outputs", "unit direction file", "recomputed b-value file", "also write a four-column file",
                     "compute and report, write nothing")
    g.add_argument("--allow-unit-vectors", dest="allow_unit_vectors", action="store_true", default=argparse.SUPPRESS,
                   help="recompute even when the vectors are already unit length (which merges every shell)")
    _add_common(p, verdict=False, report_help="write the summary, pretty-printed, to FILE")

    p = sub.add_parser(
        "bids", help="audit every diffusion run of a BIDS dataset (a BIDS App)", formatter_class=formatter,
        description="Audit every *_dwi run of a BIDS dataset with the verdict, in parallel on Dask distributed "
                    "(a local cluster of worker processes, or --scheduler). The participant level writes one "
                    "report per run into OUTPUT_DIR/sub-<label>/[ses-<label>/]dwi/<run>_dirsieve.json (a report "
                    "that is current is kept unless --rerun); the group level writes group_dwi.tsv and "
                    "group_dwi.json with the acquisition check (runs of one acquisition should share one "
                    "table convention). Both levels run by default. Ctrl-C keeps the finished reports; the "
                    "same command finishes the rest.",
        epilog="examples:\n"
               "  dirsieve bids /data/study\n"
               "  dirsieve bids /data/study /scratch/dirsieve participant --participant-label 01 02 --jobs 4\n"
               "  dirsieve bids /data/study /scratch/dirsieve group\n\n"
               "exit codes (the worst run decides):\n  0  every run PASS\n  3  a run WARN\n  4  a run FLAG\n"
               "  1  a run could not be audited (ERROR), or the command failed\n  2  usage error\n"
               "  130  interrupted")
    p.add_argument("bids_dir", metavar="BIDS_DIR", help="the BIDS dataset folder")
    p.add_argument("output_dir", nargs="?", metavar="OUTPUT_DIR",
                   help="where the derivative dataset goes (default: BIDS_DIR/derivatives/dirsieve)")
    p.add_argument("analysis_level", nargs="?", metavar="{participant,group}",
                   help="run one level only (default: both)")
    g = p.add_argument_group("selection and execution")
    g.add_argument("--participant-label", dest="participant_label", nargs="+", action="extend", metavar="LABEL",
                   default=[], help="only these participants (with or without 'sub-'); may be repeated")
    g.add_argument("--session-label", dest="session_label", nargs="+", action="extend", metavar="LABEL",
                   default=[], help="only these sessions (with or without 'ses-')")
    g.add_argument("--jobs", type=positive_int, metavar="N",
                   help="local worker processes (default: one per core)")
    g.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786) instead of a local one")
    g.add_argument("--rerun", action="store_true", help="audit again even where a current report exists")
    g.add_argument("--threads", type=positive_int, metavar="N", default=argparse.SUPPRESS,
                   help="engine threads per run (default: the cores divided among the workers)")
    g.add_argument("--fail-on-flag", action="store_true", help="accepted for older scripts: FLAG always exits with 4")
    g = _add_scheme(p)
    _add_flip(g, mask=False)  # each run's mask is found beside it and used as a brain mask

    p = sub.add_parser(
        "demo", help="run the whole job on a synthetic phantom", formatter_class=formatter,
        description="Write a synthetic phantom with a deliberately flipped table, audit it (FLAG), repair it "
                    "and audit the repaired table (PASS). Needs no input; takes a few seconds.",
        epilog="example:\n  dirsieve demo /tmp/dirsieve-demo\n\nexit codes:\n  0  the demo ran as expected\n"
               "  1  error\n  2  usage error")
    p.add_argument("directory", nargs="?", metavar="DIR",
                   help="folder for the files: new, empty, or one an earlier demo wrote (its files are replaced; "
                        "default: ./dirsieve-demo)")
    return parser


# --------------------------------------------------------------------------- helpers


def _module():
    try:
        import _dirsieve
    except ImportError as exc:
        raise CliError(f"the compiled module _dirsieve cannot be loaded: {exc}") from None
    return _dirsieve


@contextlib.contextmanager
def module_errors(module):
    """Turn the module's exceptions into one-line CLI errors."""
    internal = [module.InternalError]
    with contextlib.suppress(ImportError):
        from dirsieve import _engine

        internal.append(_engine.InternalError)
    try:
        yield
    except tuple(internal) as exc:
        raise CliError(f"internal error: {exc}") from None
    except ImportError as exc:
        raise CliError(f"the compiled engine dirsieve._engine cannot be loaded: {exc}") from None
    except (ValueError, TypeError, OverflowError) as exc:
        raise CliError(str(exc)) from None


def _keywords(args, command: str) -> Dict[str, object]:
    return {k: getattr(args, k) for k in MODULE_KEYWORDS[command] if hasattr(args, k)}


def _same_path(a: str, b: str) -> bool:
    try:
        if os.path.exists(a) and os.path.exists(b):
            return os.path.samefile(a, b)
    except OSError:
        pass
    return os.path.realpath(a) == os.path.realpath(b)


def _check_inputs(pairs: Sequence[tuple]) -> None:
    for role, path in pairs:
        if path is None:
            continue
        if not os.path.exists(path):
            raise CliError(f"{role} not found: {path}")
        if os.path.isdir(path):
            raise CliError(f"{role} is a folder, not a file: {path}")


def _validate_gradients(parser, args) -> None:
    has = {k: hasattr(args, k) for k in ("bvec", "bval", "grad")}
    if has["grad"] and (has["bvec"] or has["bval"]):
        parser.error("--grad cannot be combined with --bvec/--bval")
    if not has["grad"] and not (has["bvec"] and has["bval"]):
        parser.error("give --bvec and --bval together, or --grad")


def _validate_paths(parser, args) -> None:
    """Reject output paths that would clobber an input or each other."""
    inputs = [(k, getattr(args, k)) for k in ("dwi", "mask", "wm_mask", "bvec", "bval", "grad", "root")
              if hasattr(args, k)
              and getattr(args, k) is not None]
    outputs = [(k, getattr(args, k)) for k in ("out_bvec", "out_bval", "out_grad", "provenance", "report", "qc", "html")
               if getattr(args, k, None) is not None]
    for i, (name, path) in enumerate(outputs):
        for other, other_path in outputs[i + 1:]:
            if _same_path(path, other_path):
                parser.error(f"{_spelling(name)} and {_spelling(other)} name the same file: {path}")
        for source, source_path in inputs:
            # A gradient output may replace its own input (with --force, after a backup); nothing else may.
            if source_path and _same_path(path, source_path) and name != "out_" + source:
                parser.error(f"{_spelling(name)} would overwrite the input {source} file: {path}")


def _outputs(args) -> OutputSet:
    return OutputSet(force=getattr(args, "in_place", False))


def _check_outputs(args, *paths: Optional[str]) -> None:
    """Before any work: every output the command will write (one overwrite rule for all of them)."""
    wanted = list(paths) + [getattr(args, k, None) for k in ("report", "qc", "html")]
    _outputs(args).check(wanted)


def _status_exit(status: str) -> int:
    return {"WARN": EXIT_WARN, "FLAG": EXIT_FLAG}.get(status, EXIT_OK)


def _emit(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def _emit_json(text: str) -> None:
    """The module's JSON text as UTF-8 bytes, whatever the terminal's encoding."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:
        _emit(text + "\n")
        return
    sys.stdout.flush()
    buffer.write(text.encode("utf-8") + b"\n")
    buffer.flush()


def _gradient_argv(args) -> List[str]:
    argv = []
    for key in ("bvec", "bval", "grad"):
        if hasattr(args, key):
            argv += [_spelling(key), getattr(args, key)]
    return argv


def _analysis_argv(args) -> List[str]:
    argv = []
    for key in ANALYSIS_OPTIONS:
        if hasattr(args, key):
            value = getattr(args, key)
            if isinstance(value, list):
                text = ",".join(plain_number(v) for v in value)
            else:
                text = value if isinstance(value, str) else plain_number(value)
            argv += [_spelling(key), text]
    if getattr(args, "strict", False):
        argv.append("--strict")
    if getattr(args, "consensus", None) is False:
        argv.append("--no-consensus")
    return argv


def _suggested_outputs(args) -> List[str]:
    source = getattr(args, "grad", None) or getattr(args, "bvec", None)
    root, ext = os.path.splitext(source)
    stem = root + "_repaired"
    if hasattr(args, "grad"):
        return ["--out-bvec", stem + ".bvec", "--out-bval", stem + ".bval", "--out-grad", stem + (ext or ".grad")]
    bval_root, bval_ext = os.path.splitext(args.bval)
    return ["--out-bvec", stem + ext, "--out-bval", bval_root + "_repaired" + bval_ext]


def _repair_argv(args, command: str, *, force_repair: bool = False, dry_run: Optional[bool] = None) -> List[str]:
    argv = ["dirsieve", "repair", args.dwi] + _gradient_argv(args) + _analysis_argv(args)
    if command == "repair":
        argv += ["--out-bvec", args.out_bvec, "--out-bval", args.out_bval]
        for key in ("out_grad", "provenance"):
            if hasattr(args, key):
                argv += [_spelling(key), getattr(args, key)]
        if getattr(args, "in_place", False):
            argv.append("--force")
        keep_dry = getattr(args, "dry_run", False) if dry_run is None else dry_run
        if keep_dry:
            argv.append("--dry-run")
        if force_repair or getattr(args, "force_repair", False):
            argv.append("--force-repair")
    else:
        argv += _suggested_outputs(args)
        if force_repair:
            argv.append("--force-repair")
    return argv


def _verify_argv(args) -> List[str]:
    return ["dirsieve", "audit", args.dwi, "--bvec", args.out_bvec, "--bval", args.out_bval] + _analysis_argv(args)


def _qc_prepare(args):
    """The qc module when --qc or --html asks for a figure; refuses what cannot be written before any work."""
    wanted = [option for option, path in (("--qc", getattr(args, "qc", None)), ("--html", getattr(args, "html", None)))
              if path is not None]
    if not wanted:
        return None
    from dirsieve import pages, qc

    try:
        qc.require_matplotlib(wanted[0])
        if args.qc is not None:
            qc.figure_format(args.qc)
        if args.html is not None:
            pages.require_jinja2()
    except (qc.MissingMatplotlib, pages.MissingJinja, ValueError) as exc:
        raise CliError(str(exc)) from None
    return qc


# --------------------------------------------------------------------------- subcommands


def _finish_report(args, command: str, report_text: str, *, timing=None, glyphs=None, qc=None,
                   context: Optional[dict] = None, verdict: Optional[dict] = None, images=None,
                   exit_code: Optional[int] = None, after=()) -> int:
    """Write --report, --qc and --html (together with nothing else, or after the engine's own files
    ``after``, which are undone if these fail), print the summary (or --json), and return the exit code.

    With ``verdict`` (the engine's) the status, the JSON and the report file are the verdict's:
    ``{"report": <the module's report, verbatim>, "verdict": {...}}``, with ``"images"`` when recorded.
    """
    report = json.loads(report_text)
    document = api.document_text(report_text, verdict, images) if verdict is not None else report_text
    status = verdict["status"] if verdict is not None else report.get("status", "")
    outputs = _outputs(args)
    source = getattr(args, "dwi", "") or ""
    try:
        if args.report:
            outputs.add(args.report, pretty_json(document).encode("utf-8"))
        if qc is not None and glyphs is not None and getattr(args, "qc", None) is not None:
            outputs.add(args.qc, qc.render_figure(report, glyphs, verdict, source, qc.figure_format(args.qc)))
        if glyphs is not None and getattr(args, "html", None) is not None:
            from dirsieve import pages

            plain = render_report(report, Style(False), command=command, dwi=source, context=context, verdict=verdict)
            outputs.add(args.html, pages.render_run_page(command=command, report=report, verdict=verdict,
                                                         glyphs=glyphs, source=source, context=context,
                                                         report_text=pretty_json(document), summary_text=plain))
    except Exception:
        undo(after)
        raise
    outputs.commit(after=after)
    style = Style.for_stream(sys.stdout)
    if args.json:
        _emit_json(document)
        if timing is not None:
            sys.stderr.write(render_profile(timing, Style.for_stream(sys.stderr)))
    else:
        text = render_report(report, style, command=command, dwi=getattr(args, "dwi", None), context=context,
                             verdict=verdict)
        if timing is not None:
            text += "\n" + render_profile(timing, style)
        if args.report:
            text += f"\nReport written to {args.report}\n"
        written = [f"{what} written to {path}\n" for what, path in (("Picture", getattr(args, "qc", None)),
                                                                     ("Page", getattr(args, "html", None)))
                   if qc is not None and glyphs is not None and path is not None]
        if written:
            text += ("" if args.report else "\n") + "".join(written)
        _emit(text)
    return _status_exit(status) if exit_code is None else exit_code


def _flip_context(args, command: str) -> dict:
    if not hasattr(args, "dwi"):
        return {}
    return {"repair_command": _repair_argv(args, command),
            "force_command": _repair_argv(args, command, force_repair=True)}


def _verdict_on(args) -> bool:
    """The verdict decides by default wherever there is a DWI to score."""
    return getattr(args, "consensus", None) is not False and getattr(args, "dwi", None) is not None


def _engine_keywords(args, command: str) -> Dict[str, object]:
    return {k: getattr(args, k) for k in ENGINE_KEYWORDS[command] if hasattr(args, k)}


def _module_keywords(args, command: str) -> Dict[str, object]:
    """The module's keywords; its mask is the sample itself, so a white-matter mask goes there too."""
    kwargs = _keywords(args, command)
    if hasattr(args, "wm_mask"):
        kwargs["mask"] = args.wm_mask
    return kwargs


def _check_table(args) -> None:
    """The engine's checks of the table, for the paths that hand it to the module."""
    api.read_table(**{k: getattr(args, k) for k in ("bvec", "bval", "grad") if hasattr(args, k)})


def cmd_inspect(args, module) -> int:
    _check_inputs(_gradient_roles(args))
    with module_errors(module):
        _check_outputs(args)
        _check_table(args)
        text = module.inspect(**_keywords(args, "inspect"))
        return _finish_report(args, "inspect", text)


def _gradient_roles(args):
    return [(role, getattr(args, key)) for key, role in (("bvec", "bvec file"), ("bval", "bval file"),
                                                          ("grad", "grad file")) if hasattr(args, key)]


def _image_roles(args):
    roles = []
    if getattr(args, "dwi", None) is not None:
        roles.append(("DWI", args.dwi))
    if hasattr(args, "mask"):
        roles.append(("mask", args.mask))
    if hasattr(args, "wm_mask"):
        roles.append(("white-matter mask", args.wm_mask))
    return roles


def _records_images(args) -> bool:
    """The DWI's digest goes into what is written or printed as JSON, not into the summary."""
    return bool(getattr(args, "report", None) or getattr(args, "json", False))


def cmd_audit(args, module) -> int:
    _check_inputs(_gradient_roles(args) + _image_roles(args))
    qc = _qc_prepare(args)
    with module_errors(module):
        _check_outputs(args)
        if _verdict_on(args):
            result = api.check(args.dwi, glyphs=qc is not None, profile=args.profile, images=_records_images(args),
                               **_engine_keywords(args, "audit"))
            return _finish_report(args, "audit", result.report_text, timing=result.timing, glyphs=result.glyphs,
                                  qc=qc, context=_flip_context(args, "audit"), verdict=result.verdict.to_dict(),
                                  images=result.images)
        _check_table(args)
        kwargs = _module_keywords(args, "audit")
        timing = glyphs = None
        if args.profile and qc is not None:
            text, timing, glyphs = module.audit_profiled_with_glyphs(**kwargs)
        elif args.profile:
            text, timing = module.audit_profiled(**kwargs)
        elif qc is not None:
            text, glyphs = module.audit_with_glyphs(**kwargs)
        else:
            text = module.audit(**kwargs)
        return _finish_report(args, "audit", text, timing=timing, glyphs=glyphs, qc=qc,
                              context=_flip_context(args, "audit"))


def cmd_detect_flip(args, module) -> int:
    _check_inputs(_gradient_roles(args) + _image_roles(args))
    qc = _qc_prepare(args)
    with module_errors(module):
        _check_outputs(args)
        if _verdict_on(args):
            result = api.check(args.dwi, flip_only=True, glyphs=qc is not None, images=_records_images(args),
                               **_engine_keywords(args, "detect-flip"))
            return _finish_report(args, "detect-flip", result.report_text, glyphs=result.glyphs, qc=qc,
                                  context=_flip_context(args, "detect-flip"), verdict=result.verdict.to_dict(),
                                  images=result.images)
        _check_table(args)
        kwargs = _module_keywords(args, "detect-flip")
        glyphs = None
        if qc is not None:
            text, glyphs = module.detect_flip_with_glyphs(args.dwi, **kwargs)
        else:
            text = module.detect_flip(args.dwi, **kwargs)
        return _finish_report(args, "detect-flip", text, glyphs=glyphs, qc=qc,
                              context=_flip_context(args, "detect-flip"))


def _repair_targets(args) -> List[Optional[str]]:
    if getattr(args, "dry_run", False):
        return []
    return [args.out_bvec, args.out_bval, getattr(args, "out_grad", None), getattr(args, "provenance", None)]


def cmd_repair(args, module, argv: Sequence[str] = ()) -> int:
    _check_inputs(_gradient_roles(args) + _image_roles(args))
    qc = _qc_prepare(args)
    dry_run = getattr(args, "dry_run", False)
    with module_errors(module):
        _check_outputs(args, *_repair_targets(args))
        if _verdict_on(args):
            kwargs = _engine_keywords(args, "repair")
            force = kwargs.pop("in_place", False)
            result = api.repair(args.dwi, args.out_bvec, args.out_bval, glyphs=qc is not None, force=force,
                                images=_records_images(args), command=["dirsieve", *argv], **kwargs)
            context = _repair_context(args, result.report, result.committed)
            return _finish_report(args, "repair", result.report_text, glyphs=result.glyphs, qc=qc, context=context,
                                  verdict=result.verdict.to_dict(), images=result.images, after=result.committed,
                                  exit_code=_repair_exit(result.status, result.written and not dry_run))
        # The module's own repair (--no-consensus) writes its files one after the other.
        _check_table(args)
        planned = _planned_backups(args)
        kwargs = _module_keywords(args, "repair")
        glyphs = None
        if qc is not None:
            text, glyphs = module.repair_with_glyphs(args.dwi, args.out_bvec, args.out_bval, **kwargs)
        else:
            text = module.repair(args.dwi, args.out_bvec, args.out_bval, **kwargs)
        report = json.loads(text)
        written = bool((report.get("repair") or {}).get("outputs"))
        committed = [(path, backup if os.path.exists(backup) else None) for path, backup in planned]
        return _finish_report(args, "repair", text, glyphs=glyphs, qc=qc,
                              context=_repair_context(args, report, committed),
                              exit_code=_repair_exit(report.get("status", ""), written))


def _planned_backups(args) -> List[tuple]:
    """Where the module's repair will move existing outputs (it takes the first free backup name)."""
    planned = []
    if getattr(args, "in_place", False) and not getattr(args, "dry_run", False):
        for key in ("out_bvec", "out_bval", "out_grad"):
            path = getattr(args, key, None)
            if path is not None and os.path.exists(path):
                planned.append((path, _backup_path(path)))
    return planned


def _repair_exit(status: str, written: bool) -> int:
    """0 when the table written can be trusted: the fix after a FLAG, the table unchanged after a PASS.

    A table forced onto a WARN is written but not trusted; nothing written keeps the verdict's code.
    """
    if written and status in ("FLAG", "PASS"):
        return EXIT_OK
    return _status_exit(status)


def _repair_context(args, report: dict, committed) -> dict:
    written = set((report.get("repair") or {}).get("outputs", []))
    return {
        "apply_command": _repair_argv(args, "repair", dry_run=False),
        "force_command": _repair_argv(args, "repair", force_repair=True),
        "verify_command": _verify_argv(args),
        "backups": [(p, b) for p, b in committed if b is not None and p in written],
        "provenance": getattr(args, "provenance", None) if written else None,
    }


def cmd_recompute(args, module) -> int:
    _check_inputs(_gradient_roles(args))
    dry_run = getattr(args, "dry_run", False)
    with module_errors(module):
        _check_outputs(args, *_repair_targets(args))
        kwargs = _keywords(args, "recompute-bval")
        force = kwargs.pop("in_place", False)
        result = api.recompute_bval(args.out_bvec, args.out_bval, force=force, **kwargs)
        outputs = _outputs(args)
        if args.report:
            outputs.add(args.report, pretty_json(result.summary_text).encode("utf-8"))
        outputs.commit(after=result.committed)
    if args.json:
        _emit_json(result.summary_text)
    else:
        _emit(render_recompute(result.summary, Style.for_stream(sys.stdout),
                               b0_threshold=getattr(args, "b0_threshold", 50.0), dry_run=dry_run,
                               provenance=getattr(args, "provenance", None)))
    return EXIT_OK


def cmd_bids(args, module) -> int:
    try:
        from dirsieve import bids_app
    except ImportError as exc:
        raise CliError(f"dirsieve bids needs the Python packages distributed and tqdm: {exc}") from None
    if not os.path.isdir(args.bids_dir):
        raise CliError(f"BIDS root is not a folder: {args.bids_dir}" if os.path.exists(args.bids_dir)
                       else f"BIDS root not found: {args.bids_dir}")
    options = bids_app.AppOptions(
        bids_dir=args.bids_dir, output_dir=args.output_dir,
        levels=(args.analysis_level,) if args.analysis_level else BIDS_LEVELS,
        participant_labels=args.participant_label, session_labels=args.session_label, jobs=args.jobs,
        scheduler=args.scheduler, rerun=args.rerun, threads=getattr(args, "threads", None),
        analysis={k: getattr(args, k) for k in BIDS_KEYWORDS if hasattr(args, k)})
    with module_errors(module):
        try:
            outcome = bids_app.run_app(options, stderr=sys.stderr)
        except bids_app.BidsAppError as exc:
            raise CliError(str(exc)) from None
    if outcome.interrupted:
        sys.stderr.write(f"dirsieve: interrupted ({outcome.audited} run{'s' if outcome.audited != 1 else ''} "
                         "audited and kept; run the same command again to finish)\n")
        return outcome.exit_code
    _emit(render_bids(outcome, Style.for_stream(sys.stdout)))
    return outcome.exit_code


def cmd_demo(args, module) -> int:
    from dirsieve import demo

    with module_errors(module):
        try:
            return demo.run_demo(args.directory, out=sys.stdout, style=Style.for_stream(sys.stdout))
        except demo.DemoError as exc:
            raise CliError(str(exc)) from None


HANDLERS = {
    "inspect": cmd_inspect,
    "audit": cmd_audit,
    "detect-flip": cmd_detect_flip,
    "repair": cmd_repair,
    "recompute-bval": cmd_recompute,
    "bids": cmd_bids,
    "demo": cmd_demo,
}


def _subparser(parser, command: str):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action.choices[command]
    return parser


def _validate(parser, args) -> None:
    command = args.command
    sub = _subparser(parser, command)
    if command in ("inspect", "audit", "detect-flip", "repair", "recompute-bval"):
        _validate_gradients(sub, args)
    if command == "audit" and not hasattr(args, "dwi"):
        needs_dwi = [opt for opt, given in (("--profile", args.profile), ("--qc", args.qc is not None),
                                            ("--html", args.html is not None),
                                            ("--mask", hasattr(args, "mask")), ("--wm-mask", hasattr(args, "wm_mask")),
                                            ("--step", hasattr(args, "step")),
                                            ("--margin-threshold", hasattr(args, "margin_threshold")),
                                            ("--scales-mm", hasattr(args, "scales_mm")),
                                            ("--consensus", args.consensus is True)) if given]
        if needs_dwi:
            sub.error(f"{', '.join(needs_dwi)} need(s) a DWI")
    if hasattr(args, "mask") and hasattr(args, "wm_mask"):
        sub.error("give --mask (a brain mask) or --wm-mask (a white-matter mask), not both")
    if getattr(args, "consensus", None) is False and hasattr(args, "scales_mm"):
        sub.error("--scales-mm belongs to the verdict; it cannot be combined with --no-consensus")
    if command == "bids":
        _validate_bids(sub, args)
    if command != "demo":
        _validate_paths(sub, args)


def _validate_bids(parser, args) -> None:
    """BIDS_DIR [OUTPUT_DIR] [LEVEL]: a lone second word that names a level is the level."""
    if args.analysis_level is None and args.output_dir in BIDS_LEVELS:
        args.analysis_level, args.output_dir = args.output_dir, None
    if args.analysis_level is not None and args.analysis_level not in BIDS_LEVELS:
        parser.error(f"the analysis level is participant or group, not {args.analysis_level!r}")
    if args.scheduler is not None and args.jobs is not None:
        parser.error("--jobs sets up a local cluster; it cannot be combined with --scheduler")
    for option, labels in (("--participant-label", args.participant_label), ("--session-label", args.session_label)):
        for label in labels:
            if not label or any(c in label for c in "/\\_") or label in ("sub-", "ses-"):
                parser.error(f"{option}: not a label: {label!r}")


def _one_line(message: str) -> str:
    return " ".join(str(message).split("\n")).strip() or "failed"


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        args, extra = parser.parse_known_args(argv)
        if args.command is None:
            if extra:
                parser.error(f"unrecognized arguments: {' '.join(extra)}")
            parser.print_help(sys.stderr)
            return EXIT_USAGE
        if extra:
            _subparser(parser, args.command).error(f"unrecognized arguments: {' '.join(extra)}")
        _validate(parser, args)
        words = list(sys.argv[1:] if argv is None else argv)
    except SystemExit as exc:  # argparse: --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else (EXIT_OK if exc.code is None else EXIT_USAGE)

    if hasattr(sys.stdout, "reconfigure"):
        with contextlib.suppress(Exception):
            sys.stdout.reconfigure(errors="replace")
    try:
        module = _module()
        if args.command == "repair":
            return cmd_repair(args, module, words)
        return HANDLERS[args.command](args, module)
    except CliError as exc:
        sys.stderr.write(f"dirsieve: error: {_one_line(exc)}\n")
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (dirsieve ... | head); say nothing more.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except KeyboardInterrupt:
        sys.stderr.write("dirsieve: interrupted\n")
        return 130
