"""Lowest and highest values: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import EXTREME_WARMUP, Doc, per_bar

DOCS = {
    "LLV": Doc(
        computes=(
            "The lowest value of a over the last N bars, NaNs ignored; N = 0 takes every bar "
            "so far. Among equal values the newest wins, which shows only for zeros of both "
            "signs."
        ),
        params={"a": "The values.", "N": "The window length in bars (0: all)."},
        warmup=EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN.",
        example=(
            ">>> vexa.LLV([5.0, float('nan'), 3.0, 4.0, 6.0], 3)\narray([5., 5., 3., 3., 3.])"
        ),
    ),
    "LLV_A": Doc(
        computes=per_bar(
            "The lowest value of a over a window whose length is read per bar from N.",
            "LLV",
            "bar i is the lowest of the values among the last P bars (P = 0: every bar so "
            "far), NaNs ignored, the window cut to the bars so far.",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN. A period that is "
        "NaN, negative, or beyond the 32-bit range gives NaN at its bar only.",
        example=(
            ">>> vexa.LLV_A([3.0, 1.0, 2.0, 0.0, 5.0], [0.0, 1.0, 2.0, -1.0, float('nan')])\n"
            "array([ 3.,  1.,  1., nan, nan])"
        ),
    ),
    "HHV": Doc(
        computes=(
            "The highest value of a over the last N bars, NaNs ignored; N = 0 takes every bar "
            "so far. Among equal values the newest wins, which shows only for zeros of both "
            "signs."
        ),
        params={"a": "The values.", "N": "The window length in bars (0: all)."},
        warmup=EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN.",
        example=(
            ">>> vexa.HHV([5.0, float('nan'), 3.0, 4.0, 6.0], 2)\narray([5., 5., 3., 4., 6.])"
        ),
    ),
    "HHV_A": Doc(
        computes=per_bar(
            "The highest value of a over a window whose length is read per bar from N.",
            "HHV",
            "bar i is the highest of the values among the last P bars (P = 0: every bar so "
            "far), NaNs ignored, the window cut to the bars so far.",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN. A period that is "
        "NaN, negative, or beyond the 32-bit range gives NaN at its bar only.",
        example=(
            ">>> vexa.HHV_A([3.0, 1.0, 2.0, 0.0, 5.0], [0.0, 1.0, 2.0, -1.0, float('nan')])\n"
            "array([ 3.,  1.,  2., nan, nan])"
        ),
    ),
    "HHVBARS": Doc(
        computes=(
            "Bars back to the highest value of X over the last N bars (the newest of equal "
            "highs; 0 where this bar is the high; N = 0: from the first bar); NaN when the "
            "window holds no value."
        ),
        params={"X": "The values.", "N": "The window length in bars (0: all)."},
        warmup=EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN.",
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.HHVBARS([1.0, 3.0, 2.0, 3.0, 1.0], 3)\n"
            "array([0., 0., 1., 0., 1.])"
        ),
    ),
    "LLVBARS": Doc(
        computes="Bars back to the lowest value of X over the last N bars, as HHVBARS.",
        params={"X": "The values.", "N": "The window length in bars (0: all)."},
        warmup=EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN.",
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.LLVBARS([3.0, 1.0, 2.0, 1.0, 5.0], 3)\n"
            "array([0., 0., 1., 0., 1.])"
        ),
    ),
}
