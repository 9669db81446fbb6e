"""Native tests of vx_ema, vx_sma, vx_wma and vx_dma against their models."""

import model_averages as m
import numpy as np
import pytest
from kernel_check import compare, recolour_nans
from support import (
    INT32_MAX,
    INT32_MIN,
    MISSING_BITS,
    assert_same_bits,
    assert_same_values,
    random_series,
    run_kernel,
)

NAN = np.nan
MISS = np.array([MISSING_BITS], dtype=np.uint64).view(np.float64)[0]


def arr(*v):
    return np.array(v, dtype=np.float64)


def call(lib, name, inputs, params=()):
    st, out = run_kernel(
        lib, name, [arr(*x) if isinstance(x, tuple) else x for x in inputs], params
    )
    assert st == 0
    return out


# ---- documented examples --------------------------------------------------------------


def test_ema_examples(lib):
    assert_same_bits(call(lib, "vx_ema", [(1, 2, 3, 4)], (3,)), arr(1, 1.5, 2.25, 3.125))
    assert_same_bits(call(lib, "vx_ema", [(1, 2, 3, 4)], (1,)), arr(1, 2, 3, 4))
    assert_same_bits(call(lib, "vx_ema", [(1, 2, 3)], (0,)), arr(1, 3, 3))
    assert_same_bits(call(lib, "vx_ema", [(NAN, 5, 7)], (3,)), arr(MISS, 5, 6))


def test_sma_examples(lib):
    assert_same_bits(
        call(lib, "vx_sma", [(1, 2, 3, 4)], (3, 1)),
        arr(1, 1.3333333333333333, 1.8888888888888888, 2.5925925925925926),
    )
    out = call(lib, "vx_sma", [(1, 2, 3, 4)], (0, 1))
    assert out[0] == 1 and np.isnan(out[1:]).all()
    # M < 0 is not checked: g = 1.5, h = -0.5.
    assert_same_bits(call(lib, "vx_sma", [(1, 2, 3)], (2, -1)), arr(1, 0.5, -0.75))


def test_sma_weights_from_exact_integers(lib):
    # N - M = 2^32 - 1: a 32-bit difference would wrap to -1.
    N, M = INT32_MAX, INT32_MIN
    out = call(lib, "vx_sma", [(1, 2)], (N, M))
    want = (2**32 - 1) / N * 1.0 + M / N * 2.0
    wrapped = -1 / N * 1.0 + M / N * 2.0
    assert out[1] == want and abs(want - wrapped) > 1


def test_wma_examples(lib):
    assert_same_bits(
        call(lib, "vx_wma", [(1, 2, 3, 4, 5)], (3,)),
        arr(MISS, MISS, 2.3333333333333335, 3.3333333333333335, 4.333333333333333),
    )
    # Window longer than the bars from the first valid one on.
    for N in (4, 5, INT32_MAX):
        assert_same_bits(call(lib, "vx_wma", [(NAN, NAN, 1, 2, 3)], (N,)), np.full(5, MISS))
    assert_same_bits(
        call(lib, "vx_wma", [(NAN, NAN, 1, 2, 3)], (3,)), arr(MISS, MISS, MISS, MISS, 14 / 6)
    )


def test_dma_examples(lib):
    a = arr(NAN, 1, 2, 3, 4)
    assert_same_bits(call(lib, "vx_dma", [a, np.full(5, 0.5)]), arr(MISS, 1, 1.5, 2.25, 3.125))
    assert_same_bits(call(lib, "vx_dma", [a, np.ones(5)]), arr(MISS, 1, 2, 3, 4))
    assert_same_bits(call(lib, "vx_dma", [a, np.zeros(5)]), arr(MISS, 1, 1, 1, 1))
    # Weights up to the first valid bar are never read, even when missing.
    assert_same_bits(
        call(lib, "vx_dma", [a, arr(NAN, NAN, 0.5, 0.5, 0.5)]), arr(MISS, 1, 1.5, 2.25, 3.125)
    )


@pytest.mark.parametrize(
    "name,params", [("vx_ema", (3,)), ("vx_sma", (3, 1)), ("vx_wma", (2,)), ("vx_dma", ())]
)
def test_missing_in_the_middle_spoils_the_rest(lib, name, params):
    a = arr(NAN, 1, 2, 3, NAN, 5, 6, 7)
    inputs = [a] + ([np.full(8, 0.5)] if name == "vx_dma" else [])
    out = call(lib, name, inputs, params)
    assert out.view(np.uint64)[0] == MISSING_BITS
    assert np.isfinite(out[3]) and np.isnan(out[4:]).all()


def test_all_missing(lib):
    a = np.full(6, NAN)
    for name, params in (("vx_ema", (2,)), ("vx_sma", (2, 1)), ("vx_wma", (1,))):
        assert_same_bits(call(lib, name, [a], params), np.full(6, MISS))
    assert_same_bits(call(lib, "vx_dma", [a, np.full(6, 0.5)]), np.full(6, MISS))


def test_infinities(lib):
    a = arr(1, np.inf, 2, 3)
    assert_same_values(call(lib, "vx_ema", [a], (3,)), arr(1, np.inf, np.inf, np.inf))
    assert_same_values(call(lib, "vx_ema", [a], (1,)), arr(1, np.inf, NAN, NAN))
    assert_same_values(
        call(lib, "vx_wma", [arr(1, 2, np.inf, 3, 4)], (2,)), arr(MISS, 5 / 3, np.inf, NAN, NAN)
    )


# ---- randomized comparison with the models --------------------------------------------


def series_variants(rng, n):
    yield recolour_nans(rng, random_series(rng, n))
    yield random_series(rng, n, nan=0.0, inf=0.0)
    x = random_series(rng, n, nan=0.0, inf=0.005)
    x[: rng.integers(0, n + 1)] = NAN
    if n and rng.random() < 0.5:
        x[rng.integers(0, n)] = NAN
    yield recolour_nans(rng, x)
    yield recolour_nans(rng, np.full(n, NAN))


def fixed_periods(rng, n):
    base = [INT32_MIN, -1, 0, 1, 2, 3, n - 1, n, n + 1, INT32_MAX - 1, INT32_MAX]
    return base + [int(v) for v in rng.integers(1, max(n, 2), 3)]


LENGTHS = [0, 1, 2, 3, 5, 8, 17, 40, 120, 300]


@pytest.mark.parametrize("seed", range(3))
def test_random_against_models(lib, seed):
    rng = np.random.default_rng(1000 + seed)
    for n in LENGTHS:
        for a in series_variants(rng, n):
            periods = fixed_periods(rng, n)
            for N in periods:
                compare(lib, "vx_ema", m.vx_ema, [a], (N,))
                compare(lib, "vx_wma", m.vx_wma, [a], (N,))
            for N in periods:
                for M in rng.choice(periods + [INT32_MIN + 1, -3], 4):
                    compare(lib, "vx_sma", m.vx_sma, [a], (N, int(M)))
            for A in (
                rng.uniform(0, 1, n),
                rng.uniform(-0.5, 1.5, n),
                recolour_nans(rng, random_series(rng, n, scale=1.0)),
            ):
                compare(lib, "vx_dma", m.vx_dma, [a, A])
