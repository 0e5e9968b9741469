import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SHARED_DATA = REPO.parent / "shared" / "data"


def write(path, text):
    path = Path(path)
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.fixture
def fsl_pair(tmp_path):
    """A small single-shell table: 2 b0s and 30 directions at b=1000."""
    import math

    dirs = [(0.0, 0.0, 0.0), (0.0, 0.0, 0.0)]
    n = 30
    golden = math.pi * (3 - math.sqrt(5))
    for i in range(n):
        z = 1 - (i + 0.5) / n
        r = math.sqrt(1 - z * z)
        dirs.append((r * math.cos(golden * i), r * math.sin(golden * i), z))
    bvals = [0, 0] + [1000] * n
    bvec = write(tmp_path / "dwi.bvec", "\n".join(" ".join(f"{d[k]:.6f}" for d in dirs) for k in range(3)) + "\n")
    bval = write(tmp_path / "dwi.bval", " ".join(str(b) for b in bvals) + "\n")
    return bvec, bval


@pytest.fixture
def grad_file(tmp_path):
    rows = ["0 0 0 0"] + [f"{x} {y} {z} 1000" for x, y, z in
                         [(1, 0, 0), (0, 1, 0), (0, 0, 1), (0.7071, 0.7071, 0), (0.7071, 0, 0.7071),
                          (0, 0.7071, 0.7071), (0.5774, 0.5774, 0.5774)]]
    return write(tmp_path / "dwi.b", "\n".join(rows) + "\n")


@pytest.fixture(scope="session")
def phantom_dir(tmp_path_factory):
    """A small phantom with its true tables, written once per session."""
    from dirsieve.phantom import write_phantom

    directory = tmp_path_factory.mktemp("phantom")
    return write_phantom(str(directory), shape=(24, 24, 24))


@pytest.fixture(scope="session")
def flipped_phantom(tmp_path_factory):
    """The same phantom with the x axis of its tables negated."""
    from dirsieve.phantom import write_phantom

    directory = tmp_path_factory.mktemp("flipped")
    return write_phantom(str(directory), shape=(24, 24, 24), flip="x")
