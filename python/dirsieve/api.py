"""The typed Python interface of dirsieve.

:func:`check` audits a gradient table against its DWI and returns the verdict. First the table is
checked against itself: corrections of part of it (a run of volumes under another axis convention
or another angulation, directions moved by one or two rows, the b-values of two shells exchanged)
are scored by the residual of the tensor fit and by the fibres they give; a part decided wrong is
corrected volume by volume. Then the fitted fibre directions of the (corrected) table are scored at
several physical walking distances (by default 2, 3 and 4 times the geometric mean of the voxel
sizes), each with a block-jackknife confidence, and the table is

* ``PASS`` when it agrees with itself and its own axes fit the fibres best at every distance;
* ``FLAG`` when part of it is wrong (:attr:`Verdict.fix` says how, volume by volume), or when one
  other signed axis permutation -- or, on an oblique image, the table read in scanner axes --
  wins at every distance with confidence z >= 3 over at least 20 blocks of 16 mm (the fix is that
  transform);
* ``WARN`` otherwise, with a one-line reason (the distances disagree, the confidence is short,
  a part looks wrong but the data do not decide it, or the data cannot decide).

:func:`repair` does the same and writes the table the verdict trusts. Both run in the compiled
engine (:mod:`dirsieve._engine`): the DWI is read and fitted once.

Example::

    >>> import dirsieve
    >>> result = dirsieve.check("dwi.nii.gz", bvec="dwi.bvec", bval="dwi.bval")
    >>> result.status, result.verdict.reason
    ('FLAG', "the table's axes look wrong: +x-y+z wins at every distance ...")
    >>> [(row.distance_mm, row.winner, row.z) for row in result.verdict.distances]

Errors in the inputs (a missing file, a table that does not match the image, ...) raise
:class:`ValueError` with a one-line message naming the problem.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

__all__ = ["PathLike", "DistanceRow", "VolumeResidual", "Consistency", "VolumeFix", "Verdict", "CheckResult",
           "RepairResult", "check", "repair", "RecoveryResult", "recompute_bval", "read_table", "document_text"]

PathLike = Union[str, "os.PathLike[str]"]
Matrix = Tuple[Tuple[float, float, float], Tuple[float, float, float], Tuple[float, float, float]]


def _matrix(value: Any) -> Optional[Matrix]:
    if value is None:
        return None
    return tuple(tuple(float(x) for x in row) for row in value)  # type: ignore[return-value]


@dataclass(frozen=True)
class DistanceRow:
    """The scores at one walking distance."""

    distance_mm: float
    """How far each sample walks from its voxel, in both senses along the fibre (mm)."""
    step_voxels: Tuple[float, float, float]
    """That distance in voxels along each image axis (per unit of direction)."""
    winner: str
    """Label of the best candidate (a signed axis permutation such as ``+x-y+z``)."""
    winner_matrix: Matrix
    identity_class: bool
    """Whether the winner is the table's own axes (``+x+y+z`` or ``-x-y-z``)."""
    winner_coherence: float
    runner_up: str
    """The best candidate of another sign-equivalence class."""
    runner_up_coherence: float
    margin: float
    relative_margin: float
    mean_difference: float
    """Mean per-voxel score difference, winner minus runner-up."""
    standard_error: Optional[float]
    """Block-jackknife standard error of that mean (None with fewer than two blocks)."""
    z: float
    """``mean_difference / standard_error``: the confidence of the win."""
    n_blocks: int
    n_voxels: int
    winner_kind: str = "class"
    """``class`` (a signed axis permutation), or on an oblique image ``scanner axes``, ``image axes`` or
    ``turned`` (the classes composed with the image's rotation)."""
    challenger: Optional[Dict[str, Any]] = None
    """On an oblique image: the best candidate of the other kind, with ``label``, ``kind``, ``matrix``,
    ``coherence`` and the winner's lead over it (``mean_difference``, ``z``)."""

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> "DistanceRow":
        return cls(
            distance_mm=float(d["distance_mm"]),
            step_voxels=tuple(float(x) for x in d["step_voxels"]),  # type: ignore[arg-type]
            winner=str(d["winner"]),
            winner_matrix=_matrix(d["winner_matrix"]),  # type: ignore[arg-type]
            identity_class=bool(d["identity_class"]),
            winner_coherence=float(d["winner_coherence"]),
            runner_up=str(d["runner_up"]),
            runner_up_coherence=float(d["runner_up_coherence"]),
            margin=float(d["margin"]),
            relative_margin=float(d["relative_margin"]),
            mean_difference=float(d["mean_difference"]),
            standard_error=None if d.get("standard_error") is None else float(d["standard_error"]),
            z=float(d["z"]),
            n_blocks=int(d["n_blocks"]),
            n_voxels=int(d["n_voxels"]),
            winner_kind=str(d.get("winner_kind", "class")),
            challenger=d.get("challenger"),
        )


@dataclass(frozen=True)
class VolumeResidual:
    """One diffusion-weighted volume in the consistency check."""

    volume: int
    """Its index in the image (counted from 0)."""
    b: float
    share: float
    """Its part of the residual sum of the tensor fit over the diffusion-weighted volumes (all sum to 1)."""
    misfit: float
    """Its error when predicted from a fit of the other volumes, relative to the median volume's."""
    best_misfit: float
    """The same for the direction that fits its signal best."""
    best_angle_deg: float
    """How far that direction is from its row."""
    state: str
    """``fits``; ``fits another direction`` (a table error in this volume); ``fits no direction`` (signal
    dropout or motion: never a table change)."""

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> "VolumeResidual":
        return cls(volume=int(d["volume"]), b=float(d["b"]), share=float(d["share"]), misfit=float(d["misfit"]),
                   best_misfit=float(d["best_misfit"]), best_angle_deg=float(d["best_angle_deg"]),
                   state=str(d["state"]))


@dataclass(frozen=True)
class Consistency:
    """Whether the table agrees with itself: corrections of part of it, scored by the residual of the tensor
    fit (with a block-jackknife confidence) and corroborated by the fibres they give."""

    status: str
    """``PASS`` (agrees with itself, or not checked), ``FLAG`` (a part is wrong and decided), ``WARN``."""
    reason: str
    checked: bool
    n_voxels: int
    n_blocks: int
    finding: Optional[Dict[str, Any]]
    """The decided correction: ``kind``, ``description``, ``changed`` and ``reference`` volumes, ``rows``."""
    undecided: Tuple[int, ...]
    """Volumes the data cannot decide between the candidate corrections."""
    volumes: Tuple[VolumeResidual, ...]
    """Every diffusion-weighted volume of the table as given."""
    volumes_fixed: Tuple[VolumeResidual, ...]
    """The same with the correction applied (empty without one)."""
    candidates: Tuple[Dict[str, Any], ...]
    """The corrections confirmed on the whole sample, with their evidence."""
    notes: Tuple[str, ...] = ()

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> "Consistency":
        return cls(status=str(d["status"]), reason=str(d["reason"]), checked=bool(d["checked"]),
                   n_voxels=int(d.get("n_voxels", 0)), n_blocks=int(d.get("n_blocks", 0)), finding=d.get("finding"),
                   undecided=tuple(int(v) for v in d.get("undecided", ())),
                   volumes=tuple(VolumeResidual.from_dict(v) for v in d.get("volumes", ())),
                   volumes_fixed=tuple(VolumeResidual.from_dict(v) for v in d.get("volumes_fixed", ())),
                   candidates=tuple(d.get("candidates", ())), notes=tuple(d.get("notes", ())))


@dataclass(frozen=True)
class VolumeFix:
    """A fix that is not one matrix: each listed volume's direction becomes ``matrix`` times the direction of
    row ``source`` (its own, or another for rows moved), its b-value ``b_scale`` times its own."""

    description: str
    """``"volumes 19–34: x negated relative to volumes 3–18"``."""
    changed: Tuple[int, ...]
    whole_label: Optional[str]
    """A whole-table transform the corrected table needed on top, or None."""
    whole_transform: Optional[Matrix]
    rows: Tuple[Dict[str, Any], ...]
    """``{"volume", "source", "matrix", "b_scale"}`` for every volume that changes."""

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> "VolumeFix":
        return cls(description=str(d["description"]), changed=tuple(int(v) for v in d.get("changed", ())),
                   whole_label=d.get("whole_label"), whole_transform=_matrix(d.get("whole_transform")),
                   rows=tuple(d.get("rows", ())))


@dataclass(frozen=True)
class Verdict:
    """The decision on a gradient table, with the evidence behind it."""

    status: str
    """``"PASS"``, ``"WARN"`` or ``"FLAG"``."""
    reason: str
    """One line saying why."""
    confidence: Optional[float]
    """The smallest z over the distances when every distance has the same winner, else None."""
    recommended_label: Optional[str]
    """On FLAG: the fix, as a label (corrected direction = M·g); ``"per-volume"`` when part of the table is
    wrong (then :attr:`fix` says how)."""
    recommended_transform: Optional[Matrix]
    common_label: Optional[str]
    """The winner when every distance agrees on it (also on a WARN)."""
    common_transform: Optional[Matrix]
    working_b: float
    distinct_directions: int
    directions_determine_tensor: bool
    sample: str
    """Where the scored voxels came from: ``automatic``, ``brain mask`` or ``white-matter mask``."""
    n_wm_voxels: int
    n_sampled: int
    n_blocks: int
    mask_mean_fa: float
    voxel_sizes_mm: Tuple[float, float, float]
    thresholds: Dict[str, float]
    distances: Tuple[DistanceRow, ...]
    notes: Tuple[str, ...] = field(default=())
    recommended_kind: Optional[str] = None
    """On FLAG by one matrix: ``class``, or ``scanner axes`` (and kin) for a table in the wrong frame."""
    obliquity_deg: float = 0.0
    frame_candidates: bool = False
    """Whether the classes composed with the image's rotation were scored (images oblique by 10° or more)."""
    fix: Optional[VolumeFix] = None
    """On FLAG of a table wrong in part: the fix volume by volume."""
    as_given: Optional[Dict[str, Any]] = None
    """When part of the table was corrected: the verdict on the table as given (status, reason, ...); the
    :attr:`distances` are then those of the corrected table."""
    consistency: Optional[Consistency] = None
    raw: Dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    """The verdict exactly as the engine returned it (JSON-ready)."""

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> "Verdict":
        return cls(
            status=str(d["status"]),
            reason=str(d["reason"]),
            confidence=None if d.get("confidence") is None else float(d["confidence"]),
            recommended_label=d.get("recommended_label"),
            recommended_transform=_matrix(d.get("recommended_transform")),
            common_label=d.get("common_label"),
            common_transform=_matrix(d.get("common_transform")),
            working_b=float(d["working_b"]),
            distinct_directions=int(d["distinct_directions"]),
            directions_determine_tensor=bool(d["directions_determine_tensor"]),
            sample=str(d["sample"]),
            n_wm_voxels=int(d["n_wm_voxels"]),
            n_sampled=int(d["n_sampled"]),
            n_blocks=int(d["n_blocks"]),
            mask_mean_fa=float(d["mask_mean_fa"]),
            voxel_sizes_mm=tuple(float(x) for x in d["voxel_sizes_mm"]),  # type: ignore[arg-type]
            thresholds=dict(d["thresholds"]),
            distances=tuple(DistanceRow.from_dict(r) for r in d["distances"]),
            notes=tuple(d.get("notes", ())),
            recommended_kind=d.get("recommended_kind"),
            obliquity_deg=float(d.get("obliquity_deg", 0.0)),
            frame_candidates=bool(d.get("frame_candidates", False)),
            fix=VolumeFix.from_dict(d["fix"]) if d.get("fix") else None,
            as_given=d.get("as_given"),
            consistency=Consistency.from_dict(d["consistency"]) if d.get("consistency") else None,
            raw=dict(d),
        )

    def to_dict(self) -> Dict[str, Any]:
        """The verdict as the engine returned it (JSON-ready)."""
        return dict(self.raw)


@dataclass(frozen=True)
class CheckResult:
    """What :func:`check` returns."""

    verdict: Verdict
    report_text: str
    """The module's own JSON report for the same inputs, as text (byte for byte what it wrote)."""
    glyphs: Optional[Dict[str, Any]] = None
    """Per-voxel directions, FA and the sample (with ``glyphs=True``), for pictures."""
    timing: Optional[Dict[str, Any]] = None
    """Wall-clock split over the stages (with ``profile=True``)."""
    images: Optional[List[Dict[str, Any]]] = None
    """The DWI and the mask read, each with ``path``, ``sha256`` and ``bytes`` (with ``images=True``)."""

    @property
    def status(self) -> str:
        return self.verdict.status

    @property
    def report(self) -> Dict[str, Any]:
        """The module's report, parsed."""
        return json.loads(self.report_text)

    def document_text(self) -> str:
        """``{"report": ..., "verdict": ...}`` as compact JSON, the report embedded verbatim (and
        ``"images"`` when they were recorded)."""
        return document_text(self.report_text, self.verdict.to_dict(), self.images)


@dataclass(frozen=True)
class RepairResult(CheckResult):
    """What :func:`repair` returns: the check, and what was written."""

    written: bool = False
    """Whether a table was written (on a dry run: would have been)."""
    outputs: Tuple[str, ...] = ()
    """The files written, in order (empty on a dry run or when nothing was written)."""
    committed: Tuple[Tuple[str, Optional[str]], ...] = ()
    """Each file written (provenance included) and where the file it replaced went, if anywhere."""


def _compact(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def document_text(report_text: str, verdict: Mapping[str, Any],
                  images: Optional[Sequence[Mapping[str, Any]]] = None) -> str:
    """The combined document, with the module's report text kept exactly as it was."""
    text = '{"report":' + report_text + ',"verdict":' + _compact(verdict)
    if images is not None:
        text += ',"images":' + _compact(list(images))
    return text + "}"


def _engine():
    from dirsieve import _engine as engine

    return engine


def _path(value: Optional[PathLike]) -> Optional[str]:
    return None if value is None else os.fspath(value)


def _keywords(bvec, bval, grad, mask, wm_mask, options: Dict[str, Any]) -> Dict[str, Any]:
    kw: Dict[str, Any] = {}
    for key, value in (("bvec", bvec), ("bval", bval), ("grad", grad), ("mask", mask), ("wm_mask", wm_mask)):
        if value is not None:
            kw[key] = _path(value)
    for key, value in options.items():
        if value is None:
            continue
        kw[key] = [float(v) for v in value] if key == "scales_mm" else value
    return kw


def check(
    dwi: PathLike,
    *,
    bvec: Optional[PathLike] = None,
    bval: Optional[PathLike] = None,
    grad: Optional[PathLike] = None,
    mask: Optional[PathLike] = None,
    wm_mask: Optional[PathLike] = None,
    scales_mm: Optional[Sequence[float]] = None,
    shell: Optional[float] = None,
    b0_threshold: Optional[float] = None,
    tolerance: Optional[float] = None,
    step: Optional[float] = None,
    margin_threshold: Optional[float] = None,
    strict: bool = False,
    norm_tolerance: Optional[float] = None,
    flip_only: bool = False,
    glyphs: bool = False,
    profile: bool = False,
    images: bool = False,
    threads: Optional[int] = None,
) -> CheckResult:
    """Audit the gradient table of ``dwi`` and decide whether its axes are right.

    Parameters
    ----------
    dwi
        The 4-D NIfTI-1 image (``.nii`` or ``.nii.gz``).
    bvec, bval, grad
        The table: an FSL pair, or one four-column file (x y z b in world axes).
    mask
        A brain mask on the DWI grid: the sample is its valid voxels with FA >= 0.2.
    wm_mask
        A white-matter mask, used as given (instead of ``mask``).
    scales_mm
        The walking distances in mm (default: 2, 3 and 4 times the geometric-mean voxel size).
    shell, b0_threshold, tolerance
        Working shell (nearest to 1000 by default), b0 threshold (50), shell tolerance (0.05).
    step, margin_threshold
        Only for the module's own single-distance section of the report.
    strict, norm_tolerance
        Scheme rules of the report (a strict severe finding or amplitude-encoded vectors keep the
        verdict from PASS).
    flip_only
        Flip detection alone (no scheme analysis in the report).
    glyphs, profile, images
        Also return the per-voxel data for pictures / the stage timing / the DWI's and mask's digests.
    threads
        Worker threads (default: the shared pool).

    Raises
    ------
    ValueError
        An input cannot be read or does not fit (the message names the file and the problem).
    """
    options: Dict[str, Any] = {
        "scales_mm": scales_mm, "shell": shell, "b0_threshold": b0_threshold, "tolerance": tolerance,
        "step": step, "margin_threshold": margin_threshold, "threads": threads,
    }
    if flip_only:
        if strict or norm_tolerance is not None or profile:
            raise ValueError("strict, norm_tolerance and profile belong to the full audit, not flip_only")
        out = _engine().detect_flip(os.fspath(dwi), glyphs=glyphs, images=images,
                                    **_keywords(bvec, bval, grad, mask, wm_mask, options))
    else:
        options.update({"strict": strict, "norm_tolerance": norm_tolerance, "profile": profile})
        out = _engine().audit(os.fspath(dwi), glyphs=glyphs, images=images,
                              **_keywords(bvec, bval, grad, mask, wm_mask, options))
    return CheckResult(verdict=Verdict.from_dict(out["verdict"]), report_text=out["report"],
                       glyphs=out.get("glyphs"), timing=out.get("timing"), images=out.get("images"))


def repair(
    dwi: PathLike,
    out_bvec: PathLike,
    out_bval: PathLike,
    *,
    bvec: Optional[PathLike] = None,
    bval: Optional[PathLike] = None,
    grad: Optional[PathLike] = None,
    mask: Optional[PathLike] = None,
    wm_mask: Optional[PathLike] = None,
    out_grad: Optional[PathLike] = None,
    provenance: Optional[PathLike] = None,
    scales_mm: Optional[Sequence[float]] = None,
    shell: Optional[float] = None,
    b0_threshold: Optional[float] = None,
    tolerance: Optional[float] = None,
    step: Optional[float] = None,
    margin_threshold: Optional[float] = None,
    strict: bool = False,
    norm_tolerance: Optional[float] = None,
    dry_run: bool = False,
    force: bool = False,
    force_repair: bool = False,
    glyphs: bool = False,
    images: bool = False,
    command: Optional[Sequence[str]] = None,
    threads: Optional[int] = None,
) -> RepairResult:
    """Check the table as :func:`check` does, then write the table the verdict trusts.

    On FLAG the verdict's transform is applied; on PASS the table is written unchanged, so a
    pipeline always finds its output; on WARN nothing is written unless ``force_repair`` is given
    and every distance agreed on one transform. Existing outputs are refused unless ``force``, which
    first moves each to a numbered backup (``FILE.bak``, ``FILE.bak.1``, ...). Every output is checked
    before the image is read, and all of them (provenance included) are written or none.
    ``provenance`` names a JSON record of what was done: the inputs and images with their digests,
    ``command`` (the command line, when given), every option, and the verdict that chose the transform.
    """
    options: Dict[str, Any] = {
        "out_grad": _path(out_grad), "provenance": _path(provenance), "scales_mm": scales_mm, "shell": shell,
        "b0_threshold": b0_threshold, "tolerance": tolerance, "step": step, "margin_threshold": margin_threshold,
        "strict": strict, "norm_tolerance": norm_tolerance, "dry_run": dry_run, "in_place": force,
        "force_repair": force_repair, "threads": threads,
        "command": None if command is None else [str(word) for word in command],
    }
    out = _engine().repair(os.fspath(dwi), os.fspath(out_bvec), os.fspath(out_bval), glyphs=glyphs, images=images,
                           **_keywords(bvec, bval, grad, mask, wm_mask, options))
    report = json.loads(out["report"])
    outputs: List[str] = list((report.get("repair") or {}).get("outputs", []))
    return RepairResult(verdict=Verdict.from_dict(out["verdict"]), report_text=out["report"],
                        glyphs=out.get("glyphs"), images=out.get("images"), written=bool(out["written"]),
                        outputs=tuple(outputs),
                        committed=tuple((path, backup) for path, backup in out["committed"]))


@dataclass(frozen=True)
class RecoveryResult:
    """What :func:`recompute_bval` returns."""

    summary: Dict[str, Any]
    """``b_nominal``, ``max_norm``, ``b_min``, ``b_max``, shells ``before`` and ``after``, ``outputs``."""
    summary_text: str
    committed: Tuple[Tuple[str, Optional[str]], ...] = ()


def recompute_bval(
    out_bvec: PathLike,
    out_bval: PathLike,
    *,
    bvec: Optional[PathLike] = None,
    bval: Optional[PathLike] = None,
    grad: Optional[PathLike] = None,
    out_grad: Optional[PathLike] = None,
    provenance: Optional[PathLike] = None,
    b0_threshold: Optional[float] = None,
    dry_run: bool = False,
    force: bool = False,
    allow_unit_vectors: bool = False,
    threads: Optional[int] = None,
) -> RecoveryResult:
    """Recover b-values from amplitude-encoded vectors (b = b_max (|g| / max |g|)^2), unit directions.

    A table whose vectors are already unit length is refused (there is nothing to recover, and
    recovering would merge its shells into one) unless ``allow_unit_vectors``. The outputs are
    checked first and written all or none; existing ones are refused unless ``force``.
    """
    options: Dict[str, Any] = {"out_grad": _path(out_grad), "provenance": _path(provenance),
                               "b0_threshold": b0_threshold, "dry_run": dry_run, "in_place": force,
                               "allow_unit_vectors": allow_unit_vectors, "threads": threads}
    out = _engine().recompute_bval(os.fspath(out_bvec), os.fspath(out_bval),
                                   **_keywords(bvec, bval, grad, None, None, options))
    return RecoveryResult(summary=json.loads(out["summary"]), summary_text=out["summary"],
                          committed=tuple((path, backup) for path, backup in out["committed"]))


def read_table(*, bvec: Optional[PathLike] = None, bval: Optional[PathLike] = None,
               grad: Optional[PathLike] = None) -> Dict[str, Any]:
    """Read a gradient table with every check the engine makes before an analysis.

    Returns ``directions`` (a list of [x, y, z]), ``bvals`` and ``format`` (``"fsl"`` or
    ``"mrtrix"``). Raises :class:`ValueError` naming the file, the row or column and the counts
    when the layout or a value is wrong (an FSL file given as grad, a NaN or negative b-value, ...).
    """
    return _engine().read_table(**_keywords(bvec, bval, grad, None, None, {}))
