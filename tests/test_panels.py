"""Panels of the everyday functions: every column of a 2-D call (bars along either axis,
any memory order) is, bit for bit, the strict module's call on that column alone, on
every thread of the pool."""

import threading

import numpy as np
import pytest
from everyday import IDS, PAYLOAD, assert_panel_bits, bits, make_arg
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import random_series

import vexa
import vexa._vexa as vx
from vexa.table import COND, FUNCTIONS, INT, REAL

# ---- panels ------------------------------------------------------------------------


def column_args(f, args, axis, j):
    """The arguments of column j of a panel call, as the strict module takes them."""
    out = []
    for p, a in zip(f.params, args):
        if isinstance(a, np.ndarray) and a.ndim == 2:
            a = a[:, j] if axis == 0 else a[j, :]
        elif p.kind not in (INT, REAL) and np.ndim(a) == 0:
            n = args[0].shape[axis]
            a = np.full(n, a, dtype=bool if p.kind == COND else np.float64)
        out.append(np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a)
    return out


def with_payload(x):
    """x with its NaNs given the payload PAYLOAD."""
    if x.dtype == np.float64:
        x = x.copy()
        x.view(np.uint64)[np.isnan(x)] = PAYLOAD
    return x


def laid_out(x, layout):
    """x in memory order "C" or "F", or as a view with negative strides ("reversed") or
    every other column and row of a larger array ("strided")."""
    if layout == "reversed":
        return np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]
    if layout == "strided":
        big = np.zeros((2 * x.shape[0], 2 * x.shape[1]), x.dtype)
        big[::2, ::2] = x
        return big[::2, ::2]
    return np.asarray(x, order=layout)


def check_panel(f, n, k, seed, order, axis, second, ints):
    rng = np.random.default_rng(seed)
    shape = (n, k) if axis == 0 else (k, n)
    args = []
    for i, p in enumerate(f.params):
        if p.kind == INT:
            args.append(ints[i])
        elif i == 0 or second == "panel":
            args.append(laid_out(with_payload(make_arg(rng, p.kind, shape)), order))
        elif second == "series":
            args.append(with_payload(make_arg(rng, p.kind, (n,))))
        else:
            args.append(bool(rng.random() < 0.5) if p.kind == COND else float(rng.normal()))
    before = [bits(a).copy() if isinstance(a, np.ndarray) else None for a in args]
    got = getattr(vexa, f.name)(*args, axis=axis)
    assert got.shape == shape
    for a, b in zip(args, before):
        assert b is None or (bits(a) == b).all()  # never modified
    for j in range(k):
        want = getattr(vx, f.name)(*column_args(f, args, axis, j))
        assert_panel_bits(got[:, j] if axis == 0 else got[j, :], want)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(FUNCTIONS),
    st.integers(1, 40),
    st.integers(1, 12),
    st.integers(0, 2**32 - 1),
    st.sampled_from(["C", "F", "reversed", "strided"]),
    st.sampled_from([0, 1]),
    st.sampled_from(["panel", "series", "scalar"]),
    st.data(),
)
def test_panel_columns_are_1d_calls(f, n, k, seed, order, axis, second, data):
    ints = [
        data.draw(st.integers(max(p.least, -3), n + 3), p.name) if p.kind == INT else None
        for p in f.params
    ]
    check_panel(f, n, k, seed, order, axis, second, ints)


@pytest.mark.parametrize("f", FUNCTIONS, ids=IDS)
def test_large_panels_on_every_thread(f):
    """Panels large enough to be split among the pool's threads, C and Fortran order."""
    ints = [min(20, max(p.least, 0)) if p.kind == INT else None for p in f.params]
    for seed, order, axis, second in ((1, "C", 0, "panel"), (2, "F", 0, "series")):
        check_panel(f, 700, 111, seed, order, axis, second, ints)
    check_panel(f, 300, 230, 3, "C", 1, "scalar", ints)


@pytest.fixture
def four_threads():
    """The panel pool on four threads (more than this machine may have cores)."""
    before = vexa._native._num_threads()
    vexa._native._num_threads(4)
    yield
    vexa._native._num_threads(before)


def test_python_threads_share_the_pool(four_threads):
    """Python threads calling panel functions at once get the single-thread results."""
    rng = np.random.default_rng(9)
    panels = [random_series(rng, 400 * 200).reshape(400, 200) for _ in range(4)]
    vexa._native._num_threads(1)
    want = [vexa.STD(p, 20) for p in panels] + [vexa.EMA(p.T, 20, axis=1) for p in panels]
    vexa._native._num_threads(4)
    got = [None] * len(want)

    def work(i):
        for _ in range(5):
            p = panels[i % 4]
            got[i] = vexa.STD(p, 20) if i < 4 else vexa.EMA(p.T, 20, axis=1)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(want))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, want):
        assert_panel_bits(g, w)


def test_thread_limit_is_the_calling_threads_own(four_threads):
    """vexa.thread_limit(n) holds for the calling thread inside the block only (nested
    limits restored in turn, other threads unaffected); the results do not change."""
    rng = np.random.default_rng(4)
    p = random_series(rng, 500 * 300).reshape(500, 300)
    want = vexa.STD(p, 20)
    limit = vexa._native._thread_limit
    seen = []
    with vexa.thread_limit(1):
        got = vexa.STD(p, 20)
        with vexa.thread_limit(3):
            seen.append(limit())
        seen.append(limit())
        other = threading.Thread(target=lambda: seen.append(limit()))
        other.start()
        other.join()
    assert seen == [3, 1, 0] and limit() == 0
    assert_panel_bits(got, want)
    for bad, error in ((0, ValueError), (1.5, TypeError), ("1", TypeError)):
        with pytest.raises(error), vexa.thread_limit(bad):
            pass
