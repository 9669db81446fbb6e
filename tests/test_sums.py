"""Native tests of vx_sum, vx_sum_a, vx_count and vx_count_a against their models."""

import model_sums as m
import numpy as np
import pytest
from kernel_check import compare, recolour_nans
from support import (
    INT32_MAX,
    INT32_MIN,
    MISSING_BITS,
    assert_same_bits,
    assert_same_values,
    random_periods,
    random_series,
    run_kernel,
)

NAN = np.nan
MISS = np.array([MISSING_BITS], dtype=np.uint64).view(np.float64)[0]


def arr(*v):
    return np.array(v, dtype=np.float64)


def call(lib, name, x, N):
    """Fixed period when N is an int, else a per-bar period series."""
    x = arr(*x)
    if isinstance(N, int):
        st, out = run_kernel(lib, name, [x], (N,))
    else:
        st, out = run_kernel(lib, name, [x, arr(*N)])
    assert st == 0
    return out


# ---- documented examples --------------------------------------------------------------


def test_sum_examples(lib):
    assert_same_bits(call(lib, "vx_sum", (NAN, 1, NAN, 2), 0), arr(0, 1, 1, 3))
    assert_same_bits(call(lib, "vx_sum", (NAN, 1, 2, 3), 2), arr(MISS, MISS, 3, 5))
    assert np.isnan(call(lib, "vx_sum", (1, NAN, 2, 3), 2)).all()
    x = (NAN, -0.0, 2.5, -7.0, 1e300)
    # The total starts at +0.0, so a leading -0.0 comes out as +0.0.
    assert_same_bits(call(lib, "vx_sum", x, 1), arr(MISS, 0.0, 2.5, -7.0, 1e300))
    for N in (5, 6, INT32_MAX - 1, INT32_MAX):
        assert_same_bits(call(lib, "vx_sum", x, N), np.full(5, MISS))
    allnan = (NAN,) * 4
    assert_same_bits(call(lib, "vx_sum", allnan, 0), np.zeros(4))
    assert_same_bits(call(lib, "vx_sum", allnan, 3), np.full(4, MISS))
    # An infinity poisons the total from the bar at which it leaves the window.
    assert_same_values(
        call(lib, "vx_sum", (1, np.inf, 2, 3, 4), 2), arr(MISS, np.inf, np.inf, NAN, NAN)
    )
    # Opposite infinities make the cumulative total NaN for good.
    assert_same_values(
        call(lib, "vx_sum", (np.inf, 1, -np.inf, NAN, 2), 0), arr(np.inf, np.inf, NAN, NAN, NAN)
    )


def test_sum_a_examples(lib):
    assert_same_bits(call(lib, "vx_sum_a", (1, 2, 3, 4), (2, 2, 2, 2)), arr(MISS, MISS, 5, 7))
    assert_same_bits(
        call(lib, "vx_sum_a", (1, NAN, 2, 3, 4), (2,) * 5), arr(MISS, MISS, MISS, 5, 7)
    )
    x = (1, 2, 3, 4, 5, 6, 7, 8)
    p = (0, 0.5, -3, NAN, 2.9, 1, 3e9, -0.5)
    assert_same_bits(call(lib, "vx_sum_a", x, p), arr(MISS, MISS, MISS, MISS, 9, 6, MISS, MISS))
    assert_same_bits(call(lib, "vx_sum_a", (NAN,) * 3, (1, 1, 1)), np.full(3, MISS))
    # Opposite infinities in a window give NaN, not a number.
    assert np.isnan(call(lib, "vx_sum_a", (1, np.inf, -np.inf), (1, 1, 2))[2])


def test_count_examples(lib):
    assert_same_bits(call(lib, "vx_count", (NAN, 0, 2, 0), 0), arr(1, 1, 2, 2))
    assert_same_bits(call(lib, "vx_count", (NAN, 0, 2, NAN, 0), 2), arr(MISS, MISS, 1, 2, 1))
    assert_same_bits(call(lib, "vx_count", (NAN, 0, 3, NAN), 1), arr(MISS, 0, 1, 1))
    assert_same_bits(call(lib, "vx_count", (-0.0, np.inf, 0.0, -1e-300), 2), arr(MISS, 1, 1, 1))
    for N in (5, 6, INT32_MAX):
        assert_same_bits(call(lib, "vx_count", (NAN, 0, 2, NAN, 0), N), np.full(5, MISS))
    allnan = (NAN,) * 4
    assert_same_bits(call(lib, "vx_count", allnan, 0), arr(1, 2, 3, 4))
    assert_same_bits(call(lib, "vx_count", allnan, 1), np.full(4, MISS))


def test_count_a_examples(lib):
    assert_same_bits(call(lib, "vx_count_a", (NAN, 0, 2, NAN, 0), (2,) * 5), arr(0, 0, 1, 1, 0))
    assert_same_bits(call(lib, "vx_count_a", (1, 1, 0, 1), (5, 0, -1, NAN)), arr(1, 2, MISS, MISS))
    assert_same_bits(call(lib, "vx_count_a", (1, 1, 0, 1), (0,) * 4), arr(1, 2, 2, 3))
    assert_same_bits(
        call(lib, "vx_count_a", (1, 1, 0, 1), (-0.5, -0.99, 3e9, 2.0**31)), arr(1, 2, MISS, MISS)
    )
    assert_same_bits(
        call(lib, "vx_count_a", (1, 1, 1), (np.inf, -np.inf, -(2.0**31))), np.full(3, MISS)
    )
    assert_same_bits(call(lib, "vx_count_a", (1, 1, 1), (2.0**31 - 1,) * 3), arr(1, 2, 3))
    assert_same_bits(call(lib, "vx_count_a", (NAN,) * 3, (1, 0, NAN)), arr(0, 0, MISS))


# ---- randomized comparison with the models --------------------------------------------


def conditions(rng, n):
    vals = np.array([0.0, -0.0, 1.0, -2.5, np.inf, NAN, 1e-300])
    return recolour_nans(rng, rng.choice(vals, n, p=[0.3, 0.1, 0.25, 0.1, 0.05, 0.15, 0.05]))


def series_variants(rng, n):
    yield recolour_nans(rng, random_series(rng, n))
    yield random_series(rng, n, nan=0.0, inf=0.0)
    x = random_series(rng, n, nan=0.0, inf=0.005)
    x[: rng.integers(0, n + 1)] = NAN
    yield recolour_nans(rng, x)
    yield recolour_nans(rng, np.full(n, NAN))
    yield conditions(rng, n)


LENGTHS = [0, 1, 2, 3, 5, 8, 17, 40, 120, 300]


@pytest.mark.parametrize("seed", range(3))
def test_random_against_models(lib, seed):
    rng = np.random.default_rng(2000 + seed)
    for n in LENGTHS:
        fixed = [INT32_MIN, -1, 0, 1, 2, n - 1, n, n + 1, INT32_MAX - 1, INT32_MAX]
        fixed += [int(v) for v in rng.integers(1, max(n, 2), 3)]
        for x in series_variants(rng, n):
            for N in fixed:
                compare(lib, "vx_sum", m.vx_sum, [x], (N,))
                compare(lib, "vx_count", m.vx_count, [x], (N,))
            for p in (random_periods(rng, n), random_periods(rng, n, hi=8)):
                compare(lib, "vx_sum_a", m.vx_sum_a, [x, p])
                compare(lib, "vx_count_a", m.vx_count_a, [x, p])
