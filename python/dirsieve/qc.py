"""The QC picture: direction-encoded colour FA maps of three orthogonal middle slices.

Colour is the principal tensor direction in image axes (red x, green y, blue z), brightness the
fractional anisotropy; the white-matter sample that the flip score used is outlined. Short strokes
show the in-plane principal direction of every sampled voxel: colour alone cannot show a sign flip
(it uses |v1|), the strokes can. The first row shows the table as given; on a FLAG verdict a second
row shows the directions after the recommended transform.

Needs numpy and matplotlib (the ``qc`` extra); matplotlib is imported only when a picture is drawn.
"""

from __future__ import annotations

import copy
import io
import os
from typing import Optional

import numpy as np

__all__ = ["MissingMatplotlib", "require_matplotlib", "glyph_arrays", "colour_fa", "write_qc", "picture_size",
           "report_for_picture"]

WIDTH_PX = 900
ROW_PX = 300
HEADER_PX = 60
DPI = 100


class MissingMatplotlib(RuntimeError):
    pass


def require_matplotlib():
    """Import matplotlib's Agg canvas, or raise MissingMatplotlib with an install hint."""
    try:
        import matplotlib

        matplotlib.use("Agg", force=True)
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise MissingMatplotlib(
            "--qc needs matplotlib, which is not installed (pip install 'dirsieve[qc]' or pip install matplotlib)"
        ) from exc
    return Figure, FigureCanvasAgg


def picture_size(rows: int) -> tuple:
    """Pixel size (width, height) of a picture with ``rows`` rows of slices."""
    return WIDTH_PX, HEADER_PX + ROW_PX * rows


def report_for_picture(report: dict, verdict: dict) -> dict:
    """A copy of ``report`` for drawing only, carrying the verdict.

    On a FLAG its flip section recommends the verdict's transform, so the picture gets its "after"
    row whatever the module's single distance decided. Never written out.
    """
    shown = copy.deepcopy(report)
    shown["status"] = verdict.get("status", shown.get("status"))
    flip = shown.get("flip")
    if flip is not None:
        flip["decision"] = verdict.get("status")
        flip["recommended_label"] = verdict.get("recommended_label")
        flip["recommended_transform"] = verdict.get("recommended_transform")
    return shown


def glyph_arrays(glyphs: dict) -> dict:
    """Unpack the glyph dict into numpy arrays on the (nx, ny, nz) grid."""
    nx, ny, nz = (int(v) for v in glyphs["shape"])
    n = nx * ny * nz
    v1 = np.frombuffer(glyphs["v1"], dtype="<f4")
    fa = np.frombuffer(glyphs["fa"], dtype="<f4")
    mask = np.frombuffer(glyphs["mask"], dtype=np.uint8)
    if v1.size != 3 * n or fa.size != n or mask.size != n:
        raise ValueError("glyph arrays do not match the image shape")
    return {
        "shape": (nx, ny, nz),
        "v1": v1.reshape(nx, ny, nz, 3).astype(np.float64),
        "fa": fa.reshape(nx, ny, nz).astype(np.float64),
        "mask": mask.reshape(nx, ny, nz) != 0,
        "frame_map": np.asarray(glyphs["frame_map"], dtype=np.float64),
        "voxel_sizes": [float(v) for v in glyphs["voxel_sizes"]],
    }


def colour_fa(v1: np.ndarray, fa: np.ndarray, frame_map: np.ndarray,
              transform: Optional[np.ndarray] = None) -> np.ndarray:
    """RGB in [0, 1] per voxel: |frame_map · T · v1| weighted by FA (unfitted voxels are black)."""
    m = frame_map if transform is None else frame_map @ np.asarray(transform, dtype=np.float64)
    direction = np.abs(v1 @ m.T)
    rgb = direction * np.clip(fa, 0.0, 1.0)[..., None]
    rgb = np.nan_to_num(rgb, nan=0.0, posinf=0.0, neginf=0.0)
    return np.clip(rgb, 0.0, 1.0)


def _pick_slices(mask: np.ndarray) -> tuple:
    """One slice index per axis: the one through most sample voxels within the middle half.

    Exactly central slices often miss the bundles; a slice through many sampled voxels shows the
    fibres in-plane, where a wrong sign or order is visible. Without a sample: the middle slice.
    """
    picks = []
    for axis in range(3):
        n = mask.shape[axis]
        counts = mask.sum(axis=tuple(a for a in range(3) if a != axis))
        lo, hi = n // 4, max(n // 4 + 1, n - n // 4)
        window = counts[lo:hi]
        picks.append(int(lo + np.argmax(window)) if window.size and window.max() > 0 else n // 2)
    return tuple(picks)


# (title, fixed axis, horizontal axis, vertical axis)
_VIEWS = (("axial", 2, 0, 1), ("coronal", 1, 0, 2), ("sagittal", 0, 1, 2))


def _plane(volume: np.ndarray, fixed: int, index: int) -> np.ndarray:
    """The slice as a (horizontal, vertical, ...) array."""
    return np.take(volume, index, axis=fixed)


def _foreground(s0: np.ndarray) -> np.ndarray:
    """Voxels with signal: S0 above 10% of a robust maximum (keeps fitted noise outside the head black)."""
    finite = s0[np.isfinite(s0)]
    if finite.size == 0:
        return np.zeros(s0.shape, dtype=bool)
    top = float(np.percentile(finite, 99))
    if top <= 0:
        return np.ones(s0.shape, dtype=bool)
    return np.isfinite(s0) & (s0 > 0.1 * top)


def write_qc(path: str, report: dict, glyphs: dict, source: str = "") -> tuple:
    """Draw the picture for ``report`` and write it as PNG to ``path``; returns its pixel size."""
    data, size = render_qc(report, glyphs, source)
    with open(path, "wb") as f:
        f.write(data)
    return size


def render_qc(report: dict, glyphs: dict, source: str = "") -> tuple:
    """Draw the picture for ``report`` in memory: returns the PNG bytes and the pixel size."""
    Figure, FigureCanvasAgg = require_matplotlib()
    from matplotlib.collections import LineCollection

    data = glyph_arrays(glyphs)
    flip = report.get("flip") or {}
    rows = [("table as given", None)]
    if flip.get("decision") == "FLAG" and flip.get("recommended_transform") is not None:
        rows.append((f"after {flip.get('recommended_label')}", np.asarray(flip["recommended_transform"])))

    width, height = picture_size(len(rows))
    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, facecolor="black")
    FigureCanvasAgg(fig)
    sizes = data["voxel_sizes"]
    top = 1.0 - HEADER_PX / height
    grid = fig.add_gridspec(len(rows), 3, left=0.02, right=0.98, bottom=0.02, top=top - 0.01,
                            wspace=0.05, hspace=0.15)
    mask = data["mask"]
    picks = _pick_slices(mask)
    shown = _foreground(np.frombuffer(glyphs["s0"], dtype="<f4").reshape(data["shape"]).astype(np.float64))
    for r, (row_title, transform) in enumerate(rows):
        m = data["frame_map"] if transform is None else data["frame_map"] @ transform
        direction = np.nan_to_num(data["v1"] @ m.T, nan=0.0, posinf=0.0, neginf=0.0)
        rgb = colour_fa(data["v1"], data["fa"], data["frame_map"], transform) * shown[..., None]
        for c, (view, fixed, h, v) in enumerate(_VIEWS):
            index = picks[fixed]
            image = np.swapaxes(_plane(rgb, fixed, index), 0, 1)  # rows: vertical axis
            mask2d = _plane(mask, fixed, index)
            ax = fig.add_subplot(grid[r, c])
            sh = sizes[h] if sizes[h] > 0 else 1.0
            sv = sizes[v] if sizes[v] > 0 else 1.0
            ax.imshow(image, origin="lower", interpolation="nearest", aspect=sv / sh)
            if mask2d.any():
                ax.contour(mask2d.T.astype(float), levels=[0.5], colors="white", linewidths=0.6)
                # In-plane principal directions of the sampled voxels: along a bundle they should
                # follow its course; a wrong sign or axis order turns them across it.
                ih, iv = np.nonzero(mask2d)
                d2 = _plane(direction, fixed, index)[ih, iv][:, [h, v]] / np.array([sh, sv])
                norm = np.linalg.norm(d2, axis=1, keepdims=True)
                d2 = np.where(norm > 1e-9, 0.45 * d2 / np.maximum(norm, 1e-9), 0.0)
                centres = np.stack([ih, iv], axis=1).astype(float)
                segments = np.stack([centres - d2, centres + d2], axis=1)
                ax.add_collection(LineCollection(segments, colors="white", linewidths=0.8))
            ax.set_xlim(-0.5, image.shape[1] - 0.5)
            ax.set_ylim(-0.5, image.shape[0] - 0.5)
            ax.set_xticks([])
            ax.set_yticks([])
            ax.set_title(f"{row_title}: {view}  {'xyz'[fixed]}={index}", color="white", fontsize=8, pad=2)

    status = report.get("status", "?")
    title = f"{status}"
    if flip:
        title += (f"   best {flip.get('best', {}).get('label')}   margin {_percent(flip.get('relative_margin'))}"
                  f" (threshold {_percent(flip.get('margin_threshold', 0.02))})")
    if source:
        title += f"   {os.path.basename(source)}"
    colour = {"PASS": "#4caf50", "WARN": "#ffb300", "FLAG": "#f44336"}.get(status, "white")
    fig.text(0.5, 1.0 - 22 / height, title, ha="center", va="center", color=colour, fontsize=12,
             fontweight="bold")
    fig.text(0.5, 1.0 - 44 / height, "colour: principal direction in image axes (red x, green y, blue z), "
             "brightness FA; outline and strokes: white-matter sample and its in-plane directions",
             ha="center", va="center", color="#bbbbbb", fontsize=8)

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=DPI, facecolor=fig.get_facecolor())
    return buffer.getvalue(), (width, height)


def _percent(value) -> str:
    if value is None:
        return "n/a"
    return f"{100.0 * float(value):.1f}%"
