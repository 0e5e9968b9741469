"""Type stubs for the compiled engine ``dirsieve._engine``.

Each analysing function returns a dict: ``report`` (the module's JSON report text), ``verdict``
(the decision over the walking distances, JSON-ready), and ``glyphs`` / ``timing`` when asked for;
``repair`` adds ``written``. ``discover_bids`` and ``acquisition_groups`` serve the dataset runner
(:mod:`dirsieve.bids_app`).
"""

from typing import Any, Dict, List, Optional, Sequence

class InternalError(BaseException): ...

def version() -> str: ...
def audit(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
          mask: Optional[str] = None, wm_mask: Optional[str] = None, tolerance: float = 0.05,
          b0_threshold: float = 50.0, shell: Optional[float] = None, step: Optional[float] = None,
          margin_threshold: float = 0.02, scales_mm: Optional[Sequence[float]] = None, strict: bool = False,
          norm_tolerance: float = 0.05, glyphs: bool = False, profile: bool = False, images: bool = False,
          threads: Optional[int] = None) -> Dict[str, Any]: ...
def detect_flip(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
                mask: Optional[str] = None, wm_mask: Optional[str] = None, tolerance: float = 0.05,
                b0_threshold: float = 50.0, shell: Optional[float] = None, step: Optional[float] = None,
                margin_threshold: float = 0.02, scales_mm: Optional[Sequence[float]] = None, glyphs: bool = False,
                images: bool = False, threads: Optional[int] = None) -> Dict[str, Any]: ...
def repair(dwi: str, out_bvec: str, out_bval: str, bvec: Optional[str] = None, bval: Optional[str] = None,
           grad: Optional[str] = None, mask: Optional[str] = None, wm_mask: Optional[str] = None,
           out_grad: Optional[str] = None, provenance: Optional[str] = None, tolerance: float = 0.05,
           b0_threshold: float = 50.0, shell: Optional[float] = None, step: Optional[float] = None,
           margin_threshold: float = 0.02, scales_mm: Optional[Sequence[float]] = None, dry_run: bool = False,
           in_place: bool = False, strict: bool = False, force_repair: bool = False, norm_tolerance: float = 0.05,
           glyphs: bool = False, images: bool = False, command: Optional[Sequence[str]] = None,
           threads: Optional[int] = None) -> Dict[str, Any]: ...
def recompute_bval(out_bvec: str, out_bval: str, bvec: Optional[str] = None, bval: Optional[str] = None,
                   grad: Optional[str] = None, out_grad: Optional[str] = None, provenance: Optional[str] = None,
                   b0_threshold: float = 50.0, dry_run: bool = False, in_place: bool = False,
                   allow_unit_vectors: bool = False, threads: Optional[int] = None) -> Dict[str, Any]: ...
def read_table(bvec: Optional[str] = None, bval: Optional[str] = None,
               grad: Optional[str] = None) -> Dict[str, Any]: ...
def format_table(directions: Optional[Sequence[float]] = None, bvals: Optional[Sequence[float]] = None,
                 grad: bool = False) -> Dict[str, str]: ...
def discover_bids(root: str, participant_label: Optional[Sequence[str]] = None,
                  session_label: Optional[Sequence[str]] = None) -> List[Dict[str, Any]]: ...
def acquisition_groups(records: str) -> List[Dict[str, Any]]: ...
def check_outputs(paths: Sequence[str], in_place: bool = False) -> None: ...
def write_outputs(paths: Sequence[str], contents: Sequence[bytes], in_place: bool = False) -> List[List[Optional[str]]]: ...
def restore_outputs(paths: Sequence[str], backups: Sequence[str]) -> None: ...
