"""Window sums and counts: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import PER_BAR_PERIODS, PER_BAR_WARMUP, SKIP_WARMUP, Doc, per_bar

DOCS = {
    "COUNT": Doc(
        computes=(
            "The number of bars among the last N where a is true (non-zero; here a NaN after "
            "the first value counts as true). N = 0 counts from the first bar."
        ),
        params={"a": "The condition, as values.", "N": "The window length in bars (0: all)."},
        warmup=(
            "N > 0: leading NaNs are skipped and not counted; the first count stands at "
            "f + N - 1 (f: the first bar that is not NaN). N = 0: none, and leading NaNs "
            "count as true."
        ),
        missing="A NaN counts as true (except the leading ones with N > 0); no bar after "
        "the warm-up is NaN.",
        example=(
            ">>> vexa.COUNT([float('nan'), 0.0, 2.0, float('nan'), 0.0], 2)\n"
            "array([nan, nan,  1.,  2.,  1.])"
        ),
    ),
    "COUNT_A": Doc(
        computes=per_bar(
            "The number of true bars (non-zero and not NaN) of a over a window whose length "
            "is read per bar from N.",
            "COUNT",
            "bar i counts the true values among the last P bars; P = 0 counts from the "
            "first bar, and a window longer than the bars so far is cut to them.",
        ),
        params={"a": "The condition, as values.", "N": "The period of every bar."},
        warmup="None: the first bars count over the bars there are.",
        missing=(
            "A NaN in a counts as false. A period that is NaN, negative, or beyond the 32-bit "
            "range gives NaN at its bar only."
        ),
        example=(
            ">>> vexa.COUNT_A([float('nan'), 0.0, 2.0, float('nan'), 0.0], 2)\n"
            "array([0., 0., 1., 1., 0.])"
        ),
    ),
    "SUM": Doc(
        computes=(
            "The sum of the last N values of a, with one running total (the value that leaves "
            "the window subtracted first, then the entering one added). N = 0 is the "
            "cumulative sum from the first bar."
        ),
        params={"a": "The values.", "N": "The window length in bars (0: all)."},
        warmup="N > 0: " + SKIP_WARMUP + " N = 0: none (leading NaNs read 0).",
        missing=(
            "N > 0: a NaN after the first value makes every later bar NaN, also after it has "
            "left the window. N = 0: a NaN adds nothing and the total carries on."
        ),
        example=(
            ">>> vexa.SUM([1.0, 2.0, 3.0, 4.0], 2)\narray([nan,  3.,  5.,  7.])\n"
            ">>> vexa.SUM([1.0, 2.0, 3.0, 4.0], 0)\narray([ 1.,  3.,  6., 10.])"
        ),
    ),
    "SUM_A": Doc(
        computes=per_bar(
            "The sum of a over a window whose length is read per bar from N.",
            "SUM",
            "bar i is the sum of the P values of a up to and including bar i (there is no "
            "cumulative mode: P = 0 gives NaN).",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=PER_BAR_WARMUP,
        missing="A NaN in a makes NaN only the bars whose window holds it. " + PER_BAR_PERIODS,
        example=">>> vexa.SUM_A([1.0, 2.0, 3.0, 4.0], 2)\narray([nan, nan,  5.,  7.])",
    ),
    "SUMBARS": Doc(
        computes=(
            "The number of bars, counted back from this one, whose sum of X (missing values "
            "skipped) first reaches A; NaN when the bars so far never reach it."
        ),
        params={
            "X": "The values summed, from this bar back.",
            "A": "The sum to reach, at every bar.",
        },
        warmup="None: a bar is NaN while the bars up to it do not reach A.",
        missing="A NaN in X adds nothing; a NaN in A gives NaN at its bar.",
        example=(
            ">>> from vexa import _native\n"
            ">>> _native.SUMBARS([1.0, 2.0, 3.0, 4.0], 5.0)\n"
            "array([nan, nan,  2.,  2.])"
        ),
    ),
}
