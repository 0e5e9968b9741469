"""The QC picture: direction-encoded colour FA maps of three orthogonal middle slices.

Colour is the principal tensor direction in image axes (red x, green y, blue z), brightness the
fractional anisotropy; the white-matter sample that the flip score used is outlined. The first row
shows the table as given; on a FLAG verdict a second row shows the directions after the recommended
transform, which should make the bundles run smoothly in their expected colours.

Needs numpy and matplotlib (the ``qc`` extra); matplotlib is imported only when a picture is drawn.
"""

from __future__ import annotations

import io
import os
from typing import Optional

import numpy as np

__all__ = ["MissingMatplotlib", "require_matplotlib", "glyph_arrays", "colour_fa", "write_qc", "picture_size"]

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


def _slices(volume: np.ndarray):
    """The three middle slices as (name, 2-D array with rows = vertical axis, voxel-axis pair)."""
    nx, ny, nz = volume.shape[:3]
    axial = np.swapaxes(volume[:, :, nz // 2], 0, 1)       # rows y, columns x
    coronal = np.swapaxes(volume[:, ny // 2, :], 0, 1)     # rows z, columns x
    sagittal = np.swapaxes(volume[nx // 2, :, :], 0, 1)    # rows z, columns y
    return [(f"axial  z={nz // 2}", axial, (0, 1)), (f"coronal  y={ny // 2}", coronal, (0, 2)),
            (f"sagittal  x={nx // 2}", sagittal, (1, 2))]


def write_qc(path: str, report: dict, glyphs: dict, source: str = "") -> tuple:
    """Draw the picture for ``report`` and write it as PNG to ``path``; returns its pixel size."""
    Figure, FigureCanvasAgg = require_matplotlib()
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
    mask_slices = _slices(data["mask"].astype(float))
    for r, (row_title, transform) in enumerate(rows):
        rgb = colour_fa(data["v1"], data["fa"], data["frame_map"], transform)
        for c, ((name, image, (h, v)), (_, mask2d, _)) in enumerate(zip(_slices(rgb), mask_slices)):
            ax = fig.add_subplot(grid[r, c])
            aspect = (sizes[v] / sizes[h]) if sizes[h] > 0 and sizes[v] > 0 else 1.0
            ax.imshow(image, origin="lower", interpolation="nearest", aspect=aspect)
            if mask2d.any() and not mask2d.all():
                ax.contour(mask2d, levels=[0.5], colors="white", linewidths=0.6)
            ax.set_xticks([])
            ax.set_yticks([])
            ax.set_title(f"{row_title}: {name}", color="white", fontsize=8, pad=2)

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
             "brightness FA; outline: white-matter sample", ha="center", va="center", color="#bbbbbb", fontsize=8)

    # Render in memory first so a drawing failure never leaves a truncated file behind.
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=DPI, facecolor=fig.get_facecolor())
    with open(path, "wb") as f:
        f.write(buffer.getvalue())
    return width, height


def _percent(value) -> str:
    if value is None:
        return "n/a"
    return f"{100.0 * float(value):.1f}%"
