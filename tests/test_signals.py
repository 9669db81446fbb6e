"""Native tests of vx_cross, vx_fif and vx_filter against their models."""

import model_signals as model
import numpy as np
import pytest
from support import (
    CANARY_BITS,
    INT32_MAX,
    INT32_MIN,
    assert_same_bits,
    canary,
    random_series,
    run_kernel,
)

NAN = np.nan
# NaNs with a sign bit and payloads (one signalling), to check exact copies.
ODD_NANS = np.array(
    [0xFFF8000000000000, 0x7FF8000000000123, 0xFFF0000000000001, 0x7FF0000000000002],
    dtype=np.uint64,
).view(np.float64)
CTXS = (0, -1, 5, INT32_MIN, INT32_MAX)


def f64(*v):
    return np.array(v, dtype=np.float64)


def u8(*v):
    return np.array(v, dtype=np.uint8)


def run_model(fn, inputs, params=(), out=None):
    out = canary(len(inputs[0])) if out is None else out
    return fn(*inputs, *params, out), out


# ---- vx_cross -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, y, want",
    [
        ([1, 3, 2, 4], [2, 2, 2, 2], [0, 1, 0, 0]),  # leaving from y's own level is no cross
        ([1, 2, 3], [2, 2, 2], [0, 0, 0]),  # touching on bar 1
        ([1, NAN, 3], [2, 2, 2], [0, 0, 0]),
        ([1, 3, 1, 3], [2, 2, 2, 2], [0, 1, 0, 1]),
        ([3, 1, 3, 1], [2, 2, 2, 2], [0, 0, 1, 0]),
        ([1, 3], [2, NAN], [0, 0]),
        ([NAN, 3], [2, 2], [0, 0]),
        ([-np.inf, np.inf], [0, 0], [0, 1]),
        ([-0.0, 1], [0.0, 0.0], [0, 0]),  # -0.0 is not below +0.0
        ([0, 5, 0, 5], [1, 1, 1, 1], [0, 1, 0, 1]),
    ],
)
def test_cross_examples(lib, x, y, want):
    st, out = run_kernel(lib, "vx_cross", [f64(*x), f64(*y)], out=np.zeros(len(x)))
    assert st == 0
    assert_same_bits(out, f64(*want))


def test_cross_leaves_bar_0_alone(lib):
    st, out = run_kernel(lib, "vx_cross", [f64(1, 3, 1), f64(2, 2, 2)])
    assert st == 0
    assert out.view(np.uint64)[0] == CANARY_BITS
    assert_same_bits(out[1:], f64(1, 0))
    # One element: nothing at all is written.
    st, out = run_kernel(lib, "vx_cross", [f64(1), f64(2)])
    assert st == 0 and out.view(np.uint64)[0] == CANARY_BITS


# ---- vx_fif -------------------------------------------------------------------------


def test_fif_examples(lib):
    st, out = run_kernel(lib, "vx_fif", [u8(1, 0, 2), f64(1, 2, 3), f64(7, 8, 9)])
    assert st == 0
    assert_same_bits(out, f64(1, 8, 3))
    # The value not chosen never reaches out, NaN or not; every non-zero byte is true.
    c = u8(0, 1, 2, 255, 0, 128)
    a = np.concatenate([f64(NAN, -0.0), ODD_NANS])
    b = f64(-0.0, NAN, NAN, np.inf, 5.5, -np.inf)
    st, out = run_kernel(lib, "vx_fif", [c, a, b])
    assert st == 0
    assert_same_bits(out, np.array([b[0], a[1], a[2], a[3], b[4], a[5]]))


# ---- vx_filter ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, N, want",
    [
        ([1, 1, 1, 0, 1, 1], 2, [1, 0, 1, 0, 1, 0]),
        ([0, 2, 5, NAN, 0, 7], 3, [0, 2, 0, 0, 0, 7]),  # the NaN in a blank becomes 0.0
        ([0, 3, 4, 0, 5], 0, [0, 3, 0, 0, 0]),
        ([0, 3, 4, 0, 5], 5, [0, 3, 0, 0, 0]),
        ([0, 3, 4, 0, 5], INT32_MAX, [0, 3, 0, 0, 0]),
        ([0, 3, 4, 0, 5], INT32_MAX - 1, [0, 3, 0, 0, 0]),
        ([-2, np.inf, -np.inf, 1], 2, [-2, 0, -np.inf, 0]),  # negatives and infinities signal
        ([1, 9, 9, 4, 0], 3, [1, 0, 0, 4, 0]),  # a signal in a blank opens no window
        ([NAN, -0.0, 0.0], 3, [NAN, -0.0, 0.0]),  # no signal: copied as they are
    ],
)
def test_filter_examples(lib, a, N, want):
    st, out = run_kernel(lib, "vx_filter", [f64(*a)], (N,))
    assert st == 0
    assert_same_bits(out, f64(*want))


def test_filter_window_1_copies_bits(lib):
    a = np.concatenate([f64(0.0, -0.0, 3.0, NAN, -np.inf), ODD_NANS, f64(2.5, 0)])
    st, out = run_kernel(lib, "vx_filter", [a], (1,))
    assert st == 0
    assert_same_bits(out, a)
    # Kept signals keep their value and NaN payloads outside blanks survive.
    st, out = run_kernel(lib, "vx_filter", [a], (3,))
    assert st == 0
    assert_same_bits(out, np.concatenate([a[:3], f64(0.0, 0.0), a[5:10], f64(0.0)]))


# ---- randomized comparison with the models -----------------------------------------


def tied_series(rng, n):
    """Small integers (many ties) with NaN, infinities and signed zeros."""
    v = rng.integers(-2, 3, n).astype(np.float64)
    u = rng.random(n)
    v[u < 0.08] = NAN
    v[(u >= 0.08) & (u < 0.11)] = np.inf
    v[(u >= 0.11) & (u < 0.14)] = -np.inf
    v[(u >= 0.14) & (u < 0.2)] = -0.0
    return v


def signal_series(rng, n):
    """Mostly blanks (signed zeros, NaNs incl. odd payloads) with signals of any kind."""
    pool = np.concatenate([f64(0.0, -0.0, 0.0, NAN), ODD_NANS])
    v = rng.choice(pool, n)
    sig = rng.random(n) < rng.uniform(0.02, 0.6)
    v[sig] = rng.choice(f64(1.0, -1.0, 0.5, np.inf, -np.inf, 5e-324, -3.25, 1e300), sig.sum())
    return v


def lengths(rng, k):
    return [0, 1, 2, 3] + list(rng.integers(0, 301, k))


def test_cross_random(lib):
    rng = np.random.default_rng(1001)
    for i, n in enumerate(lengths(rng, 120)):
        if i % 2:
            x, y = tied_series(rng, n), tied_series(rng, n)
        else:
            x, y = random_series(rng, n), random_series(rng, n)
        ctx = CTXS[i % len(CTXS)]
        st, got = run_kernel(lib, "vx_cross", [x, y], ctx=ctx)
        wst, want = run_model(model.vx_cross, [x, y])
        assert st == wst == 0
        assert_same_bits(got, want)


def test_fif_random(lib):
    rng = np.random.default_rng(1002)
    for i, n in enumerate(lengths(rng, 120)):
        c = rng.choice(u8(0, 1, 2, 255), n) if i % 2 else rng.integers(0, 256, n, np.uint8)
        c[rng.random(n) < 0.4] = 0
        a = signal_series(rng, n) if i % 3 == 0 else random_series(rng, n)
        b = random_series(rng, n, nan=0.3)
        st, got = run_kernel(lib, "vx_fif", [c, a, b], ctx=CTXS[i % len(CTXS)])
        wst, want = run_model(model.vx_fif, [c, a, b])
        assert st == wst == 0
        assert_same_bits(got, want)


def test_filter_random(lib):
    rng = np.random.default_rng(1003)
    for i, n in enumerate(lengths(rng, 60)):
        a = signal_series(rng, n) if i % 4 else random_series(rng, n, zeros=0.4)
        periods = {
            INT32_MIN,
            -1,
            0,
            1,
            2,
            n - 1,
            n,
            n + 1,
            INT32_MAX - 1,
            INT32_MAX,
            int(rng.integers(1, 12)),
        }
        for N in sorted(periods):
            st, got = run_kernel(lib, "vx_filter", [a], (N,), ctx=CTXS[i % len(CTXS)])
            wst, want = run_model(model.vx_filter, [a], (N,))
            assert st == wst
            assert_same_bits(got, want)
