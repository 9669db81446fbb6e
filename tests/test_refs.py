"""REF, REF_A, REFIF and REFXV against the slow model, bit for bit."""

import model_refs as model
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

NAN = np.nan
PAYLOAD_NAN = np.array([0xFFF8000000000ABC], dtype=np.uint64).view(np.float64)[0]
SIGNALLING = np.array([0x7FF0000000000001], dtype=np.uint64).view(np.float64)[0]


def f64(*v):
    return np.array(v, dtype=np.float64)


def call(lib, name, inputs, params=()):
    inputs = [np.asarray(x, dtype=np.float64) for x in inputs]
    st, got = run_kernel(lib, name, inputs, params=params)
    want = canary(len(inputs[0]))
    assert getattr(model, name)(*inputs, *params, want) == st
    return st, got, want


def with_odd_bits(rng, n):
    """A random series with NaN payloads, a signalling NaN and signed zeros to copy."""
    x = random_series(rng, n, zeros=0.1)
    pick = rng.random(n)
    x[pick < 0.05] = PAYLOAD_NAN
    x[(pick >= 0.05) & (pick < 0.08)] = SIGNALLING
    return x


# ---- documented examples ----------------------------------------------------


def test_examples(lib):
    x4 = f64(1, 2, 3, 4)
    cases = [
        ("vx_ref", [x4], (2,), f64(NAN, NAN, 1, 2)),
        ("vx_ref", [x4], (-1,), f64(2, 3, 4, NAN)),
        ("vx_ref", [x4], (0,), x4),
        ("vx_ref", [x4], (4,), f64(NAN, NAN, NAN, NAN)),
        ("vx_ref", [x4], (-4,), f64(NAN, NAN, NAN, NAN)),
        ("vx_ref_a", [f64(10, 20, 30, 40), f64(0, 1, 1.9, -1)], (), f64(10, 10, 20, NAN)),
        ("vx_ref_a", [f64(10, 20, 30, 40), f64(-1, NAN, -0.5, 1)], (), f64(20, NAN, 30, 30)),
        ("vx_refif", [x4, f64(0, 1, 0, 1), f64(9, 9, 9, 9)], (), f64(9, 9, 2, 2)),
        ("vx_refif", [f64(5, 6, 7), f64(0, 0, 0), f64(7, 8, 9)], (), f64(7, 8, 9)),
        ("vx_refif", [f64(5, 6, 7), f64(NAN, 0, -0.0), f64(7, 8, 9)], (), f64(7, 5, 5)),
        ("vx_refif", [f64(1, NAN, 3), f64(1, 1, 0), f64(7, 8, 9)], (), f64(7, 1, 9)),
        ("vx_refxv", [x4], (1,), f64(2, 3, 4, 4)),
        ("vx_refxv", [x4], (-1,), f64(1, 1, 2, 3)),
        ("vx_refxv", [x4], (4,), x4),
    ]
    for name, ins, params, want in cases:
        st, got, model_out = call(lib, name, ins, params)
        assert st == 0
        assert_same_bits(got, want)
        assert_same_bits(model_out, want)


def test_offsets_at_int32_ends(lib):
    """Offsets at the ends of the int32 range name bars outside the series: no wrap."""
    x = f64(1, -0.0, 3, 4, 5)
    for N in (INT32_MIN, INT32_MIN + 1, INT32_MAX, INT32_MAX - 1):
        st, got, _ = call(lib, "vx_ref", [x], (N,))
        assert (bits(got) == MISSING_BITS).all()
        st, got, _ = call(lib, "vx_refxv", [x], (N,))
        assert_same_bits(got, x)
    p = f64(2.0**31 - 1, -(2.0**31), np.inf, -np.inf, 1e300)
    st, got, _ = call(lib, "vx_ref_a", [x, p])
    assert (bits(got) == MISSING_BITS).all()
    p = f64(-4, -2.9, 1, 2.5, 4.99)  # the last bar reads bar 0, the first bar the last
    _st, got, _ = call(lib, "vx_ref_a", [x, p])
    assert_same_bits(got, f64(5, 4, -0.0, -0.0, 1))


def test_values_copied_bit_for_bit(lib):
    x = f64(PAYLOAD_NAN, SIGNALLING, -0.0, 2)
    st, got, _ = call(lib, "vx_ref", [x], (0,))
    assert_same_bits(got, x)
    st, got, _ = call(lib, "vx_refxv", [x], (1,))
    assert_same_bits(got, f64(SIGNALLING, -0.0, 2, 2))
    st, got, _ = call(lib, "vx_ref_a", [x, f64(0, 1, 0, 0)])
    assert_same_bits(got, f64(PAYLOAD_NAN, PAYLOAD_NAN, -0.0, 2))
    # REFIF: the fallback shows its own NaN payload; a held -0.0 stays -0.0
    _st, got, _ = call(
        lib, "vx_refif", [f64(-0.0, 1, 2, 3), f64(1, 0, 0, 0), f64(SIGNALLING, 0, 0, 0)]
    )
    assert_same_bits(got, f64(SIGNALLING, -0.0, -0.0, -0.0))


# ---- randomized comparison with the model -------------------------------------


@pytest.mark.parametrize("name", ["vx_ref", "vx_refxv"])
def test_fixed_random(lib, name):
    rng = np.random.default_rng(0x4E0 + (name == "vx_refxv"))
    for n in list(range(0, 10)) + [50, 257, 300]:
        x = with_odd_bits(rng, n)
        Ns = {
            INT32_MIN,
            INT32_MIN + 1,
            -n - 1,
            -n,
            -n + 1,
            -2,
            -1,
            0,
            1,
            2,
            n - 1,
            n,
            n + 1,
            INT32_MAX - 1,
            INT32_MAX,
        }
        Ns |= {int(v) for v in rng.integers(-n - 2, n + 3, 4)}
        for N in sorted(Ns):
            st, got, want = call(lib, name, [x], (N,))
            assert st == 0
            assert_same_bits(got, want)


def test_ref_a_random(lib):
    rng = np.random.default_rng(0x4E2)
    for n in list(range(0, 10)) + [50, 257, 300]:
        for _ in range(3):
            x = with_odd_bits(rng, n)
            p = random_periods(rng, n)
            p[rng.random(n) < 0.3] *= -1  # look ahead as often as back
            st, got, want = call(lib, "vx_ref_a", [x, p])
            assert st == 0
            assert_same_bits(got, want)


def test_refif_random(lib):
    rng = np.random.default_rng(0x4E3)
    conds = f64(0.0, -0.0, 1.0, -2.5, NAN, np.inf, 5e-324)
    for n in list(range(0, 10)) + [50, 257, 300]:
        for density in (0.0, 0.1, 0.5, 1.0):
            x, v = with_odd_bits(rng, n), with_odd_bits(rng, n)
            c = np.where(
                rng.random(n) < density, rng.choice(conds[2:], n), rng.choice(conds[:2], n)
            )
            st, got, want = call(lib, "vx_refif", [x, c, v])
            assert st == 0
            assert_same_bits(got, want)
