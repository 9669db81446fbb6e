"""Conditions over windows of bars: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import Doc

_TRUE = "X is true where it is non-zero and not NaN: a NaN counts as false."

DOCS = {
    "EVERY": Doc(
        computes=(
            "1 where X is true (non-zero, not NaN) at each of the last N bars, the bar itself "
            "included; NaN at the first N - 1 bars; N = 0: every bar from the first."
        ),
        params={"X": "The condition.", "N": "The window length in bars (0: all)."},
        warmup="N > 0: the first N - 1 bars are NaN. N = 0: none.",
        missing=_TRUE,
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.EVERY([1, 1, 0, 1, 1, 1], 2)\n"
            "array([nan,  1.,  0.,  0.,  1.,  1.])"
        ),
    ),
    "EXIST": Doc(
        computes=(
            "1 where X is true at one or more of the last N bars; NaN at the first N - 1 "
            "bars; N = 0: any bar from the first."
        ),
        params={"X": "The condition.", "N": "The window length in bars (0: all)."},
        warmup="N > 0: the first N - 1 bars are NaN. N = 0: none.",
        missing=_TRUE,
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.EXIST([0, 1, 0, 0, 0, 1], 2)\n"
            "array([nan,  1.,  1.,  0.,  0.,  1.])"
        ),
    ),
    "LAST": Doc(
        computes=(
            "1 where X is true at every bar from A bars ago to B bars ago, both included "
            "(A = 0: from the first bar; B = 0: up to this bar); NaN while bar i - A does "
            "not exist."
        ),
        params={
            "X": "The condition.",
            "A": "Where the bars start, in bars ago (0: at the first bar).",
            "B": "Where they end, in bars ago (0: this bar); A >= B unless A = 0, else ValueError.",
        },
        warmup="NaN while bar i - A does not exist (A = 0: while bar i - B does not).",
        missing=_TRUE,
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.LAST([1, 1, 1, 0, 1, 1], 2, 1)\n"
            "array([nan, nan,  1.,  1.,  0.,  0.])"
        ),
    ),
}
