"""Moving-average kernels and the helpers, called natively."""

import ctypes
import subprocess
import sys
import tempfile

import model_ma
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import (
    CANARY_BITS,
    INT32_MAX,
    INT32_MIN,
    MISSING_BITS,
    assert_same_bits,
    assert_same_values,
    bits,
    c_runtime,
    canary,
    library_path,
    random_periods,
    random_series,
    run_kernel,
)

NAN = np.nan


def ma(lib, a, N, ctx=0, out=None):
    return run_kernel(lib, "vx_ma", [np.asarray(a, float)], (N,), out=out, ctx=ctx)


def ma_a(lib, a, p, out=None):
    return run_kernel(lib, "vx_ma_a", [np.asarray(a, float), np.asarray(p, float)], out=out)


@pytest.mark.parametrize(
    "a, N, want",
    [
        ([1, 2, 3, 4, 5], 2, [NAN, 1.5, 2.5, 3.5, 4.5]),
        ([NAN, NAN, 1, 2, 3], 2, [NAN, NAN, NAN, 1.5, 2.5]),
        ([1, 2, NAN, 4, 5, 6], 2, [NAN, 1.5, NAN, NAN, NAN, NAN]),
        ([1, 2, 3], 4, [NAN] * 3),
        ([NAN] * 4, 1, [NAN] * 4),
        ([3, np.inf, 4, 5], 1, [3, np.inf, NAN, NAN]),
        ([1, 2, 3], INT32_MAX, [NAN] * 3),
    ],
)
def test_ma_examples(lib, a, N, want):
    st_, out = ma(lib, a, N)
    assert st_ == 0
    assert_same_values(out, want)
    # Leading and warm-up bars carry the one quiet-NaN pattern.
    warm = min(model_ma.first_valid(a) + N - 1, len(a))
    assert (bits(out[:warm]) == MISSING_BITS).all()


def test_ma_context_moves_start_to_the_tail(lib):
    st_, out = ma(lib, np.arange(1.0, 11.0), 3, ctx=-1)
    assert st_ == 0
    assert (bits(out[:2]) == MISSING_BITS).all()
    assert (bits(out[2:7]) == CANARY_BITS).all()
    assert out[7:].tolist() == [7.0, 8.0, 9.0]
    # A start beyond the series writes only the warm-up bars.
    for ctx in (INT32_MIN, -11):
        st_, out = ma(lib, np.arange(1.0, 11.0), 3, ctx=ctx)
        assert st_ == 0 and out[2:].tolist() == [2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0]
    st_, out = ma(lib, np.arange(1.0, 11.0), 3, ctx=INT32_MAX)
    assert out[2:].tolist() == [2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0]


@pytest.mark.parametrize(
    "p, want",
    [
        ([2, 2, 2, 2, 2], [NAN, NAN, 2.5, 3.5, 4.5]),
        ([1, 1, 1, 1, 1], [NAN, 2, 3, 4, 5]),
        ([NAN, 0, -1, 2**31, 2.9], [NAN, NAN, NAN, NAN, 4.5]),
        ([-1.5, 0.7, 1e300, -np.inf, np.inf], [NAN] * 5),
    ],
)
def test_ma_a_examples(lib, p, want):
    st_, out = ma_a(lib, [1, 2, 3, 4, 5], p)
    assert st_ == 0
    assert_same_values(out, want)


def test_ma_a_missing_spoils_only_its_windows(lib):
    st_, out = ma_a(lib, [1, 2, NAN, 4, 5, 6], [2] * 6)
    assert_same_bits(out, [NAN, NAN, NAN, NAN, 4.5, 5.5])
    # Opposite infinities make the total NaN; the bar then gets the stored missing value.
    st_, out = ma_a(lib, [1, np.inf, -np.inf, 4], [2] * 4)
    assert_same_bits(out, [NAN, NAN, NAN, -np.inf])


PERIODS = [INT32_MIN, INT32_MIN + 1, -2, -1, 0, 1, 2, 3, 7, 64, INT32_MAX - 1, INT32_MAX]


@pytest.mark.parametrize("seed", range(40))
def test_ma_matches_model(lib, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 160))
    a = random_series(rng, n, nan=[0.0, 0.01, 0.1][seed % 3], inf=[0.0, 0.005, 0.02][seed % 3])
    if seed % 7 == 0:
        a[: n // 2] = np.nan
    for N in PERIODS + [n - 1, n, n + 1]:
        for ctx in (0, 5, -1, -n - 1, -3, INT32_MIN, INT32_MAX):
            want = canary(n)
            st_, out = ma(lib, a, N, ctx=ctx)
            assert st_ == model_ma.vx_ma(a, N, want, ctx=ctx)
            assert_same_values(out, want)
    p = random_periods(rng, n)
    want = canary(n)
    st_, out = ma_a(lib, a, p)
    assert st_ == model_ma.vx_ma_a(a, p, want) == 0
    assert_same_values(out, want)


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.floats(allow_nan=True, allow_infinity=True, width=64), max_size=40),
    st.integers(-3, 45),
    st.lists(st.floats(-3, 50) | st.just(float("nan")), max_size=40),
)
def test_ma_hypothesis(lib, values, N, periods):
    a = np.array(values, dtype=float)
    want = canary(len(a))
    st_, out = ma(lib, a, N)
    assert st_ == model_ma.vx_ma(a, N, want)
    assert_same_values(out, want)
    p = np.resize(np.array(periods or [2.0]), len(a))
    want = canary(len(a))
    st_, out = ma_a(lib, a, p)
    assert st_ == model_ma.vx_ma_a(a, p, want)
    assert_same_values(out, want)


# ---- helpers -----------------------------------------------------------------------


def test_maxi_mini(lib):
    assert lib.maxi(3, 7) == 7 and lib.mini(3, 7) == 3 and lib.maxi(-1, -1) == -1
    assert (
        lib.maxi(INT32_MIN, INT32_MAX) == INT32_MAX and lib.mini(INT32_MIN, INT32_MAX) == INT32_MIN
    )


@pytest.mark.parametrize(
    "ctx, n, N, want",
    [
        (0, 100, 5, 4),
        (-1, 100, 5, 95),
        (-100, 100, 5, 4),
        (7, 100, 5, 4),
        (INT32_MIN, INT32_MAX, 1, 0),
        (-1, INT32_MAX, 1, INT32_MAX - 1),
        (0, 10, INT32_MIN, INT32_MIN),
        (-1, INT32_MAX, INT32_MIN, INT32_MAX),
    ],
)
def test_ctxn(lib, ctx, n, N, want):
    assert lib.ctxn(ctx, n, N) == want == model_ma.ctxn(ctx, n, N)


def take(lib, address, count):
    try:
        return np.ctypeslib.as_array(
            ctypes.cast(address, ctypes.POINTER(ctypes.c_double)), (count,)
        ).copy()
    finally:
        c_runtime().free(ctypes.c_void_p(address))


@pytest.mark.parametrize(
    "start, stop, step, want",
    [
        (0, 10, 3.0, [0, 3, 6]),
        (10, 0, -2.5, [10, 7.5, 5, 2.5]),
        (-3, 3, 1.5, [-3, -1.5, 0, 1.5]),
        (0, 1, 0.1, [i * 0.1 for i in range(10)]),
    ],
)
def test_arange(lib, start, stop, step, want):
    got = take(lib, lib.arange(start, stop, step), len(want))
    assert_same_bits(got, np.array(want, float))


@pytest.mark.parametrize(
    "start, stop, step",
    [
        (5, 5, 1.0),
        (0, 5, 0.0),
        (0, 5, -1.0),
        (0, 5, np.inf),
        (0, 5, np.nan),
        (INT32_MIN, INT32_MAX, 1e-300),
    ],
)
def test_arange_without_elements_returns_null(lib, start, stop, step):
    assert lib.arange(start, stop, step) is None


def test_zeros(lib):
    got = take(lib, lib.zeros(3), 3)
    assert bits(got).tolist() == [0, 0, 0]
    assert lib.zeros(0) is None and lib.zeros(-1) is None


def c_format(fmt, value):
    """`value` as the C runtime's printf formats it (how a NaN's sign shows is the
    runtime's choice: glibc prints -nan, macOS nan)."""
    snprintf = c_runtime().snprintf
    # The fixed arguments declared: on Apple silicon ctypes passes the rest as variadic.
    snprintf.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
    buf = ctypes.create_string_buffer(64)
    snprintf(buf, 64, fmt, ctypes.c_double(value))
    return buf.value.decode()


@pytest.mark.skipif(sys.platform == "win32", reason="the Windows C runtime exports no snprintf")
def test_aprint_output():
    code = f"""
import ctypes, sys
sys.path.insert(0, {str(__import__("pathlib").Path(__file__).parent)!r})
from support import c_runtime, load_library
lib = load_library({library_path()!r})
D = ctypes.c_double * 4
r1 = lib.aprint(b"x", D(1.0, 2.5, 0, 0), 2)
r2 = lib.aprint(b"empty", D(), 0)
r3 = lib.aprint(b"v", D(float("nan"), -float("nan"), float("inf"), 123456789.0), 4)
c_runtime().fflush(None)
print(r1 >= 0, r2 >= 0, r3 >= 0)
"""
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        check=True,
        cwd=tempfile.gettempdir(),
    ).stdout
    nan, neg_nan = c_format(b"%4g", float("nan")), c_format(b", %4g", -float("nan"))
    assert out.splitlines() == [
        "x = [   1,  2.5]",
        "empty = []",
        f"v = [{nan}{neg_nan},  inf, 1.23457e+08]",
        "True True True",
    ]
