"""The HTML pages: the run page of --html and the dataset page, read as text and in Chromium."""
import importlib.util
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import numpy as np
import pytest

import _dirsieve
import dirsieve
from dirsieve import cli, pages, qc
from dirsieve.phantom import write_phantom

pytestmark = pytest.mark.skipif(
    any(importlib.util.find_spec(m) is None for m in ("matplotlib", "nibabel", "jinja2")),
    reason="the pages need the qc extra (matplotlib, nibabel, jinja2)")

SHAPE = (32, 32, 32)
ROOTS = [os.path.dirname(_dirsieve.__file__), os.path.dirname(os.path.dirname(dirsieve.__file__))]


# --------------------------------------------------------------------------- the browser


def _chromium():
    """(browser, driver) executables, or the reason the browser tests cannot run here."""
    if importlib.util.find_spec("selenium") is None:
        return None, "selenium is not installed (scripts/setup.sh installs it)"
    browser = next((shutil.which(n) for n in ("chromium", "chromium-browser") if shutil.which(n)), None)
    driver = shutil.which("chromedriver")
    if browser is None or driver is None:
        return None, "Chromium and chromedriver are not installed (scripts/setup.sh installs the Debian packages)"
    return (browser, driver), None


@pytest.fixture(scope="module")
def browser():
    found, reason = _chromium()
    if found is None:
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = found[0]
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000", "--allow-file-access-from-files"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is a tool here, not code under test: it runs without the sanitizer pass's preload.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(options=options, service=Service(executable_path=found[1], env=env))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def open_page(driver, path):
    driver.get("file://" + os.path.abspath(path))
    driver.get_log("browser")  # nothing from an earlier page counts


def console_errors(driver):
    return [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]


def images_decode(driver, tmp_path, name):
    """Scroll every image into view, wait until each has decoded, and keep a screenshot."""
    from selenium.webdriver.support.ui import WebDriverWait

    images = driver.find_elements("css selector", "img")
    for image in images:
        driver.execute_script("arguments[0].scrollIntoView()", image)
        WebDriverWait(driver, 30).until(lambda d: d.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth > 0", image))
    driver.execute_script("window.scrollTo(0, 0)")
    shot = tmp_path / name
    assert driver.save_screenshot(str(shot)) and shot.stat().st_size > 0
    return len(images)


class Tags(HTMLParser):
    """Start tags with their attributes, and the page's text."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.text = [], []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.text.append(data)

    def find(self, tag, **attrs):
        return [a for t, a in self.tags if t == tag and all(a.get(k) == v for k, v in attrs.items())]


def self_contained(html):
    """Nothing in the page reaches out: no remote URL, no external style sheet or script."""
    assert not re.search(r"(src|href)=\"(https?:)?//", html)
    assert "<link rel=\"stylesheet\"" not in html and "<script src" not in html


# --------------------------------------------------------------------------- the run page


@pytest.fixture(scope="module")
def flipped(tmp_path_factory):
    return write_phantom(str(tmp_path_factory.mktemp("flipped")), shape=SHAPE, flip="y", grad=False, mask=False)


def test_run_page_has_verdict_distances_figure_and_command(flipped, tmp_path, capsys, browser):
    page = tmp_path / "audit.html"
    report = tmp_path / "audit.json"
    code = cli.main(["audit", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                     "--html", str(page), "--report", str(report)])
    assert code == 4
    assert f"Page written to {page}" in capsys.readouterr().out
    verdict = json.loads(report.read_text())["verdict"]
    html = page.read_text()
    self_contained(html)
    tags = Tags(html)
    text = " ".join(tags.text)
    assert verdict["reason"] in text and f"z = {verdict['confidence']:.1f}" in text
    rows = re.findall(r"<tr><td class=\"num\">(\d+\.\d) mm</td>", html)
    assert [float(r) for r in rows] == [round(d["distance_mm"], 1) for d in verdict["distances"]]
    command = ["dirsieve", "repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"]]
    assert shlex.join(command) in text.replace("&#39;", "'")
    (image,) = tags.find("img")
    assert image["src"].startswith("data:image/png;base64,") and image["width"] == str(qc.WIDTH_PX)
    # A whole-table fix: the table agrees with itself, one chart of residual shares, nothing shaded.
    consistency = section(html, "consistency")
    assert verdict["consistency"]["reason"] in consistency and 'class="badge PASS"' in consistency
    assert len(Tags(consistency).find("figure", **{"class": "chart"})) == 1 and 'class="shade"' not in consistency
    assert 'id="part"' not in html and 'id="as-given"' not in html

    open_page(browser, page)
    assert console_errors(browser) == []
    assert images_decode(browser, tmp_path, "run_page.png") == 1
    assert browser.execute_script("return document.images[0].naturalWidth") == qc.WIDTH_PX


def test_run_page_of_the_module_verdict_and_of_repair(flipped, tmp_path, capsys, browser):
    page = tmp_path / "module.html"
    assert cli.main(["detect-flip", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                     "--no-consensus", "--html", str(page)]) in (3, 4)
    text = " ".join(Tags(page.read_text()).text)
    assert "Single-distance verdict of the module" in text and "No consistency check in this report" in text
    open_page(browser, page)
    assert console_errors(browser) == []
    assert images_decode(browser, tmp_path, "module_page.png") == 1

    page = tmp_path / "repair.html"
    assert cli.main(["repair", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
                     "--out-bvec", str(tmp_path / "r.bvec"), "--out-bval", str(tmp_path / "r.bval"),
                     "--html", str(page)]) == 0
    text = " ".join(Tags(page.read_text()).text).replace("&#39;", "'")
    assert "Check the table that was written" in text and str(tmp_path / "r.bvec") in text
    capsys.readouterr()


def section(html, name):
    return re.search(rf'<section id="{name}">(.*?)</section>', html, re.S).group(1)


@pytest.fixture(scope="module")
def part_wrong(tmp_path_factory):
    """The phantom with x negated on the second half of its diffusion-weighted rows: FLAG, fixed per volume."""
    paths = write_phantom(str(tmp_path_factory.mktemp("part")), shape=SHAPE, grad=False, mask=False)
    g, b = np.loadtxt(paths["bvec"]).T, np.loadtxt(paths["bval"])
    dw = np.nonzero(b > 50)[0]
    g[dw[len(dw) // 2:]] *= [-1, 1, 1]
    np.savetxt(paths["bvec"], g.T, fmt="%.6f")
    return paths


def bars(html, chart):
    """The bars of one chart: (volume, classes, x, height)."""
    found = re.search(rf'<figure class="chart" id="{chart}">(.*?)</figure>', html, re.S).group(1)
    return [(int(a["data-volume"]), a["class"].split(), float(a["x"]), float(a["height"]))
            for a in Tags(found).find("rect") if a.get("class", "").startswith("bar ")]


def test_run_page_of_a_part_wrong_table(part_wrong, tmp_path, capsys, browser):
    page = tmp_path / "part.html"
    report = tmp_path / "part.json"
    code = cli.main(["audit", part_wrong["dwi"], "--bvec", part_wrong["bvec"], "--bval", part_wrong["bval"],
                     "--html", str(page), "--report", str(report)])
    capsys.readouterr()
    assert code == 4
    verdict = json.loads(report.read_text())["verdict"]
    fix, c = verdict["fix"], verdict["consistency"]
    assert fix is not None and verdict["recommended_transform"] is None
    html = page.read_text()
    self_contained(html)

    # The verdict names the fix volume by volume, not a matrix it does not have.
    head = " ".join(Tags(section(html, "verdict")).text)
    assert f"volume by volume: {fix['description']}" in head and "M = n/a" not in head and "per-volume" not in head
    assert f"volumes {qc.volume_ranges(fix['changed'])}" in head
    assert f"{verdict['as_given']['status']} {verdict['as_given']['reason']}" in " ".join(head.split())
    consistency = section(html, "consistency")
    text = " ".join(" ".join(Tags(consistency).text).split())
    assert c["reason"] in text and f"Part found wrong {c['finding']['description']}" in text

    # One bar per fitted volume, as given and after the fix, on one scale, the fix's volumes marked.
    given, after = bars(html, "shares-1"), bars(html, "shares-2")
    assert [b[0] for b in given] == [v["volume"] for v in c["volumes"]]
    assert [b[0] for b in after] == [v["volume"] for v in c["volumes_fixed"]]
    for drawn, rows in ((given, c["volumes"]), (after, c["volumes_fixed"])):
        assert {b[0] for b in drawn if "changed" in b[1]} == set(fix["changed"])
        states = {"fits": "fits", "fits another direction": "other", "fits no direction": "none"}
        assert [b[1][1] for b in drawn] == [states[r["state"]] for r in rows]
        assert all(x1 > x0 for x0, x1 in zip([b[2] for b in drawn], [b[2] for b in drawn][1:]))
    scale = [b[3] / r["share"] for drawn, rows in ((given, c["volumes"]), (after, c["volumes_fixed"]))
             for b, r in zip(drawn, rows) if r["share"] > 0.005]
    assert max(scale) - min(scale) < 0.01 * max(scale) + 0.05
    assert "volume (counted from 0)" in consistency and "shaded: changed by the fix" in text
    rows = Tags(section(html, "consistency").split('<details id="volumes">')[1]).find("tr")
    assert len(rows) == len(c["volumes"]) + 1

    open_page(browser, page)
    assert console_errors(browser) == []
    drawn = browser.execute_script("""
        return Array.from(document.querySelectorAll('#shares-1 rect.bar')).map(r => {
          const box = r.getBoundingClientRect();
          return [Number(r.dataset.volume), box.width, box.height, r.querySelector('title').textContent];
        });""")
    assert len(drawn) == len(c["volumes"]) and all(w > 5 for _, w, _, _ in drawn)
    tallest = max(drawn, key=lambda d: d[2])
    top = max(c["volumes"], key=lambda v: v["share"])
    assert tallest[0] == top["volume"] and tallest[3].startswith(f"volume {top['volume']} (b = ")
    assert f"{100 * top['share']:.1f}% of the residual" in tallest[3]
    changed = next(d for d in drawn if d[0] == fix["changed"][0])
    assert changed[3].endswith("; changed by the fix")
    width = browser.execute_script("return document.querySelector('#shares-1 svg').getBoundingClientRect().width")
    assert width > 800
    assert images_decode(browser, tmp_path, "part_page.png") == 1


def test_run_page_tells_dropout_apart_from_a_table_error(part_wrong, browser, tmp_path):
    result = dirsieve.check(part_wrong["dwi"], bvec=part_wrong["bvec"], bval=part_wrong["bval"])
    verdict = result.verdict.to_dict()
    for row in verdict["consistency"]["volumes"]:
        if row["volume"] == 5:
            row["state"] = "fits no direction"
    page = tmp_path / "dropout.html"
    page.write_text(pages.run_page(command="audit", report=result.report, verdict=verdict, figures=[]))
    open_page(browser, page)
    assert console_errors(browser) == []
    fill, pattern = browser.execute_script("""
        const bar = document.querySelector('#shares-1 rect.bar[data-volume="5"]');
        const id = getComputedStyle(bar).fill.match(/#([^"')]+)/)[1];
        return [getComputedStyle(bar).fill, document.getElementById(id).tagName];""")
    assert "shares-1-hatch" in fill and pattern == "pattern"  # striped, not one more colour
    title = browser.execute_script(
        "return document.querySelector('#shares-1 rect.bar[data-volume=\"5\"] title').textContent")
    assert "fits no direction: dropout or motion, not a table change" in title


def test_html_refusals_come_before_any_work(flipped, tmp_path, capsys):
    base = ["audit", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"]]
    assert cli.main(base + ["--html", str(tmp_path / "x.html"), "--qc", str(tmp_path / "x.html")]) == 2
    assert "name the same file" in capsys.readouterr().err
    assert cli.main(base + ["--html", flipped["bvec"]]) == 2
    assert cli.main(["audit", "--bvec", flipped["bvec"], "--bval", flipped["bval"], "--html",
                     str(tmp_path / "x.html")]) == 2
    assert "--html need(s) a DWI" in capsys.readouterr().err
    assert cli.main(base + ["--html", str(tmp_path / "no" / "x.html"), "--report", str(tmp_path / "r.json")]) == 1
    assert capsys.readouterr().err.startswith(f"dirsieve: error: cannot write {tmp_path / 'no' / 'x.html'}: folder")
    assert os.listdir(tmp_path) == []


def test_html_without_jinja2_fails_before_writing(flipped, tmp_path):
    blocker = tmp_path / "blocker" / "jinja2"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path / "blocker")] + ROOTS), NO_COLOR="1")
    result = subprocess.run([sys.executable, "-m", "dirsieve", "audit", flipped["dwi"], "--bvec", flipped["bvec"],
                             "--bval", flipped["bval"], "--html", str(out / "p.html"), "--report", str(out / "r.json")],
                            capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 1 and result.stderr.startswith("dirsieve: error: --html needs Jinja2")
    assert os.listdir(out) == []


# --------------------------------------------------------------------------- the dataset page


STATUSES = ["FLAG", "PASS", "WARN", "PASS", "ERROR", "FLAG", "PASS", "WARN", "PASS", "PASS", "FLAG", "PASS"]
CONFIDENCE = [6.2, 9.5, 1.4, None, None, 4.1, 12.0, 2.6, 7.7, 3.3, 5.0, 8.8]
PARTS = {1: ("volumes 19\u201334: x negated relative to volumes 3\u201318", True),
         8: ("volumes 13, 15 fit another direction than its row", False)}


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """A group-level output folder as `dirsieve bids` writes it: per-run folders with their figures."""
    root = tmp_path_factory.mktemp("derivatives")
    figures = {}
    for status, flip in (("FLAG", "y"), ("PASS", None)):
        paths = write_phantom(str(tmp_path_factory.mktemp(status)), shape=SHAPE, flip=flip, grad=False, mask=False)
        result = dirsieve.check(paths["dwi"], bvec=paths["bvec"], bval=paths["bval"], glyphs=True)
        assert result.status == status
        folder = tmp_path_factory.mktemp(status + "_figures")
        (name,) = qc.write_run_figures(str(folder), "run", result.report, result.verdict.to_dict(), result.glyphs)
        figures[status] = (folder / name).read_bytes()
    runs = []
    for i, (status, confidence) in enumerate(zip(STATUSES, CONFIDENCE), start=1):
        subject = f"{i:02d}" if i != 7 else "07 #a"  # a folder name that needs quoting in a URL
        name = f"sub-{subject}_dwi" if i != 3 else "sub-03 <b>&amp;</b>_dwi"
        folder = f"sub-{subject}/dwi"
        os.makedirs(root / folder, exist_ok=True)
        run_figures = []
        if status != "ERROR":  # the run's own figure file (drawn once per verdict, to keep the test quick)
            (root / folder / f"sub-{i:02d}_dwi_qc.png").write_bytes(figures["FLAG" if status == "FLAG" else "PASS"])
            run_figures = [f"{folder}/sub-{i:02d}_dwi_qc.png"]
        if i == 9:
            run_figures.append(f"{folder}/gone_qc.png")  # listed, never written
        (root / folder / "report.json").write_text("{}")
        runs.append({
            "name": name, "subject": subject, "session": None, "dwi": f"sub-{subject}/dwi/{name}.nii.gz",
            "status": status, "recommended_label": "+x-y+z" if status == "FLAG" else None,
            "reason": f"reason of run {i}", "confidence": confidence,
            "n_wm_voxels": None if status == "ERROR" else 1000 + 37 * i,
            "error": "cannot read the DWI: truncated file" if status == "ERROR" else None,
            "group": "b1000", "outlier": i in (6, 11), "group_label": "+x+y+z", "inferred_label": None,
            "report": f"{folder}/report.json", "figures": run_figures,
            "repair_command": f"dirsieve repair sub-{subject}.nii.gz --bvec x --bval y" if status == "FLAG" else None,
            "part": PARTS.get(i, (None, None))[0], "part_decided": PARTS.get(i, (None, None))[1],
        })
        if i == 12:  # a summary written before the consistency check
            del runs[-1]["part"], runs[-1]["part_decided"]
    counts = {s: STATUSES.count(s) for s in ("PASS", "WARN", "FLAG", "ERROR")}
    summary = {"dataset": "ds-test", "generated_by": "dirsieve bids", "runs": runs, "counts": counts}
    path = pages.write_dataset_page(str(root), summary)
    return root, summary, path


def test_dataset_page_lists_every_run_with_its_card(dataset):
    root, summary, path = dataset
    assert path == str(root / "index.html")
    assert sorted(p for p in os.listdir(root) if not p.startswith("sub-")) == ["index.html"]
    html = Path(path).read_text(encoding="utf-8")
    self_contained(html)
    tags = Tags(html)
    assert len(tags.find("tr")) == len(summary["runs"]) + 1  # and the header
    assert len([a for t, a in tags.tags if t == "article"]) == len(summary["runs"])
    assert "sub-03 &lt;b&gt;&amp;amp;&lt;/b&gt;_dwi" in html and "<b>&amp;</b>" not in html
    images = tags.find("img")
    assert len(images) == sum(1 for r in summary["runs"] for f in r["figures"] if "gone" not in f)
    assert all(i["loading"] == "lazy" and i["width"] == str(qc.WIDTH_PX) for i in images)
    assert "sub-07%20%23a/dwi/sub-07_dwi_qc.png" in [i["src"] for i in images]
    assert "Figure not found: sub-09/dwi/gone_qc.png" in " ".join(tags.text)


def test_dataset_page_names_the_part_of_each_table(dataset):
    root, summary, path = dataset
    html = Path(path).read_text(encoding="utf-8")
    cells = {}
    for row_id, cell in re.findall(r'<tr id="row-(run-\d+)".*?<td class="part">(.*?)</td>', html, re.S):
        cells[row_id] = " ".join(" ".join(Tags(cell).text).split())
    assert cells == {f"run-{i}": (PARTS[i][0] + ("" if PARTS[i][1] else " (not decided)") if i in PARTS else "")
                     for i in range(1, len(summary["runs"]) + 1)}
    cards = {m[0]: m[1] for m in re.findall(r'<article class="card" id="(run-\d+)".*?(?:<dd class="part">(.*?)</dd>|</article>)',
                                             html, re.S)}
    assert cards["run-1"] == f"wrong: {PARTS[1][0]}" and cards["run-8"] == f"suspected, not decided: {PARTS[8][0]}"
    assert cards["run-2"] == "" and cards["run-12"] == ""


@pytest.mark.parametrize("change, message", [
    (lambda s: s.update(runs="all"), "needs a list of runs"),
    (lambda s: s["runs"][0].update(figures=["/etc/passwd"]), "run sub-01_dwi: figure '/etc/passwd' is not a path inside"),
    (lambda s: s["runs"][1].update(report="../../elsewhere.json"), "run sub-02_dwi: report '../../elsewhere.json'"),
])
def test_dataset_page_refuses_paths_outside_the_folder(dataset, change, message):
    root, summary, path = dataset
    before = Path(path).read_bytes()
    broken = json.loads(json.dumps(summary))
    change(broken)
    with pytest.raises(ValueError, match=re.escape(message)):
        pages.write_dataset_page(str(root), broken)
    assert Path(path).read_bytes() == before
    with pytest.raises(ValueError, match="output folder not found"):
        pages.write_dataset_page(str(root / "missing"), summary)


def visible_rows(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#runs tbody tr')).filter(r => !r.hidden)"
        ".map(r => [r.dataset.status, r.dataset.confidence, r.dataset.outlier, r.dataset.run])")


def test_dataset_page_in_the_browser(dataset, browser, tmp_path):
    from selenium.webdriver.support.ui import Select

    root, summary, path = dataset
    open_page(browser, path)
    assert console_errors(browser) == []
    n = len(summary["runs"])
    assert len(visible_rows(browser)) == n
    # Lazy: a figure far down the page is not loaded before it is scrolled near.
    assert browser.execute_script("const i = document.images; return i[i.length - 1].naturalWidth") == 0

    header = browser.find_element("css selector", "th[data-key=confidence] button")
    header.click()
    values = [r[1] for r in visible_rows(browser)]
    numbers = [float(v) for v in values if v]
    assert numbers == sorted(numbers) and values[len(numbers):] == [""] * (n - len(numbers))  # blanks last
    header.click()
    numbers = [float(r[1]) for r in visible_rows(browser) if r[1]]
    assert numbers == sorted(numbers, reverse=True)
    # The cards follow the table's order.
    order = [r[3] for r in visible_rows(browser)]
    cards = browser.execute_script("return Array.from(document.querySelectorAll('#cards article')).map(a => a.id)")
    assert cards == order

    Select(browser.find_element("id", "status-filter")).select_by_value("FLAG")
    rows = visible_rows(browser)
    assert [r[0] for r in rows] == ["FLAG"] * STATUSES.count("FLAG")
    assert browser.find_element("id", "shown").text == f"{len(rows)} of {n} runs shown"
    hidden_cards = browser.execute_script("return document.querySelectorAll('#cards article[hidden]').length")
    assert hidden_cards == n - len(rows)
    browser.find_element("id", "outlier-filter").click()
    assert sorted(r[3] for r in visible_rows(browser)) == ["run-11", "run-6"]
    browser.find_element("id", "outlier-filter").click()
    Select(browser.find_element("id", "status-filter")).select_by_value("")
    assert len(visible_rows(browser)) == n

    # The runs whose table is partly wrong, decided or not; sorted by that part, the others last.
    browser.find_element("id", "part-filter").click()
    assert sorted(r[3] for r in visible_rows(browser)) == sorted(f"run-{i}" for i in PARTS)
    assert browser.find_element("id", "shown").text == f"{len(PARTS)} of {n} runs shown"
    browser.find_element("id", "part-filter").click()
    browser.find_element("css selector", "th[data-key=part] button").click()
    order = [r[3] for r in visible_rows(browser)]
    assert order[:len(PARTS)] == [f"run-{i}" for i in sorted(PARTS, key=lambda i: PARTS[i][0].lower())]
    assert len(order) == n

    assert images_decode(browser, tmp_path, "dataset_page.png") == len(Tags(Path(path).read_text()).find("img"))
    assert console_errors(browser) == []
