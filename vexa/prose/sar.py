"""The parabolic stop and reverse: the prose of each function (vexa.prose)."""

from __future__ import annotations

from .common import Doc

DOCS = {
    "SAR": Doc(
        computes=(
            "The parabolic stop and reverse of the terminals, SAR(N, STEP, MAX) of the formula "
            "language over the bars' highs and lows. The first N bars fix the trend (up where "
            "H + L of the N-th bar is at least that of the first) and the starting SAR (up: "
            "their lowest low, with their highest high as the extreme EP; down: the other way "
            "round). Then at each bar SAR + AF * (EP - SAR), kept at or below the previous two "
            "lows in an uptrend (at or above the highs in a downtrend); where the bar's low "
            "reaches it (its high, going down) the trend reverses and the SAR is EP, or the "
            "bar's own high where that is beyond EP. AF starts at STEP / 100 and grows by "
            "STEP / 100 at each new extreme, up to MAX / 100. The exact order of operations "
            "is under the choices of docs/formula-language.md."
        ),
        params={
            "H": "The highs.",
            "L": "The lows.",
            "N": "The bars that fix the starting trend and SAR.",
            "STEP": "The acceleration step in percent (2 for 0.02): a number with "
            "0 < STEP <= MAX, else ValueError.",
            "MAX": "The largest acceleration in percent (20 for 0.2): at most 100.",
        },
        warmup="The bars before the N-th bar that has both a high and a low are NaN.",
        missing=(
            "A bar whose high or low is NaN is NaN and left out: the other bars get the SAR "
            "of the series without it (the previous two bars are the previous two with "
            "values)."
        ),
        example=(
            ">>> from vexa import _native\n"
            ">>> high = [10.0, 10.6, 11.0, 11.3, 11.1, 10.4, 10.2]\n"
            ">>> low = [9.5, 10.0, 10.5, 10.8, 10.3, 9.8, 9.6]\n"
            ">>> _native.SAR(high, low, 2, 2, 20)  # the low of the last bar reverses it\n"
            "array([      nan,  9.5     ,  9.5     ,  9.56    ,  9.6644  ,  9.762536,\n"
            "       11.3     ])"
        ),
    ),
}
