"""The formula language's kernels (quorix_lang.h) against their plain-Python twins, bit
for bit, and against the functions of vexa._vexa they are defined beside.

The kernels are not part of vexa._vexa: they are loaded from $QUORIX_LIB when it holds
them, else from the native extension vexa._native, else from a libquorix.so built here
once (CMake, -DQUORIX_SHARED=ON) under build/lang-kernels.
"""

import model_lang as model
import numpy as np
import pytest
from support import (
    INT32_MAX,
    INT32_MIN,
    LANG_HEADER,
    assert_same_bits,
    assert_same_values,
    bits,
    canary,
    declarations,
    random_series,
    run_kernel,
)

import vexa

KERNELS = {name: args for name, _, args in declarations(LANG_HEADER)}


@pytest.fixture(scope="module")
def lib(lang_lib):
    return lang_lib


def kinds(name):
    """'S' series, 'C' condition, 'I' int, 'R' real per parameter, from the header."""
    out, args = [], KERNELS[name][1:-2]
    k = 0
    while k < len(args):
        t = args[k][0]
        if t.endswith("*"):
            out.append("C" if "uint8" in t else "S")
            k += 2
        else:
            out.append("R" if t == "double" else "I")
            k += 1
    return "".join(out)


def call(lib, name, inputs, params=()):
    ins = [
        np.ascontiguousarray(x, dtype=np.uint8 if k == "C" else np.float64)
        for x, k in zip(inputs, kinds(name))
    ]
    return run_kernel(lib, name, ins, params=params)


def check(lib, name, inputs, params, exact=False):
    st, got = call(lib, name, inputs, params)
    mst, want = getattr(model, name[3:])(*[list(map(float, x)) for x in inputs], *params)
    assert st == mst, (name, params)
    if st == 0:
        (assert_same_bits if exact else assert_same_values)(got, np.array(want, dtype=float))
    else:
        assert (bits(got) == bits(canary(len(got)))).all()


def conds(rng, n):
    return (rng.random(n) < rng.uniform(0.2, 0.9)).astype(np.uint8)


def prices(rng, n, nan=0.05):
    x = 100 * np.exp(np.cumsum(rng.normal(0, 0.03, n)))
    x[rng.random(n) < nan] = np.nan
    return x


SIZES = [0, 1, 2, 3, 5, 8, 20, 57]
PERIODS = [INT32_MIN, -1, 0, 1, 2, 3, 7, 60, INT32_MAX]


@pytest.mark.parametrize("n", SIZES)
def test_against_model(lib, n):
    rng = np.random.default_rng(n)
    for _ in range(3):
        x, y, c = random_series(rng, n), random_series(rng, n), conds(rng, n)
        for N in PERIODS:
            for name in ("vx_every", "vx_exist"):
                check(lib, name, [c], (N,))
            for name in ("vx_hhvbars", "vx_llvbars", "vx_var", "vx_varp", "vx_devsq"):
                check(lib, name, [x], (N,))
            if N <= 60:  # the model's windows are sliced, not scanned
                check(lib, "vx_forcast", [x], (N,))
            check(lib, "vx_longcross", [x, y], (N,))
            check(lib, "vx_longcross", [np.round(x), np.round(y)], (N,))
        for A, B in [
            (0, 0),
            (0, 2),
            (3, 0),
            (3, 3),
            (5, 2),
            (2, 5),
            (-1, 0),
            (0, -1),
            (INT32_MAX, 0),
            (INT32_MAX, INT32_MAX),
            (0, INT32_MAX),
        ]:
            check(lib, "vx_last", [c], (A, B))
        check(lib, "vx_valuewhen", [c, x], (), exact=True)
        target = np.abs(random_series(rng, n, inf=0.0)) * rng.uniform(0, 3)
        check(lib, "vx_sumbars", [np.abs(x), target], ())


@pytest.mark.parametrize("n", [1, 2, 3, 7, 16, 17, 64, 100, 257])
def test_extreme_bars_against_model_near_and_beyond_the_length(lib, n):
    # The windows cut into blocks of N bars: periods that divide n and that do not, at
    # and around n and far beyond, over ties, signed zeros, infinities and missing runs.
    rng = np.random.default_rng(300 + n)
    periods = {1, 2, 3, 4, 5, 7, 8, n // 3, n // 2, n - 2, n - 1, n, n + 1, 2 * n, INT32_MAX}
    for _ in range(4):
        x = random_series(rng, n, nan=rng.choice([0.0, 0.1, 0.5]))
        x[rng.integers(0, n) : rng.integers(0, n + 1)] = np.nan
        for y in (x, np.round(x / (np.nanmax(np.abs(x[np.isfinite(x)]), initial=1.0) / 3))):
            for N in sorted(p for p in periods if p >= 0):
                for name in ("vx_hhvbars", "vx_llvbars"):
                    check(lib, name, [y], (N,), exact=True)


def highest_sums(x):
    """The largest of the sums SUMBARS forms at each bar, back to bar 0 in its order."""
    out = []
    for i in range(len(x)):
        acc, top = 0.0, 0.0
        for v in x[i::-1]:
            acc = acc + (0.0 if v != v else v)
            top = acc if acc > top else top
        out.append(top)
    return np.array(out)


@pytest.mark.parametrize("n", [1, 2, 5, 40, 300])
def test_sumbars_against_model_at_targets_the_sums_just_reach(lib, n):
    # Targets at the largest sum a bar forms (reached), an ulp and a little above it
    # (never reached), beyond every sum and infinite, over sums that cancel (large values
    # of both signs), tiny and huge magnitudes, missing runs and infinities.
    rng = np.random.default_rng(400 + n)
    for scale, base in ((1.0, 0.0), (1e-3, 1e15), (1e-310, 0.0), (1e290, 0.0)):
        x = base * np.where(rng.random(n) < 0.5, 1.0, -1.0) + rng.normal(0, 1, n) * scale
        x[rng.random(n) < 0.1] = np.nan
        for inf in ([], [np.inf], [-np.inf], [np.inf, -np.inf]):
            y = x.copy()
            y[rng.integers(0, n, len(inf))] = inf
            with np.errstate(all="ignore"):
                top = highest_sums(y.tolist())
                for target in (top, np.nextafter(top, np.inf), top + np.abs(top) * 1e-12):
                    check(lib, "vx_sumbars", [y, target], (), exact=True)
            for fixed in (np.inf, -np.inf, 1e300, -1e300, 0.0):
                target = np.full(n, fixed)
                target[rng.random(n) < 0.1] = np.nan
                check(lib, "vx_sumbars", [y, target], (), exact=True)


@pytest.mark.parametrize("n", SIZES + [300])
def test_zigzag_against_model(lib, n):
    rng = np.random.default_rng(100 + n)
    for _ in range(3):
        k = prices(rng, n)
        for pct in (0.5, 3.0, 10.0, 50.0, 0.0, -1.0, np.nan, np.inf):
            check(lib, "vx_zig", [k], (pct,))
            for M in (INT32_MIN, 0, 1, 2, 5, INT32_MAX):
                for name in ("vx_peak", "vx_trough", "vx_peakbars", "vx_troughbars"):
                    check(lib, name, [k], (pct, M))


def test_counts_refused(lib):
    x = np.arange(1.0, 5.0)
    c = np.ones(4, dtype=np.uint8)
    for name in KERNELS:
        ins = [c if k == "C" else x for k in kinds(name) if k in "SC"]
        params = [3 if k == "I" else 5.0 for k in kinds(name) if k in "IR"]
        for i in range(len(ins) + 1):
            counts = [4] * (len(ins) + 1)
            counts[i] = 3 if i else 4
            if i == 0:
                counts[-1] = 5  # the output's count differs from the first input's
            st, out = run_kernel(lib, name, ins, params=params, counts=counts)
            assert st == 1 and (bits(out) == bits(canary(4))).all(), name


# ---- the language's functions beside vexa._vexa's ------------------------------------


def test_variance_is_the_square_of_std(lib):
    rng = np.random.default_rng(7)
    for n in (1, 5, 40, 200):
        x = random_series(rng, n)
        for N in (1, 2, 3, 10, 30):
            _, v = call(lib, "vx_var", [x], (N,))
            _, vp = call(lib, "vx_varp", [x], (N,))
            assert_same_values(np.sqrt(v), vexa.STD(x, N))
            assert_same_values(np.sqrt(vp), vexa.STDP(x, N))


def test_forcast_slope_is_slope(lib):
    rng = np.random.default_rng(8)
    x = random_series(rng, 80)
    for N in (2, 3, 9, 40):
        want = vexa.SLOPE(x, N)
        got = [model.slope_parts(x[i - N + 1 : i + 1].tolist(), N)[0] for i in range(N - 1, 80)]
        assert_same_values(np.array(got), want[N - 1 :])


def test_longcross_one_is_cross(lib):
    rng = np.random.default_rng(9)
    for _ in range(20):
        a, b = np.round(random_series(rng, 50)), np.round(random_series(rng, 50))
        _, got = call(lib, "vx_longcross", [a, b], (1,))
        assert_same_bits(got, vexa.CROSS(a, b))


def test_extreme_bars_point_at_the_extreme(lib):
    rng = np.random.default_rng(10)
    x = np.round(random_series(rng, 300, inf=0.0))
    for N in (0, 1, 4, 30):
        for name, ext in (("vx_hhvbars", vexa.HHV), ("vx_llvbars", vexa.LLV)):
            _, got = call(lib, name, [x], (N,))
            e = ext(x, N)
            ok = ~np.isnan(got)
            idx = np.arange(300)[ok] - got[ok].astype(int)
            assert_same_bits(x[idx], e[ok])


def test_zigzag_examples(lib):
    # 10 -> 8 (20%, under 21) rises 25% to 10 (the trough at bar 1 confirmed), peaks at 12,
    # falls to 9 (25%: the peak at bar 3 confirmed), ends at 9.5 (bar 4 a trough).
    k = np.array([10.0, 8.0, 10.0, 12.0, 9.0, 9.5])
    assert call(lib, "vx_zig", [k], (21.0,))[1].tolist() == [10.0, 8.0, 10.0, 12.0, 9.0, 9.5]
    assert_same_values(call(lib, "vx_peak", [k], (21.0, 1))[1], [np.nan] * 3 + [12.0] * 3)
    assert_same_values(call(lib, "vx_troughbars", [k], (21.0, 1))[1], [np.nan, 0, 1, 2, 0, 1])
    # A move under N percent turns nothing: one straight line from first to last.
    flat = np.array([10.0, 10.5, 10.2, 10.9])
    z = call(lib, "vx_zig", [flat], (21.0,))[1]
    assert_same_values(z, 10.0 + 0.9 * np.arange(4) / 3)


# ---- stop and reverse -------------------------------------------------------------


def bars(rng, n, holes=0.05):
    """Highs and lows as exports give them (low <= high, cents, flat runs), with missing
    highs, lows or both here and there."""
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.02, n))), 2)
    spread = np.round(np.abs(rng.normal(0, 1.0, n)) * rng.choice([0.0, 1.0], n, p=[0.1, 0.9]), 2)
    high, low = close + spread, close - np.round(rng.random(n) * spread, 2)
    high[rng.random(n) < holes] = np.nan
    low[rng.random(n) < holes] = np.nan
    return high, low


SAR_PARAMS = [(2.0, 20.0), (0.5, 0.5), (7.0, 100.0), (1.25, 3.0)]
SAR_REFUSED = [(0.0, 20.0), (-2.0, 20.0), (30.0, 20.0), (2.0, 101.0), (np.nan, 20.0)]
SAR_REFUSED += [(2.0, np.nan), (2.0, np.inf), (np.inf, np.inf)]


@pytest.mark.parametrize("n", SIZES + [300])
def test_sar_against_model(lib, n):
    rng = np.random.default_rng(200 + n)
    series = [bars(rng, n), bars(rng, n, holes=0.4)]
    # Series as the other kernels meet them: highs below lows, infinities, signed zeros.
    series.append((random_series(rng, n), random_series(rng, n)))
    for h, lo in series:
        for N in (INT32_MIN, -1, 0, 1, 2, 3, 10, max(n - 1, 1), n, n + 1, INT32_MAX):
            for step, top in SAR_PARAMS + SAR_REFUSED:
                check(lib, "vx_sar", [h, lo], (N, step, top))


def test_sar_leaves_missing_bars_out(lib):
    rng = np.random.default_rng(11)
    for _ in range(20):
        h, lo = bars(rng, 400, holes=0.15)
        ok = ~np.isnan(h) & ~np.isnan(lo)
        for N, step, top in ((1, 2.0, 20.0), (10, 2.0, 20.0), (4, 5.0, 40.0)):
            _, holed = call(lib, "vx_sar", [h, lo], (N, step, top))
            _, packed = call(lib, "vx_sar", [h[ok], lo[ok]], (N, step, top))
            assert np.isnan(holed[~ok]).all()
            assert_same_bits(holed[ok], packed)


def test_sar_starts_at_an_extreme_and_stays_outside_the_bars(lib):
    # It starts at the lowest low or the highest high of the first N bars, and is never
    # strictly inside a bar's range: a bar that reaches it reverses it beyond the bar.
    rng = np.random.default_rng(12)
    for _ in range(20):
        h, lo = bars(rng, 300, holes=0.0)
        for N in (1, 5, 30):
            _, s = call(lib, "vx_sar", [h, lo], (N, 2.0, 20.0))
            assert np.isnan(s[: N - 1]).all()
            assert s[N - 1] in (lo[:N].min(), h[:N].max())
            assert not ((lo[N:] < s[N:]) & (s[N:] < h[N:])).any()


# ---- the dispersion frame and lanes ---------------------------------------------------


def test_variances_on_long_series_against_model(lib):
    """Series long enough for the 1-D frame's groups of vectors (and their last partial
    group), clean after a leading missing run, bit for bit against the model."""
    rng = np.random.default_rng(11)
    for n, periods in ((100, (1, 2, 5, 7, 8, 20, 33, 99)), (301, (3, 20, 64))):
        x = prices(rng, n, nan=0.0)
        x[: rng.integers(0, 5)] = np.nan
        for N in periods:
            for name in ("vx_var", "vx_varp", "vx_devsq"):
                check(lib, name, [x], (N,), exact=True)


# A NaN made by arithmetic may come out of a lane with another sign than out of the 1-D
# kernel; every other value compares by its bits.
ARITHMETIC_NANS = np.array([0x7FF8000000000000, 0xFFF8000000000000], np.uint64)


@pytest.mark.parametrize("name", ["VAR", "VARP", "DEVSQ"])
def test_dispersion_panels_are_their_columns(name):
    """Panels of the language's dispersion functions (lanes over adjacent columns, the
    1-D frame column by column otherwise) equal their columns' 1-D calls: lane blocks and
    the columns after them, leading missing runs of every length, a NaN or an infinity
    mid-series, periods below and above a group of windows and beyond the series."""
    native = pytest.importorskip("vexa._native")
    fn = getattr(native, name)
    rng = np.random.default_rng(12)
    for n, k, N in (
        (300, 37, 20),
        (300, 37, 5),
        (257, 19, 1),
        (120, 16, 8),
        (64, 9, 7),
        (40, 11, 41),
    ):
        x = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (n, k)), axis=0))
        for j in range(k):
            x[: rng.integers(0, 30), j] = np.nan
            if rng.random() < 0.2:
                x[rng.integers(0, n), j] = rng.choice([np.nan, np.inf, -np.inf])
        for order in ("C", "F", "reversed"):
            a = np.asarray(x, order="F" if order == "F" else "C")
            if order == "reversed":
                a = np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]
            got = fn(a, N)
            for j in range(k):
                want = fn(np.ascontiguousarray(x[:, j]), N)
                g, w = bits(got[:, j]), bits(want)
                loose = np.isnan(got[:, j]) & np.isnan(want) & np.isin(g, ARITHMETIC_NANS)
                assert ((g == w) | loose).all(), (name, n, k, N, order, j)
