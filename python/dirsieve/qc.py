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
* the title: the verdict, its confidence and the margin, z and blocks at every walking distance.

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
           "FigureData", "Panel", "Strokes"]

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
    image's voxel axes (physical components along each voxel axis).
    """
    nx, ny, nz = (int(v) for v in glyphs["shape"])
    n = nx * ny * nz
    v1 = np.frombuffer(glyphs["v1"], dtype="<f4")
    fa = np.frombuffer(glyphs["fa"], dtype="<f4")
    mask = np.frombuffer(glyphs["mask"], dtype=np.uint8)
    s0 = np.frombuffer(glyphs["s0"], dtype="<f4") if "s0" in glyphs else np.ones(n, dtype="<f4")
    if v1.size != 3 * n or fa.size != n or mask.size != n or s0.size != n:
        raise ValueError("glyph arrays do not match the image shape")
    affine = np.asarray(glyphs.get("affine", np.diag([1.0, 1.0, 1.0, 1.0])), dtype=np.float64)
    return {
        "shape": (nx, ny, nz),
        "v1": v1.reshape(nx, ny, nz, 3).astype(np.float64),
        "fa": fa.reshape(nx, ny, nz).astype(np.float64),
        "s0": s0.reshape(nx, ny, nz).astype(np.float64),
        "mask": mask.reshape(nx, ny, nz) != 0,
        "frame_map": np.asarray(glyphs["frame_map"], dtype=np.float64),
        "voxel_sizes": [float(v) for v in glyphs["voxel_sizes"]],
        "affine": affine,
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


# --------------------------------------------------------------------------- title


def _pct(value) -> str:
    return "n/a" if value is None else f"{100.0 * float(value):.1f}%"


def _z(value) -> str:
    if value is None:
        return "n/a"
    return "certain" if abs(float(value)) >= 1e6 else f"{float(value):.1f}"


def title_lines(report: dict, verdict: Optional[dict] = None, source: str = "") -> List[str]:
    """The figure's title: verdict and confidence, the evidence per distance, the reason.

    From the verdict when there is one; otherwise from the module's single-distance flip section.
    """
    lines: List[str] = []
    if verdict is not None:
        status = verdict.get("status", "?")
        head = status
        if status == "FLAG" and verdict.get("recommended_label"):
            head += f"  fix {verdict['recommended_label']}"
        head += f"   confidence z = {_z(verdict.get('confidence'))}"
        lines.append(head)
        parts = [f"{float(d['distance_mm']):.1f} mm: {d.get('winner', '?')} by {_pct(d.get('relative_margin'))} over "
                 f"{d.get('runner_up', '?')}, z {_z(d.get('z'))}, {d.get('n_blocks')} blocks"
                 for d in verdict.get("distances", [])]
        if not parts:
            parts = ["no distance scored"]
        line = ""
        for part in parts:  # as many distances to a line as fit the figure's width
            if line and len(line) + 5 + len(part) > 150:
                lines.append(line)
                line = ""
            line = f"{line}   |   {part}" if line else part
        lines.append(line)
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


_AXIS_NAMES = (("L", "R"), ("P", "A"), ("I", "S"))
# view -> (fixed axis, (horizontal axis, sign), (vertical axis, sign)). Sagittal: anterior on the left.
_VIEWS = {"axial": (2, (0, 1), (1, 1)), "coronal": (1, (0, 1), (2, 1)), "sagittal": (0, (1, -1), (2, 1))}


def _choose_rows(report: dict, verdict: Optional[dict]):
    """Stroke rows, their transforms, and the transform the third column looks at with a short note.

    A FLAG shows its fix; a WARN whose distances agree on another transform shows what that would
    do (marked as not certain). Otherwise there is one row and the third column looks at the
    closest competitor: a distance's non-identity winner, else the runner-up.
    """
    rows: List[str] = ["table as given"]
    transforms: List[Optional[np.ndarray]] = [None]

    def with_row(caption: str, m, label):
        m = np.asarray(m, dtype=np.float64)
        return rows + [caption], transforms + [m], m, label, ""

    if verdict is not None:
        status = verdict.get("status")
        if status == "FLAG" and verdict.get("recommended_transform") is not None:
            label = verdict.get("recommended_label")
            return with_row(f"after {label} (the fix)", verdict["recommended_transform"], label)
        common = verdict.get("common_transform")
        if status == "WARN" and common is not None and not _is_identity_class(np.asarray(common, dtype=float)):
            label = verdict.get("common_label")
            return with_row(f"if {label} were applied (not certain enough to fix)", common, label)
        for d in verdict.get("distances", []):
            if not d.get("identity_class") and d.get("winner_matrix") is not None:
                return (rows, transforms, np.asarray(d["winner_matrix"], dtype=np.float64), d.get("winner"),
                        f" (wins at {float(d['distance_mm']):.1f} mm)")
        for d in verdict.get("distances", []):
            m = _label_matrix(d.get("runner_up"))
            if m is not None:
                return rows, transforms, m, d.get("runner_up"), " (runner-up)"
        return rows, transforms, None, None, ""
    flip = report.get("flip") or {}
    if flip.get("decision") == "FLAG" and flip.get("recommended_transform") is not None:
        label = flip.get("recommended_label")
        return with_row(f"after {label} (the fix)", flip["recommended_transform"], label)
    for key, note in (("best", " (best candidate)"), ("runner_up", " (runner-up)")):
        entry = flip.get(key) or {}
        if entry.get("matrix") is not None:
            m = np.asarray(entry["matrix"], dtype=np.float64)
            if not _is_identity_class(m):
                return rows, transforms, m, entry.get("label"), note
    return rows, transforms, None, None, ""


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
    return {
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
             shape: Sequence[int], sizes) -> Strokes:
    """One stroke per cell of a grid thinned to about STROKES_PER_SIDE across the window."""
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
    d = _unit(grid["v1"][at].astype(np.float64), matrix)
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


def figure_data(report: dict, glyphs: dict, verdict: Optional[dict] = None, source: str = "") -> FigureData:
    """Choose the regions, slices, windows and strokes of the figure (no drawing; needs nibabel)."""
    data = glyph_arrays(glyphs)
    grid = _reslice(data)
    rows, transforms, alternative, alternative_label, alternative_note = _choose_rows(report, verdict)
    shape = tuple(int(n) for n in grid["fa"].shape)
    sizes = grid["sizes"]
    fa = np.clip(np.nan_to_num(grid["fa"], nan=0.0), 0.0, 1.0)
    foreground = _foreground(grid["s0"])
    sample_mask = grid["mask"] & (fa >= SAMPLE_FA)
    if np.count_nonzero(sample_mask) < 50:  # too few scored voxels to place regions by: any anisotropic tissue
        sample_mask = foreground & (fa >= SAMPLE_FA)
    fg = np.nonzero(foreground)
    centre = np.array([float(np.mean(i)) if i.size else (n - 1) / 2.0 for i, n in zip(fg, shape)])
    sample = _Sample(sample_mask, fa, grid["v1"], centre, sizes)

    matrices = [_to_anatomy(grid, data["frame_map"], t) for t in transforms]
    # Regions are placed by the directions the figure trusts most: after the fix on a FLAG.
    flagged = (verdict or {}).get("status", report.get("status")) == "FLAG" and len(matrices) > 1
    trusted = _unit(sample.v1, matrices[-1] if flagged else matrices[0])
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
        before = _unit(sample.v1, matrices[0])
        after = _unit(sample.v1, _to_anatomy(grid, data["frame_map"], alternative))
        changed = _most_changed(sample, before, after, panels, shape, sizes)
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
        for matrix in matrices:
            panel.strokes.append(_strokes(panel, grid, sample_mask, fa, matrix, data["shape"], sizes))
        plane_fa = _plane(fa, panel.fixed, panel.index, h, v)
        colour = np.abs(_unit(_plane(grid["v1"], panel.fixed, panel.index, h, v).astype(np.float64), matrices[0]))
        brightness = np.clip(plane_fa / 0.7, 0.0, 1.0) * _plane(foreground, panel.fixed, panel.index, h, v)
        panel.overview = _display(np.clip(colour * brightness[..., None], 0.0, 1.0), hs, vs)
        inside = _plane(foreground, panel.fixed, panel.index, h, v)
        panel.zoom = _display(plane_fa * inside, hs, vs)[_rows(panel, shape)]

    oblique = grid["oblique"]
    orientation = f"image axes {grid['codes']}"
    if np.isfinite(oblique) and oblique >= 1.0:
        orientation += f", {oblique:.0f}° oblique"
    note = (f"View: {CONVENTION}, resliced to the nearest RAS axes ({orientation}). Colour: principal direction "
            "(red L-R, green A-P, blue S-I), brightness FA. Strokes: in-plane principal direction on a thinned grid "
            f"where FA >= {STROKE_FA}, length = in-plane share; they should run along the bundles.")
    status = (verdict or {}).get("status") or report.get("status", "?")
    return FigureData(title=title_lines(report, verdict, source), status=status, rows=rows,
                      alternative_label=alternative_label, panels=panels, orientation=orientation,
                      note=note, voxel_sizes=sizes, shape=shape)


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
    return header, height


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
    """(x, y, string, size, colour, bold): left-aligned, capitals just below y."""
    segments: List[np.ndarray]
    colours: List[tuple]
    widths: List[float]


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
            grey = (np.clip(panel.zoom / 0.8, 0.0, 1.0) * 0.5 * 255).astype(np.uint8)
            _paste(canvas, place, np.repeat(grey[..., None], 3, axis=2))
            strokes = panel.strokes[r]
            if len(strokes.segments):
                scene.segments += list(place.points(strokes.segments))
                scene.colours += [tuple(c) for c in strokes.colours]
                scene.widths += list(1.2 + 1.4 * np.clip((strokes.fa - STROKE_FA) / 0.35, 0.0, 1.0))
            labels(panel, place, 9)
        top -= PANEL_TITLE_PX + ZOOM_PX
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
        for x, y, string, size, colour, bold in scene.texts:
            ax.text(x, y + 2, string, ha="left", va="top", fontsize=size, color=colour,
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
    for x, y, string, size, colour, bold in scene.texts:
        _paint_text(image, x, y, string, size, _rgb(colour), bold)
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
