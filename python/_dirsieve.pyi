"""Type stubs for the compiled module ``_dirsieve`` (reports are JSON text)."""

from typing import Any, Dict, List, Optional, Tuple

class InternalError(BaseException): ...

def version() -> str: ...
def build_features() -> List[str]: ...
def inspect(bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
            tolerance: float = 0.05, b0_threshold: float = 50.0, shell: Optional[float] = None,
            strict: bool = False, norm_tolerance: float = 0.05, threads: Optional[int] = None) -> str: ...
def audit(bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
          dwi: Optional[str] = None, mask: Optional[str] = None, tolerance: float = 0.05,
          b0_threshold: float = 50.0, shell: Optional[float] = None, step: Optional[float] = None,
          margin_threshold: float = 0.02, strict: bool = False, norm_tolerance: float = 0.05,
          threads: Optional[int] = None) -> str: ...
def audit_with_glyphs(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
                      mask: Optional[str] = None, tolerance: float = 0.05, b0_threshold: float = 50.0,
                      shell: Optional[float] = None, step: Optional[float] = None, margin_threshold: float = 0.02,
                      strict: bool = False, norm_tolerance: float = 0.05,
                      threads: Optional[int] = None) -> Tuple[str, Dict[str, Any]]: ...
def audit_profiled(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
                   mask: Optional[str] = None, tolerance: float = 0.05, b0_threshold: float = 50.0,
                   shell: Optional[float] = None, step: Optional[float] = None, margin_threshold: float = 0.02,
                   strict: bool = False, norm_tolerance: float = 0.05,
                   threads: Optional[int] = None) -> Tuple[str, Dict[str, Any]]: ...
def audit_profiled_with_glyphs(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None,
                               grad: Optional[str] = None, mask: Optional[str] = None, tolerance: float = 0.05,
                               b0_threshold: float = 50.0, shell: Optional[float] = None,
                               step: Optional[float] = None, margin_threshold: float = 0.02, strict: bool = False,
                               norm_tolerance: float = 0.05,
                               threads: Optional[int] = None) -> Tuple[str, Dict[str, Any], Dict[str, Any]]: ...
def audit_bids(root: str, tolerance: float = 0.05, b0_threshold: float = 50.0, shell: Optional[float] = None,
               step: Optional[float] = None, margin_threshold: float = 0.02, strict: bool = False,
               norm_tolerance: float = 0.05, threads: Optional[int] = None) -> str: ...
def detect_flip(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None, grad: Optional[str] = None,
                mask: Optional[str] = None, tolerance: float = 0.05, b0_threshold: float = 50.0,
                shell: Optional[float] = None, step: Optional[float] = None, margin_threshold: float = 0.02,
                threads: Optional[int] = None) -> str: ...
def detect_flip_with_glyphs(dwi: str, bvec: Optional[str] = None, bval: Optional[str] = None,
                            grad: Optional[str] = None, mask: Optional[str] = None, tolerance: float = 0.05,
                            b0_threshold: float = 50.0, shell: Optional[float] = None, step: Optional[float] = None,
                            margin_threshold: float = 0.02,
                            threads: Optional[int] = None) -> Tuple[str, Dict[str, Any]]: ...
def repair(dwi: str, out_bvec: str, out_bval: str, bvec: Optional[str] = None, bval: Optional[str] = None,
           grad: Optional[str] = None, mask: Optional[str] = None, out_grad: Optional[str] = None,
           provenance: Optional[str] = None, tolerance: float = 0.05, b0_threshold: float = 50.0,
           shell: Optional[float] = None, step: Optional[float] = None, margin_threshold: float = 0.02,
           dry_run: bool = False, in_place: bool = False, strict: bool = False, force_repair: bool = False,
           norm_tolerance: float = 0.05, threads: Optional[int] = None) -> str: ...
def repair_with_glyphs(dwi: str, out_bvec: str, out_bval: str, bvec: Optional[str] = None,
                       bval: Optional[str] = None, grad: Optional[str] = None, mask: Optional[str] = None,
                       out_grad: Optional[str] = None, provenance: Optional[str] = None, tolerance: float = 0.05,
                       b0_threshold: float = 50.0, shell: Optional[float] = None, step: Optional[float] = None,
                       margin_threshold: float = 0.02, dry_run: bool = False, in_place: bool = False,
                       strict: bool = False, force_repair: bool = False, norm_tolerance: float = 0.05,
                       threads: Optional[int] = None) -> Tuple[str, Dict[str, Any]]: ...
def recompute_bval(out_bvec: str, out_bval: str, bvec: Optional[str] = None, bval: Optional[str] = None,
                   grad: Optional[str] = None, out_grad: Optional[str] = None, provenance: Optional[str] = None,
                   b0_threshold: float = 50.0, dry_run: bool = False, in_place: bool = False,
                   threads: Optional[int] = None) -> str: ...
