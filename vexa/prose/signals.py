"""Crossings, choices and signal filters: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import Doc

DOCS = {
    "CROSS": Doc(
        computes=(
            "1.0 at the bars where x crosses strictly above y, else 0.0: x lay strictly below "
            "y on the previous bar and lies strictly above it on this bar. Touching is no "
            "crossing. Crossing below is CROSS(y, x)."
        ),
        params={"x": "The crossing series.", "y": "The line it crosses (a scalar: a level)."},
        warmup="Bar 0 has no previous bar and reads 0.0.",
        missing="A NaN in any of the four values makes the bar 0.0.",
        example=">>> vexa.CROSS([1.0, 3.0, 2.0, 4.0], 2.0)\narray([0., 1., 0., 0.])",
    ),
    "FIF": Doc(
        computes="a where the condition x holds, else b, bar by bar. The value not chosen is "
        "never read.",
        params={
            "x": "The condition.",
            "a": "The values where x holds.",
            "b": "The values elsewhere.",
        },
        warmup="None.",
        missing="Values are copied bit for bit; a NaN in the value not chosen does no harm. "
        "x is true where it is non-zero and not NaN.",
        example=(">>> vexa.FIF([1, 0, 2], [1.0, 2.0, 3.0], [7.0, 8.0, 9.0])\narray([1., 8., 3.])"),
    ),
    "FILTER": Doc(
        computes=(
            "Keeps a signal (a value that is neither 0 nor NaN) and writes 0.0 over the N - 1 "
            "bars after it, so that no second signal stands within N bars; the scan goes on "
            "after the blank. A kept signal keeps its own value. N = 0: only the first signal "
            "is kept."
        ),
        params={"a": "The signals.", "N": "The length of a signal and its blank, in bars."},
        warmup="None.",
        missing="NaN is no signal: outside a blank it is copied as it is; inside one it "
        "becomes 0.0.",
        example=(
            ">>> vexa.FILTER([1.0, 1.0, 1.0, 0.0, 1.0, 1.0], 2)\narray([1., 0., 1., 0., 1., 0.])"
        ),
    ),
    "LONGCROSS": Doc(
        computes=(
            "1 where A > B at this bar and A < B at each of the N bars before "
            "(LONGCROSS(A, B, 1) = CROSS(A, B)); 0 at the first N bars."
        ),
        params={
            "A": "The crossing series.",
            "B": "The line it crosses (a scalar: a level).",
            "N": "The bars before this one on which A stays strictly below B.",
        },
        warmup="The first N bars read 0.",
        missing="A comparison with NaN fails: a NaN in A or B at this bar or at one of the "
        "N before makes the bar 0. The result has no NaN.",
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.LONGCROSS([1.0, 1.0, 3.0, 1.0, 3.0], 2.0, 2)\n"
            "array([0., 0., 1., 0., 0.])"
        ),
    ),
}
