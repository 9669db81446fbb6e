"""Bar counters: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import Doc, counter

DOCS = {
    "BARSINCE": counter(
        "The number of bars since the first bar where x holds, counting that bar as 1: 0 "
        "before it, 1 at it, 2 at the next bar, and so on to the end (later true bars "
        "change nothing).",
        ">>> vexa.BARSINCE([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 2., 3., 4., 5., 6.])",
    ),
    "BARLAST": counter(
        "The number of bars since the latest bar where x holds, counting that bar as 1: a "
        "true bar reads 1, the bars after it 2, 3, ... until the next true bar; bars before "
        "the first true bar read 0. The same function as BARSLAST.",
        ">>> vexa.BARLAST([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 2., 3., 1., 1., 2.])",
    ),
    "BARSLAST": counter(
        "The number of bars since the latest bar where x holds, counting that bar as 1: a "
        "true bar reads 1, the bars after it 2, 3, ... until the next true bar; bars before "
        "the first true bar read 0. The same function as BARLAST.",
        ">>> vexa.BARSLAST([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 2., 3., 1., 1., 2.])",
    ),
    "BACKCOUNT": counter(
        "The length of the run of bars where x holds that ends at each bar: 0 where x is "
        "false, else 1 plus the count of the bar before.",
        ">>> vexa.BACKCOUNT([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 0., 0., 1., 2., 0.])",
    ),
    "CURRBARSCOUNT": Doc(
        computes="The index of each bar: 0 at the first bar up to len(Y) - 1 at the last. The "
        "values of Y are never read.",
        params={"Y": "Any series; only its length counts."},
        warmup="None.",
        missing="The result has no NaN.",
        example=(">>> vexa.CURRBARSCOUNT([5.0, float('nan'), 7.0, 8.0])\narray([0., 1., 2., 3.])"),
    ),
}
