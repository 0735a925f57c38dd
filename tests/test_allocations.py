"""Allocations per call: no function allocates more than the bare operation it
wraps. Counted by the benchmark's allocator hook (bench/run.py --alloc-only),
built here with the C++ compiler."""
import importlib.util
import os
import shutil
import tempfile

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")

pytestmark = pytest.mark.skipif(
    os.name == "nt" or shutil.which(os.environ.get("CXX", "c++")) is None,
    reason="the allocation counter is built with a POSIX C++ compiler driver",
)


@pytest.fixture(scope="module")
def run():
    spec = importlib.util.spec_from_file_location("bench_run", os.path.join(BENCH, "run.py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.fixture(scope="module")
def counter(run):
    with tempfile.TemporaryDirectory() as tmp:
        counter, note = run.build_counter(tmp)
        if counter is None:
            pytest.skip(note)
        yield counter


def test_counter_sees_objects_made_per_call(run, counter):
    d = {"a": 1}
    # A bound method per call, and an argument tuple that the free list would
    # hide were it not drained.
    assert run.count_allocations(counter, "d.copy", {"d": d}, 100) >= 100
    base = run.count_allocations(counter, "pass", {}, 100)
    assert run.count_allocations(counter, "(a, b)", {"a": 1, "b": 2}, 100) > base
    assert run.count_allocations(counter, "len(d)", {"d": d}, 100) == base


def test_no_call_allocates_more_than_its_floor(run, counter):
    cases = run.make_cases()
    for case in cases:
        case.note = run._probe(case)
    rows = run.alloc_check(cases, counter, 200)
    bad = [r for r in rows if r.get("ok") is not True]
    assert not bad, bad
