"""Python threads calling every function at once on shared inputs get the results (and
the errors) of a single-threaded run, and leave the shared inputs as they were.

The interpreter switches threads every few microseconds here, and some inputs run Python
code inside a call (their len(), their astype) that hands the lock to another thread, so
calls interleave between argument checks and the kernel call.
"""

import os
import sys
import threading
import time

import numpy as np
import pytest
from bindings import FUNCTIONS, call_paths, snapshot, valid_args, with_len

# Under the sanitizers (VEXA_SANITIZED=1) every switch between threads is slow and a
# refused allocation of 2**31 doubles takes seconds: fewer threads and rounds, and the
# oversized arguments left to the single-threaded tests.
SANITIZED = os.environ.get("VEXA_SANITIZED") == "1"
THREADS = 4 if SANITIZED else 12
ROUNDS = 1 if SANITIZED else 6


# The thread that last entered a yielding len() or astype, and how often another thread
# ran inside a call while one was waiting there.
last_inside = [None]
interleaved = [0]


def yield_lock():
    me = threading.get_ident()
    last_inside[0] = me
    time.sleep(1e-5)  # long enough for a waiting thread to take the lock
    if last_inside[0] != me:
        interleaved[0] += 1


class Yielding(np.ndarray):
    """A float64 or bool array whose len() and astype let other threads run first."""

    def __len__(self):
        yield_lock()
        return np.ndarray.__len__(self)

    def astype(self, dtype):
        yield_lock()
        return np.ndarray.astype(np.asarray(self), dtype)


def work_items():
    """(label, function, args, kwargs, outcome) for every function: plain shared
    arguments, the same as yielding arrays, by keyword, and some error paths."""
    items = []
    for f in FUNCTIONS:
        for n, seed in ((1, 0), (17, 1), (1000, 2)):
            args = valid_args(f, n, seed)
            items.append((f"{f.name}-{n}", f, tuple(args), {}))
            yielding = tuple(a.view(Yielding) if isinstance(a, np.ndarray) else a for a in args)
            items.append((f"{f.name}-{n}-yielding", f, yielding, {}))
            if not f.single:
                items.append((f"{f.name}-{n}-keywords", f, (), dict(zip(f.names, args))))
        for p in call_paths(f, n=50):
            if p.raises is not None and not (SANITIZED and "2**31" in p.label):
                items.append((f"{f.name}-{p.label}", f, p.args, p.kwargs))
        # An error raised late in the call, after other threads have run inside it.
        args = valid_args(f, 40)
        args[-1] = with_len(args[-1], 41) if isinstance(args[-1], np.ndarray) else None
        items.append((f"{f.name}-late-error", f, tuple(args), {}))
    return items


def outcome(f, args, kwargs):
    try:
        r = f.fn(*args, **kwargs)
    except Exception as e:
        return ("raises", type(e), str(e))
    return ("result", r.dtype.str, r.shape, r.tobytes())


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_match_a_single_thread(fast_switching):
    items = work_items()
    inputs = [a for _, _, args, kwargs in items for a in list(args) + list(kwargs.values())]
    before = [snapshot(a) for a in inputs]
    want = [outcome(f, args, kwargs) for _, f, args, kwargs in items]
    assert sum(w[0] == "result" for w in want) > len(FUNCTIONS) * 3
    assert sum(w[0] == "raises" for w in want) > len(FUNCTIONS) * 10

    barrier = threading.Barrier(THREADS)
    mismatches, crashes = [], []
    done = [0] * THREADS

    def worker(k):
        try:
            rng = np.random.default_rng(k)
            barrier.wait()
            for _ in range(ROUNDS):
                for j in rng.permutation(len(items)):
                    label, f, args, kwargs = items[j]
                    got = outcome(f, args, kwargs)
                    if got != want[j]:
                        mismatches.append((k, label, got[:3], want[j][:3]))
                    done[k] += 1
        except BaseException as e:  # pragma: no cover - reported below
            crashes.append((k, repr(e)))

    interleaved[0] = 0
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not crashes, crashes
    assert interleaved[0] > 100, "the threads never ran inside each other's calls"
    assert not mismatches, f"{len(mismatches)} calls differ, first: {mismatches[:5]}"
    assert done == [ROUNDS * len(items)] * THREADS
    assert [snapshot(a) for a in inputs] == before, "a shared input was modified"


def test_concurrent_results_are_separate_arrays(fast_switching):
    """The same call running in every thread at once hands each one its own array."""
    f = FUNCTIONS[0]
    args = valid_args(f, 500)
    want = f.fn(*args).tobytes()
    results = [[] for _ in range(THREADS)]
    barrier = threading.Barrier(THREADS)

    def worker(k):
        barrier.wait()
        for _ in range(200):
            results[k].append(f.fn(*args))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    flat = [r for rs in results for r in rs]
    assert len(flat) == THREADS * 200 and all(r.tobytes() == want for r in flat)
    for r in flat[::7]:  # writing into some results changes no other
        r[:] = 12345.0
    assert all(r.tobytes() == want for i, r in enumerate(flat) if i % 7)
