"""A whole dataset on two Dask workers against the module's sequential batch, on the same data in the same run.

Forty runs of the 96x96x60 phantom with 65 volumes (5 b0 + 60 directions, .nii.gz as in
verdict_cost.py): one image hard-linked forty times, each run with its own table (every fourth one
flipped in x, every fourth in y). Timed, in alternating rounds:

* the module's ``_dirsieve.audit_bids`` (one run after the other, each on the shared pool of every core);
* ``dirsieve bids`` (participant level, every run audited again) on a local cluster of two worker
  processes, cluster start included;
* the same on a cluster that is already running (the time of the batch itself), after which each
  worker's peak resident memory is read.

The target is at least 1.7x the module's speed with two workers.

    PYTHONPATH=build/python:python .venv/bin/python bench/bids_parallel.py [--runs 40] [--rounds 2]
"""
import argparse
import io
import logging
import os
import resource
import sys
import tempfile
import time

import _dirsieve
from dirsieve import bids_app
from dirsieve.phantom import write_phantom


def flipped(bvec_path: str, axis: int) -> str:
    with open(bvec_path) as f:
        rows = f.read().splitlines()
    rows[axis] = " ".join(repr(-float(v) + 0.0) for v in rows[axis].split())
    return "\n".join(rows) + "\n"


def make_dataset(root: str, runs: int) -> None:
    ph = write_phantom(os.path.join(root, "phantom"), shape=(96, 96, 60), n_b0=5, n_directions=60, background=50.0,
                       grad=False, mask=False)
    for i in range(1, runs + 1):
        folder = os.path.join(root, "study", f"sub-{i:02d}", "dwi")
        os.makedirs(folder)
        stem = os.path.join(folder, f"sub-{i:02d}_dwi")
        os.link(ph["dwi"], stem + ".nii.gz")
        os.link(ph["bval"], stem + ".bval")
        with open(stem + ".bvec", "w") as f:
            if i % 4 in (1, 2):
                f.write(flipped(ph["bvec"], i % 4 - 1))
            else:
                with open(ph["bvec"]) as table:
                    f.write(table.read())


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory() as work:
        make_dataset(work, args.runs)
        study = os.path.join(work, "study")
        local = bids_app.AppOptions(study, output_dir=os.path.join(work, "out"), levels=("participant",),
                                    jobs=args.jobs, rerun=True, progress=False)
        import dask

        # As dirsieve's own local cluster: one thread per worker, no statistical profiler.
        with dask.config.set({"distributed.worker.profile.enabled": False}):
            cluster = LocalCluster(n_workers=args.jobs, threads_per_worker=1, processes=True, dashboard_address=":0",
                                   silence_logs=logging.ERROR)
        client = Client(cluster)
        joined = bids_app.AppOptions(study, output_dir=os.path.join(work, "out2"), levels=("participant",),
                                     scheduler=cluster.scheduler_address, threads=1, rerun=True, progress=False)
        ratios = []
        for r in range(args.rounds):
            cpu = time.process_time()
            module, _ = timed(lambda: _dirsieve.audit_bids(study))
            module_cpu = time.process_time() - cpu
            started, outcome = timed(lambda: bids_app.run_app(local, stderr=io.StringIO()))
            before = client.run(time.process_time)
            running, joined_outcome = timed(lambda: bids_app.run_app(joined, stderr=io.StringIO()))
            worker_cpu = sum(client.run(time.process_time).values()) - sum(before.values())
            assert outcome.audited == joined_outcome.audited == args.runs, (outcome.audited, joined_outcome.audited)
            statuses = outcome.counts
            ratios.append((module / started, module / running))
            print(f"round {r + 1}: module audit_bids {module:.2f} s; dirsieve bids on {args.jobs} workers "
                  f"{started:.2f} s with the cluster start ({module / started:.2f}x), {running:.2f} s on a running "
                  f"cluster ({module / running:.2f}x); processor time per run: module {module_cpu / args.runs:.2f} s, "
                  f"workers {worker_cpu / args.runs:.2f} s; load average {os.getloadavg()[0]:.1f}")
        print(f"verdicts: {statuses['PASS']} PASS, {statuses['WARN']} WARN, {statuses['FLAG']} FLAG, "
              f"{statuses['ERROR']} ERROR")
        peaks = client.run(peak_rss_mib)
        print("peak resident memory per worker: " + ", ".join(f"{v:.0f} MiB" for v in peaks.values())
              + f" (this process: {peak_rss_mib():.0f} MiB)")
        client.close()
        cluster.close()
    worst = min(r[0] for r in ratios)
    print(f"speedup with the cluster start: {worst:.2f}x to {max(r[0] for r in ratios):.2f}x; on a running cluster: "
          f"{min(r[1] for r in ratios):.2f}x to {max(r[1] for r in ratios):.2f}x (target: at least 1.7x)")
    return 0 if worst >= 1.7 else 1


if __name__ == "__main__":
    sys.exit(main())
