"""What the tests of the everyday functions (vexa.NAME) share: bit comparisons, the
arguments they are called with, and the strict module's result for them."""

import numpy as np
from support import random_periods, random_series

import vexa._vexa as vx
from vexa.table import COND, FUNCTIONS, INT, INT32_MAX, INT32_MIN, PERIODS, REAL

IDS = [f.name for f in FUNCTIONS]
EXTREMES = [INT32_MIN, INT32_MIN + 1, -(2**20), 2**20, INT32_MAX - 1, INT32_MAX]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_bits(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == np.float64 and got.shape == want.shape
    diff = np.argwhere(bits(got) != bits(want))
    assert diff.size == 0, f"first difference at {diff[0]}: {got[tuple(diff[0])]!r} != " + repr(
        want[tuple(diff[0])]
    )


# Panels: a NaN made by arithmetic may come out of a lane kernel with another sign than
# out of the 1-D kernel (which operand an instruction passes on is not promised), so
# there a NaN matches a NaN that arithmetic can give: the missing value, the default NaN
# of invalid operations, or the inputs' own NaN (PAYLOAD). Every other value compares by
# its bits. (1-D calls run the 1-D kernel itself: test_same_bits_as_strict compares all
# their bits.)
PAYLOAD = 0x7FF8000000000ABC
ARITHMETIC_NANS = np.array([0x7FF8000000000000, 0xFFF8000000000000, PAYLOAD], np.uint64)


def assert_panel_bits(got, want):
    g, w = bits(got), bits(want)
    differ = g != w
    loose = np.isnan(got) & np.isnan(want) & np.isin(g, ARITHMETIC_NANS)
    diff = np.argwhere(differ & ~loose)
    assert diff.size == 0, f"first difference at {diff[0]}: {hex(g[tuple(diff[0])])} != " + hex(
        w[tuple(diff[0])]
    )


def make_arg(rng, kind, shape):
    """A value for a parameter of `kind`: NaN, infinities and signed zeros in series,
    every special period in period series, 0/1 and other bytes in conditions (where the
    strict module's astype(uint8) and the non-zero rule agree)."""
    n = int(np.prod(shape))
    if kind == PERIODS:
        return random_periods(rng, n).reshape(shape)
    if kind == COND:
        if rng.random() < 0.5:
            return (rng.random(n) < 0.4).reshape(shape)
        return rng.choice(np.array([0, 1, 2, 255], np.uint8), n).reshape(shape)
    return random_series(rng, n).reshape(shape)


def strict(f, args):
    """vexa._vexa's result (inputs made the float64 / byte arrays it takes)."""
    fixed = [np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a for a in args]
    return getattr(vx, f.name)(*fixed)


def refused_period(f, args):
    return any(p.kind == INT and v < p.least for p, v in zip(f.params, args))


def arguments(rng, f, n, real=5.0):
    """Every parameter of f: its least period or 3, a real one, or values of shape n."""
    return [
        max(p.least, 3) if p.kind == INT else real if p.kind == REAL else make_arg(rng, p.kind, n)
        for p in f.params
    ]
