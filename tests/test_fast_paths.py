"""The kernels' faster paths against the slow models, bit for bit.

The per-bar-period kernels (MA_A, SUM_A, LLV_A, HHV_A) walk groups of consecutive
bars as the lanes of vectors: without masks when a group shares one period, with
masks otherwise, windows far longer than the rest of their group (or reaching before
bar 0) walked alone, groups of never-valid periods filled at once, windows of all bars
so far (LLV_A, HHV_A) carried. COUNT_A counts by differences of prefix counts. FILTER
steps a state table four bars at a time for windows up to 8 bars. The series here are
built to reach each of these paths, at lengths around the group sizes (8 to 64 bars)
and with tails shorter than a vector.
"""

import model_extremes
import model_ma
import model_signals
import model_sums
import numpy as np
import pytest
from support import (
    MISSING_BITS,
    assert_same_bits,
    assert_same_values,
    bits,
    random_series,
    run_kernel,
)

MODELS = {
    "vx_ma_a": model_ma.vx_ma_a,
    "vx_sum_a": model_sums.vx_sum_a,
    "vx_count_a": model_sums.vx_count_a,
    "vx_llv_a": model_extremes.vx_llv_a,
    "vx_hhv_a": model_extremes.vx_hhv_a,
}
PER_BAR = list(MODELS)
LENGTHS = [1, 2, 3, 7, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 97, 130, 200]


def model_out(name, x, p):
    want = np.zeros(len(x))
    assert MODELS[name](x, p, want) == 0
    return want


def check(lib, name, x, p, what=""):
    st, got = run_kernel(lib, name, [x, p])
    assert st == 0
    want = model_out(name, x, p)
    try:
        if name == "vx_ma_a":
            assert_same_values(got, want)
        elif name == "vx_sum_a":
            # A window with a missing input gives the missing value; opposite
            # infinities give the NaN of the arithmetic, never the missing value.
            assert_same_values(got, want)
            assert ((bits(got) == MISSING_BITS) == (bits(want) == MISSING_BITS)).all()
        else:
            assert_same_bits(got, want)
    except AssertionError as e:
        raise AssertionError(f"{name} n={len(x)} {what}: {e}") from None


# ---- period series that reach each path ----------------------------------------


def constant(rng, n):
    return np.full(n, float(rng.choice([1, 2, 3, 5, 8, 16, 17, 40])))


def interrupted(rng, n):
    """Long constant runs broken by short runs of another period, a fraction, a bad
    value or a cumulative 0."""
    p = constant(rng, n)
    for _ in range(max(1, n // 20)):
        at, run = int(rng.integers(0, n)), int(rng.integers(1, 6))
        p[at : at + run] = rng.choice([1.0, 4.0, 4.7, 30.0, 0.0, -1.0, np.nan, 3e9])
    return p


def mixed(rng, n):
    """Small integer periods that differ from bar to bar."""
    return rng.integers(1, 25, n).astype(float)


def outliers(rng, n):
    """Mostly short windows with a few far longer ones (walked alone), and periods
    near the bar index (windows reaching bar 0, or one bar short of it)."""
    p = rng.integers(1, 6, n).astype(float)
    idx = np.arange(n)
    pick = rng.random(n)
    p[pick < 0.05] = idx[pick < 0.05] + rng.integers(-1, 2, (pick < 0.05).sum())
    p[(pick >= 0.05) & (pick < 0.08)] = 10_000.0
    return p


def bad_runs(rng, n):
    """Runs of a value that is never a valid period for MA_A and SUM_A."""
    p = np.full(n, rng.choice([0.0, -3.0, np.nan, np.inf, 0.9]))
    p[rng.random(n) < 0.1] = 3.0
    return p


PERIODS = [constant, interrupted, mixed, outliers, bad_runs]


def series(rng, n, kind):
    if kind == "plain":
        return random_series(rng, n, nan=0.0, inf=0.0)
    if kind == "gaps":  # windows crossing missing values, runs of them included
        x = random_series(rng, n, nan=0.05, inf=0.0)
        at = int(rng.integers(0, max(n, 1)))
        x[at : at + int(rng.integers(1, 20))] = np.nan
        return x
    if kind == "infinities":  # opposite infinities in one window; zeros of both signs
        return rng.choice(np.array([np.inf, -np.inf, np.nan, 0.0, -0.0, 1.5, -2.0]), n)
    if kind == "extremes only":  # windows whose only values are one infinity
        return rng.choice(np.array([np.inf, -np.inf, np.nan, np.nan]), n)
    return np.full(n, np.nan)  # all missing


KINDS = ["plain", "gaps", "infinities", "extremes only", "missing"]


@pytest.mark.parametrize("name", PER_BAR)
def test_per_bar_paths(lib, name):
    rng = np.random.default_rng(sum(map(ord, name)))
    for n in LENGTHS:
        for make in PERIODS:
            p = make(rng, n)
            for kind in KINDS:
                x = series(rng, n, kind)
                if name == "vx_count_a":
                    x = np.where(rng.random(n) < 0.5, 0.0, x)
                check(lib, name, x, p, f"{make.__name__} / {kind}")


@pytest.mark.parametrize("name", PER_BAR)
def test_per_bar_long_constant_runs(lib, name):
    """Several groups in a row share a period, then one bar breaks the run, at every
    position within a group."""
    rng = np.random.default_rng(7)
    n = 160
    x = random_series(rng, n, nan=0.02, inf=0.01)
    for at in range(64, 97):
        p = np.full(n, 6.0)
        p[at] = 2.0
        check(lib, name, x, p, f"break at {at}")


def test_per_bar_zero_ties_in_lanes(lib):
    """Among equal extremes the newest wins, in every lane: -0.0 against +0.0."""
    rng = np.random.default_rng(11)
    for n in (16, 33, 70):
        x = rng.choice(np.array([0.0, -0.0, 1.0, np.nan]), n)
        for p in (np.full(n, 4.0), rng.integers(1, 9, n).astype(float), np.zeros(n)):
            for name in ("vx_llv_a", "vx_hhv_a"):
                check(lib, name, x, p, "zeros")


def test_count_a_long_series(lib):
    """Prefix counts stay exact over a long series, for windows of any length."""
    rng = np.random.default_rng(5)
    n = 3000
    x = rng.choice(np.array([0.0, -0.0, 1.0, np.nan, np.inf]), n)
    p = rng.choice(np.array([1.0, 7.0, 40.0, -0.5, -1.0, np.nan]), n)
    far = rng.random(n) < 0.03
    p[far] = rng.choice(np.array([0.0, 999.0, 2999.0, 3000.0, 6000.0]), far.sum())
    st, got = run_kernel(lib, "vx_count_a", [x, p])
    assert st == 0
    assert_same_bits(got, model_out("vx_count_a", x, p))


# ---- filter: the state table and the long-blank scan -----------------------------


@pytest.mark.parametrize("N", range(0, 11))
def test_filter_every_short_window(lib, N):
    """Windows up to 8 use the table; blanks that cross the four-bar steps and tails of
    1 to 3 bars, with dense and sparse signals, NaN and signed zeros."""
    rng = np.random.default_rng(100 + N)
    for n in list(range(1, 14)) + [31, 64, 101]:
        for density in (0.1, 0.5, 0.9):
            a = rng.choice(np.array([1.0, -2.5, np.inf, -np.inf]), n)
            off = rng.random(n) > density
            a[off] = rng.choice(np.array([0.0, -0.0, np.nan]), off.sum())
            st, got = run_kernel(lib, "vx_filter", [a], (N,))
            want = np.zeros(n)
            assert st == model_signals.vx_filter(a, N, want) == 0
            assert_same_bits(got, want)


# ---- shifted copies: vector moves and their tails ---------------------------------


@pytest.mark.parametrize("name", ["vx_ref", "vx_refxv"])
def test_shifted_copies_every_offset(lib, name):
    """Every offset from beyond the start to beyond the end, at lengths around the
    vector moves (2 to 16 doubles per step), with NaN payloads and signed zeros."""
    import model_refs

    rng = np.random.default_rng(17)
    for n in list(range(1, 20)) + [31, 32, 33, 40]:
        a = random_series(rng, n, nan=0.1, inf=0.05, zeros=0.1)
        a[rng.random(n) < 0.05] = np.array([0xFFF8000000000ABC], np.uint64).view(np.float64)[0]
        for N in range(-n - 2, n + 3):
            st, got = run_kernel(lib, name, [a], (N,))
            want = np.zeros(n)
            assert st == getattr(model_refs, name)(a, N, want) == 0
            assert_same_bits(got, want)
