"""Human-readable views of reports and summaries.

Every function here takes the parsed JSON (dicts and lists as ``json.loads`` gives them) and returns
text; nothing is printed. Numbers the module wrote as ``null`` (NaN, infinities) arrive as None and
are shown as "n/a".
"""

from __future__ import annotations

import os
import shlex
from typing import Iterable, List, Optional, Sequence

__all__ = [
    "Style",
    "pretty_json",
    "render_report",
    "render_bids",
    "render_recompute",
    "render_profile",
    "format_matrix",
    "plain_number",
]

# How many groups of the flip ranking the human view lists (the identity is always added).
RANKING_ROWS = 5

_COLOURS = {"PASS": "32", "WARN": "33", "FLAG": "31", "ERROR": "35"}


class Style:
    """Terminal styling: ANSI colours only when asked for (a tty without NO_COLOR)."""

    def __init__(self, colour: bool = False):
        self.colour = colour

    @classmethod
    def for_stream(cls, stream) -> "Style":
        if os.environ.get("NO_COLOR"):
            return cls(False)
        try:
            return cls(bool(stream.isatty()))
        except (AttributeError, ValueError):
            return cls(False)

    def _wrap(self, text: str, code: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.colour else text

    def status(self, status: str) -> str:
        return self._wrap(status, "1;" + _COLOURS.get(status, "0"))

    def bold(self, text: str) -> str:
        return self._wrap(text, "1")

    def dim(self, text: str) -> str:
        return self._wrap(text, "2")


# --------------------------------------------------------------------------- numbers and tables


def plain_number(value) -> str:
    """A float as a person (and a shell) would type it: 1000 rather than 1000.0, exact otherwise."""
    if value is None:
        return "n/a"
    value = float(value)
    if value != value or value in (float("inf"), float("-inf")):
        return "n/a"
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def _fixed(value, digits: int) -> str:
    if value is None:
        return "n/a"
    return f"{float(value):.{digits}f}"


def _percent(value, digits: int = 1) -> str:
    if value is None:
        return "n/a"
    return f"{100.0 * float(value):.{digits}f}%"


def format_matrix(matrix) -> str:
    rows = ("[" + ", ".join(plain_number(v) for v in row) + "]" for row in matrix)
    return "[" + ", ".join(rows) + "]"


def _table(header: Sequence[str], rows: Iterable[Sequence[str]], indent: str = "  ",
           right: Sequence[int] = ()) -> List[str]:
    rows = [list(r) for r in rows]
    widths = [len(h) for h in header]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))

    def line(cells):
        out = []
        for i, cell in enumerate(cells):
            out.append(cell.rjust(widths[i]) if i in right else cell.ljust(widths[i]))
        return (indent + "  ".join(out)).rstrip()

    return [line(header)] + [line(r) for r in rows]


def _index_list(indices: Sequence[int], limit: int = 8) -> str:
    if len(indices) <= limit:
        return ", ".join(str(i) for i in indices)
    return ", ".join(str(i) for i in indices[:limit]) + f", … ({len(indices)} in all)"


# --------------------------------------------------------------------------- JSON


def pretty_json(compact: str) -> str:
    """Re-indent a compact JSON text (two spaces a level, one member or element a line).

    Works on the token stream, so every number keeps the exact spelling the module gave it (a
    json.loads/json.dumps round trip would respell 1e-6 as 1e-06). The input must be compact: no
    whitespace between tokens outside strings.
    """
    out: List[str] = []
    depth = 0
    i, n = 0, len(compact)
    while i < n:
        ch = compact[i]
        if ch == '"':
            j = i + 1
            while compact[j] != '"':
                j += 2 if compact[j] == "\\" else 1
            out.append(compact[i:j + 1])
            i = j + 1
            continue
        if ch in "{[":
            closer = "}" if ch == "{" else "]"
            if i + 1 < n and compact[i + 1] == closer:
                out.append(ch + closer)
                i += 2
                continue
            depth += 1
            out.append(ch + "\n" + "  " * depth)
        elif ch in "}]":
            depth -= 1
            out.append("\n" + "  " * depth + ch)
        elif ch == ",":
            out.append(",\n" + "  " * depth)
        elif ch == ":":
            out.append(": ")
        else:
            out.append(ch)
        i += 1
    return "".join(out)


# --------------------------------------------------------------------------- report parts


def _engine_verdict_line(verdict: dict, style: Style) -> str:
    return f"{style.status(verdict.get('status', '?'))}  {verdict.get('reason', '')}"


def _verdict_line(report: dict, style: Style, command: str) -> str:
    status = report.get("status", "?")
    flip = report.get("flip")
    if flip is not None:
        best = flip.get("best", {})
        threshold = flip.get("margin_threshold", 0.02)
        if status == "FLAG":
            why = (f"the table's axes look wrong: {best.get('label')} fits the fibres "
                   f"{_percent(flip.get('relative_margin'))} better than any other candidate")
        elif flip.get("decision") == "WARN":
            why = (f"{best.get('label')} fits the fibres better than the table as given, but its margin over "
                   f"the next candidate is only {_percent(flip.get('relative_margin'))} "
                   f"(flagging needs {_percent(threshold, 0)})")
        elif status == "WARN":
            why = "the table's axes fit the fibres best, but the scheme has issues (see the notes)"
        else:
            why = "the table's axes as given fit the fibres best"
    elif status == "WARN":
        why = "the scheme has issues (see the notes)"
    else:
        why = "no blocking problems in the gradient scheme"
        if command == "audit":
            why += " (no DWI given, so no flip check)"
    return f"{style.status(status)}  {why}"


def _inputs_lines(report: dict, dwi: Optional[str]) -> List[str]:
    parts = []
    if dwi:
        parts.append(dwi)
    for record in report.get("inputs", []):
        parts.append(record.get("path", "?"))
    n = len(report.get("scheme", {}).get("bvals", []))
    text = "Inputs: " + ", ".join(parts)
    if n:
        text += f"  ({n} volumes)"
    return [text]


def _shell_lines(report: dict, style: Style) -> List[str]:
    shells = report.get("shells")
    if not shells:
        return []
    angular = {}
    for entry in (report.get("angular") or {}).get("shells", []):
        angular[entry.get("nominal_b")] = entry
    rows = []
    for shell in shells.get("shells", []):
        b = shell.get("nominal_b")
        span = plain_number(shell.get("min_b"))
        if shell.get("max_b") != shell.get("min_b"):
            span += "–" + plain_number(shell.get("max_b"))
        if shell.get("is_b0"):
            rows.append(["b0", str(shell.get("count")), span, "", "", "b0 at " + _index_list(shell.get("indices", []))])
            continue
        a = angular.get(b, {})
        count = shell.get("count", 0)
        if count >= 45:
            fit = "enough for CSD"
        elif count >= 30:
            fit = "enough for DTI"
        elif count >= 6:
            fit = "few for DTI (<30)"
        else:
            fit = "too few for DTI (<6)"
        cond = a.get("condition_number")
        dups = a.get("duplicates", [])
        rows.append([plain_number(b), str(count), span, "n/a" if cond is None else f"{cond:.1f}",
                     str(len(dups)), fit])
    lines = [style.bold("Shells") + f"  (b0 threshold {plain_number(shells.get('b0_threshold'))}, "
             f"tolerance {plain_number(shells.get('tolerance'))})"]
    lines += _table(["b", "volumes", "b range", "cond.", "dup. pairs", "coverage"], rows, right=(1,))
    norm = report.get("norm_stats")
    if norm and norm.get("non_b0_count"):
        if norm.get("non_unit_count"):
            lines.append(f"  vector norms: {norm['non_unit_count']} of {norm['non_b0_count']} non-b0 vectors are "
                         f"not unit length (norm {_fixed(norm.get('norm_min'), 3)}–{_fixed(norm.get('norm_max'), 3)})")
        else:
            lines.append(f"  vector norms: all {norm['non_b0_count']} non-b0 vectors unit length within "
                         f"{_percent(norm.get('tolerance'), 0)}")
    drift = report.get("b0_drift")
    if drift and len(drift.get("indices", [])) >= 2:
        lines.append(f"  b0 drift: {_percent(drift.get('relative_drift'))} peak-to-peak "
                     f"(slope {_fixed(drift.get('slope'), 3)} per volume)")
    return lines


def _matrix_key(matrix) -> tuple:
    return tuple(tuple(float(v) for v in row) for row in matrix)


def _negated_key(matrix) -> tuple:
    return tuple(tuple(-float(v) + 0.0 for v in row) for row in matrix)


def _flip_lines(report: dict, style: Style) -> List[str]:
    flip = report.get("flip")
    if not flip:
        return []
    ranking = flip.get("ranking", [])
    # Sign-equivalent candidates (M and -M) always score the same; show each pair as one row.
    groups = []
    by_key = {}
    for rank, entry in enumerate(ranking, 1):
        key = _matrix_key(entry.get("matrix", []))
        partner = by_key.get(_negated_key(entry.get("matrix", [])))
        if partner is not None:
            partner["labels"].append(entry.get("label"))
            partner["identity"] = partner["identity"] or entry.get("is_identity", False)
            continue
        group = {"rank": rank, "labels": [entry.get("label")], "coherence": entry.get("coherence"),
                 "samples": entry.get("n_samples"), "identity": entry.get("is_identity", False)}
        by_key[key] = group
        groups.append(group)
    runner_key = _matrix_key(flip.get("runner_up", {}).get("matrix", []))
    runner = by_key.get(runner_key) or by_key.get(_negated_key(flip.get("runner_up", {}).get("matrix", [])))

    shown = groups[:RANKING_ROWS]
    extra = [g for g in groups[RANKING_ROWS:] if g["identity"] or g is runner]
    rows = []

    def row(g):
        marks = []
        if g is groups[0]:
            marks.append("best")
        if g is runner:
            marks.append("runner-up")
        if g["identity"]:
            marks.append("table as given")
        return [str(g["rank"]), " = ".join(g["labels"]), _fixed(g["coherence"], 4), str(g["samples"]),
                ", ".join(marks)]

    rows = [row(g) for g in shown]
    if extra:
        rows.append(["…", "", "", "", ""])
        rows += [row(g) for g in extra]
    threshold = flip.get("margin_threshold", 0.02)
    lines = [style.bold("Flip detection") + f"  (working shell b={plain_number(flip.get('working_b'))}, "
             f"{flip.get('n_wm_voxels')} white-matter voxels, mean FA {_fixed(flip.get('mask_mean_fa'), 2)})"]
    lines += _table(["rank", "transform", "coherence", "samples", ""], rows, right=(0, 3))
    lines.append(f"  margin over the runner-up: {_fixed(flip.get('margin'), 4)} = "
                 f"{_percent(flip.get('relative_margin'))} (flag threshold {_percent(threshold, 0)}); "
                 f"table as given: {_fixed(flip.get('identity_coherence'), 4)}")
    return lines


def _fix_lines(report: dict, style: Style, repair_command: Optional[Sequence[str]],
               force_command: Optional[Sequence[str]]) -> List[str]:
    flip = report.get("flip")
    if not flip:
        return []
    if flip.get("decision") == "FLAG" and flip.get("recommended_transform") is not None:
        lines = [style.bold("Recommended fix") + f": {flip.get('recommended_label')}  "
                 f"(corrected direction = M·g, M = {format_matrix(flip['recommended_transform'])})"]
        if repair_command:
            lines.append("  " + shlex.join(repair_command))
        return lines
    if flip.get("decision") == "WARN" and force_command:
        best = flip.get("best", {})
        return [style.bold("No automatic fix") + f": the margin is too small. To apply {best.get('label')} anyway:",
                "  " + shlex.join(force_command)]
    return []


def _z_text(z) -> str:
    if z is None:
        return "n/a"
    return "certain" if abs(float(z)) >= 1e6 else f"{float(z):.1f}"


def _distance_lines(verdict: dict, style: Style) -> List[str]:
    """The evidence: per walking distance the winner, its margin, confidence and blocks."""
    title = "Verdict over walking distances" + (" on the corrected table" if verdict.get("as_given") else "")
    head = (style.bold(title) +
            f"  (working shell b={plain_number(verdict.get('working_b'))}, sample: {verdict.get('sample')}, "
            f"{verdict.get('n_sampled')} voxels in {verdict.get('n_blocks')} blocks of "
            f"{plain_number((verdict.get('thresholds') or {}).get('block_mm', 16))} mm, "
            f"mean FA {_fixed(verdict.get('mask_mean_fa'), 2)})")
    rows = []
    for d in verdict.get("distances", []):
        step = " × ".join(f"{float(v):.2f}" for v in d.get("step_voxels", []))
        rows.append([f"{float(d.get('distance_mm')):.1f} mm", step, d.get("winner", "?"), d.get("runner_up", "?"),
                     _percent(d.get("relative_margin")), _z_text(d.get("z")), str(d.get("n_blocks"))])
    lines = [head]
    if rows:
        lines += _table(["distance", "voxels walked", "winner", "runner-up", "margin", "z", "blocks"], rows,
                        right=(4, 5, 6))
    else:
        lines.append("  no distance scored: the data cannot decide")
    thresholds = verdict.get("thresholds") or {}
    lines.append(f"  FLAG needs one transform winning at every distance with z >= "
                 f"{plain_number(thresholds.get('z', 3))} over at least {thresholds.get('min_blocks', 20)} blocks")
    if verdict.get("frame_candidates"):
        lines.append(f"  the image is oblique by {_fixed(verdict.get('obliquity_deg'), 1)}°: the classes composed "
                     "with its rotation (a table in scanner axes) were scored too")
    lines += [f"  note: {note}" for note in verdict.get("notes", [])]
    given = verdict.get("as_given")
    if given:
        lines.append(f"  the table as given: {given.get('status')}  {given.get('reason')}")
    return lines


# How many volumes the human view names by their residual share (the JSON has every one).
SHARE_ROWS = 5


def _share_text(volumes: Sequence[dict]) -> str:
    top = sorted(volumes, key=lambda v: -float(v.get("share") or 0.0))[:SHARE_ROWS]
    return ", ".join(f"{v.get('volume')} {_percent(v.get('share'))}" for v in top)


def _consistency_lines(verdict: dict, style: Style) -> List[str]:
    """Whether the table agrees with itself, and every volume's part of the residual."""
    c = verdict.get("consistency")
    if not c:
        return []
    if not c.get("checked"):
        return [style.bold("Consistency of the table with itself") + f": {c.get('reason')}"]
    head = (style.bold("Consistency of the table with itself") +
            f"  ({c.get('hypotheses')} corrections of a part tried on {c.get('n_voxels')} voxels in "
            f"{c.get('n_blocks')} blocks)")
    # The status word only where the check found something (the verdict's own line leads the view).
    status = c.get("status", "?")
    lines = [head, f"  {style.status(status)}  {c.get('reason')}" if status != "PASS" else f"  {c.get('reason')}"]
    volumes = c.get("volumes") or []
    if volumes:
        even = 1.0 / len(volumes)
        lines.append(f"  largest residual shares (volume, share; {_percent(even)} each if even): {_share_text(volumes)}")
    fixed = c.get("volumes_fixed") or []
    if fixed:
        lines.append(f"  after the correction: {_share_text(fixed)}")
    for v in (fixed or volumes):
        if v.get("state") not in (None, "fits"):
            lines.append(f"  volume {v.get('volume')}: {v.get('state')} (prediction error {_fixed(v.get('misfit'), 1)} × "
                         "the median)")
    lines += [f"  note: {note}" for note in c.get("notes", [])]
    return lines


def _per_volume_fix_text(verdict: dict) -> str:
    fix = verdict.get("fix") or {}
    text = fix.get("description", "")
    if fix.get("whole_label"):
        text += f"; then the whole table {fix['whole_label']} (M = {format_matrix(fix['whole_transform'])})"
    return text


def _verdict_fix_lines(verdict: dict, style: Style, context: dict) -> List[str]:
    """A repair command is offered only on FLAG."""
    if verdict.get("status") == "FLAG" and verdict.get("fix"):
        lines = [style.bold("Recommended fix") + f", volume by volume: {_per_volume_fix_text(verdict)}"]
        if context.get("repair_command"):
            lines.append("  " + shlex.join(context["repair_command"]))
        return lines
    if verdict.get("status") == "FLAG" and verdict.get("recommended_transform") is not None:
        lines = [style.bold("Recommended fix") + f": {verdict.get('recommended_label')}  "
                 f"(corrected direction = M·g, M = {format_matrix(verdict['recommended_transform'])})"]
        if context.get("repair_command"):
            lines.append("  " + shlex.join(context["repair_command"]))
        return lines
    if verdict.get("status") == "WARN":
        return [style.bold("No automatic fix") + ": the verdict is not certain enough to change the table."]
    return []


def _repair_lines(report: dict, style: Style, context: dict, verdict: Optional[dict] = None) -> List[str]:
    repair = report.get("repair")
    flip = report.get("flip") or {}
    head = style.bold("Repair")
    if repair is None and verdict is not None:
        return [f"{head}: nothing written; {verdict.get('reason')}"]
    if repair is not None and not repair.get("outputs") and verdict is not None and verdict.get("fix"):
        lines = [f"{head} (dry run): would apply the correction volume by volume ({_per_volume_fix_text(verdict)}); "
                 "nothing written. To write the files:"]
        if context.get("apply_command"):
            lines.append("  " + shlex.join(context["apply_command"]))
        return lines
    if repair is None:
        if flip.get("decision") == "WARN":
            best = flip.get("best", {})
            lines = [f"{head}: nothing written; the margin is below the threshold, so {best.get('label')} is not "
                     "applied automatically. Add --force-repair to apply it anyway:"]
            if context.get("force_command"):
                lines.append("  " + shlex.join(context["force_command"]))
            return lines
        return [f"{head}: nothing written; the table as given is the best fit."]
    outputs = repair.get("outputs", [])
    if not outputs:
        lines = [f"{head} (dry run): would apply {repair.get('label')} "
                 f"(M = {format_matrix(repair.get('matrix', []))}); nothing written. To write the files:"]
        if context.get("apply_command"):
            lines.append("  " + shlex.join(context["apply_command"]))
        return lines
    if verdict is not None and verdict.get("status") == "PASS":
        lines = [f"{head}: the table as given is right; written unchanged"]
    elif verdict is not None and verdict.get("fix"):
        lines = [f"{head}: applied the correction volume by volume ({_per_volume_fix_text(verdict)})"]
    else:
        lines = [f"{head}: applied {repair.get('label')} (M = {format_matrix(repair.get('matrix', []))})"]
    lines += [f"  wrote {path}" for path in outputs]
    for original, backup in context.get("backups", []):
        lines.append(f"  kept the previous {original} as {backup}")
    if context.get("provenance"):
        lines.append(f"  provenance {context['provenance']}")
    if context.get("verify_command"):
        lines.append("  check it: " + shlex.join(context["verify_command"]))
    return lines


def _notes_lines(report: dict, style: Style) -> List[str]:
    notes = report.get("notes", [])
    if not notes:
        return [style.bold("Notes") + ": none"]
    return [style.bold("Notes")] + [f"  - {note}" for note in notes]


def render_report(report: dict, style: Optional[Style] = None, *, command: str = "audit",
                  dwi: Optional[str] = None, context: Optional[dict] = None,
                  verdict: Optional[dict] = None) -> str:
    """The human view of one report: verdict, inputs, shells, flip evidence, fix, repair, notes.

    ``context`` may carry ``repair_command`` (argv of the repair that applies the recommended fix),
    ``force_command`` (the same with --force-repair, offered by the single-distance view), and for
    ``repair``: ``apply_command``, ``verify_command``, ``backups`` (pairs of path, backup path) and
    ``provenance``.

    With ``verdict`` (the engine's verdict, as parsed JSON) the head line, the evidence (one row per
    walking distance instead of the single-distance ranking), the fix and the repair follow it.
    """
    style = style or Style()
    context = context or {}
    head = _engine_verdict_line(verdict, style) if verdict is not None else _verdict_line(report, style, command)
    blocks = [[head] + _inputs_lines(report, dwi)]
    evidence = _distance_lines(verdict, style) if verdict is not None else _flip_lines(report, style)
    consistency = _consistency_lines(verdict, style) if verdict is not None else []
    for block in (_shell_lines(report, style), evidence, consistency):
        if block:
            blocks.append(block)
    if command == "repair":
        blocks.append(_repair_lines(report, style, context, verdict))
    else:
        block = (_verdict_fix_lines(verdict, style, context) if verdict is not None else
                 _fix_lines(report, style, context.get("repair_command"), context.get("force_command")))
        if block:
            blocks.append(block)
    blocks.append(_notes_lines(report, style))
    return "\n\n".join("\n".join(b) for b in blocks) + "\n"


def render_profile(timing: dict, style: Optional[Style] = None) -> str:
    style = style or Style()
    total = timing.get("total") or 0.0
    rows = []
    keys = ["decompress", "convert", "fit", "coherence"] + (["consistency"] if "consistency" in timing else []) + ["other"]
    for key in keys:
        seconds = float(timing.get(key, 0.0))
        share = f"{100.0 * seconds / total:.0f}%" if total > 0 else "n/a"
        rows.append([key, f"{seconds:.3f} s", share])
    rows.append(["total", f"{float(total):.3f} s", ""])
    lines = [style.bold("Stage timing") + f"  ({plain_number(timing.get('threads'))} worker threads)"]
    lines += _table(["stage", "time", "share"], rows, right=(1, 2))
    return "\n".join(lines) + "\n"


def render_bids(outcome, style: Optional[Style] = None) -> str:
    """The dataset run in brief: the tally, then the runs that need a look (not a confident PASS)."""
    style = style or Style()
    counts = outcome.counts
    worst = next((s for s in ("ERROR", "FLAG", "WARN") if counts.get(s)), "PASS")
    tally = ", ".join(f"{counts[s]} {s}" for s in ("PASS", "WARN", "FLAG", "ERROR") if counts.get(s))
    head = f"{style.status(worst)}  {counts['runs']} run{'s' if counts['runs'] != 1 else ''}: {tally}"
    if outcome.current:
        head += f"  ({outcome.audited} audited, {outcome.current} report{'s' if outcome.current != 1 else ''} " \
                "already current)"
    lines = [head]
    rows, commands = [], []
    for r in outcome.records:
        notes = []
        if r["status"] == "ERROR":
            notes.append(r["error"] or "")
        if r["status"] == "FLAG":
            notes.append(f"fix {r['recommended_label']}")
            commands.append(r["repair_command"])
        if r["status"] == "WARN":
            notes.append(r["reason"] or "")
        if r["outlier"]:
            notes.append(f"outlier: its acquisition group agrees on {r['group_label']}")
        if r["inferred_label"] is not None and r["status"] != "PASS":
            notes.append(f"inferred from its acquisition group: {r['inferred_label']} (not applied)")
        if notes:
            confidence = "" if r["confidence"] is None else f"{float(r['confidence']):.1f}"
            rows.append([r["name"], style.status(r["status"]), confidence, "; ".join(notes)])
    if rows:
        lines.append("")
        lines += _table(["run", "status", "z", "note"], rows, right=(2,))
        quiet = counts["runs"] - len(rows)
        if quiet:
            lines.append(f"  ({quiet} more run{'s' if quiet != 1 else ''} PASS and not listed)")
    if commands:
        lines.append("")
        lines.append("Repair commands (write the fixed tables into the output folder):")
        lines += [f"  {command}" for command in commands]
    lines.append("")
    if outcome.group:
        lines.append(f"Group table: {os.path.join(outcome.output_dir, 'group_dwi.tsv')} (and group_dwi.json)")
    lines.append(f"Per-run reports: {os.path.join(outcome.output_dir, 'sub-<label>', '...', '<run>_dirsieve.json')}")
    return "\n".join(lines) + "\n"


def _shell_list(shells: Sequence[dict], b0_threshold: float) -> str:
    parts = []
    for s in shells:
        b = s.get("nominal_b")
        name = "b0" if b is not None and b <= b0_threshold else f"b={plain_number(b)}"
        parts.append(f"{name} ×{s.get('count')}")
    return ", ".join(parts) if parts else "none"


def render_recompute(summary: dict, style: Optional[Style] = None, *, b0_threshold: float = 50.0,
                     dry_run: bool = False, provenance: Optional[str] = None) -> str:
    style = style or Style()
    lines = [style.bold("B-values recovered from vector lengths") +
             f"  (b_nominal {plain_number(summary.get('b_nominal'))}, "
             f"max |g| {_fixed(summary.get('max_norm'), 4)})"]
    lines.append(f"  recomputed b range: {plain_number(summary.get('b_min'))}–{plain_number(summary.get('b_max'))}")
    lines.append(f"  shells before: {_shell_list(summary.get('before', []), b0_threshold)}")
    lines.append(f"  shells after:  {_shell_list(summary.get('after', []), b0_threshold)}")
    outputs = summary.get("outputs", [])
    if dry_run or not outputs:
        lines.append("Dry run: nothing written.")
    else:
        lines += [f"wrote {path}" for path in outputs]
        if provenance:
            lines.append(f"provenance {provenance}")
    return "\n".join(lines) + "\n"
