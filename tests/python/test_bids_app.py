"""`dirsieve bids` on small BIDS datasets of phantom runs: both levels on two Dask workers, a worker
killed mid-batch, Ctrl-C and the rerun, participant selection and the acquisition check."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

try:
    import matplotlib  # noqa: F401
    import nibabel  # noqa: F401

    HAVE_FIGURES = True
except ImportError:
    HAVE_FIGURES = False

import _dirsieve
import dirsieve
from dirsieve import bids_app, cli
from dirsieve.phantom import write_phantom

distributed = pytest.importorskip("distributed")

ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join([os.path.dirname(_dirsieve.__file__), os.path.dirname(os.path.dirname(dirsieve.__file__))]),
    NO_COLOR="1",
)


def start(*args):
    return subprocess.Popen([sys.executable, "-m", "dirsieve", "bids", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=ENV, start_new_session=True)


def run(*args):
    process = start(*args)
    out, err = process.communicate(timeout=120)
    return subprocess.CompletedProcess(args, process.returncode, out, err)


def place(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    try:
        os.link(source, target)
    except OSError:
        with open(source, "rb") as f, open(target, "wb") as g:
            g.write(f.read())


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def flipped_x(bvec_path):
    with open(bvec_path) as f:
        rows = f.read().splitlines()
    return "\n".join([" ".join(str(-float(v) + 0.0) for v in rows[0].split())] + rows[1:]) + "\n"


def reports(output):
    found = []
    for folder, _, names in os.walk(output):
        found += [os.path.relpath(os.path.join(folder, n), output) for n in names if n.endswith("_dirsieve.json")]
    return sorted(found)


def partial_files(output):
    return [os.path.join(f, n) for f, _, names in os.walk(output) for n in names if n.endswith(bids_app.PART_SUFFIX)]


@pytest.fixture(scope="module")
def phantoms(tmp_path_factory):
    base = tmp_path_factory.mktemp("phantoms")
    # 32^3 voxels of 2 mm: enough 16 mm blocks for a confident verdict; 16^3: too few (WARN).
    return {"large": write_phantom(str(base / "large"), shape=(32, 32, 32), grad=False, mask=False),
            "small": write_phantom(str(base / "small"), shape=(16, 16, 16), grad=False, mask=False)}


@pytest.fixture(scope="module")
def study(tmp_path_factory, phantoms):
    """Seven runs of one acquisition: two sessions, an inherited table, a flipped table, a broken bvec, a
    truncated image, a run too small to be sure; and a sourcedata/ copy that must not be audited."""
    root = str(tmp_path_factory.mktemp("bids") / "study")
    large, small = phantoms["large"], phantoms["small"]
    write_text(f"{root}/dataset_description.json", json.dumps({"Name": "phantoms", "BIDSVersion": "1.9.0"}))
    write_text(f"{root}/dwi.json", json.dumps({"Manufacturer": "Acme", "ManufacturersModelName": "Phantom",
                                               "ConversionSoftware": "dcm2niix"}))
    place(large["bvec"], f"{root}/dwi.bvec")
    place(large["bval"], f"{root}/dwi.bval")

    def add(stem, ph=large, bvec=None, image=None):
        if image is None:
            place(ph["dwi"], f"{root}/{stem}.nii.gz")
        else:
            os.makedirs(os.path.dirname(f"{root}/{stem}"), exist_ok=True)
            with open(f"{root}/{stem}.nii.gz", "wb") as f:
                f.write(image)
        if bvec != "inherited":
            place(ph["bval"], f"{root}/{stem}.bval")
            if bvec is None:
                place(ph["bvec"], f"{root}/{stem}.bvec")
            else:
                write_text(f"{root}/{stem}.bvec", bvec)

    add("sub-01/ses-1/dwi/sub-01_ses-1_dwi")
    add("sub-01/ses-2/dwi/sub-01_ses-2_dwi")
    add("sub-02/dwi/sub-02_dwi", bvec="inherited")
    add("sub-03/dwi/sub-03_dwi", bvec=flipped_x(large["bvec"]))
    add("sub-04/dwi/sub-04_dwi", bvec="1 0 0\n0 one 0\n")
    with open(large["dwi"], "rb") as f:
        image = f.read()
    add("sub-05/dwi/sub-05_dwi", image=image[: len(image) // 2])
    add("sub-06/dwi/sub-06_dwi", ph=small)
    add("sourcedata/sub-01/ses-1/dwi/sub-01_ses-1_dwi")
    return root


@pytest.fixture(scope="module")
def batch(tmp_path_factory, phantoms):
    """Twenty runs of one phantom (the image hard-linked), for stopping a batch half-way."""
    root = str(tmp_path_factory.mktemp("batch") / "many")
    ph = write_phantom(str(tmp_path_factory.mktemp("p48")), shape=(48, 48, 40), grad=False, mask=False)
    for i in range(1, 21):
        for key, ext in (("dwi", ".nii.gz"), ("bvec", ".bvec"), ("bval", ".bval")):
            place(ph[key], f"{root}/sub-{i:02d}/dwi/sub-{i:02d}_dwi{ext}")
    return root


@pytest.fixture(scope="module")
def scheduler():
    """One local cluster of two worker processes for the runs that join it with --scheduler."""
    import logging

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                       silence_logs=logging.ERROR)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


EXPECTED = {
    "sub-01_ses-1_dwi": "PASS", "sub-01_ses-2_dwi": "PASS", "sub-02_dwi": "PASS", "sub-03_dwi": "FLAG",
    "sub-04_dwi": "ERROR", "sub-05_dwi": "ERROR", "sub-06_dwi": "WARN",
}


def test_both_levels_on_two_local_workers(study, scheduler, tmp_path):
    output = tmp_path / "out"
    result = run(study, output, "--jobs", "2")
    assert result.returncode == 1, result.stderr  # a run could not be audited
    assert result.stderr == ""  # no progress bar and no worker noise off a terminal

    summary = json.loads((output / "group_dwi.json").read_text())
    runs = {r["name"]: r for r in summary["runs"]}
    assert {name: r["status"] for name, r in runs.items()} == EXPECTED
    assert summary["counts"] == {"runs": 7, "PASS": 3, "WARN": 1, "FLAG": 1, "ERROR": 2, "outliers": 1,
                                 "inferred": 1}
    assert summary["generated_by"] == {"name": "dirsieve", "version": dirsieve.__version__}
    assert summary["dataset"]["name"] == "phantoms"
    keys = ["name", "subject", "session", "dwi", "status", "recommended_label", "reason", "confidence", "n_wm_voxels",
            "error", "group", "outlier", "group_label", "inferred_label", "report", "figures", "repair_command", "part",
            "part_decided"]
    assert all(list(r) == keys for r in summary["runs"])
    assert runs["sub-01_ses-2_dwi"]["session"] == "2" and runs["sub-02_dwi"]["session"] is None

    # The errors name the file and the problem; the batch went on past them.
    assert f"bvec file {study}/sub-04/dwi/sub-04_dwi.bvec has 2 directions" in runs["sub-04_dwi"]["error"]
    assert f"{study}/sub-05/dwi/sub-05_dwi.nii.gz" in runs["sub-05_dwi"]["error"]
    assert "NIfTI error: " in runs["sub-05_dwi"]["error"]
    # The flipped table: FLAG with the fix, a repair command into the output, and an outlier of its group.
    flagged = runs["sub-03_dwi"]
    assert flagged["recommended_label"] == "-x+y+z" and flagged["outlier"] and flagged["group_label"] == "+x+y+z"
    assert f"--out-bvec {output}/sub-03/dwi/sub-03_desc-repaired_dwi.bvec" in flagged["repair_command"]
    # One acquisition: the sidecar at the top applies to every run.
    group = "manufacturer=Acme; model=Phantom; converter=dcm2niix; b=1000; slices=axial"
    assert {r["group"] for n, r in runs.items() if n not in ("sub-04_dwi", "sub-05_dwi")} == {group}
    weak = runs["sub-06_dwi"]
    assert weak["inferred_label"] == "+x+y+z" and not weak["outlier"] and weak["repair_command"] is None
    assert not any(r["outlier"] for n, r in runs.items() if n != "sub-03_dwi")

    # Per-run reports: one per auditable run, named after it, the module report with the verdict.
    assert reports(output) == sorted(f"{os.path.dirname(r['dwi'])[len(study) + 1:]}/{n}_dirsieve.json"
                                     for n, r in runs.items())
    document = json.loads((output / runs["sub-02_dwi"]["report"]).read_text())
    assert list(document) == ["report", "verdict", "inputs", "tool_version", "options", "figures"]
    assert document["report"]["status"] in ("PASS", "WARN", "FLAG") and document["verdict"]["status"] == "PASS"
    assert document["inputs"]["bvec"]["path"] == f"{study}/dwi.bvec"  # inherited from the top
    assert len(document["inputs"]["dwi"]["sha256"]) == 64
    failed = json.loads((output / runs["sub-05_dwi"]["report"]).read_text())
    assert failed["report"] is None and failed["error"]["file"] == f"{study}/sub-05/dwi/sub-05_dwi.nii.gz"
    assert not partial_files(output) and "sourcedata" not in "".join(reports(output))

    tsv = (output / "group_dwi.tsv").read_text().splitlines()
    header = tsv[0].split("\t")
    assert header[:10] == ["name", "subject", "session", "dwi", "status", "recommended_label", "reason",
                           "confidence", "n_wm_voxels", "error"] and "outlier" in header and "group" in header
    rows = {line.split("\t")[0]: dict(zip(header, line.split("\t"))) for line in tsv[1:]}
    assert rows["sub-02_dwi"]["session"] == "n/a" and rows["sub-03_dwi"]["outlier"] == "true"
    assert header == list(bids_app.TSV_COLUMNS) and header[-1] == "part"  # the new column comes last
    assert {r["part"] for r in rows.values()} == {"n/a"} and all(r["part"] is None for r in runs.values())
    description = json.loads((output / "dataset_description.json").read_text())
    assert description["DatasetType"] == "derivative" and description["GeneratedBy"][0]["Name"] == "dirsieve"
    assert description["SourceDatasets"] == [{"URL": "file://" + study}]

    # The group level's page lists every run; each audited run's figure sits beside its report.
    page = (output / "index.html").read_text()
    assert all(name in page for name in runs)
    drawn = [r for r in runs.values() if r["figures"]]
    if HAVE_FIGURES:
        assert {r["name"] for r in drawn} == {n for n, r in runs.items() if r["status"] != "ERROR"}
        for record in drawn:
            (figure,) = record["figures"]
            assert figure == os.path.join(os.path.dirname(record["report"]), f"{record['name']}_qc.png")
            assert (output / figure).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and figure in page

    # Again on a running cluster: every current report is kept as it is, the failed runs are tried again.
    stamps = {r: os.stat(output / r).st_mtime_ns for r in reports(output)}
    again = run(study, output, "--scheduler", scheduler.scheduler.address)
    assert again.returncode == 1 and "(2 audited, 5 reports already current)" in again.stdout
    assert {r: os.stat(output / r).st_mtime_ns == stamps[r] for r in stamps} == {
        r: not r.startswith(("sub-04", "sub-05")) for r in stamps}
    # Another option is another report.
    changed = run(study, output, "participant", "--scheduler", scheduler.scheduler.address, "--scales-mm", "4,6")
    assert "(0 audited" not in changed.stdout and "already current" not in changed.stdout


def part_wrong(bvec_path, bval_path, whole=(1, 1, 1)):
    """The table with x negated on the second half of its diffusion-weighted rows (and ``whole`` on every row)."""
    g, b = np.loadtxt(bvec_path).T, np.loadtxt(bval_path)
    dw = np.nonzero(b > 50)[0]
    g[dw[len(dw) // 2:]] *= [-1, 1, 1]
    g *= whole
    return "\n".join(" ".join(f"{v:.6f}" for v in axis) for axis in g.T) + "\n"


def test_part_wrong_tables_in_the_group_outputs(phantoms, scheduler, tmp_path):
    root = tmp_path / "bids"
    large = phantoms["large"]
    write_text(f"{root}/dataset_description.json", json.dumps({"Name": "parts", "BIDSVersion": "1.9.0"}))
    write_text(f"{root}/dwi.json", json.dumps({"Manufacturer": "Acme", "ConversionSoftware": "dcm2niix"}))
    tables = {"sub-01": None, "sub-02": None, "sub-03": part_wrong(large["bvec"], large["bval"]),
              "sub-04": part_wrong(large["bvec"], large["bval"], whole=(1, -1, 1))}
    for subject, table in tables.items():
        stem = f"{root}/{subject}/dwi/{subject}_dwi"
        place(large["dwi"], stem + ".nii.gz")
        place(large["bval"], stem + ".bval")
        place(large["bvec"], stem + ".bvec") if table is None else write_text(stem + ".bvec", table)
    output = tmp_path / "out"
    result = run(root, output, "--scheduler", scheduler.scheduler.address)
    assert result.returncode == 4, result.stderr
    runs = {r["name"]: r for r in json.loads((output / "group_dwi.json").read_text())["runs"]}
    described = "volumes 19\u201334: x negated relative to volumes 3\u201318"
    for name in ("sub-03_dwi", "sub-04_dwi"):
        record = runs[name]
        assert (record["status"], record["recommended_label"]) == ("FLAG", "per-volume")
        assert (record["part"], record["part_decided"]) == (described, True) and record["repair_command"]
    assert all((runs[n]["part"], runs[n]["part_decided"]) == (None, None) for n in ("sub-01_dwi", "sub-02_dwi"))
    # The acquisition check compares conventions: a fix volume by volume is none. Once the part is
    # corrected, sub-03's axes are the group's; sub-04's table also has y negated throughout.
    assert {r["group_label"] for r in runs.values()} == {"+x+y+z"}
    assert [n for n, r in sorted(runs.items()) if r["outlier"]] == ["sub-04_dwi"]

    tsv = (output / "group_dwi.tsv").read_text().splitlines()
    assert tsv[0].split("\t")[-1] == "part"
    cells = {line.split("\t")[0]: line.split("\t")[-1] for line in tsv[1:]}
    assert cells == {"sub-01_dwi": "n/a", "sub-02_dwi": "n/a", "sub-03_dwi": described, "sub-04_dwi": described}
    page = (output / "index.html").read_text()
    assert page.count(f'<td class="part">{described}</td>') == 2

    # A report cut short or edited by hand fails only its run, naming the file.
    report = output / runs["sub-01_dwi"]["report"]
    report.write_text(json.dumps({"report": "", "verdict": "edited", "figures": "x.png"}))
    group = run(root, output, "group")
    assert group.returncode == 1 and "Traceback" not in group.stderr, group.stderr
    runs = {r["name"]: r for r in json.loads((output / "group_dwi.json").read_text())["runs"]}
    assert runs["sub-01_dwi"]["status"] == "ERROR" and runs["sub-01_dwi"]["figures"] == []
    assert runs["sub-01_dwi"]["error"] == f"{report}: the report holds no verdict"


def test_summary_marks_a_suspect_as_not_decided(phantoms, tmp_path):
    """What a run's summary and TSV cell say of a part in doubt, of a failed run, of an older report."""
    bvec = tmp_path / "part.bvec"
    bvec.write_text(part_wrong(phantoms["large"]["bvec"], phantoms["large"]["bval"]))
    verdict = dirsieve.check(phantoms["large"]["dwi"], bvec=str(bvec), bval=phantoms["large"]["bval"]).verdict.to_dict()
    c = verdict["consistency"]
    suspect = c["candidates"][1]
    c.update(status="WARN", finding=None,
             reason=f"part of the table looks wrong ({suspect['description']}; residual 80% lower, z = 5.9), but "
                    "the data cannot decide volumes 17, 18")
    verdict.update(status="WARN", fix=None, as_given=None, recommended_label=None)
    summary = bids_app.summarise({"verdict": verdict, "report": {}})
    assert (summary["part"], summary["part_decided"]) == (suspect["description"], False)
    assert summary["convention_label"] is None  # a WARN says nothing of the convention
    assert bids_app._tsv_value(summary, "part") == suspect["description"] + " (not decided)"

    failed = bids_app.summarise({"verdict": verdict, "error": {"file": "d.nii", "message": "d.nii: truncated"}})
    assert failed["status"] == "ERROR" and failed["part"] is None and failed["part_decided"] is None
    old = {k: v for k, v in verdict.items() if k not in ("consistency", "fix", "as_given")}
    assert bids_app.summarise({"verdict": old})["part"] is None


def test_participant_level_per_label_then_group(study, scheduler, tmp_path):
    output = tmp_path / "out"
    address = scheduler.scheduler.address
    first = run(study, output, "participant", "--participant-label", "01", "--scheduler", address)
    assert first.returncode == 0, first.stderr
    assert reports(output) == ["sub-01/ses-1/dwi/sub-01_ses-1_dwi_dirsieve.json",
                               "sub-01/ses-2/dwi/sub-01_ses-2_dwi_dirsieve.json"]
    assert not (output / "group_dwi.tsv").exists()
    second = run(study, output, "participant", "--participant-label", "sub-03", "--session-label", "1",
                 "--scheduler", address)
    assert second.returncode == 1 and "no *_dwi NIfTI found" in second.stderr  # sub-03 has no session 1
    assert run(study, output, "participant", "--participant-label", "sub-03", "--scheduler", address).returncode == 4

    group = run(study, output, "group")
    assert group.returncode == 1
    runs = {r["name"]: r for r in json.loads((output / "group_dwi.json").read_text())["runs"]}
    assert runs["sub-03_dwi"]["status"] == "FLAG" and runs["sub-03_dwi"]["outlier"]
    assert runs["sub-02_dwi"]["status"] == "ERROR" and "run the participant level" in runs["sub-02_dwi"]["error"]
    assert runs["sub-02_dwi"]["report"] is None
    assert len(reports(output)) == 3  # the group level audits nothing


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def test_a_killed_worker_still_gives_every_report_once(batch, scheduler, tmp_path):
    output = tmp_path / "out"
    process = start(batch, output, "participant", "--scheduler", scheduler.scheduler.address)

    def busy_worker():
        return next((w for w, keys in scheduler.processing().items() if any("dirsieve-audit" in k for k in keys)),
                    None)

    wait_for(lambda: busy_worker() is not None and len(reports(output)) >= 2)
    victim = busy_worker()
    pid = scheduler.run(os.getpid, workers=[victim])[victim]
    os.kill(pid, signal.SIGKILL)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    assert out.startswith("PASS  20 runs: 20 PASS")
    assert reports(output) == [f"sub-{i:02d}/dwi/sub-{i:02d}_dwi_dirsieve.json" for i in range(1, 21)]
    assert not partial_files(output)
    assert all(json.loads((output / r).read_text())["verdict"]["status"] == "PASS" for r in reports(output))
    scheduler.wait_for_workers(2, timeout=60)


def test_interrupt_keeps_finished_reports_and_the_rerun_does_the_rest(batch, scheduler, tmp_path):
    output = tmp_path / "out"
    process = start(batch, output, "participant", "--jobs", "2")
    wait_for(lambda: len(reports(output)) >= 1 or process.poll() is not None)
    os.killpg(process.pid, signal.SIGINT)  # what Ctrl-C in a terminal does
    interrupted_at = time.monotonic()
    out, err = process.communicate(timeout=60)
    stopped_after = time.monotonic() - interrupted_at
    assert process.returncode == 130, err
    assert stopped_after < 3.0
    assert err.startswith("dirsieve: interrupted (") and "Traceback" not in err and out == ""
    assert not partial_files(output)
    kept = reports(output)
    assert 1 <= len(kept) < 20
    stamps = {r: os.stat(output / r).st_mtime_ns for r in kept}
    assert all(json.loads((output / r).read_text())["verdict"]["status"] == "PASS" for r in kept)

    rest = run(batch, output, "--scheduler", scheduler.scheduler.address)
    assert rest.returncode == 0, rest.stderr
    assert f"({20 - len(kept)} audited, {len(kept)} report" in rest.stdout
    assert len(reports(output)) == 20 and {r: os.stat(output / r).st_mtime_ns for r in kept} == stamps


@pytest.mark.parametrize("argv, fragment", [
    (["{root}", "out", "participant", "group"], "unrecognized arguments"),
    (["{root}", "out", "all"], "the analysis level is participant or group"),
    (["{root}", "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"], "cannot be combined with --scheduler"),
    (["{root}", "--participant-label", "01/x"], "not a label"),
    (["{root}", "--mask", "m.nii"], "unrecognized arguments"),
])
def test_usage_errors(study, capsys, argv, fragment):
    code = cli.main(["bids"] + [a.format(root=study) for a in argv])
    assert code == 2 and fragment in capsys.readouterr().err


def test_command_errors(study, tmp_path, capsys):
    (tmp_path / "empty").mkdir()
    cases = [
        ([tmp_path / "nowhere"], f"BIDS root not found: {tmp_path / 'nowhere'}"),
        ([tmp_path / "empty"], f"no *_dwi NIfTI found under {tmp_path / 'empty'}"),
        ([study, "--participant-label", "99"], "no *_dwi NIfTI found under"),
        ([study, study], "the output folder must not be the BIDS folder itself"),
    ]
    for argv, fragment in cases:
        assert cli.main(["bids", *map(str, argv)]) == 1
        err = capsys.readouterr().err
        assert err.startswith("dirsieve: error: ") and fragment in err and err.count("\n") == 1, err
    assert not (tmp_path / "empty" / "derivatives").exists()


def test_discovery_arguments(study):
    from dirsieve import _engine

    assert [r["name"] for r in _engine.discover_bids(study, participant_label=("02", "sub-03"))] == [
        "sub-02_dwi", "sub-03_dwi"]
    with pytest.raises(TypeError, match="argument 'participant_label'"):
        _engine.discover_bids(study, participant_label="01")  # one label is a list of one
    with pytest.raises(TypeError, match="argument 'session_label'"):
        _engine.discover_bids(study, session_label=["1", 1])
    with pytest.raises(ValueError, match="text contains a NUL character"):
        _engine.discover_bids(study, participant_label=["0\x001"])
    with pytest.raises(ValueError, match="group records must be a JSON array of objects"):
        _engine.acquisition_groups("[1]")


def test_a_report_that_cannot_be_written_fails_only_its_run(study, scheduler, tmp_path):
    output = tmp_path / "out"
    output.mkdir()
    (output / "sub-02").write_text("a file where the run's folder would go")
    result = run(study, output, "--participant-label", "01", "02", "--scheduler", scheduler.scheduler.address)
    assert result.returncode == 1, result.stderr
    runs = {r["name"]: r for r in json.loads((output / "group_dwi.json").read_text())["runs"]}
    assert [runs[n]["status"] for n in sorted(runs)] == ["PASS", "PASS", "ERROR"]
    assert runs["sub-02_dwi"]["error"].startswith(f"cannot write the report {output}/sub-02/dwi/sub-02_dwi_dirsieve.json")
    assert runs["sub-02_dwi"]["report"] is None and (output / "sub-02").read_text().startswith("a file")
    assert len(reports(output)) == 2 and not partial_files(output)
