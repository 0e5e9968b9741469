"""How quickly a dataset page of many runs opens in headless Chromium, and how big it is.

Writes a group summary of N runs (default 1,000), each with its own figure file (one real figure
of the 32^3 phantom, copied), renders OUTPUT_DIR/index.html with pages.write_dataset_page and
opens it from the file system: the time to write the page, its size, the time to the load event,
and how many figures the browser had fetched by then (lazy loading keeps that to the first few).

    PYTHONPATH=build/python:python .venv/bin/python bench/bench_dataset_page.py [--runs 1000]
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

import dirsieve
from dirsieve import pages, qc
from dirsieve.phantom import write_phantom


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    args = parser.parse_args(argv)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    with tempfile.TemporaryDirectory() as directory:
        p = write_phantom(os.path.join(directory, "phantom"), shape=(32, 32, 32), flip="y", grad=False, mask=False)
        result = dirsieve.check(p["dwi"], bvec=p["bvec"], bval=p["bval"], glyphs=True)
        out = os.path.join(directory, "derivatives")
        os.makedirs(out)
        (figure,) = qc.write_run_figures(out, "template", result.report, result.verdict.to_dict(), result.glyphs)
        runs = []
        for i in range(args.runs):
            folder = f"sub-{i:04d}/dwi"
            os.makedirs(os.path.join(out, folder))
            shutil.copy(os.path.join(out, figure), os.path.join(out, folder, f"sub-{i:04d}_dwi_qc.png"))
            status = ("PASS", "PASS", "WARN", "FLAG", "ERROR")[i % 5]
            runs.append({"name": f"sub-{i:04d}_dwi", "subject": f"{i:04d}", "session": None,
                         "dwi": f"sub-{i:04d}/dwi/sub-{i:04d}_dwi.nii.gz", "status": status,
                         "recommended_label": "+x-y+z" if status == "FLAG" else None,
                         "reason": result.verdict.reason, "confidence": 1.0 + (i * 37 % 100) / 10.0,
                         "n_wm_voxels": 20000 + i, "error": "unreadable" if status == "ERROR" else None,
                         "group": "b1000", "outlier": i % 17 == 0, "group_label": "+x+y+z", "inferred_label": None,
                         "report": f"{folder}/sub-{i:04d}_dwi_report.json",
                         "figures": [f"{folder}/sub-{i:04d}_dwi_qc.png"] if status != "ERROR" else [],
                         "repair_command": "dirsieve repair ..." if status == "FLAG" else None})
        summary = {"dataset": "bench", "generated_by": "bench_dataset_page.py", "runs": runs, "counts": {}}
        start = time.perf_counter()
        path = pages.write_dataset_page(out, summary)
        written = time.perf_counter() - start
        print(f"{args.runs} runs: page written in {written:.2f} s, {os.path.getsize(path) / 1024:.0f} kB")

        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--window-size=1280,1000"):
            options.add_argument(argument)
        driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
        try:
            for attempt in range(3):
                driver.get("about:blank")
                driver.get("file://" + path)
                timing = driver.execute_script(
                    "const t = performance.getEntriesByType('navigation')[0];"
                    "return [t.domContentLoadedEventEnd, t.loadEventEnd,"
                    " Array.from(document.images).filter(i => i.complete && i.naturalWidth > 0).length,"
                    " document.images.length]")
                print(f"open {attempt + 1}: DOM ready {timing[0] / 1000:.2f} s, load {timing[1] / 1000:.2f} s, "
                      f"{timing[2]} of {timing[3]} figures fetched")
        finally:
            driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
