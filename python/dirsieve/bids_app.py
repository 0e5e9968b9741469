"""Whole BIDS datasets: ``dirsieve bids BIDS_DIR [OUTPUT_DIR] [{participant,group}]``.

Orchestration only. The runs come from the core's discovery (:func:`dirsieve._engine.discover_bids`),
each run is audited by the engine with the verdict, and the acquisition check is the core's
(:func:`dirsieve._engine.acquisition_groups`); this module moves paths and results around.

Participant level
    Every run that has a table is a task on Dask distributed: a local cluster with one worker
    process per core by default (``jobs``), or the running cluster at ``scheduler``. Workers get
    paths, never arrays. Each run's report goes to ``OUTPUT_DIR/<folder>/<run>_dirsieve.json``
    (``<folder>`` is the run's folder in the dataset, ``sub-XX/[ses-YY/]dwi``), written to a
    temporary name in the same folder and renamed, so a file there is always whole. A run that
    fails gets a report with its error and the batch goes on. A report whose input digests, tool
    version and options match the run is kept as it is (``rerun`` audits again).
Group level
    ``group_dwi.tsv`` and ``group_dwi.json``: one row per run with its verdict, error, the part of
    its table found (or suspected) wrong, and the acquisition check (runs of one acquisition should
    share one convention).

The exit code is the worst run status (0 PASS, 3 WARN, 4 FLAG), or 1 when a run failed.
"""

from __future__ import annotations

import contextlib
import glob
import hashlib
import json
import logging
import os
import shlex
import signal
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from dirsieve import __version__
from dirsieve.render import plain_number

__all__ = ["AppOptions", "AppOutcome", "BidsAppError", "run_app", "audit_job", "REPORT_SUFFIX", "GROUP_TSV",
           "GROUP_JSON", "EXIT_INTERRUPTED"]

REPORT_SUFFIX = "_dirsieve.json"
PART_SUFFIX = ".part"
GROUP_TSV = "group_dwi.tsv"
GROUP_JSON = "group_dwi.json"
EXIT_ERROR = 1
EXIT_INTERRUPTED = 130
STATUS_EXIT = {"PASS": 0, "WARN": 3, "FLAG": 4}
BIDS_VERSION = "1.9.0"

TSV_COLUMNS = ("name", "subject", "session", "dwi", "status", "recommended_label", "reason", "confidence",
               "n_wm_voxels", "error", "group", "outlier", "group_label", "inferred_label", "report",
               "repair_command", "part")
IDENTITY_LABEL = "+x+y+z"
# The TSV's part column marks a suspect the consistency check could not decide.
NOT_DECIDED = " (not decided)"


class BidsAppError(Exception):
    """A failure of the whole command (not of one run): one line, exit code 1."""


@dataclass
class AppOptions:
    bids_dir: str
    output_dir: Optional[str] = None  # default: BIDS_DIR/derivatives/dirsieve
    levels: Sequence[str] = ("participant", "group")
    participant_labels: Sequence[str] = ()
    session_labels: Sequence[str] = ()
    jobs: Optional[int] = None  # local worker processes (default: one per core)
    scheduler: Optional[str] = None  # address of a running Dask scheduler
    rerun: bool = False
    analysis: Dict[str, Any] = field(default_factory=dict)  # the engine's analysis keywords
    threads: Optional[int] = None  # engine threads per run (default: the worker's share of the cores)
    progress: Optional[bool] = None  # None: a progress bar when stderr is a terminal


# --------------------------------------------------------------------------- files


def write_atomic(path: str, text: str) -> None:
    """Write ``text`` to a temporary file beside ``path``, flush it to disk, then rename it over ``path``."""
    folder = os.path.dirname(path) or "."
    os.makedirs(folder, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=PART_SUFFIX, dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    with contextlib.suppress(OSError):
        directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


def remove_partial_files(paths: Iterable[str]) -> None:
    """Remove what a writer stopped mid-way (a killed worker, an interrupt) left beside each path."""
    for path in paths:
        pattern = os.path.join(glob.escape(os.path.dirname(path)), "." + glob.escape(os.path.basename(path)) +
                               ".*" + PART_SUFFIX)
        for leftover in glob.glob(pattern):
            with contextlib.suppress(OSError):
                os.unlink(leftover)


def _sha256(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def _read_json(path: str) -> Optional[Any]:
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _one_line(text: str) -> str:
    return " ".join(str(text).split()) or "failed"


# --------------------------------------------------------------------------- the task of one run


def _worker_threads() -> int:
    """The engine threads of one run on this worker: its share of the cores it may use."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        from distributed import get_worker

        slots = max(1, int(get_worker().state.nthreads))
    except (ImportError, ValueError, AttributeError):
        slots = 1
    return max(1, cores // slots)


def _error_document(job: Dict[str, Any], inputs: Dict[str, Any], message: str) -> Dict[str, Any]:
    message = _one_line(message)
    # Name the file: the engine's messages name a table file they cannot parse, not always the image.
    if not any(p and p in message for p in (job["dwi"], job["bvec"], job["bval"], job.get("mask"))):
        message = f"{job['dwi']}: {message}"
    return {"report": None, "verdict": None, "error": {"file": job["dwi"], "message": message}, "inputs": inputs,
            "tool_version": job["tool_version"], "options": job["options"]}


def _document_text(document: Dict[str, Any], report_text: Optional[str] = None) -> str:
    """The run's report file; the module's report text is embedded as it came."""
    members = []
    for key, value in document.items():
        text = report_text if key == "report" and report_text is not None else json.dumps(value, ensure_ascii=False)
        members.append(json.dumps(key) + ": " + text)
    return "{" + ", ".join(members) + "}\n"


def _write_document(job: Dict[str, Any], document: Dict[str, Any], report_text: Optional[str] = None
                    ) -> Optional[str]:
    """Write the run's report; the failure's one-line message, or None."""
    try:
        write_atomic(job["output"], _document_text(document, report_text))
    except OSError as exc:
        return f"cannot write the report {job['output']}: {exc.strerror or exc}"
    return None


def _unwritten(message: str) -> Dict[str, Any]:
    """A run whose report could not be written: ERROR with why."""
    return {"status": "ERROR", "recommended_label": None, "reason": None, "confidence": None, "n_wm_voxels": None,
            "error": message, "shells": [], "part": None, "part_decided": None, "skipped": False, "unwritten": True}


def summarise(document: Dict[str, Any]) -> Dict[str, Any]:
    """What the batch needs of a run's report: the verdict in brief, or the error.

    ``part`` is the part of the table its consistency check found wrong (its description), or the
    suspect when the check could not decide (``part_decided`` False); None when the table agrees
    with itself or was not checked.
    """
    from dirsieve.qc import part_finding

    verdict = document.get("verdict")
    verdict = verdict if isinstance(verdict, dict) else {}  # a report edited or cut short: no verdict
    error = document.get("error")
    error = error if isinstance(error, dict) or not error else {"message": str(error)}
    report = document.get("report")
    report = report if isinstance(report, dict) else {}
    shells = report.get("shells")
    figures = document.get("figures")
    part = None if error else part_finding(verdict)
    fix = verdict.get("fix") if isinstance(verdict.get("fix"), dict) else None
    return {
        "status": "ERROR" if error or not verdict else verdict.get("status"),
        "recommended_label": verdict.get("recommended_label"),
        "reason": verdict.get("reason"),
        "confidence": verdict.get("confidence"),
        "n_wm_voxels": verdict.get("n_wm_voxels"),
        "error": error.get("message") if error else (None if verdict else "the report holds no verdict"),
        "shells": shells.get("shells", []) if isinstance(shells, dict) else [],
        "figures": [f for f in figures if isinstance(f, str)] if isinstance(figures, list) else [],
        "part": part["description"] if part else None,
        "part_decided": part["decided"] if part else None,
        # For the acquisition check: a fix volume by volume is no convention; the table's axes once the
        # part is corrected are (the whole-table part of the fix, or its own axes).
        "convention_label": (fix.get("whole_label") or IDENTITY_LABEL) if fix is not None
        else verdict.get("recommended_label"),
    }


def _figure_module():
    """The figure code where this worker can draw (matplotlib and nibabel installed), else None."""
    from dirsieve import qc

    try:
        qc.require_matplotlib()
    except qc.MissingMatplotlib:
        return None
    return qc


def _run_figures(job: Dict[str, Any], out: Dict[str, Any]) -> List[str]:
    """The run's figure files beside its report (names relative to that folder); none when it cannot draw.

    A figure is evidence for a person, not part of the verdict: a failure to draw leaves the run's
    report as it is.
    """
    qc = _figure_module()
    if qc is None or out.get("glyphs") is None:
        return []
    try:
        os.makedirs(os.path.dirname(job["output"]), exist_ok=True)
        return qc.write_run_figures(os.path.dirname(job["output"]), job["name"], json.loads(out["report"]),
                                    out["verdict"], out["glyphs"])
    except (OSError, ValueError):
        return []


def audit_job(job: Dict[str, Any]) -> Dict[str, Any]:
    """Audit one run where this runs (a Dask worker): paths in, the report file written, a summary back.

    The report is kept when it is current (same input digests, tool version and options) unless
    ``job["rerun"]``. Any failure of the run is written as its report and returned as ERROR.
    """
    from dirsieve import _engine

    output = job["output"]
    roles = [("dwi", job["dwi"]), ("bvec", job["bvec"]), ("bval", job["bval"]), ("mask", job.get("mask"))]
    inputs: Dict[str, Any] = {}
    try:
        for role, path in roles:
            inputs[role] = None if path is None else {"path": path, "sha256": _sha256(path)}
    except OSError as exc:
        document = _error_document(job, inputs, f"cannot read {exc.filename}: {exc.strerror or exc}")
        failed = _write_document(job, document)
        return _unwritten(failed) if failed else dict(summarise(document), skipped=False)

    if not job["rerun"]:
        old = _read_json(output)
        if (isinstance(old, dict) and old.get("verdict") and not old.get("error")
                and old.get("inputs") == inputs and old.get("tool_version") == job["tool_version"]
                and old.get("options") == job["options"]):
            return dict(summarise(old), skipped=True)

    threads = job.get("threads") or _worker_threads()
    keywords = {key: value for key, value in job["options"].items() if value is not None}
    try:
        out = _engine.audit(job["dwi"], bvec=job["bvec"], bval=job["bval"], mask=job.get("mask"), threads=threads,
                            glyphs=_figure_module() is not None, **keywords)
    except (Exception, _engine.InternalError) as exc:  # the run fails, the batch goes on
        document = _error_document(job, inputs, str(exc))
        failed = _write_document(job, document)
        return _unwritten(failed) if failed else dict(summarise(document), skipped=False)
    document = {"report": None, "verdict": out["verdict"], "inputs": inputs, "tool_version": job["tool_version"],
                "options": job["options"], "figures": _run_figures(job, out)}
    failed = _write_document(job, document, out["report"])
    if failed:
        return _unwritten(failed)
    document["report"] = json.loads(out["report"])
    return dict(summarise(document), skipped=False)


def dask_setup(worker) -> None:  # noqa: ARG001 - Dask's preload hook
    """Local workers leave Ctrl-C to the command: the terminal sends it to the whole process group."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# --------------------------------------------------------------------------- cluster


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


@contextlib.contextmanager
def _exit_on_interrupt(stderr):
    """While a local cluster starts there is nothing to keep: Ctrl-C stops its processes and exits at once."""
    def stop(signum, frame):  # noqa: ARG001
        with contextlib.suppress(Exception):
            import psutil

            for child in psutil.Process().children(recursive=True):
                with contextlib.suppress(Exception):
                    child.kill()
        with contextlib.suppress(Exception):
            stderr.write("dirsieve: interrupted\n")
            stderr.flush()
        os._exit(EXIT_INTERRUPTED)

    previous = signal.signal(signal.SIGINT, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def _interrupts_held():
    """A second Ctrl-C waits for the clean-up (stopping the workers, removing partial files): about a second."""
    main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
    try:
        yield
    finally:
        if main:
            signal.signal(signal.SIGINT, previous)


class _Cluster:
    """A Dask client on a local cluster of worker processes, or on a running scheduler."""

    def __init__(self, options: AppOptions, stderr, announce: bool):
        from distributed import Client, LocalCluster

        logging.getLogger("distributed").setLevel(logging.ERROR)
        self.local = None
        if options.scheduler:
            try:
                self.client = Client(options.scheduler, timeout=30)
            except (OSError, TimeoutError, ValueError) as exc:
                raise BidsAppError(f"cannot reach the Dask scheduler {options.scheduler}: {_one_line(exc)}") from None
            self.threads = options.threads
            return
        jobs = options.jobs or _usable_cores()
        # One task per worker process; the engine's threads share the cores out among the workers.
        self.threads = options.threads or max(1, _usable_cores() // jobs)
        if announce:
            stderr.write(f"dirsieve: starting {jobs} local worker process{'es' if jobs > 1 else ''}\n")
            stderr.flush()
        import dask

        # The workers' statistical profiler samples every 10 ms: processor time a batch does not need.
        with _exit_on_interrupt(stderr), dask.config.set({"distributed.worker.profile.enabled": False}):
            self.local = LocalCluster(n_workers=jobs, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      silence_logs=logging.ERROR, preload=["dirsieve.bids_app"])
            self.client = Client(self.local)

    def close(self) -> None:
        """Stop at once: a local cluster's workers are killed (what they were writing is removed after)."""
        # Gathers and callbacks still pending when the cluster goes fail; the scheduler and tornado would log
        # each on stderr, ahead of the one line the command prints.
        for name in ("distributed", "tornado.application"):
            logging.getLogger(name).setLevel(logging.CRITICAL)
        if self.local is not None:
            from distributed.core import Status

            for nanny in list(self.local.workers.values()):
                # A nanny that is closing does not start a new worker when its worker dies.
                nanny.status = Status.closing_gracefully
                process = getattr(nanny, "process", None)
                pid = getattr(process, "pid", None)
                if pid:
                    with contextlib.suppress(OSError):
                        os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(Exception):
            self.client.close(timeout=2)
        if self.local is not None:
            with contextlib.suppress(Exception):
                self.local.close(timeout=2)


# --------------------------------------------------------------------------- levels


def _report_path(output_dir: str, run: Dict[str, Any]) -> str:
    return os.path.join(output_dir, run["folder"], run["name"] + REPORT_SUFFIX)


def _normalised(options: Dict[str, Any]) -> Dict[str, Any]:
    return json.loads(json.dumps({k: options[k] for k in sorted(options)}))


class _Progress:
    """runs done/total, failures and time left on a terminal; nothing otherwise."""

    def __init__(self, total: int, enabled: bool, stderr):
        self.failed = 0
        self.skipped = 0
        self.bar = None
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="run", file=stderr, dynamic_ncols=True, desc="auditing",
                            bar_format="{desc} {n_fmt}/{total_fmt} |{bar}| {elapsed}<{remaining}{postfix}")
            self._postfix()

    def _postfix(self):
        if self.bar is not None:
            self.bar.set_postfix_str(f"{self.failed} failed" + (f", {self.skipped} current" if self.skipped else ""),
                                     refresh=False)

    def advance(self, summary: Dict[str, Any]) -> None:
        self.failed += summary["status"] == "ERROR"
        self.skipped += bool(summary.get("skipped"))
        if self.bar is not None:
            self._postfix()
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def participant_level(options: AppOptions, runs: List[Dict[str, Any]], output_dir: str, stderr,
                      progress: bool) -> Tuple[Dict[str, Dict[str, Any]], bool]:
    """Audit every run with a table; returns the summaries by report path and whether it was interrupted."""
    analysis = _normalised(options.analysis)
    jobs = [{"name": run["name"], "dwi": run["dwi"], "bvec": run["bvec"], "bval": run["bval"], "mask": run["mask"],
             "output": _report_path(output_dir, run), "options": analysis, "tool_version": __version__,
             "rerun": options.rerun, "threads": None} for run in runs if run["problem"] is None]
    summaries: Dict[str, Dict[str, Any]] = {}
    if not jobs:
        return summaries, False
    outputs = [job["output"] for job in jobs]
    remove_partial_files(outputs)
    interrupted = False
    cluster = None
    bar = None
    try:
        cluster = _Cluster(options, stderr, announce=progress)
        token = uuid.uuid4().hex[:12]
        futures = {}
        for i, job in enumerate(jobs):
            job["threads"] = cluster.threads
            key = f"dirsieve-audit-{token}-{i}"
            futures[cluster.client.submit(audit_job, job, key=key, pure=False)] = job
        from distributed import as_completed

        bar = _Progress(len(jobs), progress, stderr)
        for future in as_completed(list(futures)):
            job = futures.pop(future)
            try:
                summary = future.result()
            except Exception as exc:  # the worker died (KilledWorker), was lost, or the task broke
                document = _error_document(job, {}, f"the audit did not finish: {type(exc).__name__}: {exc}")
                failed = _write_document(job, document)
                summary = _unwritten(failed) if failed else dict(summarise(document), skipped=False)
            future.release()
            summaries[job["output"]] = summary
            bar.advance(summary)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        with _interrupts_held():
            if bar is not None:
                bar.close()
            if cluster is not None:
                cluster.close()
            remove_partial_files(outputs)
    return summaries, interrupted


def _repair_command(run: Dict[str, Any], output_dir: str, analysis: Dict[str, Any]) -> List[str]:
    stem = run["name"][: -len("_dwi")] + "_desc-repaired_dwi"
    folder = os.path.join(output_dir, run["folder"])
    argv = ["dirsieve", "repair", run["dwi"], "--bvec", run["bvec"], "--bval", run["bval"],
            "--out-bvec", os.path.join(folder, stem + ".bvec"), "--out-bval", os.path.join(folder, stem + ".bval")]
    if run["mask"]:
        argv += ["--mask", run["mask"]]
    for key in sorted(analysis):
        value = analysis[key]
        if value is None or value is False:
            continue
        spelled = "--" + key.replace("_", "-")
        if value is True:
            argv.append(spelled)
        elif isinstance(value, list):
            argv += [spelled, ",".join(plain_number(v) for v in value)]
        else:
            argv += [spelled, plain_number(value)]
    return argv


def group_records(options: AppOptions, runs: List[Dict[str, Any]], output_dir: str,
                  summaries: Dict[str, Dict[str, Any]]) -> List[Dict[str, Any]]:
    """One record per run, from the reports in OUTPUT_DIR, with the acquisition check."""
    from dirsieve import _engine

    analysis = _normalised(options.analysis)
    records, members = [], []
    for run in runs:
        path = _report_path(output_dir, run)
        relative = os.path.relpath(path, output_dir)
        if run["problem"] is not None:
            summary = {"status": "ERROR", "error": f"{run['dwi']}: {run['problem']}", "shells": []}
            relative = None
        elif path in summaries:
            summary = summaries[path]
            if summary.get("unwritten"):
                relative = None
        else:
            document = _read_json(path)
            if isinstance(document, dict):
                summary = summarise(document)
                if summary["status"] == "ERROR" and not document.get("error"):
                    summary["error"] = f"{path}: {summary['error']}"
            else:
                summary = {"status": "ERROR", "shells": [],
                           "error": f"{run['dwi']}: no report at {path} (run the participant level for it)"}
                relative = None
        records.append({
            "name": run["name"], "subject": run["subject"], "session": run["session"], "dwi": run["dwi"],
            "status": summary["status"], "recommended_label": summary.get("recommended_label"),
            "reason": summary.get("reason"), "confidence": summary.get("confidence"),
            "n_wm_voxels": summary.get("n_wm_voxels"), "error": summary.get("error"), "group": None,
            "outlier": False, "group_label": None, "inferred_label": None, "report": relative,
            "figures": [os.path.join(os.path.dirname(relative), name) for name in summary.get("figures", [])]
            if relative else [],
            "repair_command": (shlex.join(_repair_command(run, output_dir, analysis))
                               if summary["status"] == "FLAG" else None),
            "part": summary.get("part"), "part_decided": summary.get("part_decided"),
        })
        members.append({"acquisition": run["acquisition"], "shells": summary.get("shells", []),
                        "status": summary["status"], "confidence": summary.get("confidence"),
                        "recommended_label": summary.get("convention_label", summary.get("recommended_label"))})
    for record, finding in zip(records, _engine.acquisition_groups(json.dumps(members))):
        record.update(finding)
    return records


def counts_of(records: List[Dict[str, Any]]) -> Dict[str, int]:
    counts = {"runs": len(records)}
    for status in ("PASS", "WARN", "FLAG", "ERROR"):
        counts[status] = sum(r["status"] == status for r in records)
    counts["outliers"] = sum(bool(r["outlier"]) for r in records)
    counts["inferred"] = sum(r["inferred_label"] is not None for r in records)
    return counts


def _tsv_cell(value: Any) -> str:
    if value is None:
        return "n/a"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return plain_number(value)
    return " ".join(str(value).replace("\t", " ").splitlines())


def _tsv_value(record: Dict[str, Any], column: str) -> Any:
    value = record.get(column)
    if column == "part" and value is not None and record.get("part_decided") is False:
        return f"{value}{NOT_DECIDED}"
    return value


def write_group_outputs(options: AppOptions, output_dir: str, records: List[Dict[str, Any]]) -> None:
    rows = ["\t".join(TSV_COLUMNS)] + ["\t".join(_tsv_cell(_tsv_value(r, c)) for c in TSV_COLUMNS) for r in records]
    write_atomic(os.path.join(output_dir, GROUP_TSV), "\n".join(rows) + "\n")
    source = _read_json(os.path.join(options.bids_dir, "dataset_description.json"))
    summary = {
        "dataset": {"path": os.path.abspath(options.bids_dir),
                    "name": source.get("Name") if isinstance(source, dict) else None},
        "generated_by": {"name": "dirsieve", "version": __version__},
        "runs": records,
        "counts": counts_of(records),
    }
    write_atomic(os.path.join(output_dir, GROUP_JSON), json.dumps(summary, indent=2, ensure_ascii=False) + "\n")
    # The dataset page, where Jinja2 is installed: a table of runs with a card each and the figures.
    from dirsieve import pages

    try:
        pages.require_jinja2()
    except pages.MissingJinja:
        return
    pages.write_dataset_page(output_dir, summary)


def write_dataset_description(options: AppOptions, output_dir: str) -> None:
    source = _read_json(os.path.join(options.bids_dir, "dataset_description.json"))
    source = source if isinstance(source, dict) else {}
    origin: Dict[str, Any] = {"URL": "file://" + os.path.abspath(options.bids_dir)}
    if source.get("DatasetDOI"):
        origin["DOI"] = source["DatasetDOI"]
    description = {
        "Name": "dirsieve gradient-table audit" + (f" of {source['Name']}" if source.get("Name") else ""),
        "BIDSVersion": BIDS_VERSION,
        "DatasetType": "derivative",
        "GeneratedBy": [{"Name": "dirsieve", "Version": __version__,
                         "Description": "gradient table audit of every diffusion run, with the verdict and the "
                                        "acquisition check"}],
        "SourceDatasets": [origin],
    }
    write_atomic(os.path.join(output_dir, "dataset_description.json"), json.dumps(description, indent=2) + "\n")


def _exit_code(statuses: Iterable[str]) -> int:
    statuses = list(statuses)
    if "ERROR" in statuses:
        return EXIT_ERROR
    return max((STATUS_EXIT.get(s, 0) for s in statuses), default=0)


@dataclass
class AppOutcome:
    """What a run of the app did, for the command's output."""

    exit_code: int
    output_dir: str
    records: List[Dict[str, Any]] = field(default_factory=list)
    group: bool = False  # the group level ran (records carry the acquisition check)
    current: int = 0  # reports kept because they were current
    audited: int = 0  # runs audited in this run
    interrupted: bool = False

    @property
    def counts(self) -> Dict[str, int]:
        return counts_of(self.records)


def run_app(options: AppOptions, stderr=None) -> AppOutcome:
    """Run the levels asked for. Raises :class:`BidsAppError` for a failure of the whole command."""
    from dirsieve import _engine

    stderr = stderr or sys.stderr
    output_dir = options.output_dir or os.path.join(options.bids_dir, "derivatives", "dirsieve")
    if os.path.exists(output_dir) and os.path.exists(options.bids_dir) and os.path.samefile(output_dir,
                                                                                           options.bids_dir):
        raise BidsAppError(f"the output folder must not be the BIDS folder itself: {output_dir}")
    try:
        runs = _engine.discover_bids(options.bids_dir, participant_label=list(options.participant_labels) or None,
                                     session_label=list(options.session_labels) or None)
    except ValueError as exc:
        raise BidsAppError(str(exc)) from None
    if not runs:
        selected = " for the selected participants/sessions" if options.participant_labels or options.session_labels \
            else ""
        raise BidsAppError(f"no *_dwi NIfTI found under {options.bids_dir}{selected}")
    try:
        os.makedirs(output_dir, exist_ok=True)
        write_dataset_description(options, output_dir)
    except OSError as exc:
        raise BidsAppError(f"cannot write to the output folder {output_dir}: {exc.strerror or exc}") from None

    progress = options.progress if options.progress is not None else _is_terminal(stderr)
    summaries: Dict[str, Dict[str, Any]] = {}
    if "participant" in options.levels:
        summaries, interrupted = participant_level(options, runs, output_dir, stderr, progress)
        audited = sum(1 for s in summaries.values() if not s.get("skipped"))
        if interrupted:
            return AppOutcome(EXIT_INTERRUPTED, output_dir, audited=audited, interrupted=True)
    outcome = AppOutcome(0, output_dir, group="group" in options.levels,
                         current=sum(1 for s in summaries.values() if s.get("skipped")),
                         audited=sum(1 for s in summaries.values() if not s.get("skipped")))
    outcome.records = group_records(options, runs, output_dir, summaries)
    if outcome.group:
        try:
            write_group_outputs(options, output_dir, outcome.records)
        except OSError as exc:
            raise BidsAppError(f"cannot write the group table in {output_dir}: {exc.strerror or exc}") from None
    outcome.exit_code = _exit_code(r["status"] for r in outcome.records)
    return outcome


def _is_terminal(stream) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
