"""dirsieve: a checker for the gradient tables of diffusion-weighted MRI.

The analysis runs in compiled code: the module ``_dirsieve`` and the engine ``dirsieve._engine``
(the verdict over several walking distances). This package carries the typed interface
(:func:`check`, :func:`repair`), the command-line program (``dirsieve``) and its helpers.
"""

import pkgutil

# The compiled engine (dirsieve._engine) is installed inside this package; in a build tree it sits in
# build/python/dirsieve, which this extends the package path to.
__path__ = pkgutil.extend_path(__path__, __name__)

__version__ = "1.1.6"

from dirsieve.api import CheckResult, DistanceRow, RepairResult, Verdict, check, repair  # noqa: E402

__all__ = ["check", "repair", "CheckResult", "RepairResult", "Verdict", "DistanceRow", "__version__"]
