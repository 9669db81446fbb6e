"""Values of other bars: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import Doc, ahead

DOCS = {
    "REF": Doc(
        computes="The value of a N bars back: out[i] = a[i - N], NaN where that bar does not "
        "exist. A negative N reads |N| bars ahead.",
        params={"a": "The values.", "N": "How many bars back (negative: ahead)."},
        warmup="The first N bars are NaN (N > 0); with a negative N, the last |N| bars.",
        missing="Values are copied bit for bit, NaN included.",
        example=">>> vexa.REF([1.0, 2.0, 3.0, 4.0], 2)\narray([nan, nan,  1.,  2.])",
        notes=(ahead("with a negative N"),),
    ),
    "REFIF": Doc(
        computes=(
            "At each bar, the value of x at the latest earlier bar where c held; where there "
            "is no such bar, or the value taken there is NaN, the value of v. A true c at bar i "
            "shows from bar i + 1 on."
        ),
        params={
            "x": "The values to take.",
            "c": "The condition, as values: true where non-zero or NaN.",
            "v": "The values where nothing is held.",
        },
        warmup="None: bar 0 is always v[0].",
        missing=(
            "A true bar takes x's value even when it is NaN, and v then shows through until "
            "the next true bar. Values are copied bit for bit."
        ),
        example=(
            ">>> vexa.REFIF([1.0, 2.0, 3.0, 4.0], [0.0, 1.0, 0.0, 1.0], 9.0)\n"
            "array([9., 9., 2., 2.])"
        ),
    ),
    "REFXV": Doc(
        computes="The value of a N bars ahead: out[i] = a[i + N], or a[i] itself where that "
        "bar does not exist. A negative N reads |N| bars back.",
        params={"a": "The values.", "N": "How many bars ahead (negative: back)."},
        warmup="None: bars whose bar i + N lies outside the series keep their own value.",
        missing="Values are copied bit for bit, NaN included.",
        example=">>> vexa.REFXV([1.0, 2.0, 3.0, 4.0], 1)\narray([2., 3., 4., 4.])",
        notes=(ahead("with a positive N"),),
    ),
    "REF_A": Doc(
        computes="The value of a the number of bars back read per bar from N: out[i] = "
        "a[i - k] with k = N[i] truncated toward zero, NaN where that bar does not exist. A "
        "negative period reads ahead.",
        params={"a": "The values.", "N": "How many bars back, at every bar."},
        warmup="None: each bar is on its own.",
        missing="Values are copied bit for bit. A NaN period gives NaN at its bar; an "
        "infinite period, or one beyond the 32-bit range, names no bar and gives NaN.",
        example=(
            ">>> vexa.REF_A([10.0, 20.0, 30.0, 40.0], [0.0, 1.0, 1.9, -1.0])\n"
            "array([10., 10., 20., nan])"
        ),
        notes=(ahead("where the period is negative"),),
    ),
    "VALUEWHEN": Doc(
        computes=(
            "X at the latest bar (this one included) where COND is true; NaN before the "
            "first such bar."
        ),
        params={"COND": "The condition.", "X": "The values to take."},
        warmup="NaN before the first bar where COND holds.",
        missing="COND is true where it is non-zero and not NaN. Values are copied bit for "
        "bit: a true bar whose X is NaN holds NaN until the next true bar.",
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.VALUEWHEN([0, 1, 0, 0, 1, 0], [5.0, 6.0, 7.0, 8.0, 9.0, 10.0])\n"
            "array([nan,  6.,  6.,  6.,  9.,  9.])"
        ),
    ),
}
