"""Synthetic diffusion phantom: an ellipsoidal brain with three ring-shaped fiber bundles.

The phantom is written as a NIfTI-1 DWI (float32) with an FSL ``bvec``/``bval`` pair and, optionally,
a four-column world-frame ``grad`` file and a mask of the true bundles. Only numpy is needed; the
NIfTI header is packed here directly.

Each bundle is a torus lying in one of the coordinate planes, so that every sign flip or permutation
of the gradient axes breaks the alignment of fitted directions along at least two of them. The image
has a positive-determinant affine, so the FSL table stores directions with the first voxel axis
mirrored, while the ``grad`` table holds the directions in world axes.

Everything is deterministic for a given ``seed``.
"""

from __future__ import annotations

import gzip
import os
import struct
from typing import Dict, Iterable, Optional, Sequence, Tuple, Union

import numpy as np


__all__ = ["make_phantom", "write_phantom", "transform_from_label", "write_nifti"]

Matrix = Union[str, Sequence[Sequence[float]], np.ndarray]

_AXES = "xyz"


def transform_from_label(label: str) -> np.ndarray:
    """The signed permutation of a label such as ``"+y-z+x"``: row i takes the named axis with its sign."""
    if not isinstance(label, str) or len(label) != 6:
        raise ValueError(f"not a transform label: {label!r}")
    m = np.zeros((3, 3))
    used = set()
    for i in range(3):
        sign, axis = label[2 * i], label[2 * i + 1]
        if sign not in "+-" or axis not in _AXES or axis in used:
            raise ValueError(f"not a transform label: {label!r}")
        used.add(axis)
        m[i, _AXES.index(axis)] = 1.0 if sign == "+" else -1.0
    return m


def _as_matrix(flip: Optional[Matrix]) -> np.ndarray:
    if flip is None:
        return np.eye(3)
    if isinstance(flip, str):
        if flip in _AXES:  # a single sign flip of that axis
            m = np.eye(3)
            m[_AXES.index(flip), _AXES.index(flip)] = -1.0
            return m
        return transform_from_label(flip)
    m = np.asarray(flip, dtype=float)
    if m.shape != (3, 3):
        raise ValueError("flip must be None, an axis letter, a label or a 3x3 matrix")
    return m


def _spiral_directions(n: int) -> np.ndarray:
    i = np.arange(n, dtype=float)
    z = 1.0 - (i + 0.5) / n
    r = np.sqrt(1.0 - z * z)
    phi = 2.399963229728653 * i
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def _fiber_field(shape: Tuple[int, int, int], ring_radius: float, tube_radius: float) -> np.ndarray:
    """Unit fiber direction per voxel in voxel axes, zero outside the bundles; shape (nx, ny, nz, 3)."""
    nx, ny, nz = shape
    smallest = float(min(shape))
    ring_r = ring_radius * smallest
    tube_r = tube_radius * smallest
    offset = 0.12 * smallest
    centre = np.array([(nx - 1) / 2.0, (ny - 1) / 2.0, (nz - 1) / 2.0])
    grid = np.stack(np.meshgrid(np.arange(nx), np.arange(ny), np.arange(nz), indexing="ij"), axis=-1)
    d0 = grid.astype(float) - centre

    field = np.zeros(shape + (3,))
    best = np.full(shape, tube_r)
    # (in-plane axes i, j; normal axis a; shift along a)
    for i, j, a, shift in ((0, 1, 2, offset), (0, 2, 1, -offset), (1, 2, 0, offset)):
        d = d0.copy()
        d[..., a] -= shift
        rho = np.hypot(d[..., i], d[..., j])
        dist = np.hypot(rho - ring_r, d[..., a])
        take = (dist < best) & (rho > 1e-9)
        best = np.where(take, dist, best)
        safe = np.where(rho > 1e-9, rho, 1.0)
        tangent = np.zeros(shape + (3,))
        tangent[..., i] = -d[..., j] / safe
        tangent[..., j] = d[..., i] / safe
        field = np.where(take[..., None], tangent, field)
    return field


def make_phantom(
    shape: Tuple[int, int, int] = (32, 32, 32),
    n_b0: int = 3,
    n_directions: int = 32,
    bval: float = 1000.0,
    s0: float = 1000.0,
    snr: float = 30.0,
    background: float = 0.0,
    seed: int = 0,
    voxel_size: float = 2.0,
) -> Dict[str, np.ndarray]:
    """Build the phantom in memory.

    Returns a dict with ``data`` (float32, shape + (volumes,)), ``affine`` (4x4), ``bvals``,
    ``voxel_dirs`` (true unit directions in voxel axes, one row per volume, zero for b0s),
    ``fiber`` (true fiber direction per voxel) and ``wm`` (bool mask of the bundles).
    """
    shape = tuple(int(s) for s in shape)
    if len(shape) != 3 or min(shape) < 2:
        raise ValueError("shape must be three sizes of at least 2")
    nx, ny, nz = shape
    rng = np.random.default_rng(seed)

    dirs = _spiral_directions(n_directions)
    voxel_dirs = np.vstack([np.zeros((n_b0, 3)), dirs])
    bvals = np.concatenate(
        [np.where(np.arange(n_b0) == 1, 5.0, 0.0), bval + 5.0 * ((np.arange(n_directions) % 3) - 1)]
    )

    centre = np.array([(nx - 1) / 2.0, (ny - 1) / 2.0, (nz - 1) / 2.0])
    semi = np.array([0.44 * nx, 0.42 * ny, 0.40 * nz])
    grid = np.stack(np.meshgrid(np.arange(nx), np.arange(ny), np.arange(nz), indexing="ij"), axis=-1)
    brain = (((grid - centre) / semi) ** 2).sum(axis=-1) <= 1.0
    fiber = _fiber_field(shape, 0.25, 0.05) * brain[..., None]
    wm = np.any(fiber != 0.0, axis=-1)

    para = np.where(wm, 1.7e-3, np.where(brain, 0.8e-3, 3.0e-3))
    perp = np.where(wm, 0.3e-3, para)
    base = np.where(brain, s0, background)
    along = np.einsum("xyzc,tc->xyzt", fiber, voxel_dirs)
    adc = perp[..., None] + (para - perp)[..., None] * along**2
    b = np.where(np.any(voxel_dirs != 0.0, axis=1), bvals, 0.0)
    clean = base[..., None] * np.exp(-b * adc)
    if snr > 0:
        sigma = s0 / snr
        re = clean + sigma * rng.standard_normal(clean.shape)
        im = sigma * rng.standard_normal(clean.shape)
        data = np.sqrt(re * re + im * im)
    else:
        data = clean

    affine = np.diag([voxel_size, voxel_size, voxel_size, 1.0])
    affine[:3, 3] = -voxel_size * centre
    return {
        "data": data.astype(np.float32),
        "affine": affine,
        "bvals": bvals,
        "voxel_dirs": voxel_dirs,
        "fiber": fiber,
        "wm": wm,
    }


def _nifti_header(shape: Sequence[int], datatype: int, bitpix: int, affine: np.ndarray, pixdim: Iterable[float]):
    dims = [len(shape)] + list(shape) + [1] * (7 - len(shape))
    pix = [1.0] + list(pixdim) + [0.0] * (7 - len(list(pixdim)))
    header = bytearray(348)
    struct.pack_into("<i", header, 0, 348)
    header[38] = ord("r")  # regular
    struct.pack_into("<8h", header, 40, *dims)
    struct.pack_into("<hh", header, 70, datatype, bitpix)
    struct.pack_into("<8f", header, 76, *pix)
    struct.pack_into("<f", header, 108, 352.0)  # vox_offset
    struct.pack_into("<ff", header, 112, 1.0, 0.0)  # scl_slope, scl_inter
    header[123] = 2 | 8  # mm, s
    struct.pack_into("<hh", header, 252, 0, 1)  # qform_code, sform_code (scanner)
    for r in range(3):
        struct.pack_into("<4f", header, 280 + 16 * r, *[float(v) for v in affine[r]])
    header[344:348] = b"n+1\x00"
    return bytes(header)


def write_nifti(path: str, array: np.ndarray, affine: np.ndarray) -> str:
    """Write a NIfTI-1 single file (``.nii`` or ``.nii.gz``) of float32, int16 or uint8 voxels, x fastest."""
    array = np.asarray(array)
    if array.dtype == np.uint8:
        datatype, bitpix = 2, 8
    elif array.dtype == np.int16:
        datatype, bitpix = 4, 16
    else:
        array = array.astype(np.float32)
        datatype, bitpix = 16, 32
    pixdim = np.sqrt((np.asarray(affine)[:3, :3] ** 2).sum(axis=0)).tolist()
    if array.ndim > 3:
        pixdim += [1.0] * (array.ndim - 3)
    payload = (
        _nifti_header(array.shape, datatype, bitpix, np.asarray(affine, dtype=float), pixdim)
        + b"\x00\x00\x00\x00"
        + np.asfortranarray(array).astype(array.dtype.newbyteorder("<")).tobytes(order="F")
    )
    if path.endswith(".gz"):
        payload = gzip.compress(payload, compresslevel=6, mtime=0)
    with open(path, "wb") as f:
        f.write(payload)
    return path


def _format(value: float) -> str:
    value = float(value)
    if value.is_integer():
        return str(int(value))  # also turns -0.0 into 0
    return repr(value)


def write_phantom(
    directory: str,
    shape: Tuple[int, int, int] = (32, 32, 32),
    flip: Optional[Matrix] = None,
    seed: int = 0,
    *,
    grad: bool = True,
    mask: bool = True,
    gzip_image: bool = True,
    int16: bool = False,
    **options,
) -> Dict[str, str]:
    """Write the phantom into ``directory`` and return the paths by role.

    ``flip`` makes the gradient files deliberately wrong: every stored direction g becomes M @ g, with
    M given as an axis letter (a sign flip of that axis), a label such as ``"+y+x+z"`` or a 3x3 matrix.
    The FSL files get the error in their own frame and the ``grad`` file in world axes. ``int16`` stores
    the DWI rounded to int16, as scanners write it. Keys of the result: ``dwi``, ``bvec``, ``bval`` and,
    when written, ``grad`` and ``mask``. Further keyword options go to :func:`make_phantom`.
    """
    os.makedirs(directory, exist_ok=True)
    ph = make_phantom(shape=shape, seed=seed, **options)
    wrong = _as_matrix(flip)
    affine = ph["affine"]
    block = affine[:3, :3]
    rotation = block / np.sqrt((block**2).sum(axis=0))
    fsl_map = np.diag([-1.0, 1.0, 1.0]) if np.linalg.det(block) > 0 else np.eye(3)

    paths: Dict[str, str] = {}
    dwi = ph["data"]
    if int16:
        dwi = np.clip(np.rint(dwi), -32768, 32767).astype(np.int16)
    paths["dwi"] = write_nifti(os.path.join(directory, "dwi.nii.gz" if gzip_image else "dwi.nii"), dwi, affine)

    fsl_dirs = (wrong @ (fsl_map.T @ ph["voxel_dirs"].T)).T
    paths["bvec"] = os.path.join(directory, "dwi.bvec")
    with open(paths["bvec"], "w") as f:
        for axis in range(3):
            f.write(" ".join(_format(v) for v in fsl_dirs[:, axis]) + "\n")
    paths["bval"] = os.path.join(directory, "dwi.bval")
    with open(paths["bval"], "w") as f:
        f.write(" ".join(_format(v) for v in ph["bvals"]) + "\n")

    if grad:
        world = (wrong @ (rotation @ ph["voxel_dirs"].T)).T
        paths["grad"] = os.path.join(directory, "dwi.grad")
        with open(paths["grad"], "w") as f:
            for g, b in zip(world, ph["bvals"]):
                f.write(" ".join(_format(v) for v in (*g, b)) + "\n")
    if mask:
        paths["mask"] = write_nifti(
            os.path.join(directory, "wm_mask.nii.gz" if gzip_image else "wm_mask.nii"),
            ph["wm"].astype(np.uint8),
            affine,
        )
    return paths


if __name__ == "__main__":  # pragma: no cover
    import argparse

    parser = argparse.ArgumentParser(description="Write the synthetic diffusion phantom.")
    parser.add_argument("directory")
    parser.add_argument("--shape", type=int, nargs=3, default=(32, 32, 32))
    parser.add_argument("--flip", default=None, help="axis letter, label such as +y+x+z, or none")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    for role, path in write_phantom(args.directory, tuple(args.shape), args.flip, args.seed).items():
        print(f"{role}: {path}")
