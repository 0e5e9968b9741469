"""dirsieve: a checker for the gradient tables of diffusion-weighted MRI.

The analysis runs in the compiled module ``_dirsieve``; this package carries the
command-line program (``dirsieve``) and its helpers.
"""

__version__ = "1.1.6"
