"""Neither references nor memory grow over many calls, on success and on every error path.

Each function runs all its call paths (tests/bindings.py: results, rejected periods,
unequal lengths, wrong dtypes, empty and lying arguments, failing astype, bad keywords,
integers out of range) round after round. Reference counts of the arguments, of numpy's
types and functions and of the module's functions must come back exactly; the traced
memory and the resident size may not grow beyond noise. tests/leak_growth.py runs the
same paths 100,000 times and reports the growth per 100,000 calls.
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
from bindings import FUNCTIONS, call_paths, run_round, watched

PAGE = os.sysconf("SC_PAGE_SIZE")


def check_outcomes(f, paths):
    """Each path ends as it says (so that every error path is really taken)."""
    for p in paths:
        if p.raises is None:
            r = p.run(f)
            assert type(r) is np.ndarray and r.dtype == np.float64, p.label
        else:
            with pytest.raises(p.raises):
                p.run(f)


def refcounts(objs):
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


@pytest.mark.parametrize("f", FUNCTIONS, ids=str)
def test_references_come_back(f):
    paths = call_paths(f)
    check_outcomes(f, paths)
    objs = watched(f, paths)
    for _ in range(20):
        run_round(f, paths)
    before = refcounts(objs)
    rounds = 200
    for _ in range(rounds):
        run_round(f, paths)
    after = refcounts(objs)
    grown = [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert not grown, f"reference counts changed over {rounds * len(paths)} calls: {grown}"


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.parametrize("f", FUNCTIONS, ids=str)
def test_total_references_come_back(f):
    """A debug interpreter counts every reference. Only the paths that end before numpy
    is called are counted here: a numpy built without that count skews the total."""
    paths = [p for p in call_paths(f) if p.early]
    run_round(f, paths)
    gc.collect()
    total = sys.gettotalrefcount()
    rounds = 500
    for _ in range(rounds):
        run_round(f, paths)
    gc.collect()
    assert abs(sys.gettotalrefcount() - total) < 20, rounds * len(paths)


@pytest.fixture
def traced():
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start()
    yield
    if not was_tracing:
        tracemalloc.stop()


def traced_bytes():
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


@pytest.mark.parametrize("f", FUNCTIONS, ids=str)
def test_traced_memory_stays(f, traced):
    """Traced memory stays flat in every window of calls, error paths included (each
    traceback entry's code object is made once: CPython 3.13 keeps a record of every
    code object made, so one per error would grow without end)."""
    paths = call_paths(f)
    for _ in range(20):
        run_round(f, paths)
    rounds = 50
    calls = rounds * len(paths)
    growth = []
    for _ in range(3):
        before = traced_bytes()
        for _ in range(rounds):
            run_round(f, paths)
        growth.append(traced_bytes() - before)
    # One leaked object per call would be at least 16 bytes a call.
    assert max(growth) < 2 * calls, f"bytes more per window of {calls} calls: {growth}"


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_resident_size_stays():
    """Long series, so that a result or a converted condition array left behind per call
    (40 kB to 320 kB) would add tens of megabytes."""
    n = 40_000
    plans = [
        (f, [p for p in call_paths(f, n=n) if not p.label.endswith("2**31")]) for f in FUNCTIONS
    ]
    for _ in range(3):
        for f, paths in plans:
            run_round(f, paths)
    gc.collect()
    before = resident_bytes()
    rounds = 8
    calls = 0
    for _ in range(rounds):
        for f, paths in plans:
            run_round(f, paths)
            calls += len(paths)
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 8 << 20, f"resident size grew by {grown} bytes over {calls} calls"
