"""LLV / HHV and their per-bar-period variants against the slow model, bit for bit."""

import model_extremes as model
import numpy as np
import pytest
from support import (
    INT32_MAX,
    INT32_MIN,
    MISSING_BITS,
    assert_same_bits,
    bits,
    canary,
    random_periods,
    random_series,
    run_kernel,
)

FIXED = ["vx_llv", "vx_hhv"]
PER_BAR = ["vx_llv_a", "vx_hhv_a"]
NAN = np.nan


def f64(*v):
    return np.array(v, dtype=np.float64)


def call(lib, name, x, N):
    """Kernel and model on the same inputs; N is an int or a period series."""
    x = np.asarray(x, dtype=np.float64)
    if isinstance(N, (int, np.integer)):
        st, got = run_kernel(lib, name, [x], params=(int(N),))
    else:
        st, got = run_kernel(lib, name, [x, np.asarray(N, dtype=np.float64)])
    want = canary(len(x))
    assert getattr(model, name)(x, N, want) == st
    return st, got, want


def tie_heavy(rng, n):
    """Few distinct values, many signed zeros and runs of NaN (incl. a non-quiet payload)."""
    pool = f64(0.0, -0.0, 0.0, -0.0, 1.0, -1.0, 2.0, np.inf, -np.inf)
    x = rng.choice(pool, n)
    for _ in range(rng.integers(0, 4)):
        s = rng.integers(0, max(n, 1))
        x[s : s + rng.integers(1, 12)] = NAN
    odd = rng.random(n) < 0.03
    x.view(np.uint64)[odd] = 0xFFF0000000000123  # NaN with the sign set and a payload
    return x


# ---- documented examples ----------------------------------------------------


def test_examples(lib):
    x = f64(5, NAN, 3, 4, 6)
    cases = [
        ("vx_llv", x, 3, f64(5, 5, 3, 3, 3)),
        ("vx_hhv", x, 2, f64(5, 5, 3, 4, 6)),
        ("vx_hhv", x, 0, f64(5, 5, 5, 5, 6)),
        ("vx_llv", f64(NAN, 2), 1, f64(NAN, 2)),
        ("vx_llv", f64(1, 2, 3), 10, f64(1, 1, 1)),
        ("vx_llv_a", f64(3, 1, 2, 0, 5), f64(0, 1, 2, -1, NAN), f64(3, 1, 1, NAN, NAN)),
        ("vx_hhv_a", f64(3, 1, 2, 0, 5), f64(0, 1, 2, -1, NAN), f64(3, 1, 2, NAN, NAN)),
        ("vx_llv", f64(-0.0, 0.0), 2, f64(-0.0, 0.0)),
        ("vx_llv", f64(0.0, -0.0), 2, f64(0.0, -0.0)),
        ("vx_hhv", f64(0.0, -0.0), 2, f64(0.0, -0.0)),
        # the zero nearer to the bar wins even when an older one is at the window's edge
        ("vx_llv", f64(-0.0, 1, 0.0, 1), 3, f64(-0.0, -0.0, 0.0, 0.0)),
    ]
    for name, a, N, want in cases:
        st, got, model_out = call(lib, name, a, N)
        assert st == 0
        assert_same_bits(got, want)
        assert_same_bits(model_out, want)


@pytest.mark.parametrize("name", FIXED + PER_BAR)
def test_all_missing(lib, name):
    x = np.full(7, NAN)
    for N in (0, 1, 3, 7, 100, INT32_MAX):
        per = np.full(7, float(N)) if name in PER_BAR else N
        st, got, _ = call(lib, name, x, per)
        assert st == 0 and (bits(got) == MISSING_BITS).all()


def test_per_bar_bad_periods(lib):
    """Bad periods spoil only their own bar; -0.5 truncates to 0 (all bars so far)."""
    x = f64(4, 3, 5, 1, 2, 6, 7)
    p = f64(NAN, np.inf, -1, -0.5, -np.inf, 2.0**31, 1e300)
    want_l = f64(NAN, NAN, NAN, 1, NAN, NAN, NAN)
    st, got, _ = call(lib, "vx_llv_a", x, p)
    assert_same_bits(got, want_l)
    # the largest int32 periods are whole-history windows, no wrap-around
    p = f64(2147483647.0, 2147483647.9, -2147483648.5, 3, 1, 2, 2147483646.0)
    _st, got, want = call(lib, "vx_hhv_a", x, p)
    assert_same_bits(got, f64(4, 4, NAN, 5, 2, 6, 7))
    assert_same_bits(want, got)


# ---- randomized comparison with the model -------------------------------------


def fixed_periods(n, rng):
    ps = {INT32_MIN, -1, 0, 1, 2, 3, 4, 5, 7, 8, 16, 17, n - 1, n, n + 1, INT32_MAX - 1, INT32_MAX}
    ps |= {int(v) for v in rng.integers(1, n + 2, 3)}
    for d in (2, 3, 4, 5, 7, 10):  # the series ends on, just after and just before a block edge
        ps |= {n // d, n // d + 1, (n - 1) // d, (n + 1) // d}
    return sorted(ps)


@pytest.mark.parametrize("name", FIXED)
def test_fixed_random(lib, name):
    rng = np.random.default_rng(0x11F0 + len(name) + (name == "vx_hhv"))
    lengths = list(range(0, 12)) + [31, 32, 33, 64, 100, 127, 128, 129, 250, 300]
    for n in lengths:
        for kind in range(3):
            if kind == 0:
                x = random_series(rng, n)
            elif kind == 1:
                x = tie_heavy(rng, n)
            else:
                x = random_series(rng, n, nan=0.5, zeros=0.3)
            for N in fixed_periods(n, rng):
                st, got, want = call(lib, name, x, N)
                assert st == (2 if N < 0 else 0)
                assert_same_bits(got, want)


@pytest.mark.parametrize("name", PER_BAR)
def test_per_bar_random(lib, name):
    rng = np.random.default_rng(0x22A0 + (name == "vx_hhv_a"))
    for n in list(range(0, 10)) + [50, 99, 200, 300]:
        for rep in range(4):
            x = tie_heavy(rng, n) if rep % 2 else random_series(rng, n)
            p = random_periods(rng, n, hi=(5 if rep == 2 else None))
            st, got, want = call(lib, name, x, p)
            assert st == 0
            assert_same_bits(got, want)


def runs(rng, n, pool, longest):
    """Runs of 1 .. longest equal elements drawn from pool, n elements in all."""
    parts, total = [], 0
    while total < n:
        k = int(rng.integers(1, longest + 1))
        parts.append(np.full(k, rng.choice(pool)))
        total += k
    return np.concatenate(parts)[:n] if parts else np.empty(0)


@pytest.mark.parametrize("low", [True, False])
def test_fixed_infinities_and_gaps(lib, low):
    """Windows whose extreme is the infinity a missing value stands for inside the fixed
    period passes: a real infinity must come out, a window of NaN only the missing value,
    also with NaN runs longer than the period and across block edges."""
    name, per = ("vx_llv", "vx_llv_a") if low else ("vx_hhv", "vx_hhv_a")
    worst = np.inf if low else -np.inf
    rng = np.random.default_rng(0x4400 + low)
    pools = [f64(NAN, worst), f64(NAN, worst, -worst), f64(NAN, NAN, NAN, worst, 0.0, -0.0)]
    for n in (1, 2, 3, 9, 40, 130):
        for pool in pools:
            x = runs(rng, n, pool, longest=rng.integers(1, 20))
            for N in fixed_periods(n, rng):
                st, got, want = call(lib, name, x, N)
                assert_same_bits(got, want)
    n = 2000
    for pool in pools:
        for longest in (3, 50, 400):
            x = runs(rng, n, pool, longest)
            for N in (1, 2, 5, 49, 50, 51, 399, 400, 401, 1000, n, 0):
                st, got = run_kernel(lib, name, [x], params=(N,))
                st2, want = run_kernel(lib, per, [x, np.full(n, float(N))])
                assert st == st2 == 0
                assert_same_bits(got, want)


@pytest.mark.parametrize("low", [True, False])
def test_fixed_matches_per_bar_long(lib, low):
    """At lengths too long for the Python model: the fixed kernel against the per-bar
    kernel with a constant period, which scans every window afresh."""
    fixed, per = ("vx_llv", "vx_llv_a") if low else ("vx_hhv", "vx_hhv_a")
    rng = np.random.default_rng(0x3300 + low)
    n = 3000
    for rep in range(6):
        x = tie_heavy(rng, n) if rep % 2 else random_series(rng, n, nan=0.3, zeros=0.2)
        for N in (0, 1, 2, 3, 63, 64, 65, 999, 1000, 1001, 1500, n - 1, n, n + 1, INT32_MAX):
            st, got = run_kernel(lib, fixed, [x], params=(N,))
            st2, want = run_kernel(lib, per, [x, np.full(n, float(N))])
            assert st == st2 == 0
            assert_same_bits(got, want)
