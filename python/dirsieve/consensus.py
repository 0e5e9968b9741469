"""A flip verdict that holds across sampling scales.

The module scores fiber coherence at one sampling distance (by default about 4 mm, at least one
voxel). On clinical scans with 12 to 20 directions and 2 to 3 mm voxels the true transform does
rank first there, but often by well under 2%, so a wrong table ends in WARN rather than FLAG.
Scoring the same fit further out (2, 3 and 4 voxels) separates the candidates far better, and a
winner that is the same at every scale is much harder to get by chance than a narrow win at one.

:func:`run_consensus` runs the module's flip detection at the base scale (the module's default
``step``, or the caller's) and at 2, 3 and 4 voxels, and :func:`decide` turns the per-scale winners
into one verdict:

* FLAG: the same non-identity class wins at every scale and the largest relative margin reaches
  the margin threshold; the recommended transform is that class's winning candidate.
* PASS: the identity class (+x+y+z or -x-y-z) wins at every scale.
* WARN: anything else: the scales disagree, or they agree on a transform by too small a margin.

A class is a candidate up to sign-equivalence: a matrix and its negation are one class, because a
principal direction and its negative are the same fiber.

The module's reports are never changed; the consensus travels beside them
(``{"report": <module report>, "consensus": {...}}``, see :meth:`ConsensusRun.document`).
:func:`repair_with_consensus` writes corrected files through the module's own ``repair``, so
backups, overwrite protection and provenance are exactly the module's.
"""

from __future__ import annotations

import gzip
import hashlib
import json
import math
import struct
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

__all__ = [
    "DEFAULT_MARGIN_THRESHOLD",
    "EXTRA_STEPS",
    "ConsensusError",
    "ScaleVerdict",
    "Consensus",
    "ConsensusRun",
    "RepairOutcome",
    "label_of_matrix",
    "matrix_of_label",
    "class_of",
    "is_identity_class",
    "default_step",
    "decide",
    "run_consensus",
    "repair_with_consensus",
    "overall_status",
    "exit_code",
    "render_consensus",
]

DEFAULT_MARGIN_THRESHOLD = 0.02
EXTRA_STEPS = (2.0, 3.0, 4.0)

EXIT_OK = 0
EXIT_WARN = 3
EXIT_FLAG = 4

_AXES = "xyz"

# Keyword arguments each module function accepts besides its positional paths.
_DETECT_KEYWORDS = ("bvec", "bval", "grad", "mask", "tolerance", "b0_threshold", "shell", "step",
                    "margin_threshold", "threads")
_REPAIR_KEYWORDS = _DETECT_KEYWORDS + ("out_grad", "provenance", "dry_run", "in_place", "strict",
                                       "norm_tolerance")

Matrix = Tuple[Tuple[float, float, float], Tuple[float, float, float], Tuple[float, float, float]]


class ConsensusError(Exception):
    """The consensus cannot do what was asked (for example a repair without a common transform)."""


# --------------------------------------------------------------------------- candidate classes


def _as_matrix(matrix) -> Matrix:
    rows = tuple(tuple(float(v) + 0.0 for v in row) for row in matrix)  # + 0.0 folds -0.0 into 0.0
    if len(rows) != 3 or any(len(r) != 3 for r in rows):
        raise ValueError("expected a 3x3 matrix")
    return rows  # type: ignore[return-value]


def matrix_of_label(label: str) -> Matrix:
    """The signed permutation of a label such as ``"+y-z+x"``: row i takes the named axis with its sign."""
    if not isinstance(label, str) or len(label) != 6:
        raise ValueError(f"not a transform label: {label!r}")
    rows = []
    used = set()
    for i in range(3):
        sign, axis = label[2 * i], label[2 * i + 1]
        if sign not in "+-" or axis not in _AXES or axis in used:
            raise ValueError(f"not a transform label: {label!r}")
        used.add(axis)
        row = [0.0, 0.0, 0.0]
        row[_AXES.index(axis)] = 1.0 if sign == "+" else -1.0
        rows.append(tuple(row))
    return tuple(rows)  # type: ignore[return-value]


def label_of_matrix(matrix) -> str:
    """The label of a signed permutation matrix; ValueError for anything else."""
    m = _as_matrix(matrix)
    pieces = []
    used = set()
    for row in m:
        nonzero = [(k, v) for k, v in enumerate(row) if v != 0.0]
        if len(nonzero) != 1 or abs(nonzero[0][1]) != 1.0 or nonzero[0][0] in used:
            raise ValueError(f"not a signed axis permutation: {m}")
        k, v = nonzero[0]
        used.add(k)
        pieces.append(("+" if v > 0 else "-") + _AXES[k])
    return "".join(pieces)


def class_of(matrix) -> Matrix:
    """The representative of the matrix's sign-equivalence class: the member whose last row is positive.

    That is the member that comes first in the module's candidate order (of sign codes f and 7 - f
    the smaller has a positive third sign), so it is the label the module reports as ``best``.
    """
    m = _as_matrix(matrix)
    last = next((v for v in m[2] if v != 0.0), 1.0)
    if last < 0:
        m = tuple(tuple(-v + 0.0 for v in row) for row in m)  # type: ignore[assignment]
    return m


_IDENTITY: Matrix = ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))


def is_identity_class(matrix) -> bool:
    return class_of(matrix) == _IDENTITY


# --------------------------------------------------------------------------- default step


def _voxel_sizes(path: str) -> Optional[Tuple[float, float, float]]:
    """pixdim[1..3] of a NIfTI-1 header, as the module reads them; None when the header is not one."""
    try:
        with open(path, "rb") as raw:
            magic = raw.read(2)
        opener = gzip.open if magic == b"\x1f\x8b" else open
        with opener(path, "rb") as f:
            header = f.read(348)
    except (OSError, EOFError, gzip.BadGzipFile):
        return None
    if len(header) < 348:
        return None
    for order in "<>":
        if struct.unpack_from(order + "i", header, 0)[0] == 348:
            pixdim = struct.unpack_from(order + "8f", header, 76)
            return float(pixdim[1]), float(pixdim[2]), float(pixdim[3])
    return None


def default_step(dwi: str) -> Optional[float]:
    """The sampling distance (in voxels) the module uses when no ``step`` is given, or None if unknown.

    Used only to avoid scoring the same distance twice (2 mm voxels make the default exactly 2).
    """
    sizes = _voxel_sizes(dwi)
    if sizes is None:
        return None
    m = (sizes[0] + sizes[1] + sizes[2]) / 3.0
    if m > 0 and 4.0 / m > 1.0:
        return 4.0 / m
    return 1.0


# --------------------------------------------------------------------------- decision


def _number(value) -> float:
    return float("nan") if value is None else float(value)


def _json_number(value: Optional[float]):
    if value is None or not math.isfinite(value):
        return None
    return value


def _scale_name(step: Optional[float], voxels: Optional[float]) -> str:
    distance = f"{_plain(voxels)} voxels" if voxels is not None else "module default"
    if step is None:
        return f"default step ({distance})" if voxels is not None else "default step"
    return distance


def _plain(value: Optional[float]) -> str:
    if value is None:
        return "?"
    if math.isfinite(value) and float(value).is_integer():
        return str(int(value))
    return f"{value:.2f}"


def _percent(value: float) -> str:
    return "n/a" if not math.isfinite(value) else f"{100.0 * value:.1f}%"


@dataclass(frozen=True)
class ScaleVerdict:
    """The module's flip result at one sampling distance."""

    step: Optional[float]  # the value passed to the module; None means its default
    voxels: Optional[float]  # the sampling distance in voxels, when known
    label: str  # the module's best candidate
    matrix: Matrix
    class_label: str  # the label of the best candidate's sign-equivalence class
    identity_class: bool
    relative_margin: float
    margin: float
    runner_up: str
    decision: str  # the module's own decision at this scale

    @classmethod
    def from_flip(cls, flip: dict, step: Optional[float], voxels: Optional[float] = None) -> "ScaleVerdict":
        best = flip["best"]
        matrix = _as_matrix(best["matrix"])
        representative = class_of(matrix)
        return cls(step=step, voxels=voxels if voxels is not None else step, label=best["label"],
                   matrix=matrix, class_label=label_of_matrix(representative),
                   identity_class=representative == _IDENTITY,
                   relative_margin=_number(flip.get("relative_margin")), margin=_number(flip.get("margin")),
                   runner_up=flip.get("runner_up", {}).get("label", ""), decision=flip["decision"])

    @property
    def name(self) -> str:
        return _scale_name(self.step, self.voxels)

    def to_json(self) -> dict:
        return {"step": self.step, "voxels": _json_number(self.voxels), "label": self.label,
                "identity_class": self.identity_class, "relative_margin": _json_number(self.relative_margin),
                "runner_up": self.runner_up, "decision": self.decision}


@dataclass(frozen=True)
class Consensus:
    status: str  # "PASS", "WARN" or "FLAG"
    label: Optional[str]  # the common winner on FLAG (and on WARN when the scales agree), else None
    transform: Optional[Matrix]  # the matrix of ``label``
    agreed: bool  # every scale has the same winning class
    max_relative_margin: float  # NaN when no scale has a finite margin
    max_margin_scale: Optional[ScaleVerdict]  # the scale that carried it
    margin_threshold: float
    scales: Tuple[ScaleVerdict, ...]
    disagreeing: Tuple[str, ...]  # names of the scales whose winner differs from the most common one
    message: str

    def to_json(self) -> dict:
        best = self.max_margin_scale
        return {
            "status": self.status,
            "recommended_label": self.label if self.status == "FLAG" else None,
            "recommended_transform": [list(r) for r in self.transform] if self.status == "FLAG" else None,
            "common_label": self.label,
            "max_relative_margin": _json_number(self.max_relative_margin),
            "max_margin_step": best.step if best is not None else None,
            "max_margin_voxels": _json_number(best.voxels) if best is not None else None,
            "margin_threshold": self.margin_threshold,
            "disagreeing_scales": list(self.disagreeing),
            "scales": [s.to_json() for s in self.scales],
            "message": self.message,
        }


def _check_threshold(threshold: float) -> float:
    threshold = float(threshold)
    if not (math.isfinite(threshold) and 0.0 < threshold <= 1.0):
        raise ValueError(f"margin threshold must be finite and in (0, 1]: {threshold}")
    return threshold


def decide(scales: Sequence[ScaleVerdict], margin_threshold: float = DEFAULT_MARGIN_THRESHOLD) -> Consensus:
    """The consensus over the per-scale results (in scale order)."""
    threshold = _check_threshold(margin_threshold)
    scales = tuple(scales)
    if not scales:
        raise ValueError("no scales to decide on")

    finite = [s for s in scales if math.isfinite(s.relative_margin)]
    best = max(finite, key=lambda s: s.relative_margin) if finite else None  # first of equals wins
    top = best.relative_margin if best is not None else float("nan")

    counts: Dict[str, int] = {}
    for s in scales:
        counts[s.class_label] = counts.get(s.class_label, 0) + 1
    agreed = len(counts) == 1
    # The reference for "disagreeing" is the most frequent class; ties go to the earliest scale's class.
    common = max(counts, key=lambda c: (counts[c], -[s.class_label for s in scales].index(c)))
    disagreeing = tuple(s.name for s in scales if s.class_label != common)

    label = transform = None
    if agreed and scales[0].identity_class:
        status = "PASS"
        message = (f"the table's axes fit the fibres best at every scale ({len(scales)} of {len(scales)}); "
                   f"largest margin {_percent(top)}")
    elif agreed:
        label = scales[0].class_label
        transform = matrix_of_label(label)
        if top >= threshold:
            status = "FLAG"
            message = (f"{label} wins at every scale ({len(scales)} of {len(scales)}); largest margin "
                       f"{_percent(top)} at {best.name} reaches the {_percent(threshold)} threshold")
        else:
            status = "WARN"
            message = (f"{label} wins at every scale, but the largest margin, {_percent(top)}"
                       f"{' at ' + best.name if best is not None else ''}, is below the "
                       f"{_percent(threshold)} threshold")
    else:
        status = "WARN"
        winners = ", ".join(f"{s.name}: {s.label}" for s in scales)
        message = f"the scales disagree on the best transform ({winners})"
    return Consensus(status=status, label=label, transform=transform, agreed=agreed,
                     max_relative_margin=top, max_margin_scale=best, margin_threshold=threshold,
                     scales=scales, disagreeing=disagreeing, message=message)


# --------------------------------------------------------------------------- running


def _module(module):
    if module is not None:
        return module
    import _dirsieve

    return _dirsieve


def _pick(keywords: dict, allowed: Sequence[str]) -> dict:
    return {k: v for k, v in keywords.items() if k in allowed}


@dataclass
class ConsensusRun:
    consensus: Consensus
    report_text: str  # the module's report at the base scale, unchanged
    reports: List[dict]  # the parsed module report of every scale, in scale order
    glyphs: Optional[dict] = None  # the base scale's glyph dict, when asked for
    calls: int = 0  # module calls made by run_consensus (a given base report is not counted)
    keywords: dict = field(default_factory=dict)  # the analysis keywords every scale used

    @property
    def report(self) -> dict:
        return self.reports[0]

    def document(self, report_text: Optional[str] = None) -> str:
        """Compact JSON {"report": <module report>, "consensus": {...}}; the module's text is kept verbatim."""
        return consensus_document(report_text if report_text is not None else self.report_text, self.consensus)


def consensus_document(report_text: str, consensus: Consensus, extra: Optional[dict] = None) -> str:
    body = consensus.to_json()
    if extra:
        body.update(extra)
    text = json.dumps(body, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    return '{"report":' + report_text + ',"consensus":' + text + "}"


def _flip_of(report: dict) -> dict:
    flip = report.get("flip")
    if not flip:
        raise ConsensusError("the report has no flip result to build a consensus on")
    return flip


def run_consensus(dwi: str, *, module=None, base_report: Optional[str] = None, glyphs: bool = False,
                  steps: Sequence[float] = EXTRA_STEPS, **keywords) -> ConsensusRun:
    """Score the flip at the base scale and at ``steps`` voxels, and decide.

    ``keywords`` are the module keywords of the analysis (``bvec``/``bval`` or ``grad``, ``mask``,
    ``tolerance``, ``b0_threshold``, ``shell``, ``step``, ``margin_threshold``, ``threads``); pass
    only those the user gave, so the module's defaults apply to the rest. ``step`` sets the base
    scale (default: the module's own). ``base_report`` is the report text of a call the caller has
    already made at the base scale with the same keywords (an ``audit`` for instance); it is reused
    instead of a new detection, which saves one load and fit. With ``glyphs`` the base scale uses
    ``detect_flip_with_glyphs`` (the fit, and so the glyphs, do not depend on the step).

    Every scale is a separate module call, and every call reads the DWI and fits the tensors
    again: the module keeps nothing between calls. A scale equal to the base distance is skipped.
    """
    mod = _module(module)
    threshold = keywords.get("margin_threshold", DEFAULT_MARGIN_THRESHOLD)
    _check_threshold(threshold)
    detect = _pick(keywords, _DETECT_KEYWORDS)
    base_step = detect.pop("step", None)
    base_voxels = float(base_step) if base_step is not None else default_step(dwi)

    calls = 0
    glyph_dict = None
    if base_report is None:
        if glyphs:
            base_report, glyph_dict = mod.detect_flip_with_glyphs(dwi, step=base_step, **detect)
        else:
            base_report = mod.detect_flip(dwi, step=base_step, **detect)
        calls += 1
    elif glyphs:
        raise ValueError("glyphs come with the base call; pass them yourself with base_report")
    reports = [json.loads(base_report)]
    verdicts = [ScaleVerdict.from_flip(_flip_of(reports[0]), base_step, base_voxels)]

    for s in steps:
        s = float(s)
        if base_voxels is not None and s == base_voxels:
            continue
        text = mod.detect_flip(dwi, step=s, **detect)
        calls += 1
        reports.append(json.loads(text))
        verdicts.append(ScaleVerdict.from_flip(_flip_of(reports[-1]), s))

    consensus = decide(verdicts, threshold)
    kept = dict(detect)
    if base_step is not None:
        kept["step"] = base_step
    return ConsensusRun(consensus=consensus, report_text=base_report, reports=reports, glyphs=glyph_dict,
                        calls=calls, keywords=kept)


# --------------------------------------------------------------------------- repair


@dataclass
class RepairOutcome:
    report_text: str  # the module's repair report, unchanged
    label: str  # the transform that was applied (always the consensus one)
    step: Optional[float]  # the step the repair scored at
    glyphs: Optional[dict] = None

    @property
    def report(self) -> dict:
        return json.loads(self.report_text)


def _digest(path: str) -> Optional[str]:
    h = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                h.update(chunk)
    except OSError:
        return None
    return h.hexdigest()


def _inputs_unchanged(report: dict) -> Optional[str]:
    """The first gradient input whose content differs from what the report recorded, or None."""
    for record in report.get("inputs", []):
        if _digest(record["path"]) != record["sha256"]:
            return record["path"]
    return None


def repair_plan(consensus: Consensus, *, force: bool = False) -> Optional[ScaleVerdict]:
    """The scale to repair at, or None when the consensus calls for no repair.

    FLAG repairs; WARN repairs only with ``force`` and only when every scale agrees on one
    transform (scales that disagree leave no common transform, so that is refused); PASS never.
    """
    if consensus.status == "PASS":
        return None
    if consensus.status == "WARN":
        if not force:
            return None
        if not consensus.agreed:
            raise ConsensusError("cannot force a repair: " + consensus.message + "; there is no common transform")
    scale = consensus.max_margin_scale
    if scale is None:  # every margin NaN: nothing says which scale to trust
        raise ConsensusError("cannot repair: no scale has a usable margin")
    # By construction the module's decision at that scale is not PASS (its best is the common
    # non-identity class) and its best label is the common one; check it rather than trust it.
    if scale.decision == "PASS" or scale.label != consensus.label:
        raise ConsensusError(f"cannot repair: at {scale.name} the module chose {scale.label} ({scale.decision}), "
                             f"not the consensus {consensus.label}")
    return scale


def repair_with_consensus(run: ConsensusRun, dwi: str, out_bvec: str, out_bval: str, *, module=None,
                          force: bool = False, glyphs: bool = False, **keywords) -> Optional[RepairOutcome]:
    """Write the table corrected by the consensus transform, through the module's ``repair``.

    Returns None when the consensus calls for no repair (PASS, or WARN without ``force``); nothing
    is written then. Otherwise calls ``repair`` at the scale with the largest margin with
    ``force_repair`` (the module's own margin there may round to just under the threshold on a
    refit), and checks that the module applied the consensus label. ``keywords`` are the repair's
    further module keywords (``out_grad``, ``provenance``, ``dry_run``, ``in_place``, ``strict``,
    ``norm_tolerance``); the analysis keywords are taken from ``run``.
    """
    scale = repair_plan(run.consensus, force=force)
    if scale is None:
        return None
    mod = _module(module)
    changed = _inputs_unchanged(run.report)
    if changed is not None:
        raise ConsensusError(f"refusing to repair: {changed} changed since the flip was scored")

    arguments = dict(run.keywords)
    arguments.update(_pick(keywords, _REPAIR_KEYWORDS))
    arguments["step"] = scale.step
    arguments["force_repair"] = True
    if glyphs:
        text, glyph_dict = mod.repair_with_glyphs(dwi, out_bvec, out_bval, **arguments)
    else:
        text, glyph_dict = mod.repair(dwi, out_bvec, out_bval, **arguments), None
    report = json.loads(text)
    applied = (report.get("repair") or {}).get("label")
    if applied != run.consensus.label:
        written = (report.get("repair") or {}).get("outputs") or []
        what = f"applied {applied}" if applied else "made no repair"
        tail = (f"; do not use the files it wrote ({', '.join(written)}); existing files were moved to backups"
                if written else "")
        raise ConsensusError(f"refusing the repair: at {scale.name} the module {what}, "
                             f"not the consensus {run.consensus.label}{tail}")
    return RepairOutcome(report_text=text, label=applied, step=scale.step, glyphs=glyph_dict)


# --------------------------------------------------------------------------- verdict and exit code

_SEVERE_NOTE_MARKERS = ("below the DTI minimum", "rank-deficient", "(ill-conditioned scheme)",
                        "b0 signal drift is large")
_AMPLITUDE_NOTE_MARKER = "likely amplitude-encoded bvecs"


def overall_status(consensus: Consensus, report: Optional[dict] = None, *, strict: bool = False) -> str:
    """The verdict to act on: the consensus, raised to WARN where the module's scheme rules raise a PASS.

    The module raises a PASS to WARN for an amplitude-encoded table, and with ``strict`` for a
    severe scheme finding; a consensus PASS gets the same treatment. (The module applies those
    rules only to its own PASS, so they are re-derived from the notes here.)
    """
    status = consensus.status
    if status != "PASS" or report is None:
        return status
    flip = report.get("flip") or {}
    if report.get("status") == "WARN" and flip.get("decision") == "PASS":
        return "WARN"
    notes = report.get("notes") or []
    if any(_AMPLITUDE_NOTE_MARKER in n for n in notes):
        return "WARN"
    if strict and any(m in n for n in notes for m in _SEVERE_NOTE_MARKERS):
        return "WARN"
    return status


def exit_code(status: str, fail_on_flag: bool = False) -> int:
    if status == "WARN":
        return EXIT_WARN
    if status == "FLAG" and fail_on_flag:
        return EXIT_FLAG
    return EXIT_OK


def render_consensus(consensus: Consensus) -> List[str]:
    """Plain text lines: one row per scale, then the verdict sentence."""
    rows = [("scale", "best", "margin", "module")]
    for s in consensus.scales:
        mark = " *" if s is consensus.max_margin_scale else ""
        rows.append((s.name, s.label, _percent(s.relative_margin) + mark, s.decision))
    widths = [max(len(r[k]) for r in rows) for k in range(4)]
    lines = [f"Multi-scale consensus: {consensus.status}"]
    lines += ["  " + "  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
    lines.append(f"  {consensus.message}")
    return lines
