"""QC figures: the fitted fibre directions in anatomical orientation, with the verdict.

A sign flip or an axis swap in a gradient table leaves colour FA almost unchanged (colour uses
|v1|), so people judge a table by whether the principal directions run along tracts they know. The
figure shows that evidence where it can be read:

* three columns, one region each: the corpus callosum (axial slice through the high-FA left-right
  voxels near the midline), the internal capsule (coronal slice through the high-FA superior-inferior
  voxels beside the midline) and the window where the transform in question turns the in-plane
  directions most (the fix on a FLAG; otherwise the closest competitor of the table as given);
* row 1: the whole slice in colour FA with the zoomed window outlined; row 2: the window, zoomed, with
  one stroke per cell of a thinned grid giving the in-plane principal direction for the table as
  given; row 3 (FLAG, or a WARN whose distances agree on one other transform): the same strokes after
  that transform;
* slices resliced to the nearest RAS orientation of the image affine (no interpolation), shown in
  the neurological convention (the subject's left on the left) with L/R, A/P and S/I at the edges;
* the title: the verdict, its confidence and the margin, z and blocks at every walking distance;
* under the panels (when the engine checked the table against itself): every diffusion-weighted
  volume's share of the tensor fit's residual as a bar chart, for the table as given and after a
  correction of part of it, coloured by what the volume fits and shaded where the fix changes it.

A fix of part of the table (volume by volume) draws its "after" strokes from the engine's fit of the
corrected table (``glyphs["corrected"]``), since no single matrix turns the given fit into it.

The format follows the file name (PNG, SVG, PDF, JPEG). Everything is rendered in memory and
written through a temporary file, so a failure never leaves a partial figure. Needs numpy,
matplotlib and nibabel (the ``qc`` extra); matplotlib and nibabel are imported only when a figure
is drawn.
"""

from __future__ import annotations

import io
import os
import tempfile
import textwrap
import threading
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["MissingMatplotlib", "require_matplotlib", "FORMATS", "figure_format", "glyph_arrays", "colour_fa",
           "title_lines", "figure_data", "render_figure", "write_qc", "write_run_figures", "write_atomic",
           "FigureData", "Panel", "Strokes", "ShareChart", "share_charts", "part_finding", "volume_ranges",
           "volume_ticks", "share_ticks", "share_scale", "fix_text", "STATES", "STATE_COLOURS", "CHANGED_COLOUR"]

FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf", ".jpg": "jpeg", ".jpeg": "jpeg"}

# Layout in pixels at DPI (PNG and JPEG are written at this resolution).
DPI = 100
WIDTH_PX = 1080
OVERVIEW_PX = 250
ZOOM_PX = 330
ROW_TITLE_PX = 24
PANEL_TITLE_PX = 18

WINDOW_MM = 80.0  # side of a zoomed window
STROKES_PER_SIDE = 16  # thinned grid: a stroke about every 5 mm, 20 pixels apart
SAMPLE_FA = 0.2  # regions are placed by the sampled voxels at least this anisotropic
STROKE_FA = 0.3  # strokes only where the direction is clear (white matter, not cortex or noise)
CONVENTION = "neurological (the subject's left on the left)"

_STATUS_COLOURS = {"PASS": "#2e7d32", "WARN": "#b26a00", "FLAG": "#c62828"}

# The residual-share charts.
CHART_PX = 110  # plot height of one chart
CHART_AXIS_PX = 18  # the volume numbers under it
CHART_LEFT_PX = 52  # room for the share ticks
CHART_RIGHT_PX = 14
# What a volume's fit says, in the engine's words, with what it means for the table.
STATES = {"fits": "fits its row",
          "fits another direction": "fits another direction: a table error",
          "fits no direction": "fits no direction: dropout or motion, not a table change"}
STATE_COLOURS = {"fits": "#5b7fa6", "fits another direction": "#c62828", "fits no direction": "#e08a00"}
HATCHED = frozenset({"fits no direction"})  # told apart by pattern too, not by colour alone
CHANGED_COLOUR = "#e6dcf0"  # shading behind the volumes the fix changes


class MissingMatplotlib(RuntimeError):
    pass


def require_matplotlib(option: str = "--qc"):
    """Import matplotlib's Agg canvas and nibabel, or raise MissingMatplotlib with an install hint."""
    try:
        import matplotlib

        matplotlib.use("Agg", force=True)
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise MissingMatplotlib(
            f"{option} needs matplotlib, which is not installed (pip install 'dirsieve[qc]' or pip install matplotlib)"
        ) from exc
    try:
        import nibabel.orientations  # noqa: F401
    except ImportError as exc:
        raise MissingMatplotlib(
            f"{option} needs nibabel, which is not installed (pip install 'dirsieve[qc]' or pip install nibabel)"
        ) from exc
    return Figure, FigureCanvasAgg


def figure_format(path: str) -> str:
    """The format a figure file name asks for, or ValueError naming the file and the accepted suffixes."""
    ext = os.path.splitext(os.fspath(path))[1].lower()
    if ext not in FORMATS:
        shown = f"'{ext}'" if ext else "no suffix"
        raise ValueError(f"cannot write figure {path}: {shown} is not a figure format "
                         "(use .png, .svg, .pdf, .jpg or .jpeg)")
    return FORMATS[ext]


def write_atomic(path: str, payload: bytes) -> None:
    """Write ``payload`` to ``path`` through a temporary file in the same folder and os.replace."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(payload)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


# --------------------------------------------------------------------------- data


def glyph_arrays(glyphs: dict) -> dict:
    """Unpack the glyph dict into numpy arrays on the (nx, ny, nz) grid.

    The engine packs every per-voxel array in C order with x slowest. ``v1`` is the principal
    direction in the axes of the table as given; ``frame_map`` takes such a direction to the
    image's voxel axes (physical components along each voxel axis). ``corrected`` is the fit of the
    table with a wrong part corrected (``v1`` in that table's axes), or None.
    """
    nx, ny, nz = (int(v) for v in glyphs["shape"])
    n = nx * ny * nz

    def fit(packed: dict, what: str) -> dict:
        v1 = np.frombuffer(packed["v1"], dtype="<f4")
        fa = np.frombuffer(packed["fa"], dtype="<f4")
        mask = np.frombuffer(packed["mask"], dtype=np.uint8)
        if v1.size != 3 * n or fa.size != n or mask.size != n:
            raise ValueError(f"{what} do not match the image shape")
        return {"v1": v1.reshape(nx, ny, nz, 3).astype(np.float64), "fa": fa.reshape(nx, ny, nz).astype(np.float64),
                "mask": mask.reshape(nx, ny, nz) != 0}

    given = fit(glyphs, "glyph arrays")
    s0 = np.frombuffer(glyphs["s0"], dtype="<f4") if "s0" in glyphs else np.ones(n, dtype="<f4")
    if s0.size != n:
        raise ValueError("glyph arrays do not match the image shape")
    corrected = glyphs.get("corrected")
    if corrected is not None:
        if not isinstance(corrected, dict) or not all(k in corrected for k in ("v1", "fa", "mask")):
            raise ValueError("the corrected table's glyph arrays need v1, fa and mask")
        corrected = fit(corrected, "the corrected table's glyph arrays")
    affine = np.asarray(glyphs.get("affine", np.diag([1.0, 1.0, 1.0, 1.0])), dtype=np.float64)
    return {
        "shape": (nx, ny, nz),
        **given,
        "s0": s0.reshape(nx, ny, nz).astype(np.float64),
        "frame_map": np.asarray(glyphs["frame_map"], dtype=np.float64),
        "voxel_sizes": [float(v) for v in glyphs["voxel_sizes"]],
        "affine": affine,
        "corrected": corrected,
    }


def colour_fa(v1: np.ndarray, fa: np.ndarray, frame_map: np.ndarray,
              transform: Optional[np.ndarray] = None) -> np.ndarray:
    """RGB in [0, 1] per voxel: |frame_map · T · v1| weighted by FA (unfitted voxels are black)."""
    m = frame_map if transform is None else frame_map @ np.asarray(transform, dtype=np.float64)
    direction = np.abs(v1 @ m.T)
    rgb = direction * np.clip(fa, 0.0, 1.0)[..., None]
    rgb = np.nan_to_num(rgb, nan=0.0, posinf=0.0, neginf=0.0)
    return np.clip(rgb, 0.0, 1.0)


def _label_matrix(label: Optional[str]) -> Optional[np.ndarray]:
    if not label:
        return None
    from dirsieve.phantom import transform_from_label

    try:
        return transform_from_label(label)
    except ValueError:
        return None


def _is_identity_class(m: Optional[np.ndarray]) -> bool:
    return m is not None and (np.allclose(m, np.eye(3)) or np.allclose(m, -np.eye(3)))


# --------------------------------------------------------------------------- the table against itself


def volume_ranges(volumes: Sequence[int]) -> str:
    """``3, 5–9, 12``: volume indices (counted from 0) with runs joined."""
    out: List[str] = []
    values = sorted(set(_indices(volumes)))
    i = 0
    while i < len(values):
        j = i
        while j + 1 < len(values) and values[j + 1] == values[j] + 1:
            j += 1
        out.append(str(values[i]) if j == i else f"{values[i]}, {values[j]}" if j == i + 1 else
                   f"{values[i]}\u2013{values[j]}")
        i = j + 1
    return ", ".join(out)


def _dict(value) -> Optional[dict]:
    return value if isinstance(value, dict) else None


def _indices(value) -> List[int]:
    out = []
    for v in value if isinstance(value, (list, tuple, set, frozenset)) else []:
        try:
            out.append(int(v))
        except (TypeError, ValueError):
            continue
    return out


def part_finding(verdict: Optional[dict]) -> Optional[dict]:
    """The part of the table its consistency check found wrong, or None when the table agrees with itself.

    ``{"description", "decided", "changed"}``: decided when the check found the part (whether or not
    the whole verdict could then fix it); not decided when it only suspects one (a WARN), the
    suspect then being the correction the check's reason names, else the reason itself.
    """
    c = _dict((verdict or {}).get("consistency"))
    if c is None:
        return None
    finding = _dict(c.get("finding"))
    if finding is not None and finding.get("description"):
        return {"description": str(finding["description"]), "decided": True,
                "changed": _indices(finding.get("changed"))}
    if c.get("status") != "WARN":
        return None
    suspect = _dict(c.get("suspect"))
    if suspect is not None and suspect.get("description"):
        return {"description": str(suspect["description"]), "decided": False,
                "changed": _indices(suspect.get("changed"))}
    reason = str(c.get("reason") or "")
    # "part of the table looks wrong (<the suspect>; <its evidence>), but ...": the suspect is a candidate.
    lead = "part of the table looks wrong ("
    if reason.startswith(lead):
        for candidate in c.get("candidates") or []:
            candidate = _dict(candidate) or {}
            text = candidate.get("description")
            if text and reason.startswith(f"{lead}{text};"):
                return {"description": str(text), "decided": False, "changed": _indices(candidate.get("changed"))}
    text = reason[:-len(" (not decided)")] if reason.endswith(" (not decided)") else reason
    volumes = c.get("undecided") or [v.get("volume") for v in c.get("volumes") or []
                                     if isinstance(v, dict) and v.get("state") == "fits another direction"]
    return {"description": text or "part of the table looks wrong", "decided": False, "changed": _indices(volumes)}


@dataclass
class ShareChart:
    """One bar chart: each diffusion-weighted volume's share of the residual of the tensor fit."""

    caption: str
    volumes: List[int]
    """Volume indices, counted from 0 (volumes with b about 0 are not fitted and have no bar)."""
    shares: List[float]
    states: List[str]
    """What each volume fits (a key of :data:`STATES`)."""
    changed: List[bool]
    """Whether the fix (or the suspected correction) changes the volume's row."""
    marks: str = "changed by the fix"
    """What the shaded volumes are."""

    @property
    def even(self) -> float:
        """The share of every volume if the residual were spread evenly."""
        return 1.0 / len(self.volumes) if self.volumes else 0.0


def _volume_rows(rows) -> List[Tuple[int, float, str]]:
    out = []
    for row in rows if isinstance(rows, list) else []:
        if not isinstance(row, dict):
            continue
        try:
            volume = int(row["volume"])
            share = float(row.get("share"))
        except (KeyError, TypeError, ValueError):
            continue
        if volume < 0:
            continue
        state = row.get("state") if row.get("state") in STATES else "fits"
        out.append((volume, share if np.isfinite(share) and share > 0 else 0.0, state))
    return sorted(out)


def share_charts(verdict: Optional[dict]) -> List[ShareChart]:
    """The residual-share charts of a verdict: as given, then (when a part was corrected) after that."""
    c = _dict((verdict or {}).get("consistency"))
    if c is None:
        return []
    given = _volume_rows(c.get("volumes"))
    if not given:
        return []
    fix = _dict(verdict.get("fix"))
    part = part_finding(verdict)
    if fix is not None:
        changed, marks = set(_indices(fix.get("changed"))), "changed by the fix"
    else:
        changed = set((part or {}).get("changed", []))
        marks = "the part found wrong (not fixed)" if (part or {}).get("decided") else "suspected, not decided"

    def chart(caption: str, rows) -> ShareChart:
        return ShareChart(caption, [v for v, _, _ in rows], [s for _, s, _ in rows], [t for _, _, t in rows],
                          [v in changed for v, _, _ in rows], marks)

    charts = [chart("table as given", given)]
    after = _volume_rows(c.get("volumes_fixed"))
    if after:
        if fix is not None and verdict.get("status") == "FLAG":
            caption = "after the fix"
        else:
            caption = "if the part were corrected (not applied: the verdict is not certain enough)"
        charts.append(chart(caption, after))
    return charts


def volume_ticks(slots: int, slot_px: float, min_px: float = 30.0) -> List[int]:
    """The volume indices to label along an axis of ``slots`` volumes, at least ``min_px`` apart."""
    if slots <= 0:
        return []
    step = next(s for m in (1, 10, 100, 1000, 10000, 100000) for s in (m, 2 * m, 5 * m)
                if s * slot_px >= min_px or s >= slots)
    return list(range(0, slots, step))


def share_ticks(top: float) -> List[float]:
    """Three to five share values (fractions) from 0 up to ``top`` for the chart's vertical axis."""
    top = max(float(top), 1e-6)
    step = next((s for s in (0.001, 0.002, 0.0025, 0.005, 0.01, 0.02, 0.025, 0.05, 0.1, 0.2, 0.25, 0.5)
                 if top / s <= 4.0), 0.5)
    return [i * step for i in range(int(top / step + 1e-9) + 1)]


def share_scale(charts: Sequence[ShareChart]) -> float:
    """One vertical scale for every chart (so a fix that evens the shares shows as lower bars)."""
    top = max([max(c.shares, default=0.0) for c in charts] + [1.5 * c.even for c in charts] + [1e-3])
    return top * 1.1


# --------------------------------------------------------------------------- title


def _pct(value) -> str:
    return "n/a" if value is None else f"{100.0 * float(value):.1f}%"


def _z(value) -> str:
    if value is None:
        return "n/a"
    return "certain" if abs(float(value)) >= 1e6 else f"{float(value):.1f}"


def fix_text(fix: Optional[dict]) -> str:
    """A fix of part of the table in words: the engine's description, then any whole-table transform."""
    fix = fix or {}
    text = str(fix.get("description") or "volume by volume")
    if fix.get("whole_label"):
        text += f", then {fix['whole_label']} on the whole table"
    return text


def title_lines(report: dict, verdict: Optional[dict] = None, source: str = "") -> List[str]:
    """The figure's title: verdict and confidence, the evidence per distance, the reason.

    From the verdict when there is one; otherwise from the module's single-distance flip section.
    """
    lines: List[str] = []
    if verdict is not None:
        status = verdict.get("status", "?")
        head = status
        fix = _dict(verdict.get("fix"))
        fix_line = None
        if status == "FLAG" and (fix is not None or verdict.get("recommended_label") == "per-volume"):
            what = fix_text(fix)
            # The title's first line is large: a long description goes on a line of its own.
            if len(what) <= 64:
                head += f"  fix {what}"
            else:
                head += "  fix volume by volume"
                fix_line = f"the fix, volume by volume: {what}"
        elif status == "FLAG" and verdict.get("recommended_label"):
            head += f"  fix {verdict['recommended_label']}"
        head += f"   confidence z = {_z(verdict.get('confidence'))}"
        lines.append(head)
        if fix_line:
            lines.append(fix_line)
        parts = [f"{float(d['distance_mm']):.1f} mm: {d.get('winner', '?')} by {_pct(d.get('relative_margin'))} over "
                 f"{d.get('runner_up', '?')}, z {_z(d.get('z'))}, {d.get('n_blocks')} blocks"
                 for d in verdict.get("distances", [])]
        if not parts:
            parts = ["no distance scored"]
        given = _dict(verdict.get("as_given"))
        if given is not None:  # the distances then score the corrected table
            parts[0] = f"corrected table: {parts[0]}"
        line = ""
        for part in parts:  # as many distances to a line as fit the figure's width
            if line and len(line) + 5 + len(part) > 150:
                lines.append(line)
                line = ""
            line = f"{line}   |   {part}" if line else part
        lines.append(line)
        if given is not None:
            lines += textwrap.wrap(f"the table as given: {given.get('status', '?')}, {given.get('reason') or ''}", 150)
        reason = verdict.get("reason", "")
    else:
        status = report.get("status", "?")
        flip = report.get("flip") or {}
        head = f"{status}  (single distance)"
        if flip.get("decision") == "FLAG" and flip.get("recommended_label"):
            head += f"  fix {flip['recommended_label']}"
        lines.append(head)
        if flip:
            best = (flip.get("best") or {}).get("label", "?")
            runner = (flip.get("runner_up") or {}).get("label", "?")
            lines.append(f"best {best} by {_pct(flip.get('relative_margin'))} over {runner} "
                         f"(flags at {_pct(flip.get('margin_threshold', 0.02))}), "
                         f"{flip.get('n_wm_voxels', '?')} white-matter voxels")
            reason = {"FLAG": "the table's axes look wrong at the module's single distance",
                      "WARN": "the best candidate's margin is too small to decide",
                      "PASS": "the table's axes as given fit the fibres best"}.get(flip.get("decision"), "")
        else:
            reason = "no flip check"
    if source:
        reason = f"{reason}   [{os.path.basename(os.fspath(source))}]" if reason else os.path.basename(source)
    lines += textwrap.wrap(reason, 150) or [""]
    return lines


# --------------------------------------------------------------------------- figure data


@dataclass
class Strokes:
    """The strokes of one zoomed panel for one row."""

    voxels: np.ndarray
    """(n, 3) indices into the image's own voxel grid."""
    segments: np.ndarray
    """(n, 2, 2) end points in display millimetres (x to the right, y up)."""
    colours: np.ndarray
    """(n, 3) RGB: |direction| in anatomical axes (red L-R, green A-P, blue S-I)."""
    fa: np.ndarray
    """(n,) FA of each stroke's voxel (drawn as the stroke's width)."""


@dataclass
class Panel:
    """One column: a region, its slice in anatomical axes and the zoomed window."""

    region: str
    view: str
    fixed: int
    """The anatomical axis held fixed (0 L-R, 1 P-A, 2 I-S)."""
    index: int
    """The slice index along ``fixed`` in the resliced grid."""
    horizontal: Tuple[int, int]
    """(anatomical axis, sign) shown left to right; the sign is -1 when the axis runs right to left."""
    vertical: Tuple[int, int]
    window: Tuple[int, int, int, int]
    """(h0, h1, v0, v1): the zoomed window as half-open index ranges along the two shown axes."""
    strokes: List[Strokes] = field(default_factory=list)
    """One set per stroke row."""
    overview: Optional[np.ndarray] = field(default=None, repr=False)
    """Colour FA of the whole slice, (rows, columns, 3), bottom row first."""
    zoom: Optional[np.ndarray] = field(default=None, repr=False)
    """FA of the window, (rows, columns), bottom row first."""
    zooms: List[np.ndarray] = field(default_factory=list, repr=False)
    """The same per stroke row, from the fit that row draws."""


@dataclass
class FigureData:
    """Everything the figure shows, before drawing."""

    title: List[str]
    status: str
    rows: List[str]
    """Captions of the stroke rows: the table as given, then (maybe) after the transform."""
    alternative_label: Optional[str]
    """The transform the third column looks at (the fix on a FLAG)."""
    panels: List[Panel]
    orientation: str
    """The image's own axis codes (e.g. ``PIL``) and its obliquity."""
    note: str
    voxel_sizes: Tuple[float, float, float]
    """Voxel sizes along the resliced (anatomical) axes, mm."""
    shape: Tuple[int, int, int]
    """Grid size along the resliced axes."""
    charts: List[ShareChart] = field(default_factory=list)
    """The residual share per volume: as given, then after the fix (none without a consistency check)."""


_AXIS_NAMES = (("L", "R"), ("P", "A"), ("I", "S"))
# view -> (fixed axis, (horizontal axis, sign), (vertical axis, sign)). Sagittal: anterior on the left.
_VIEWS = {"axial": (2, (0, 1), (1, 1)), "coronal": (1, (0, 1), (2, 1)), "sagittal": (0, (1, -1), (2, 1))}


@dataclass
class _Row:
    """A stroke row: its caption, the transform applied to the fit, and which fit (given or corrected)."""

    caption: str
    transform: Optional[np.ndarray]
    corrected: bool = False


def _choose_rows(report: dict, verdict: Optional[dict], have_corrected: bool = False):
    """(stroke rows, what the third column compares with the table as given or None, its label, a note).

    A FLAG shows its fix; a WARN whose distances agree on another transform shows what that would
    do (marked as not certain). Otherwise there is one row and the third column looks at the
    closest competitor: a distance's non-identity winner, else the runner-up.

    When part of the table was corrected, the verdict's transforms are in the corrected table's axes:
    they apply to the corrected fit, and with no corrected fit to draw there is nothing to compare.
    """
    rows: List[_Row] = [_Row("table as given", None)]

    def with_row(caption: str, m, label, corrected=False):
        m = None if m is None else np.asarray(m, dtype=np.float64)
        row = _Row(caption, m, corrected)
        return rows + [row], row, label, ""

    if verdict is not None:
        status = verdict.get("status")
        fix = _dict(verdict.get("fix"))
        if fix is not None or _dict(verdict.get("as_given")) is not None:
            if not have_corrected:
                return rows, None, None, ""
            if status == "FLAG" and fix is not None:
                return with_row(f"after the fix ({fix_text(fix)})", fix.get("whole_transform"), "the fix", True)
            part = part_finding(verdict) or {}
            what = part.get("description") or "the part"
            common = verdict.get("common_transform")
            if common is not None and not _is_identity_class(np.asarray(common, dtype=float)):
                return with_row(f"if {what} were corrected, then {verdict.get('common_label')} "
                                "(not certain enough to fix)", common, "the correction", True)
            return with_row(f"if {what} were corrected (not certain enough to fix)", None, "the correction", True)
        if status == "FLAG" and verdict.get("recommended_transform") is not None:
            label = verdict.get("recommended_label")
            return with_row(f"after {label} (the fix)", verdict["recommended_transform"], label)
        common = verdict.get("common_transform")
        if status == "WARN" and common is not None and not _is_identity_class(np.asarray(common, dtype=float)):
            label = verdict.get("common_label")
            return with_row(f"if {label} were applied (not certain enough to fix)", common, label)
        for d in verdict.get("distances", []):
            if not d.get("identity_class") and d.get("winner_matrix") is not None:
                return (rows, _Row("", np.asarray(d["winner_matrix"], dtype=np.float64)), d.get("winner"),
                        f" (wins at {float(d['distance_mm']):.1f} mm)")
        for d in verdict.get("distances", []):
            m = _label_matrix(d.get("runner_up"))
            if m is not None:
                return rows, _Row("", m), d.get("runner_up"), " (runner-up)"
        return rows, None, None, ""
    flip = report.get("flip") or {}
    if flip.get("decision") == "FLAG" and flip.get("recommended_transform") is not None:
        label = flip.get("recommended_label")
        return with_row(f"after {label} (the fix)", flip["recommended_transform"], label)
    for key, note in (("best", " (best candidate)"), ("runner_up", " (runner-up)")):
        entry = flip.get(key) or {}
        if entry.get("matrix") is not None:
            m = np.asarray(entry["matrix"], dtype=np.float64)
            if not _is_identity_class(m):
                return rows, _Row("", m), entry.get("label"), note
    return rows, None, None, ""


def _foreground(s0: np.ndarray) -> np.ndarray:
    """Voxels with signal: S0 above 10% of a robust maximum (fitted noise outside the head stays black)."""
    finite = np.isfinite(s0)
    if not finite.any():
        return np.zeros(s0.shape, dtype=bool)
    top = float(np.percentile(s0[finite], 99))
    if top <= 0:
        return finite
    return finite & (s0 > 0.1 * top)


_IDENTITY_ORNT = np.array([[0, 1], [1, 1], [2, 1]], dtype=float)


def _reslice(data: dict) -> dict:
    """Views of the arrays on the nearest RAS grid of the affine (no interpolation).

    ``components`` takes a direction's voxel-axis components to the resliced (anatomical) axes.
    """
    from nibabel.affines import obliquity
    from nibabel.orientations import aff2axcodes, apply_orientation, io_orientation

    affine = data["affine"]
    try:
        ornt = io_orientation(affine)
        codes = "".join(str(c) for c in aff2axcodes(affine))
        oblique = float(np.degrees(np.max(np.abs(obliquity(affine)))))
    except Exception:  # a degenerate affine: show the voxel axes as they are
        ornt, codes, oblique = _IDENTITY_ORNT, "unknown", float("nan")
    if np.any(np.isnan(ornt)):
        ornt, codes = _IDENTITY_ORNT, "unknown"
    perm = [int(a) for a in ornt[:, 0]]
    components = np.zeros((3, 3))
    sizes = [1.0, 1.0, 1.0]
    for i in range(3):
        components[perm[i], i] = float(ornt[i, 1])
        size = data["voxel_sizes"][i]
        sizes[perm[i]] = size if np.isfinite(size) and size > 0 else 1.0
    flat = np.arange(int(np.prod(data["shape"])), dtype=np.int64).reshape(data["shape"])
    corrected = data.get("corrected")
    if corrected is not None:
        corrected = {key: apply_orientation(corrected[key], ornt) for key in ("v1", "fa", "mask")}
    return {
        "corrected": corrected,
        "codes": codes,
        "oblique": oblique,
        "components": components,
        "sizes": tuple(sizes),
        "fa": apply_orientation(data["fa"], ornt),
        "s0": apply_orientation(data["s0"], ornt),
        "mask": apply_orientation(data["mask"], ornt),
        "v1": apply_orientation(data["v1"], ornt),
        "index": apply_orientation(flat, ornt),
    }


def _to_anatomy(grid: dict, frame_map: np.ndarray, transform: Optional[np.ndarray]) -> np.ndarray:
    """The 3x3 matrix taking a fitted direction (table axes) to anatomical axes, after ``transform``."""
    m = frame_map if transform is None else frame_map @ np.asarray(transform, dtype=np.float64)
    return grid["components"] @ m


def _unit(v1: np.ndarray, matrix: np.ndarray) -> np.ndarray:
    return np.nan_to_num(v1 @ matrix.T, nan=0.0, posinf=0.0, neginf=0.0)


def _plane(volume: np.ndarray, fixed: int, index: int, h: int, v: int) -> np.ndarray:
    """The slice as an array indexed [horizontal, vertical, ...]."""
    plane = np.take(volume, index, axis=fixed)
    rest = [a for a in range(3) if a != fixed]
    return plane if rest.index(h) == 0 else np.swapaxes(plane, 0, 1)


def _display(plane: np.ndarray, hs: int, vs: int) -> np.ndarray:
    """An [horizontal, vertical, ...] plane as an image: rows bottom to top, columns left to right."""
    if hs < 0:
        plane = plane[::-1]
    if vs < 0:
        plane = plane[:, ::-1]
    return np.swapaxes(plane, 0, 1)


def _window(centre_h: float, centre_v: float, n_h: int, n_v: int, size_h: float, size_v: float):
    def span(c, n, s):
        half = max(1, int(round(WINDOW_MM / 2.0 / s)))
        lo = max(0, min(int(round(c)) - half, n - 2 * half))
        return lo, min(n, lo + 2 * half)

    h0, h1 = span(centre_h, n_h, size_h)
    v0, v1 = span(centre_v, n_v, size_v)
    return h0, h1, v0, v1


class _Sample:
    """The anisotropic sampled voxels as coordinate lists (the regions are placed from these)."""

    def __init__(self, mask: np.ndarray, fa: np.ndarray, v1: np.ndarray, centre: np.ndarray, sizes):
        self.ijk = np.nonzero(mask)
        self.n = self.ijk[0].size
        self.fa = fa[self.ijk]
        self.v1 = v1[self.ijk].astype(np.float64)
        self.mm = [(self.ijk[a] - centre[a]) * sizes[a] for a in range(3)]


def _best_slice(sample: _Sample, weight: np.ndarray, fixed: int, n: int) -> Optional[int]:
    if not sample.n or weight.max(initial=0.0) <= 0:
        return None
    totals = np.bincount(sample.ijk[fixed], weights=weight, minlength=n)
    return int(np.argmax(totals))


def _region(sample: _Sample, weight: np.ndarray, view: str, region: str, shape, sizes, centre) -> Panel:
    fixed, (h, hs), (v, vs) = _VIEWS[view]
    index = _best_slice(sample, weight, fixed, shape[fixed])
    ch, cv = centre[h], centre[v]
    if index is None:
        index = int(np.clip(round(centre[fixed]), 0, shape[fixed] - 1))
        region = f"{view} slice through the centre (no {region} found)"
    else:
        here = (sample.ijk[fixed] == index) & (weight > 0)
        total = weight[here].sum()
        cv = float((sample.ijk[v][here] * weight[here]).sum() / total)
        if h != 0:  # left-right windows stay centred on the midline to show both hemispheres
            ch = float((sample.ijk[h][here] * weight[here]).sum() / total)
    window = _window(ch, cv, shape[h], shape[v], sizes[h], sizes[v])
    return Panel(region, view, fixed, index, (h, hs), (v, vs), window)


def _most_changed(sample: _Sample, before: np.ndarray, after: np.ndarray, panels: List[Panel], shape, sizes):
    """The view, slice and window where ``after`` turns the in-plane directions most (FA-weighted)."""
    best = None
    for view, (fixed, (h, hs), (v, vs)) in _VIEWS.items():
        cross = before[:, h] * after[:, v] - before[:, v] * after[:, h]
        score = sample.fa * cross * cross
        nf, nh, nv = shape[fixed], shape[h], shape[v]
        flat = (sample.ijk[fixed] * nh + sample.ijk[h]) * nv + sample.ijk[v]
        volume = np.bincount(flat, weights=score, minlength=nf * nh * nv).reshape(nf, nh, nv)
        wh = min(nh, max(1, int(round(WINDOW_MM / sizes[h]))))
        wv = min(nv, max(1, int(round(WINDOW_MM / sizes[v]))))
        c = np.zeros((nf, nh + 1, nv + 1))
        c[:, 1:, 1:] = volume.cumsum(1).cumsum(2)
        sums = c[:, wh:, wv:] - c[:, :-wh, wv:] - c[:, wh:, :-wv] + c[:, :-wh, :-wv]
        for p in panels:  # another look at a slice already shown teaches nothing new
            if p.fixed == fixed:
                near = np.abs(np.arange(nf) - p.index) * sizes[fixed] < 10.0
                sums[near] = -1.0
        k = int(np.argmax(sums))
        total = float(sums.flat[k])
        if total > 0 and (best is None or total > best[0]):
            index, h0, v0 = np.unravel_index(k, sums.shape)
            best = (total, view, int(index), h0 + wh / 2.0, v0 + wv / 2.0)
    if best is None:
        return None
    _, view, index, ch, cv = best
    fixed, hv, vv = _VIEWS[view]
    window = _window(ch, cv, shape[hv[0]], shape[vv[0]], sizes[hv[0]], sizes[vv[0]])
    return Panel("", view, fixed, index, hv, vv, window)


def _strokes(panel: Panel, grid: dict, sample_mask: np.ndarray, fa: np.ndarray, matrix: np.ndarray,
             shape: Sequence[int], sizes, directions: Optional[np.ndarray] = None) -> Strokes:
    """One stroke per cell of a grid thinned to about STROKES_PER_SIDE across the window.

    ``directions`` is the fit drawn (the given v1 by default), with ``fa`` and ``sample_mask`` of that fit.
    """
    directions = grid["v1"] if directions is None else directions
    (h, hs), (v, vs) = panel.horizontal, panel.vertical
    h0, h1, v0, v1 = panel.window
    sh, sv = sizes[h], sizes[v]
    spacing = WINDOW_MM / STROKES_PER_SIDE
    step_h = max(1, int(round(spacing / sh)))
    step_v = max(1, int(round(spacing / sv)))
    gh, gv = np.meshgrid(np.arange(h0 + step_h // 2, h1, step_h), np.arange(v0 + step_v // 2, v1, step_v),
                         indexing="ij")
    ijk = np.zeros((gh.size, 3), dtype=np.int64)
    ijk[:, panel.fixed] = panel.index
    ijk[:, h] = gh.ravel()
    ijk[:, v] = gv.ravel()
    at = (ijk[:, 0], ijk[:, 1], ijk[:, 2])
    d = _unit(directions[at].astype(np.float64), matrix)
    inplane = np.stack([hs * d[:, h], vs * d[:, v]], axis=1)
    share = np.linalg.norm(inplane, axis=1)
    keep = sample_mask[at] & (fa[at] >= STROKE_FA) & (share >= 0.2)
    ijk, d, inplane, share = ijk[keep], d[keep], inplane[keep], share[keep]
    half = 0.45 * min(step_h * sh, step_v * sv)
    centres = np.stack([hs * ijk[:, h] * sh, vs * ijk[:, v] * sv], axis=1).astype(np.float64)
    offsets = inplane / np.maximum(share, 1e-9)[:, None] * (half * share)[:, None]
    colours = np.abs(d) / np.maximum(np.abs(d).max(axis=1, keepdims=True), 1e-9)
    flat = grid["index"][ijk[:, 0], ijk[:, 1], ijk[:, 2]]
    voxels = np.stack(np.unravel_index(flat, tuple(shape)), axis=1) if flat.size else np.zeros((0, 3), np.int64)
    return Strokes(voxels=voxels.astype(np.int64), segments=np.stack([centres - offsets, centres + offsets], axis=1),
                   colours=colours, fa=fa[ijk[:, 0], ijk[:, 1], ijk[:, 2]])


def _sample_mask(mask: np.ndarray, fa: np.ndarray, foreground: np.ndarray) -> np.ndarray:
    sample_mask = mask & (fa >= SAMPLE_FA)
    if np.count_nonzero(sample_mask) < 50:  # too few scored voxels to place regions by: any anisotropic tissue
        sample_mask = foreground & (fa >= SAMPLE_FA)
    return sample_mask


def figure_data(report: dict, glyphs: dict, verdict: Optional[dict] = None, source: str = "") -> FigureData:
    """Choose the regions, slices, windows and strokes of the figure (no drawing; needs nibabel)."""
    data = glyph_arrays(glyphs)
    grid = _reslice(data)
    corrected = grid["corrected"]
    rows, alternative, alternative_label, alternative_note = _choose_rows(report, verdict, corrected is not None)
    shape = tuple(int(n) for n in grid["fa"].shape)
    sizes = grid["sizes"]
    foreground = _foreground(grid["s0"])
    fa = np.clip(np.nan_to_num(grid["fa"], nan=0.0), 0.0, 1.0)
    sample_mask = _sample_mask(grid["mask"], fa, foreground)
    # Each stroke row draws its own fit: the given one, or the corrected table's.
    fits = {False: (grid["v1"], fa, sample_mask)}
    if corrected is not None:
        fa_c = np.clip(np.nan_to_num(corrected["fa"], nan=0.0), 0.0, 1.0)
        fits[True] = (corrected["v1"], fa_c, _sample_mask(corrected["mask"], fa_c, foreground))
    fg = np.nonzero(foreground)
    centre = np.array([float(np.mean(i)) if i.size else (n - 1) / 2.0 for i, n in zip(fg, shape)])
    sample = _Sample(sample_mask, fa, grid["v1"], centre, sizes)

    def at_sample(row: _Row) -> np.ndarray:
        v1 = fits[row.corrected][0][sample.ijk] if row.corrected else sample.v1
        return _unit(v1, _to_anatomy(grid, data["frame_map"], row.transform))

    # Regions are placed by the directions the figure trusts most: after the fix on a FLAG.
    flagged = (verdict or {}).get("status", report.get("status")) == "FLAG" and len(rows) > 1
    trusted = at_sample(rows[-1] if flagged else rows[0])
    x, y, z = sample.mm
    # Corpus callosum: left-right voxels within 8 mm of the midline, near the centre.
    cc = sample.fa * ((np.abs(trusted[:, 0]) >= 0.7) & (np.abs(x) <= 8.0) & (np.abs(z) <= 40.0) & (np.abs(y) <= 60.0))
    # Internal capsule: superior-inferior voxels 8-35 mm beside the midline, central front to back, lowish.
    ic = sample.fa * ((np.abs(trusted[:, 2]) >= 0.7) & (np.abs(x) >= 8.0) & (np.abs(x) <= 35.0)
                      & (np.abs(y) <= 30.0) & (z >= -30.0) & (z <= 20.0))
    panels = [_region(sample, cc, "axial", "corpus callosum", shape, sizes, centre),
              _region(sample, ic, "coronal", "internal capsule", shape, sizes, centre)]
    changed = None
    if alternative is not None and sample.n:
        changed = _most_changed(sample, at_sample(rows[0]), at_sample(alternative), panels, shape, sizes)
        if changed is not None:
            changed.region = f"changed most by {alternative_label}{alternative_note}"
    if changed is None:
        fixed, hv, vv = _VIEWS["sagittal"]
        index = int(np.clip(round(centre[0]), 0, shape[0] - 1))
        changed = Panel("midline", "sagittal", fixed, index, hv, vv,
                        _window(centre[1], centre[2], shape[1], shape[2], sizes[1], sizes[2]))
    panels.append(changed)

    for panel in panels:
        (h, hs), (v, vs) = panel.horizontal, panel.vertical
        inside = _plane(foreground, panel.fixed, panel.index, h, v)
        for row in rows:
            v1, row_fa, row_mask = fits[row.corrected]
            matrix = _to_anatomy(grid, data["frame_map"], row.transform)
            panel.strokes.append(_strokes(panel, grid, row_mask, row_fa, matrix, data["shape"], sizes, v1))
            panel.zooms.append(_display(_plane(row_fa, panel.fixed, panel.index, h, v) * inside, hs, vs)
                               [_rows(panel, shape)])
        plane_fa = _plane(fa, panel.fixed, panel.index, h, v)
        colour = np.abs(_unit(_plane(grid["v1"], panel.fixed, panel.index, h, v).astype(np.float64),
                              _to_anatomy(grid, data["frame_map"], None)))
        brightness = np.clip(plane_fa / 0.7, 0.0, 1.0) * inside
        panel.overview = _display(np.clip(colour * brightness[..., None], 0.0, 1.0), hs, vs)
        panel.zoom = panel.zooms[0]

    oblique = grid["oblique"]
    orientation = f"image axes {grid['codes']}"
    if np.isfinite(oblique) and oblique >= 1.0:
        orientation += f", {oblique:.0f}° oblique"
    note = (f"View: {CONVENTION}, resliced to the nearest RAS axes ({orientation}). Colour: principal direction "
            "(red L-R, green A-P, blue S-I), brightness FA. Strokes: in-plane principal direction on a thinned grid "
            f"where FA >= {STROKE_FA}, length = in-plane share; they should run along the bundles.")
    if any(row.corrected for row in rows):
        note += " After a fix of part of the table the strokes are those of the corrected table's own fit."
    status = (verdict or {}).get("status") or report.get("status", "?")
    return FigureData(title=title_lines(report, verdict, source), status=status, rows=[r.caption for r in rows],
                      alternative_label=alternative_label, panels=panels, orientation=orientation,
                      note=note, voxel_sizes=sizes, shape=shape, charts=share_charts(verdict))


def _rows(panel: Panel, shape):
    """Index of the zoomed window within a displayed (possibly mirrored) plane."""
    (h, hs), (v, vs) = panel.horizontal, panel.vertical
    h0, h1, v0, v1 = panel.window
    nh, nv = shape[h], shape[v]
    cols = slice(nh - h1, nh - h0) if hs < 0 else slice(h0, h1)
    rows = slice(nv - v1, nv - v0) if vs < 0 else slice(v0, v1)
    return rows, cols


# --------------------------------------------------------------------------- drawing


def _extent(panel: Panel, sizes, h_range: Tuple[int, int], v_range: Tuple[int, int]):
    """(x0, x1, y0, y1) in display mm of the cells in the given index ranges."""
    (h, hs), (v, vs) = panel.horizontal, panel.vertical
    a, b = (h_range[0] - 0.5) * sizes[h] * hs, (h_range[1] - 0.5) * sizes[h] * hs
    c, d = (v_range[0] - 0.5) * sizes[v] * vs, (v_range[1] - 0.5) * sizes[v] * vs
    return min(a, b), max(a, b), min(c, d), max(c, d)


class _Placement:
    """Where an image of a display-mm extent lands in a pixel box (letterboxed, centred)."""

    def __init__(self, box, extent):
        x, y, w, h = box
        x0, x1, y0, y1 = extent
        scale = min(w / max(x1 - x0, 1e-9), h / max(y1 - y0, 1e-9))
        self.w = max(1, int(round((x1 - x0) * scale)))
        self.h = max(1, int(round((y1 - y0) * scale)))
        self.x = int(round(x + (w - self.w) / 2.0))
        self.y = int(round(y + (h - self.h) / 2.0))
        self.extent = extent
        self.sx = self.w / max(x1 - x0, 1e-9)
        self.sy = self.h / max(y1 - y0, 1e-9)

    def points(self, mm: np.ndarray) -> np.ndarray:
        out = np.empty_like(mm, dtype=np.float64)
        out[..., 0] = self.x + (mm[..., 0] - self.extent[0]) * self.sx
        out[..., 1] = self.y + (mm[..., 1] - self.extent[2]) * self.sy
        return out


def _paste(canvas: np.ndarray, place: _Placement, image: np.ndarray) -> None:
    """Nearest-neighbour upsampling of ``image`` (rows bottom to top) into its place on the canvas."""
    height = canvas.shape[0]
    rows = image.shape[0]
    cols = image.shape[1]
    ri = ((np.arange(place.h) + 0.5) * rows / place.h).astype(np.int64)
    ci = ((np.arange(place.w) + 0.5) * cols / place.w).astype(np.int64)
    block = image[np.clip(ri, 0, rows - 1)][:, np.clip(ci, 0, cols - 1)][::-1]
    top = height - (place.y + place.h)
    canvas[max(top, 0):top + place.h, place.x:place.x + place.w] = block[max(-top, 0):]


def _layout(fig_data: FigureData):
    header = 14 + 22 + 15 * len(fig_data.title[1:]) + 13 * _note_lines(fig_data) + 8
    height = header + PANEL_TITLE_PX + OVERVIEW_PX + len(fig_data.rows) * (ROW_TITLE_PX + PANEL_TITLE_PX + ZOOM_PX) + 6
    return header, height + _charts_height(fig_data.charts)


_LEGEND = {"fits": "fits its row", "fits another direction": "fits another direction (a table error)",
           "fits no direction": "fits no direction (dropout or motion)"}
CHART_NOTE = ("Bars: each diffusion-weighted volume's share of the residual of the tensor fit (the shares sum to "
              "100%; dashed: an even share). A volume whose row is wrong takes a large share; after a right fix "
              "the shares even out. A volume that fits no direction points to the image (signal dropout or "
              "motion), not the table. Volumes with b about 0 are not fitted and have no bar.")


def _charts_height(charts: Sequence[ShareChart]) -> int:
    if not charts:
        return 0
    return (ROW_TITLE_PX + 13 * len(textwrap.wrap(CHART_NOTE, 175)) + 4 + 16 +
            len(charts) * (PANEL_TITLE_PX + CHART_PX + CHART_AXIS_PX) + 8)


def _note_lines(fig_data: FigureData) -> int:
    return len(textwrap.wrap(fig_data.note, 175))


_FONTS: Dict[bool, object] = {}
_FONT_LOCK = threading.Lock()


def _text_bitmap(string: str, size: float, bold: bool) -> Tuple[np.ndarray, int]:
    """Coverage (0..1) of a line of text in matplotlib's own font, and its baseline row in the bitmap.

    Raster figures get their text painted this way: one FreeType pass per line, where a matplotlib
    text artist costs a layout and a draw with hinting (most of the drawing time otherwise).
    """
    from matplotlib import font_manager, ft2font

    with _FONT_LOCK:  # FT2Font objects keep state between set_text and get_image
        font = _FONTS.get(bold)
        if font is None:
            properties = font_manager.FontProperties(family="DejaVu Sans", weight="bold" if bold else "normal")
            font = _FONTS[bold] = ft2font.FT2Font(font_manager.findfont(properties))
        font.set_size(size, DPI)
        font.set_text(string, 0.0)
        font.draw_glyphs_to_bitmap(antialiased=True)
        image = np.asarray(font.get_image(), dtype=np.float32) / 255.0
        descent = int(round(font.get_descent() / 64.0))
    return image, image.shape[0] - 1 - descent


def _paint_text(canvas: np.ndarray, x: float, y: float, string: str, size: float, colour, bold: bool = False,
                ha: str = "left") -> None:
    """Paint a line whose capitals start just below y (figure pixels, y up), anchored at x by ``ha``."""
    if not string:
        return
    bitmap, baseline = _text_bitmap(string, size, bold)
    height, width = canvas.shape[:2]
    gh, gw = bitmap.shape
    cap = size * DPI / 72.0 * 0.73
    row0 = int(round(height - y + cap)) - baseline
    col0 = int(round(x - {"left": 0.0, "center": gw / 2.0, "right": float(gw)}[ha]))
    r0, c0 = max(row0, 0), max(col0, 0)
    r1, c1 = min(row0 + gh, height), min(col0 + gw, width)
    if r1 <= r0 or c1 <= c0:
        return
    alpha = bitmap[r0 - row0:r1 - row0, c0 - col0:c1 - col0, None]
    region = canvas[r0:r1, c0:c1].astype(np.float32)
    ink = np.asarray(colour, dtype=np.float32) * 255.0
    canvas[r0:r1, c0:c1] = np.clip(region * (1.0 - alpha) + ink * alpha + 0.5, 0, 255).astype(np.uint8)


def _rgb(colour) -> Tuple[float, float, float]:
    from matplotlib.colors import to_rgb

    return to_rgb(colour)


def _stamp(canvas: np.ndarray, letter: str, size: float, x: float, y: float, ha: str, va: str) -> None:
    """A white letter on a dark patch at the edge of a panel, anchored at (x, y) in figure pixels."""
    glyph, _ = _text_bitmap(letter, size, True)
    gh, gw = glyph.shape
    pw, ph = gw + 6, gh + 6
    left = int(round(x - {"left": 0, "right": pw, "center": pw / 2.0}[ha]))
    bottom = int(round(y - {"bottom": 0, "top": ph, "center": ph / 2.0}[va]))
    height, width = canvas.shape[:2]
    top_row = height - (bottom + ph)
    if top_row < 0 or left < 0 or top_row + ph > height or left + pw > width:
        return
    patch = canvas[top_row:top_row + ph, left:left + pw].astype(np.float32) * 0.25
    inner = patch[3:3 + gh, 3:3 + gw]
    patch[3:3 + gh, 3:3 + gw] = inner * (1.0 - glyph[..., None]) + 255.0 * glyph[..., None]
    canvas[top_row:top_row + ph, left:left + pw] = patch.astype(np.uint8)


@dataclass
class _Scene:
    """The figure in pixels: a raster canvas, lines over it and text on top."""

    canvas: np.ndarray
    texts: List[tuple]
    """(x, y, string, size, colour, bold[, ha]): capitals just below y, anchored at x by ha (left by default)."""
    segments: List[np.ndarray]
    colours: List[tuple]
    widths: List[float]
    bars: List[tuple] = field(default_factory=list)
    """(chart, volume, x0, x1, y0, y1): every bar of the share charts, in figure pixels (y up)."""


def _fill(canvas: np.ndarray, x0: float, y0: float, x1: float, y1: float, colour, hatch: bool = False) -> None:
    """Fill a box given in figure pixels (y up); ``hatch`` lays light diagonal stripes over it."""
    height, width = canvas.shape[:2]
    r0, r1 = max(int(round(height - y1)), 0), min(int(round(height - y0)), height)
    c0, c1 = max(int(round(x0)), 0), min(int(round(x1)), width)
    if r1 <= r0 or c1 <= c0:
        return
    ink = np.asarray(_rgb(colour), dtype=np.float32) * 255.0
    block = np.broadcast_to(ink, (r1 - r0, c1 - c0, 3)).copy()
    if hatch:
        stripes = ((np.arange(r0, r1)[:, None] + np.arange(c0, c1)[None, :]) % 6) < 2
        block[stripes] = 255.0 - 0.35 * (255.0 - ink)
    canvas[r0:r1, c0:c1] = np.clip(block + 0.5, 0, 255).astype(np.uint8)


def _dashed(scene: "_Scene", x0: float, x1: float, y: float, colour, width: float = 1.0, dash: float = 6.0,
            gap: float = 4.0) -> None:
    x = x0
    while x < x1:
        scene.segments.append(np.array([[x, y], [min(x + dash, x1), y]], dtype=np.float64))
        scene.colours.append(_rgb(colour))
        scene.widths.append(width)
        x += dash + gap


def _draw_charts(scene: "_Scene", charts: Sequence[ShareChart], top: float, width: float) -> None:
    """The residual-share charts, one under the other on one scale, from ``top`` down (figure pixels)."""
    text = scene.texts
    canvas = scene.canvas
    title = "Residual share per volume"
    text.append((10, top - 5, title, 11, "black", True))
    # The legend, on the title's line.
    x = 10 + _text_bitmap(title, 11, True)[0].shape[1] + 24.0
    entries = [(STATE_COLOURS[key], key in HATCHED, _LEGEND[key]) for key in STATES]
    if any(any(c.changed) for c in charts):
        entries.append((CHANGED_COLOUR, False, f"shaded: {charts[0].marks}"))
    for colour, hatch, label in entries:
        _fill(canvas, x, top - 16, x + 11, top - 5, colour, hatch)
        text.append((x + 15, top - 6, label, 8, "#333333", False))
        x += 15 + _text_bitmap(label, 8, False)[0].shape[1] + 14
    top -= ROW_TITLE_PX
    for line in textwrap.wrap(CHART_NOTE, 175):
        text.append((10, top, line, 8, "#555555", False))
        top -= 13
    top -= 4
    slots = max(max(c.volumes) for c in charts if c.volumes) + 1
    left, right = float(CHART_LEFT_PX), width - CHART_RIGHT_PX
    slot = (right - left) / slots
    gap = 0.12 * slot if slot >= 3.0 else 0.0
    ceiling = share_scale(charts)
    grid_colour = (0.82, 0.82, 0.82)
    for k, chart in enumerate(charts):
        text.append((10, top - 3, chart.caption[0].upper() + chart.caption[1:], 9, "black", True))
        top -= PANEL_TITLE_PX
        base = top - CHART_PX

        def at(share: float) -> float:
            return base + CHART_PX * min(max(share, 0.0), ceiling) / ceiling

        for volume, is_changed in zip(chart.volumes, chart.changed):
            if is_changed:
                _fill(canvas, left + volume * slot, base, left + (volume + 1) * slot, top, CHANGED_COLOUR)
        for tick in share_ticks(ceiling)[1:]:
            _fill(canvas, left, at(tick), right, at(tick) + 1, grid_colour)
        for tick in share_ticks(ceiling):
            text.append((left - 5, at(tick) + 5, f"{100.0 * tick:g}%", 7.5, "#333333", False, "right"))
        for volume, share, state in zip(chart.volumes, chart.shares, chart.states):
            x0 = left + volume * slot + gap
            x1 = max(left + (volume + 1) * slot - gap, x0 + 1.0)
            y1 = max(at(share), base + 1.0) if share > 0 else base
            _fill(canvas, x0, base, x1, y1, STATE_COLOURS[state], state in HATCHED)
            scene.bars.append((k, volume, x0, x1, base, y1))
        _dashed(scene, left, right, at(chart.even), "#444444")
        for a, b in (((left, base), (right, base)), ((left, base), (left, top))):
            scene.segments.append(np.array([a, b], dtype=np.float64))
            scene.colours.append((0.2, 0.2, 0.2))
            scene.widths.append(0.8)
        for volume in volume_ticks(slots, slot):
            centre = left + (volume + 0.5) * slot
            scene.segments.append(np.array([[centre, base], [centre, base - 3]], dtype=np.float64))
            scene.colours.append((0.2, 0.2, 0.2))
            scene.widths.append(0.8)
            text.append((centre, base - 5, str(volume), 7.5, "#333333", False, "center"))
        top = base - CHART_AXIS_PX
    text.append((left + (right - left) / 2.0, top + 2, "volume (counted from 0)", 8, "#333333", False, "center"))


def _scene(fig_data: FigureData) -> _Scene:
    header, height = _layout(fig_data)
    width = WIDTH_PX
    sizes = fig_data.voxel_sizes
    canvas = np.full((height, width, 3), 255, dtype=np.uint8)
    scene = _Scene(canvas, [], [], [], [])
    text = scene.texts

    status_colour = _STATUS_COLOURS.get(fig_data.status, "black")
    y = height - 10
    text.append((10, y, fig_data.title[0], 15, status_colour, True))
    y -= 26
    for line in fig_data.title[1:]:
        text.append((10, y, line, 9.5, "black", False))
        y -= 15
    for line in textwrap.wrap(fig_data.note, 175):
        text.append((10, y, line, 8, "#555555", False))
        y -= 13

    column_w = width / 3.0
    pad = 6

    def box(col: int, top: float, h: float):
        return (col * column_w + pad, top - h, column_w - 2 * pad, h)

    def labels(panel: Panel, place: _Placement, size: float):
        (h, hs), (v, vs) = panel.horizontal, panel.vertical
        left, right = _AXIS_NAMES[h] if hs > 0 else _AXIS_NAMES[h][::-1]
        bottom, top = _AXIS_NAMES[v] if vs > 0 else _AXIS_NAMES[v][::-1]
        cx, cy = place.x + place.w / 2.0, place.y + place.h / 2.0
        _stamp(canvas, left, size, place.x + 1, cy, "left", "center")
        _stamp(canvas, right, size, place.x + place.w - 1, cy, "right", "center")
        _stamp(canvas, top, size, cx, place.y + place.h - 1, "center", "top")
        _stamp(canvas, bottom, size, cx, place.y + 1, "center", "bottom")

    top = height - header
    for col, panel in enumerate(fig_data.panels):
        (h, hs), (v, vs) = panel.horizontal, panel.vertical
        text.append((col * column_w + pad, top - 3, f"{col + 1}. {panel.region}", 9.5, "black", True))
        extent = _extent(panel, sizes, (0, fig_data.shape[h]), (0, fig_data.shape[v]))
        place = _Placement(box(col, top - PANEL_TITLE_PX, OVERVIEW_PX), extent)
        _paste(canvas, place, (panel.overview * 255).astype(np.uint8))
        h0, h1, v0, v1 = panel.window
        x0, x1, y0, y1 = _extent(panel, sizes, (h0, h1), (v0, v1))
        corners = place.points(np.array([[x0, y0], [x1, y0], [x1, y1], [x0, y1], [x0, y0]]))
        scene.segments += [corners[i:i + 2] for i in range(4)]
        scene.colours += [(1.0, 0.85, 0.0)] * 4
        scene.widths += [1.3] * 4
        labels(panel, place, 8)
    top -= PANEL_TITLE_PX + OVERVIEW_PX

    for r, caption in enumerate(fig_data.rows):
        text.append((10, top - 5, caption[0].upper() + caption[1:], 11, "black" if r == 0 else status_colour, True))
        top -= ROW_TITLE_PX
        for col, panel in enumerate(fig_data.panels):
            h0, h1, v0, v1 = panel.window
            text.append((col * column_w + pad, top - 3, f"{col + 1}. {panel.view} slice {panel.index + 1}/"
                         f"{fig_data.shape[panel.fixed]}, zoomed", 8.5, "#333333", False))
            place = _Placement(box(col, top - PANEL_TITLE_PX, ZOOM_PX), _extent(panel, sizes, (h0, h1), (v0, v1)))
            zoom = panel.zooms[r] if r < len(panel.zooms) else panel.zoom
            grey = (np.clip(zoom / 0.8, 0.0, 1.0) * 0.5 * 255).astype(np.uint8)
            _paste(canvas, place, np.repeat(grey[..., None], 3, axis=2))
            strokes = panel.strokes[r]
            if len(strokes.segments):
                scene.segments += list(place.points(strokes.segments))
                scene.colours += [tuple(c) for c in strokes.colours]
                scene.widths += list(1.2 + 1.4 * np.clip((strokes.fa - STROKE_FA) / 0.35, 0.0, 1.0))
            labels(panel, place, 9)
        top -= PANEL_TITLE_PX + ZOOM_PX
    if fig_data.charts:
        _draw_charts(scene, fig_data.charts, top, width)
    return scene


def _figure(scene: _Scene, raster: bool):
    """A matplotlib Figure with the lines on one axes in pixel units.

    Raster: transparent, without the canvas or the text (both are laid in by :func:`_raster`).
    Vector: the canvas as one image under the lines, and the text as text.
    """
    Figure, FigureCanvasAgg = require_matplotlib()
    from matplotlib.collections import LineCollection

    height, width = scene.canvas.shape[:2]
    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, facecolor="none" if raster else "white")
    FigureCanvasAgg(fig)
    ax = fig.add_axes([0, 0, 1, 1])
    ax.patch.set_visible(False)
    ax.set_axis_off()
    if not raster:
        fig.figimage(scene.canvas, 0, 0, origin="upper", zorder=-1)
    if scene.segments:
        ax.add_collection(LineCollection(scene.segments, colors=scene.colours, linewidths=scene.widths,
                                         capstyle="round"))
    if not raster:
        for x, y, string, size, colour, bold, *align in scene.texts:
            ax.text(x, y + 2, string, ha=align[0] if align else "left", va="top", fontsize=size, color=colour,
                    fontweight="bold" if bold else "normal")
    ax.set_xlim(0, width)
    ax.set_ylim(0, height)
    return fig


def _raster(scene: _Scene) -> np.ndarray:
    """The figure as an (height, width, 3) uint8 image: canvas, lines laid over it, then the text."""
    fig = _figure(scene, raster=True)
    fig.canvas.draw()
    rgba = np.asarray(fig.canvas.buffer_rgba())
    alpha = rgba[..., 3:4].astype(np.float32) / 255.0
    out = rgba[..., :3].astype(np.float32) * alpha + scene.canvas.astype(np.float32) * (1.0 - alpha)
    image = np.clip(out + 0.5, 0, 255).astype(np.uint8)
    for x, y, string, size, colour, bold, *align in scene.texts:
        _paint_text(image, x, y, string, size, _rgb(colour), bold, align[0] if align else "left")
    return image


def render_figure(report: dict, glyphs: dict, verdict: Optional[dict] = None, source: str = "",
                  fmt: str = "png") -> bytes:
    """The figure as bytes in ``fmt`` (png, svg, pdf or jpeg)."""
    if fmt not in set(FORMATS.values()):
        raise ValueError(f"unknown figure format {fmt!r}")
    require_matplotlib()
    scene = _scene(figure_data(report, glyphs, verdict, source))
    buffer = io.BytesIO()
    if fmt in ("png", "jpeg"):
        from PIL import Image

        image = Image.fromarray(_raster(scene))
        if fmt == "png":
            # The figure has few distinct colours: a 256-colour palette keeps text, strokes and flat
            # fills exact at a third of the size.
            image = image.quantize(colors=256, method=Image.Quantize.FASTOCTREE, dither=Image.Dither.NONE)
            image.save(buffer, format="png", compress_level=6)
        else:
            image.save(buffer, format="jpeg", quality=88, optimize=True)
    else:
        import matplotlib

        fig = _figure(scene, raster=False)
        if fmt == "svg":
            with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": "dirsieve"}):
                fig.savefig(buffer, format="svg", dpi=DPI, metadata={"Date": None})
        else:
            fig.savefig(buffer, format="pdf", dpi=DPI, metadata={"CreationDate": None, "ModDate": None})
    return buffer.getvalue()


def write_qc(path: str, report: dict, glyphs: dict, source: str = "", verdict: Optional[dict] = None) -> str:
    """Draw the figure and write it to ``path`` in the format its suffix names; returns the format.

    Raises ValueError for a suffix that is not a figure format (before drawing) and OSError when the
    file cannot be written; nothing is left behind either way.
    """
    fmt = figure_format(path)
    payload = render_figure(report, glyphs, verdict, source, fmt)
    write_atomic(path, payload)
    return fmt


def write_run_figures(folder: str, stem: str, report: dict, verdict: Optional[dict], glyphs: dict) -> List[str]:
    """Write one run's figures into ``folder`` (``<stem>_qc.png``); returns their file names.

    For a batch: the caller gives each run its folder and stem, and lists the names it gets back in
    its summary (the dataset page loads them from there).
    """
    name = f"{stem}_qc.png"
    write_atomic(os.path.join(folder, name), render_figure(report, glyphs, verdict, source="", fmt="png"))
    return [name]
