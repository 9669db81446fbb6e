"""Native tests of the dispersion kernels (vx_std, vx_stddev, vx_stdp, vx_avedev) and
vx_slope against their Python twins in model_dispersion."""

import math

import model_dispersion as model
import numpy as np
import pytest
from support import (
    CANARY_BITS,
    INT32_MAX,
    INT32_MIN,
    MISSING_BITS,
    assert_same_bits,
    assert_same_values,
    bits,
    canary,
    random_series,
    run_kernel,
)

DISPERSION = ["vx_std", "vx_stddev", "vx_stdp", "vx_avedev"]
KERNELS = DISPERSION + ["vx_slope"]
NAN = math.nan


def f64(values):
    return np.array(values, dtype=np.float64)


def modelled(name, x, N):
    out = canary(len(x))
    st = getattr(model, name)(x, N, out)
    return st, out


def check_against_model(lib, name, x, N):
    """Kernel and model agree: status, untouched output on rejection, exact stored
    missing values before the first computed bar, exact bits of every number."""
    want_st, want = modelled(name, x, N)
    st, got = run_kernel(lib, name, [x], params=(N,))
    assert st == want_st, (name, N, len(x))
    if st != 0:
        assert (bits(got) == CANARY_BITS).all()
        return
    assert_same_values(got, want)
    if name == "vx_slope":
        warm = min(N - 1, len(x)) if N > 0 else 0
    else:
        s = 0
        while s < len(x) and x[s] != x[s]:
            s += 1
        warm = min(s + N - 1, len(x))
    assert (bits(got[:warm]) == MISSING_BITS).all(), (name, N, len(x))


# ---- worked examples ---------------------------------------------------------------


def test_dispersion_examples(lib):
    x = f64([1, 2, 3, 4, 5])
    r23 = 0.816496580927726  # sqrt(2 / 3), correctly rounded
    expected = {
        "vx_std": [NAN, NAN, 1, 1, 1],
        "vx_stddev": [NAN, NAN, r23, r23, r23],
        "vx_stdp": [NAN, NAN, r23, r23, r23],
        "vx_avedev": [NAN, NAN] + [0.6666666666666666] * 3,
    }
    for name, want in expected.items():
        st, out = run_kernel(lib, name, [x], params=(3,))
        assert st == 0
        assert_same_bits(out, want)

    x = f64([NAN, 2, 4, 4, 4, 5, 5, 7, 9])
    st, out = run_kernel(lib, "vx_stdp", [x], params=(8,))
    assert_same_bits(out, [NAN] * 8 + [2.0])
    st, out = run_kernel(lib, "vx_std", [x], params=(8,))
    assert_same_bits(out, [NAN] * 8 + [2.138089935299395])

    # N = 1: vx_std is exactly +0.0 from the first valid bar on, NaN or not.
    x = f64([NAN, 1, NAN])
    assert_same_bits(run_kernel(lib, "vx_std", [x], params=(1,))[1], [NAN, 0.0, 0.0])
    for name in ["vx_stddev", "vx_stdp", "vx_avedev"]:
        out = run_kernel(lib, name, [x], params=(1,))[1]
        assert_same_values(out, [NAN, 0.0, NAN])
        assert bits(out)[0] == MISSING_BITS
    x = f64([-np.inf, np.inf, -0.0, 5e300, NAN])
    assert_same_bits(run_kernel(lib, "vx_std", [x], params=(1,))[1], [0.0] * 5)

    # A NaN after the first valid bar spoils every later bar of the running mean.
    x = f64([1, 2, NAN, 4, 5, 6])
    out = run_kernel(lib, "vx_std", [x], params=(2,))[1]
    assert_same_values(out, [NAN, 0.7071067811865476, NAN, NAN, NAN, NAN])
    # So does an infinity, also after it has left the window.
    x = f64([1, 2, 3, np.inf, 5, 6, 7, 8])
    for name in DISPERSION:
        out = run_kernel(lib, name, [x], params=(2,))[1]
        assert np.isnan(out[3:]).all() and not np.isnan(out[1:3]).any()

    # Period longer than the valid part, and all-missing input.
    assert_same_bits(run_kernel(lib, "vx_std", [f64([1, 2, 3])], params=(4,))[1], [NAN] * 3)
    for name in DISPERSION:
        for N in [1, 2, 7, INT32_MAX]:
            out = run_kernel(lib, name, [f64([NAN] * 7)], params=(N,))[1]
            assert_same_bits(out, [NAN] * 7)


def test_dispersion_periods_near_int32_max(lib):
    x = f64([NAN, NAN, 1, 2, 3])
    for name in DISPERSION:
        for N in [INT32_MAX - 1, INT32_MAX, 4, 5, 6]:
            st, out = run_kernel(lib, name, [x], params=(N,))
            assert st == 0
            assert_same_bits(out, [NAN] * 5)


def test_slope_examples(lib):
    def slope(values, N):
        st, out = run_kernel(lib, "vx_slope", [f64(values)], params=(N,))
        assert st == 0
        return out

    assert_same_bits(slope([1, 3, 5, 7], 3), [NAN, NAN, 2, 2])
    assert_same_bits(slope([1, 4, 9], 2), [NAN, 3, 5])
    out = slope([1, NAN, 3, 4], 2)
    assert bits(out)[0] == MISSING_BITS
    assert_same_values(out, [NAN, NAN, NAN, 1])
    assert_same_bits(slope([2, -1, NAN, np.inf], 0), [1.0] * 4)
    assert_same_bits(slope([NAN] * 5, 0), [1.0] * 5)
    assert np.isnan(slope([NAN] * 5, 3)).all()
    assert np.isnan(slope([1, 2, 3, 4], 1)).all()  # 0 / 0
    for N in [4, 5, INT32_MAX - 1, INT32_MAX]:
        assert_same_bits(slope([1, 2, 3], N), [NAN] * 3)
    # An infinity spoils only the windows that hold it.
    out = slope([1, 2, np.inf, 4, 5, 7], 2)
    assert np.isnan(out[[0, 2, 3]]).all()
    assert_same_bits(out[[1, 4, 5]], [1, 1, 2])


def test_slope_long_linear_series(lib):
    st, out = run_kernel(lib, "vx_slope", [np.arange(1100, dtype=np.float64)], params=(1025,))
    assert st == 0
    assert (bits(out[:1024]) == MISSING_BITS).all()
    assert_same_bits(out[1024:], [1.0] * 76)


def _tie_periods():
    """Periods whose Sxx lies exactly halfway between two doubles (odd, in [2^53, 2^54)),
    one rounding down to even and one up, each with the wrong rounding of its tie."""
    found = {}
    for N in range(300_000, 400_000):
        sxx = N * (N - 1) * (2 * N - 1) // 6
        if 2**53 < sxx < 2**54 and sxx % 2 == 1:
            up = (sxx // 2) % 2 == 1  # the even neighbour lies above
            found.setdefault(up, (N, [float(sxx - 1 if up else sxx + 1)]))
            if len(found) == 2:
                return list(found.values())
    raise AssertionError("no ties found")


def _unit_last_slope(N, Sxx):
    # Y = 0, ..., 0, 1: Sxy = N - 1 and Sy = 1 exactly.
    Sx = float(N * (N - 1) // 2)
    Nf = float(N)
    return ((N - 1) * Nf - 1.0 * Sx) / (Nf * Sxx - Sx * Sx)


def test_slope_constants_rounded_once_for_long_periods(lib):
    """Sxx beyond 2^53 must be the exact sum rounded to nearest (ties to even): the
    result differs when Sxx is truncated, rounded upward or built from doubles."""
    ties = _tie_periods()
    cases = list(ties)
    for N in [1 << 19, 654_321, 1_048_575]:
        sxx = N * (N - 1) * (2 * N - 1) // 6
        near = float(sxx)
        wrong = [
            math.nextafter(near, math.inf),
            math.nextafter(near, -math.inf),
            float(N) * float(N - 1) * float(2 * N - 1) / 6.0,
        ]
        cases.append((N, [w for w in wrong if w != near]))
    for N, wrong_sxx in cases:
        _, Sxx, _ = model.slope_constants(N)
        want = _unit_last_slope(N, Sxx)
        # The test can fail: every wrong Sxx gives a different result.
        assert wrong_sxx and all(_unit_last_slope(N, w) != want for w in wrong_sxx)
        Y = np.zeros(N)
        Y[-1] = 1.0
        st, out = run_kernel(lib, "vx_slope", [Y], params=(N,))
        assert st == 0
        assert_same_bits(out[-1:], [want])
        assert (bits(out[:-1]) == MISSING_BITS).all()
    # The model agrees on a tie period through its own per-bar sums.
    N = ties[0][0]
    Y = np.zeros(N)
    Y[-1] = 1.0
    check_against_model(lib, "vx_slope", Y, N)


# ---- randomized comparison with the model ------------------------------------------


def _series_kinds(rng, n):
    """Inputs that keep most bars numeric (a NaN after the first valid bar spoils the
    rest of a dispersion series), plus the hostile ones."""
    yield random_series(rng, n, nan=0.0, inf=0.0)
    offset = random_series(rng, n, nan=0.0, inf=0.0, zeros=0.0, scale=1e-3) + 1e8
    yield offset  # cancellation against a large mean
    x = random_series(rng, n, nan=0.0, inf=0.0)
    if n:
        x[: rng.integers(0, n + 1)] = np.nan  # leading missing values
        x[rng.integers(0, n)] = rng.choice([np.nan, np.inf, -np.inf, -0.0])
    yield x
    yield random_series(rng, n)  # NaN, infinities and signed zeros everywhere
    yield np.full(n, np.nan)


def _periods(rng, n):
    fixed = [INT32_MIN, -1, 0, 1, 2, n - 1, n, n + 1, INT32_MAX - 1, INT32_MAX]
    rand = list(rng.integers(1, max(n, 1) + 1, 2)) + list(rng.integers(1, 12, 2))
    return [int(p) for p in fixed + rand]


@pytest.mark.parametrize("name", KERNELS)
def test_random_against_model(lib, name):
    rng = np.random.default_rng(100 + KERNELS.index(name))
    lengths = [0, 1, 2, 3, 5, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 127, 130, 257, 300]
    for n in lengths:
        for x in _series_kinds(rng, n):
            for N in _periods(rng, n):
                # The model costs n * N steps; long periods on long series are
                # covered by a few cases below.
                if 0 < N <= n and (n - N + 1) * N > 12_000:
                    continue
                check_against_model(lib, name, x, N)
    for n, N in [(300, 150), (257, 40), (300, 299)]:
        check_against_model(lib, name, random_series(rng, n, nan=0.0, inf=0.0), N)
    # Every short period, on lengths around a few groups of bars.
    for N in range(1, 25):
        for n in [N + 6, N + 17, N + 40]:
            x = random_series(rng, n, nan=0.0, inf=0.0)
            x[: rng.integers(0, 4)] = np.nan
            check_against_model(lib, name, x, N)
