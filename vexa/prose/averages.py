"""Moving and recursive averages: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import (
    PER_BAR_PERIODS,
    PER_BAR_WARMUP,
    RECURSIVE_MISSING,
    RECURSIVE_WARMUP,
    SKIP_WARMUP,
    Doc,
    per_bar,
)

DOCS = {
    "MA": Doc(
        computes=(
            "At each bar, the mean of the last N values of a: their sum divided by N. The "
            "sum is one running total carried along the series (the value that leaves the "
            "window subtracted first, then the entering one added), so a result can differ "
            "in its last bits from a fresh sum of its window."
        ),
        params={"a": "The values (prices, say).", "N": "The window length in bars."},
        warmup=SKIP_WARMUP,
        missing=(
            "A NaN after the first value enters the running total: that bar and every later "
            "bar are NaN, also after the NaN has left the window. An infinity gives infinite "
            "bars while it is in the window and NaN from the bar at which it leaves."
        ),
        example=">>> vexa.MA([1.0, 2.0, 3.0, 4.0, 5.0], 2)\narray([nan, 1.5, 2.5, 3.5, 4.5])",
    ),
    "MA_A": Doc(
        computes=per_bar(
            "The mean of a over a window whose length is read per bar from N.",
            "MA",
            "bar i is the mean of the P values of a up to and including bar i.",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=PER_BAR_WARMUP,
        missing="A NaN in a makes NaN only the bars whose window holds it. " + PER_BAR_PERIODS,
        example=(
            ">>> vexa.MA_A([1.0, 2.0, 3.0, 4.0, 5.0], [2, 2, 2, 2, 2])\n"
            "array([nan, nan, 2.5, 3.5, 4.5])"
        ),
    ),
    "EMA": Doc(
        computes=(
            "Exponential moving average: out[i] = (N - 1) / (N + 1) * out[i - 1] + 2 / (N + 1) "
            "* a[i], each product rounded before the sum. N = 0 is accepted (the factors -1 "
            "and 2); N = 1 repeats the input."
        ),
        params={"a": "The values.", "N": "The span: the new value's weight is 2 / (N + 1)."},
        warmup=RECURSIVE_WARMUP,
        missing=RECURSIVE_MISSING + " An infinity stays infinite for N >= 2.",
        example=">>> vexa.EMA([1.0, 2.0, 3.0, 4.0], 3)\narray([1.   , 1.5  , 2.25 , 3.125])",
    ),
    "SMA": Doc(
        computes=(
            "Recursive average that gives the new value the weight M / N: out[i] = (N - M) / N "
            "* out[i - 1] + M / N * a[i], each product rounded before the sum. M is not "
            "limited: M > N or M <= 0 give weights outside 0 to 1, and N = 0 gives infinite or "
            "NaN weights, so every bar after the first value is infinite or NaN."
        ),
        params={
            "a": "The values.",
            "N": "The divisor of the weights.",
            "M": "The new value's weight, in N-ths.",
        },
        warmup=RECURSIVE_WARMUP,
        missing=RECURSIVE_MISSING,
        example=(
            ">>> vexa.SMA([1.0, 2.0, 3.0, 4.0], 3, 1)\n"
            "array([1.        , 1.33333333, 1.88888889, 2.59259259])"
        ),
    ),
    "WMA": Doc(
        computes=(
            "Linearly weighted moving average over N bars: the newest value has weight N, the "
            "oldest weight 1, and the weighted sum is divided by N (N + 1) / 2. Each bar "
            "updates the weighted sum taken from the previous result (minus the plain sum of "
            "the window, plus N times the new value), with a running plain sum beside it."
        ),
        params={"a": "The values.", "N": "The window length in bars."},
        warmup=SKIP_WARMUP,
        missing=(
            "A NaN after the first value makes every later bar NaN; an infinity gives an "
            "infinite bar and NaN from the next bar on."
        ),
        example=(
            ">>> vexa.WMA([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
            "array([       nan,        nan, 2.33333333, 3.33333333, 4.33333333])"
        ),
    ),
    "DMA": Doc(
        computes=(
            "Recursive average with the weight of the new value read per bar from A: "
            "out[i] = out[i - 1] * (1 - A[i]) + A[i] * a[i], each product rounded before the "
            "sum. Weights outside 0 to 1 are used as they are."
        ),
        params={"a": "The values.", "A": "The new value's weight at every bar."},
        warmup=RECURSIVE_WARMUP + " The weights up to that bar are not read.",
        missing=RECURSIVE_MISSING + " So does a NaN weight.",
        example=">>> vexa.DMA([1.0, 2.0, 3.0, 4.0], 0.5)\narray([1.   , 1.5  , 2.25 , 3.125])",
    ),
}
