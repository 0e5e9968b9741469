"""dirsieve: a checker for the gradient tables of diffusion-weighted MRI.

The analysis runs in the compiled module ``_dirsieve``; this package carries the
command-line program (``dirsieve``) and its helpers.
"""

import pkgutil

# The compiled engine (dirsieve._engine) is installed inside this package; in a build tree it sits in
# build/python/dirsieve, which this extends the package path to.
__path__ = pkgutil.extend_path(__path__, __name__)

__version__ = "1.1.6"
