"""Concurrent and interleaved calls: the interpreter lock serialises them, and the worker pool of one call
must never leak into another, so every report is the same apart from its timestamp."""

import json
import math
import threading

import pytest

import _dirsieve

THREAD_COUNTS = (None, 1, 2)


@pytest.fixture(scope="module")
def small_phantom(tmp_path_factory):
    from dirsieve.phantom import write_phantom

    return write_phantom(str(tmp_path_factory.mktemp("concurrency")), shape=(12, 12, 12))


def run_audit(ph, threads):
    return _dirsieve.audit(ph["bvec"], ph["bval"], dwi=ph["dwi"], mask=ph["mask"], threads=threads)


def assert_same_report(got, want, path="$", in_flip=False):
    """Exact equality, except that numbers under `flip` (coherence sums are grouped by the pool's
    splitting) may differ in their last bits."""
    if isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want), path
        for key in want:
            if path == "$" and key == "timestamp":
                continue
            assert_same_report(got[key], want[key], f"{path}.{key}", in_flip or (path == "$" and key == "flip"))
    elif isinstance(want, list):
        assert isinstance(got, list) and len(got) == len(want), path
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same_report(g, w, f"{path}[{i}]", in_flip)
    elif in_flip and isinstance(want, float) and not isinstance(want, bool):
        assert isinstance(got, float), path
        assert got == pytest.approx(want, rel=1e-12, abs=1e-14), path
    else:
        assert type(got) is type(want) and got == want, path


def test_reference_report_is_a_full_audit(small_phantom):
    report = json.loads(run_audit(small_phantom, None))
    assert "flip" in report and "timestamp" in report
    assert all(math.isfinite(e["coherence"]) for e in report["flip"]["ranking"])


def test_interleaved_thread_counts_give_the_same_report(small_phantom):
    reference = json.loads(run_audit(small_phantom, 1))
    for threads in THREAD_COUNTS * 2:
        assert_same_report(json.loads(run_audit(small_phantom, threads)), reference)


def test_eight_python_threads_auditing_at_once(small_phantom):
    reference = json.loads(run_audit(small_phantom, 1))
    barrier = threading.Barrier(8)
    results, errors = {}, []

    def worker(index):
        try:
            barrier.wait(timeout=60)
            # Each thread interleaves the pool kinds: the shared pool and dedicated pools of 1 and 2.
            results[index] = [
                run_audit(small_phantom, THREAD_COUNTS[(index + k) % len(THREAD_COUNTS)]) for k in range(2)
            ]
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads)
    assert not errors, errors
    assert sorted(results) == list(range(8))
    for texts in results.values():
        for text in texts:
            assert_same_report(json.loads(text), reference)


def test_failures_in_other_threads_do_not_disturb_an_audit(small_phantom, tmp_path):
    reference = json.loads(run_audit(small_phantom, 2))
    missing = str(tmp_path / "missing.bval")
    outcomes, errors = [], []

    def good():
        try:
            outcomes.append(run_audit(small_phantom, 2))
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    def bad():
        for threads in (None, 0, 2):
            try:
                _dirsieve.audit(small_phantom["bvec"], missing, dwi=small_phantom["dwi"], threads=threads)
                errors.append(AssertionError("a missing bval file was accepted"))
            except ValueError:
                pass
            except BaseException as exc:  # noqa: BLE001
                errors.append(exc)

    threads = [threading.Thread(target=good if i % 2 == 0 else bad) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors, errors
    assert len(outcomes) == 3
    for text in outcomes:
        assert_same_report(json.loads(text), reference)
