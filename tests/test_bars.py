"""Native tests of the bar counters against their search-backwards models."""

import model_bars as model
import numpy as np
import pytest
from support import INT32_MAX, INT32_MIN, assert_same_bits, canary, ptr, random_series, run_kernel

COUNTERS = ["vx_barsince", "vx_barslast", "vx_barlast", "vx_backcount"]


def u8(*v):
    return np.array(v, dtype=np.uint8)


# ---- examples -------------------------------------------------------------------------

EXAMPLES = [
    # c, barsince, barslast/barlast, backcount
    ([0, 1, 0, 0, 1, 1, 0], [0, 1, 2, 3, 4, 5, 6], [0, 1, 2, 3, 1, 1, 2], [0, 1, 0, 0, 1, 2, 0]),
    ([0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0]),
    ([1, 1, 1, 1], [1, 2, 3, 4], [1, 1, 1, 1], [1, 2, 3, 4]),
    ([1, 0, 0], [1, 2, 3], [1, 2, 3], [1, 0, 0]),
    ([2, 0, 255, 7], [1, 2, 3, 4], [1, 2, 1, 1], [1, 0, 1, 2]),
    ([0, 0, 128], [0, 0, 1], [0, 0, 1], [0, 0, 1]),
    ([0], [0], [0], [0]),
    ([255], [1], [1], [1]),
]


@pytest.mark.parametrize("c, since, last, back", EXAMPLES)
def test_counter_examples(lib, c, since, last, back):
    c = u8(*c)
    for name, want in [
        ("vx_barsince", since),
        ("vx_barslast", last),
        ("vx_barlast", last),
        ("vx_backcount", back),
    ]:
        st, out = run_kernel(lib, name, [c])
        assert st == 0, name
        # Whole numbers, 0 as +0.0, never NaN.
        assert_same_bits(out, np.array(want, dtype=np.float64))


def test_currbarscount_ignores_values(lib):
    Y = np.array([np.nan, 1.0, -np.inf, np.nan, 7.0])
    st, out = run_kernel(lib, "vx_currbarscount", [Y])
    assert st == 0
    assert_same_bits(out, np.arange(5, dtype=np.float64))
    # The values are never read: a null address with a positive count is fine.
    out = canary(6)
    st = lib.vx_currbarscount(0, None, 6, ptr(out), 6)
    assert st == 0
    assert_same_bits(out, np.arange(6, dtype=np.float64))


# ---- randomized comparison with the models -----------------------------------------


def condition(rng, n, i):
    density = rng.choice([0.0, 0.02, 0.2, 0.5, 0.9, 1.0])
    c = rng.choice(u8(1, 2, 255), n) if i % 2 else rng.integers(1, 256, n, np.uint8)
    c[rng.random(n) >= density] = 0
    return c


@pytest.mark.parametrize("name", COUNTERS)
def test_counters_random(lib, name):
    rng = np.random.default_rng(2001 + COUNTERS.index(name))
    fn = getattr(model, name)
    ctxs = (0, -1, 3, INT32_MIN, INT32_MAX)
    for i, n in enumerate([0, 1, 2] + list(rng.integers(0, 301, 80))):
        c = condition(rng, n, i)
        st, got = run_kernel(lib, name, [c], ctx=ctxs[i % len(ctxs)])
        want = canary(n)
        assert st == fn(c, want) == 0
        assert_same_bits(got, want)


def test_currbarscount_random(lib):
    rng = np.random.default_rng(2011)
    for n in [0, 1, 2] + list(rng.integers(0, 301, 20)):
        Y = random_series(rng, n, nan=0.5)
        st, got = run_kernel(lib, "vx_currbarscount", [Y])
        want = canary(n)
        assert st == model.vx_currbarscount(Y, want) == 0
        assert_same_bits(got, want)
