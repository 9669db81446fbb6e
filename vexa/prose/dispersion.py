"""Dispersion and regression over windows: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import DISPERSION_MISSING, SKIP_WARMUP, Doc, dispersion

DOCS = {
    "STD": dispersion(
        "sample standard deviation",
        "N - 1",
        ">>> vexa.STD([1.0, 2.0, 3.0, 4.0, 5.0], 3)\narray([nan, nan,  1.,  1.,  1.])",
        " N = 1 gives exactly 0.0 at every bar from the first value on, whatever a holds.",
    ),
    "STDDEV": dispersion(
        "population standard deviation",
        "N",
        ">>> vexa.STDDEV([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
        "array([       nan,        nan, 0.81649658, 0.81649658, 0.81649658])",
        " STDDEV and STDP are the same computation, bit for bit; STDDEV is not the sample "
        "deviation of STD.",
    ),
    "STDP": dispersion(
        "population standard deviation",
        "N",
        ">>> vexa.STDP([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
        "array([       nan,        nan, 0.81649658, 0.81649658, 0.81649658])",
        " STDP and STDDEV are the same computation, bit for bit.",
    ),
    "AVEDEV": dispersion(
        "mean absolute deviation from the window's mean",
        "N",
        ">>> vexa.AVEDEV([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
        "array([       nan,        nan, 0.66666667, 0.66666667, 0.66666667])",
    ),
    "SLOPE": Doc(
        computes=(
            "The slope of the least-squares line through the last N values of Y, with the "
            "bars numbered 0 (oldest) to N - 1, in value units per bar: (N Sxy - Sx Sy) / "
            "(N Sxx - Sx Sx), every window summed afresh. N = 0 gives 1.0 at every bar; N = 1 "
            "gives NaN everywhere (0 / 0)."
        ),
        params={"Y": "The values.", "N": "The window length in bars."},
        warmup="The first N - 1 bars are NaN; leading NaNs are not skipped.",
        missing="A NaN or an infinity makes NaN only the bars whose window holds it.",
        example=">>> vexa.SLOPE([1.0, 3.0, 5.0, 7.0], 3)\narray([nan, nan,  2.,  2.])",
    ),
    "VAR": Doc(
        computes=(
            "Sample variance over N bars: the dispersion frame of STD (mean from a running "
            "total, deviations summed afresh), the sum of squared deviations divided by "
            "N - 1; SQRT(VAR(X, N)) = STD(X, N) bit for bit."
        ),
        params={"X": "The values.", "N": "The window length in bars."},
        warmup=SKIP_WARMUP,
        missing=DISPERSION_MISSING,
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.VAR([1.0, 2.0, 3.0, 4.0, 6.0], 3)\n"
            "array([       nan,        nan, 1.        , 1.        , 2.33333333])"
        ),
    ),
    "VARP": Doc(
        computes="Population variance (divisor N); SQRT(VARP(X, N)) = STDP(X, N) bit for bit.",
        params={"X": "The values.", "N": "The window length in bars."},
        warmup=SKIP_WARMUP,
        missing=DISPERSION_MISSING,
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.VARP([1.0, 2.0, 3.0, 4.0, 6.0], 3)\n"
            "array([       nan,        nan, 0.66666667, 0.66666667, 1.55555556])"
        ),
    ),
    "DEVSQ": Doc(
        computes=(
            "Sum of the squared deviations from the window's mean over N bars, in STD's order."
        ),
        params={"X": "The values.", "N": "The window length in bars."},
        warmup=SKIP_WARMUP,
        missing=DISPERSION_MISSING,
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.DEVSQ([1.0, 2.0, 3.0, 4.0, 6.0], 3)\n"
            "array([       nan,        nan, 2.        , 2.        , 4.66666667])"
        ),
    ),
    "FORCAST": Doc(
        computes=(
            "The least-squares line through the last N bars taken at this bar: with the sums "
            "of SLOPE, b = SLOPE(X, N), a = (Sy - b Sx) / N, value a + b (N - 1)."
        ),
        params={"X": "The values.", "N": "The window length in bars."},
        warmup="The first N - 1 bars are NaN; leading NaNs are not skipped.",
        missing="A NaN or an infinity makes NaN only the bars whose window holds it.",
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.FORCAST([1.0, 3.0, 5.0, 7.0, 8.0], 3)\n"
            "array([       nan,        nan, 5.        , 7.        , 8.16666667])"
        ),
    ),
}
