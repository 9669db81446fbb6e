"""The zigzag and its turning points: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import Doc

_K = "The prices (in formulas, also 0 to 3 for OPEN, HIGH, LOW, CLOSE)."
_N = "The turn, in percent of the extreme: a finite number above 0, else ValueError."
_M = "Which one: 1 the latest, 2 the one before, and so on."
_MISSING = (
    "Bars where K is NaN take no part in the turns: the zigzag passes over them along "
    "its line, and NaN stands before K's first value and after its last."
)
_AHEAD = (
    "Looks ahead: a turning point is known only once the prices have moved N percent "
    "back from it, and the last leg ends at the last bar, so a bar reads later bars, "
    "which a backtest must not do."
)
_SERIES = "[10.0, 11.0, 12.0, 11.0, 10.0, 11.0, 12.5], 10.0"


def _turn(computes, example):
    return Doc(
        computes=computes,
        params={"K": _K, "N": _N, "M": _M},
        warmup="NaN where fewer than M such turning points stand at or before the bar.",
        missing=_MISSING,
        example=example,
        notes=(_AHEAD,),
    )


DOCS = {
    "ZIG": Doc(
        computes=(
            "The zigzag of K (0 to 3: OPEN, HIGH, LOW, CLOSE, or any series): straight lines "
            "between turning points, where a turning point is the extreme since the last "
            "one, confirmed once the price has moved N percent back from it; the last leg "
            "ends at the last bar. Looks ahead."
        ),
        params={"K": _K, "N": _N},
        warmup="NaN before K's first value.",
        missing=_MISSING,
        example=(
            ">>> from vexa import _native\n"
            f">>> _native.ZIG({_SERIES})\n"
            "array([10.  , 11.  , 12.  , 11.  , 10.  , 11.25, 12.5 ])"
        ),
        notes=(_AHEAD,),
    ),
    "PEAK": _turn(
        "The value of ZIG(K, N) at its M-th latest peak at or before this bar (M >= 1); NaN "
        "when there are fewer. Looks ahead.",
        ">>> from vexa import _native\n"
        f">>> _native.PEAK({_SERIES}, 1)\n"
        "array([nan, nan, 12., 12., 12., 12., 12.])",
    ),
    "TROUGH": _turn(
        "The value of ZIG(K, N) at its M-th latest trough, as PEAK. Looks ahead.",
        ">>> from vexa import _native\n"
        f">>> _native.TROUGH({_SERIES}, 1)\n"
        "array([10., 10., 10., 10., 10., 10., 10.])",
    ),
    "PEAKBARS": _turn(
        "Bars since the M-th latest peak of ZIG(K, N) (0 at the peak). Looks ahead.",
        ">>> from vexa import _native\n"
        f">>> _native.PEAKBARS({_SERIES}, 1)\n"
        "array([nan, nan,  0.,  1.,  2.,  3.,  4.])",
    ),
    "TROUGHBARS": _turn(
        "Bars since the M-th latest trough of ZIG(K, N). Looks ahead.",
        ">>> from vexa import _native\n"
        f">>> _native.TROUGHBARS({_SERIES}, 1)\n"
        "array([0., 1., 2., 3., 0., 1., 2.])",
    ),
}
