"""HTML pages: one run (``--html``) and a whole dataset (``index.html`` of a ``dirsieve bids`` output).

Both are rendered from the Jinja2 templates in ``dirsieve/templates`` and work opened straight from
the file system, with nothing fetched from the network:

* the run page is one self-contained file: CSS inline, the figure as a PNG data URI, the verdict,
  the evidence per walking distance, the table's consistency with itself (with every volume's share
  of the residual as an inline SVG bar chart), the repair command and the report itself;
* the dataset page embeds every run's numbers in the page (no local JSON is fetched) and loads each
  run's figures lazily from the files beside it, so a thousand runs open quickly; its table sorts
  by any column and filters by status, outlier flag, a part of the table found wrong, and text.

Pages are rendered in memory and written through a temporary file (see :func:`dirsieve.qc.write_atomic`).
"""

from __future__ import annotations

import base64
import os
import shlex
import struct
from typing import Any, Dict, List, Optional, Sequence, Tuple
from urllib.parse import quote

from dirsieve.render import format_matrix, plain_number

__all__ = ["MissingJinja", "require_jinja2", "run_page", "render_run_page", "write_run_page", "dataset_page",
           "write_dataset_page", "run_commands"]

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
STATUSES = ("PASS", "WARN", "FLAG", "ERROR")


class MissingJinja(RuntimeError):
    pass


def require_jinja2(option: str = "--html"):
    """Import Jinja2, or raise MissingJinja with an install hint."""
    try:
        import jinja2
    except ImportError as exc:
        raise MissingJinja(f"{option} needs Jinja2, which is not installed (pip install 'dirsieve[qc]' or "
                           "pip install jinja2)") from exc
    return jinja2


def _environment():
    jinja2 = require_jinja2()
    # Reports from older or partial runs may lack a field: it renders empty instead of failing.
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                             undefined=jinja2.ChainableUndefined, trim_blocks=True, lstrip_blocks=True)
    env.filters["pct"] = _pct
    env.filters["fixed"] = _fixed
    env.filters["z"] = _z
    env.filters["plain"] = plain_number
    env.filters["matrix"] = lambda m: format_matrix(m) if m else "n/a"
    env.filters["basename"] = lambda path: os.path.basename(path) if path else ""
    env.filters["urlpath"] = lambda path: quote(path.replace(os.sep, "/"), safe="/")
    env.filters["ranges"] = _ranges
    return env


def _ranges(volumes) -> str:
    from dirsieve import qc

    return qc.volume_ranges(volumes) if volumes else "none"


def _pct(value, digits: int = 1) -> str:
    return "n/a" if value is None else f"{100.0 * float(value):.{digits}f}%"


def _fixed(value, digits: int = 2) -> str:
    return "n/a" if value is None else f"{float(value):.{digits}f}"


def _z(value) -> str:
    if value is None:
        return "n/a"
    return "certain" if abs(float(value)) >= 1e6 else f"{float(value):.1f}"


# --------------------------------------------------------------------------- one run


def run_commands(command: str, report: dict, verdict: Optional[dict], context: Optional[dict]) -> List[Tuple[str, str]]:
    """The commands the page offers, as (what it does, shell line): the same as the terminal view."""
    context = context or {}
    status = (verdict or {}).get("status") or report.get("status")
    flip = report.get("flip") or {}
    out: List[Tuple[str, str]] = []

    def add(what: str, key: str):
        argv = context.get(key)
        if argv:
            out.append((what, shlex.join(argv)))

    if command == "repair":
        repair = report.get("repair")
        if repair is not None and not repair.get("outputs"):
            add("Write the repaired table (this was a dry run)", "apply_command")
        elif repair is not None:
            add("Check the table that was written", "verify_command")
        elif verdict is None and flip.get("decision") == "WARN":
            add(f"Apply {(flip.get('best') or {}).get('label')} anyway (the margin is below the threshold)",
                "force_command")
    elif status == "FLAG":
        add("Repair the table", "repair_command")
    elif verdict is None and flip.get("decision") == "WARN":
        add(f"Apply {(flip.get('best') or {}).get('label')} anyway (the margin is below the threshold)",
            "force_command")
    return out


# The inline residual-share charts, in SVG user units (the page scales them to its width).
CHART_WIDTH = 1000
CHART_HEIGHT = 150
CHART_LEFT = 46
CHART_RIGHT = 8
CHART_TOP = 8
CHART_AXIS = 34
STATE_CLASSES = {"fits": "fits", "fits another direction": "other", "fits no direction": "none"}
CHART_BOX = {"width": CHART_WIDTH, "height": CHART_TOP + CHART_HEIGHT + CHART_AXIS, "left": CHART_LEFT,
             "right": CHART_WIDTH - CHART_RIGHT, "top": CHART_TOP, "base": CHART_TOP + CHART_HEIGHT}


def share_chart_views(verdict: Optional[dict]) -> List[Dict[str, Any]]:
    """The residual-share charts of a verdict laid out for the page: bars, shading, ticks, in SVG units.

    One scale for all charts, the volumes (counted from 0) at the same places in each, as in the
    figure; every bar carries a tooltip with its numbers.
    """
    from dirsieve import qc

    charts = qc.share_charts(verdict)
    if not charts:
        return []
    details = {}
    c = (verdict or {}).get("consistency") or {}
    for key, k in (("volumes", 0), ("volumes_fixed", 1)):
        for row in c.get(key) or []:
            if isinstance(row, dict) and isinstance(row.get("volume"), int):
                details[(k, row["volume"])] = row
    slots = max(max(chart.volumes) for chart in charts) + 1
    plot_w = CHART_WIDTH - CHART_LEFT - CHART_RIGHT
    slot = plot_w / slots
    gap = 0.12 * slot if slot >= 3.0 else 0.0
    ceiling = qc.share_scale(charts)
    base = CHART_TOP + CHART_HEIGHT

    def y_of(share: float) -> float:
        return base - CHART_HEIGHT * min(max(share, 0.0), ceiling) / ceiling

    views = []
    for k, chart in enumerate(charts):
        bars, shading = [], []
        for volume, share, state, changed in zip(chart.volumes, chart.shares, chart.states, chart.changed):
            x = CHART_LEFT + volume * slot
            if changed and shading and abs(shading[-1]["end"] - x) < 1e-6:  # one band per run: no seams
                shading[-1]["end"] = x + slot
            elif changed:
                shading.append({"start": x, "end": x + slot})
            top = y_of(share)
            row = details.get((min(k, 1), volume), {})
            words = [f"volume {volume}"]
            if row.get("b") is not None:
                words[0] += f" (b = {plain_number(row['b'])})"
            words.append(f"{_pct(share)} of the residual")
            words.append(qc.STATES[state])
            if state != "fits" and row.get("best_angle_deg") is not None:
                words.append(f"best fit {float(row['best_angle_deg']):.0f}° from its row")
            if changed:
                words.append(chart.marks)
            bars.append({"x": round(x + gap, 2), "y": round(top, 2), "width": round(max(slot - 2 * gap, 0.6), 2),
                         "height": round(max(base - top, 0.0), 2), "state": STATE_CLASSES[state],
                         "volume": volume, "changed": changed, "title": "; ".join(words)})
        views.append({
            "id": f"shares-{k + 1}",
            "caption": chart.caption[0].upper() + chart.caption[1:],
            "marks": chart.marks,
            "bars": bars,
            "shading": [{"x": round(b["start"], 2), "width": round(b["end"] - b["start"], 2)} for b in shading],
            "even": round(y_of(chart.even), 2),
            "y_ticks": [{"y": round(y_of(t), 2), "label": f"{100.0 * t:g}%"} for t in qc.share_ticks(ceiling)],
            "x_ticks": [{"x": round(CHART_LEFT + (v + 0.5) * slot, 2), "label": str(v)}
                        for v in qc.volume_ticks(slots, slot, min_px=26.0)],
            "label": (f"{chart.caption}: residual share of {len(bars)} volumes"
                      + (f"; {sum(chart.changed)} {chart.marks}" if any(chart.changed) else "")),
        })
    return views


def _volume_table(verdict: Optional[dict]) -> List[Dict[str, Any]]:
    """Every fitted volume, as given and (when a part was corrected) after that, for the page's table."""
    c = (verdict or {}).get("consistency") or {}
    after = {r.get("volume"): r for r in c.get("volumes_fixed") or [] if isinstance(r, dict)}
    out = []
    for row in c.get("volumes") or []:
        if isinstance(row, dict):
            out.append({"given": row, "after": after.get(row.get("volume"))})
    return out


def run_page(*, command: str, report: dict, verdict: Optional[dict], figures: Sequence[Tuple[str, bytes]],
             source: str = "", context: Optional[dict] = None, report_text: str = "", summary_text: str = "") -> str:
    """The self-contained page of one run as text; ``figures`` are (caption, PNG bytes)."""
    from dirsieve import __version__, qc

    status = (verdict or {}).get("status") or report.get("status", "?")
    images = [(caption, "data:image/png;base64," + base64.b64encode(png).decode("ascii"), _png_size(png))
              for caption, png in figures]
    fix = (verdict or {}).get("fix") if isinstance((verdict or {}).get("fix"), dict) else None
    consistency = (verdict or {}).get("consistency")
    return _environment().get_template("run.html").render(
        title=f"{status} · {os.path.basename(source) or command}",
        command=command, status=status, report=report, verdict=verdict, flip=report.get("flip") or {},
        images=images, source=source, commands=run_commands(command, report, verdict, context),
        report_text=report_text, summary_text=summary_text, version=__version__,
        inputs=[i for i in (report.get("inputs") or []) if isinstance(i, dict)], notes=report.get("notes") or [],
        fix=fix, fix_text=qc.fix_text(fix) if fix is not None else "",
        consistency=consistency if isinstance(consistency, dict) else None, part=qc.part_finding(verdict),
        charts=share_chart_views(verdict), volume_table=_volume_table(verdict), states=qc.STATES,
        state_classes=STATE_CLASSES, box=CHART_BOX)


def render_run_page(*, command: str, report: dict, verdict: Optional[dict], glyphs: Optional[dict],
                    source: str = "", context: Optional[dict] = None, report_text: str = "",
                    summary_text: str = "") -> bytes:
    """Draw the run's figure and render its page: UTF-8 bytes, ready to be written."""
    from dirsieve import qc

    figures = []
    if glyphs is not None:
        figures.append(("Directions in anatomical orientation", qc.render_figure(report, glyphs, verdict, source)))
    return run_page(command=command, report=report, verdict=verdict, figures=figures, source=source,
                    context=context, report_text=report_text, summary_text=summary_text).encode("utf-8")


def write_run_page(path: str, **arguments) -> str:
    """:func:`render_run_page` written to ``path`` through a temporary file; returns ``path``."""
    from dirsieve import qc

    qc.write_atomic(path, render_run_page(**arguments))
    return path


def _png_size(data: bytes) -> Tuple[Optional[int], Optional[int]]:
    if data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR":
        return struct.unpack(">II", data[16:24])
    return None, None


# --------------------------------------------------------------------------- a dataset


def _relative(path: Any, role: str, run: str) -> str:
    """A path the summary gives relative to the output folder, checked to stay inside it."""
    if not isinstance(path, str) or not path:
        raise ValueError(f"run {run}: {role} must be a path relative to the output folder, got {path!r}")
    parts = path.replace("\\", "/").split("/")
    if os.path.isabs(path) or ".." in parts or ":" in parts[0]:
        raise ValueError(f"run {run}: {role} {path!r} is not a path inside the output folder")
    return "/".join(p for p in parts if p not in ("", "."))


def _figure_entry(output_dir: str, relative: str) -> Dict[str, Any]:
    full = os.path.join(output_dir, *relative.split("/"))
    width = height = None
    exists = os.path.isfile(full)
    if exists:
        try:
            with open(full, "rb") as f:
                width, height = _png_size(f.read(24))
        except OSError:
            exists = False
    return {"path": relative, "exists": exists, "width": width, "height": height}


def _number(value) -> Optional[float]:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if number == number else None


def dataset_page(output_dir: str, summary: dict) -> str:
    """The dataset page for ``summary`` (the group-level ``group_dwi.json``) as text."""
    from dirsieve import __version__

    if not isinstance(summary, dict) or not isinstance(summary.get("runs"), list):
        raise ValueError("the dataset summary needs a list of runs under 'runs'")
    runs = []
    for i, run in enumerate(summary["runs"]):
        if not isinstance(run, dict):
            raise ValueError(f"run {i + 1} of the dataset summary is not an object")
        name = str(run.get("name") or run.get("dwi") or f"run {i + 1}")
        status = str(run.get("status") or "ERROR").upper()
        report = run.get("report")
        figures = [_figure_entry(output_dir, _relative(f, "figure", name))
                   for f in (run.get("figures") or [])]
        runs.append({
            "id": f"run-{i + 1}",
            "name": name,
            "subject": run.get("subject") or "",
            "session": run.get("session") or "",
            "dwi": run.get("dwi") or "",
            "status": status,
            "status_rank": STATUSES.index(status) if status in STATUSES else len(STATUSES),
            "reason": run.get("reason") or "",
            "fix": run.get("recommended_label") or "",
            "confidence": _number(run.get("confidence")),
            "n_wm_voxels": _number(run.get("n_wm_voxels")),
            "error": run.get("error") or "",
            "group": run.get("group") if run.get("group") is not None else "",
            "outlier": bool(run.get("outlier")),
            "group_label": run.get("group_label") or "",
            "inferred_label": run.get("inferred_label") or "",
            "report": _relative(report, "report", name) if report else "",
            "figures": figures,
            "repair_command": run.get("repair_command") or "",
            # Summaries from before the consistency check have no part: the cell stays empty.
            "part": str(run.get("part") or ""),
            "part_decided": run.get("part_decided") is not False,
        })
    counts = summary.get("counts")
    if not isinstance(counts, dict) or not counts:
        counts = {s: sum(1 for r in runs if r["status"] == s) for s in STATUSES}
    return _environment().get_template("dataset.html").render(
        title=f"dirsieve: {summary.get('dataset') or os.path.basename(os.path.abspath(output_dir))}",
        dataset=summary.get("dataset") or "", generated_by=summary.get("generated_by") or "", runs=runs,
        counts=counts, statuses=STATUSES, version=__version__)


def write_dataset_page(output_dir: str, summary: dict) -> str:
    """Write ``OUTPUT_DIR/index.html`` for ``summary``; returns its path.

    Figure and report paths in the summary are relative to ``output_dir`` and are linked as they
    are (a figure missing on disk is named on its card instead of shown broken).
    """
    from dirsieve import qc

    if not os.path.isdir(output_dir):
        raise ValueError(f"output folder not found: {output_dir}")
    html = dataset_page(output_dir, summary)
    path = os.path.join(output_dir, "index.html")
    qc.write_atomic(path, html.encode("utf-8"))
    return path
