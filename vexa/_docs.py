"""The docstrings of the functions of vexa, keyed by function name.

Each entry gives the prose of one function: what it computes, its parameters, its
warm-up, how missing values flow, and an example that runs as a doctest. `docstring`
adds what every function shares (the kinds of input, `axis`, the result) from the
function table, so the table and this file together make the docstrings, the type
stubs (vexa/__init__.pyi) and `help(vexa.NAME)`.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from .table import ALL, BY_NAME, COND, INT, INT32_MAX, INT32_MIN, PERIODS, REAL, SERIES, Function

__all__ = ["DOCS", "Doc", "docstring", "native_docs", "signature"]


@dataclass(frozen=True)
class Doc:
    computes: str  # what the function computes, in formula terms
    params: dict[str, str]  # parameter name -> what it is
    warmup: str  # which leading bars are NaN
    missing: str  # how a NaN in the input shows in the result
    example: str  # a doctest: ">>> ..." lines and the output
    notes: tuple[str, ...] = field(default=())


def _per_bar(what: str, fixed: str, window: str) -> str:
    return (
        f"{what} At each bar i the period P is N[i] truncated toward zero (2.9 counts as "
        f"2), and {window} Every window is computed afresh, with nothing carried from one "
        f"bar to the next. This is {fixed} with a period that can change from bar to bar."
    )


_PER_BAR_WARMUP = (
    "Bar i needs P <= i, that is P + 1 bars up to and including itself: bar 0 never has a "
    "value, and with one period P for every bar the first value stands at bar P, one bar "
    "later than with the fixed period. Leading NaNs are not skipped."
)
_PER_BAR_PERIODS = (
    "A period that is NaN, zero, negative, or beyond the 32-bit range gives NaN at its bar only."
)
_RECURSIVE_WARMUP = (
    "None: leading NaNs stay NaN, and the first value that is not NaN is the first result "
    "itself (the seed of the recursion)."
)
_RECURSIVE_MISSING = (
    "Every bar builds on the one before it, so a NaN after the first value makes that bar "
    "and every later bar NaN."
)
_SKIP_WARMUP = (
    "Leading NaNs are skipped: the first window starts at the first value that is not NaN "
    "(bar f), and bars before f + N - 1 are NaN. When fewer than N bars remain from f on, "
    "every bar is NaN."
)
_EXTREME_WARMUP = (
    "None: the first bars use the bars there are (a window is never longer than the bars so far)."
)
_COUNTER_MISSING = (
    "x is true where it is non-zero and not NaN. The result holds whole numbers and no NaN."
)
_DISPERSION_MISSING = (
    "The mean comes from a running total of every value since the first one, so a NaN "
    "after the first value makes that bar (or the first full window) and every later bar "
    "NaN, also after it has left the window; an infinity makes every bar NaN from the first "
    "window that holds it."
)


def _ahead(when: str) -> str:
    return f"Looks ahead: {when}, bar i reads a later bar, which a backtest must not do."


def _dispersion(measure: str, divisor: str, example: str, extra: str = "") -> Doc:
    return Doc(
        computes=(
            f"The {measure} of the last N values of a (divisor {divisor}). The window's mean "
            "is a running total divided by N (the value leaving subtracted first, then the "
            "entering one added); the deviations from it are summed afresh for every window, "
            f"from its oldest bar to its newest.{extra}"
        ),
        params={"a": "The values.", "N": "The window length in bars."},
        warmup=_SKIP_WARMUP,
        missing=_DISPERSION_MISSING,
        example=example,
    )


def _counter(computes: str, example: str) -> Doc:
    return Doc(
        computes=computes,
        params={"x": "The condition."},
        warmup="None.",
        missing=_COUNTER_MISSING,
        example=example,
    )


DOCS: dict[str, Doc] = {
    "MA": Doc(
        computes=(
            "At each bar, the mean of the last N values of a: their sum divided by N. The "
            "sum is one running total carried along the series (the value that leaves the "
            "window subtracted first, then the entering one added), so a result can differ "
            "in its last bits from a fresh sum of its window."
        ),
        params={"a": "The values (prices, say).", "N": "The window length in bars."},
        warmup=_SKIP_WARMUP,
        missing=(
            "A NaN after the first value enters the running total: that bar and every later "
            "bar are NaN, also after the NaN has left the window. An infinity gives infinite "
            "bars while it is in the window and NaN from the bar at which it leaves."
        ),
        example=">>> vexa.MA([1.0, 2.0, 3.0, 4.0, 5.0], 2)\narray([nan, 1.5, 2.5, 3.5, 4.5])",
    ),
    "MA_A": Doc(
        computes=_per_bar(
            "The mean of a over a window whose length is read per bar from N.",
            "MA",
            "bar i is the mean of the P values of a up to and including bar i.",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=_PER_BAR_WARMUP,
        missing="A NaN in a makes NaN only the bars whose window holds it. " + _PER_BAR_PERIODS,
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
        warmup=_RECURSIVE_WARMUP,
        missing=_RECURSIVE_MISSING + " An infinity stays infinite for N >= 2.",
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
        warmup=_RECURSIVE_WARMUP,
        missing=_RECURSIVE_MISSING,
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
        warmup=_SKIP_WARMUP,
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
        warmup=_RECURSIVE_WARMUP + " The weights up to that bar are not read.",
        missing=_RECURSIVE_MISSING + " So does a NaN weight.",
        example=">>> vexa.DMA([1.0, 2.0, 3.0, 4.0], 0.5)\narray([1.   , 1.5  , 2.25 , 3.125])",
    ),
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
        computes=_per_bar(
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
        warmup="N > 0: " + _SKIP_WARMUP + " N = 0: none (leading NaNs read 0).",
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
        computes=_per_bar(
            "The sum of a over a window whose length is read per bar from N.",
            "SUM",
            "bar i is the sum of the P values of a up to and including bar i (there is no "
            "cumulative mode: P = 0 gives NaN).",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=_PER_BAR_WARMUP,
        missing="A NaN in a makes NaN only the bars whose window holds it. " + _PER_BAR_PERIODS,
        example=">>> vexa.SUM_A([1.0, 2.0, 3.0, 4.0], 2)\narray([nan, nan,  5.,  7.])",
    ),
    "REF": Doc(
        computes="The value of a N bars back: out[i] = a[i - N], NaN where that bar does not "
        "exist. A negative N reads |N| bars ahead.",
        params={"a": "The values.", "N": "How many bars back (negative: ahead)."},
        warmup="The first N bars are NaN (N > 0); with a negative N, the last |N| bars.",
        missing="Values are copied bit for bit, NaN included.",
        example=">>> vexa.REF([1.0, 2.0, 3.0, 4.0], 2)\narray([nan, nan,  1.,  2.])",
        notes=(_ahead("with a negative N"),),
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
        notes=(_ahead("with a positive N"),),
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
        notes=(_ahead("where the period is negative"),),
    ),
    "LLV": Doc(
        computes=(
            "The lowest value of a over the last N bars, NaNs ignored; N = 0 takes every bar "
            "so far. Among equal values the newest wins, which shows only for zeros of both "
            "signs."
        ),
        params={"a": "The values.", "N": "The window length in bars (0: all)."},
        warmup=_EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN.",
        example=(
            ">>> vexa.LLV([5.0, float('nan'), 3.0, 4.0, 6.0], 3)\narray([5., 5., 3., 3., 3.])"
        ),
    ),
    "LLV_A": Doc(
        computes=_per_bar(
            "The lowest value of a over a window whose length is read per bar from N.",
            "LLV",
            "bar i is the lowest of the values among the last P bars (P = 0: every bar so "
            "far), NaNs ignored, the window cut to the bars so far.",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=_EXTREME_WARMUP,
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
        warmup=_EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN.",
        example=(
            ">>> vexa.HHV([5.0, float('nan'), 3.0, 4.0, 6.0], 2)\narray([5., 5., 3., 4., 6.])"
        ),
    ),
    "HHV_A": Doc(
        computes=_per_bar(
            "The highest value of a over a window whose length is read per bar from N.",
            "HHV",
            "bar i is the highest of the values among the last P bars (P = 0: every bar so "
            "far), NaNs ignored, the window cut to the bars so far.",
        ),
        params={"a": "The values.", "N": "The period of every bar."},
        warmup=_EXTREME_WARMUP,
        missing="NaNs are skipped; a window that holds no value gives NaN. A period that is "
        "NaN, negative, or beyond the 32-bit range gives NaN at its bar only.",
        example=(
            ">>> vexa.HHV_A([3.0, 1.0, 2.0, 0.0, 5.0], [0.0, 1.0, 2.0, -1.0, float('nan')])\n"
            "array([ 3.,  1.,  2., nan, nan])"
        ),
    ),
    "BARSINCE": _counter(
        "The number of bars since the first bar where x holds, counting that bar as 1: 0 "
        "before it, 1 at it, 2 at the next bar, and so on to the end (later true bars "
        "change nothing).",
        ">>> vexa.BARSINCE([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 2., 3., 4., 5., 6.])",
    ),
    "BARLAST": _counter(
        "The number of bars since the latest bar where x holds, counting that bar as 1: a "
        "true bar reads 1, the bars after it 2, 3, ... until the next true bar; bars before "
        "the first true bar read 0. The same function as BARSLAST.",
        ">>> vexa.BARLAST([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 2., 3., 1., 1., 2.])",
    ),
    "BARSLAST": _counter(
        "The number of bars since the latest bar where x holds, counting that bar as 1: a "
        "true bar reads 1, the bars after it 2, 3, ... until the next true bar; bars before "
        "the first true bar read 0. The same function as BARLAST.",
        ">>> vexa.BARSLAST([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 2., 3., 1., 1., 2.])",
    ),
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
    "CURRBARSCOUNT": Doc(
        computes="The index of each bar: 0 at the first bar up to len(Y) - 1 at the last. The "
        "values of Y are never read.",
        params={"Y": "Any series; only its length counts."},
        warmup="None.",
        missing="The result has no NaN.",
        example=(">>> vexa.CURRBARSCOUNT([5.0, float('nan'), 7.0, 8.0])\narray([0., 1., 2., 3.])"),
    ),
    "BACKCOUNT": _counter(
        "The length of the run of bars where x holds that ends at each bar: 0 where x is "
        "false, else 1 plus the count of the bar before.",
        ">>> vexa.BACKCOUNT([0, 1, 0, 0, 1, 1, 0])\narray([0., 1., 0., 0., 1., 2., 0.])",
    ),
    "STD": _dispersion(
        "sample standard deviation",
        "N - 1",
        ">>> vexa.STD([1.0, 2.0, 3.0, 4.0, 5.0], 3)\narray([nan, nan,  1.,  1.,  1.])",
        " N = 1 gives exactly 0.0 at every bar from the first value on, whatever a holds.",
    ),
    "STDDEV": _dispersion(
        "population standard deviation",
        "N",
        ">>> vexa.STDDEV([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
        "array([       nan,        nan, 0.81649658, 0.81649658, 0.81649658])",
        " STDDEV and STDP are the same computation, bit for bit; STDDEV is not the sample "
        "deviation of STD.",
    ),
    "STDP": _dispersion(
        "population standard deviation",
        "N",
        ">>> vexa.STDP([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
        "array([       nan,        nan, 0.81649658, 0.81649658, 0.81649658])",
        " STDP and STDDEV are the same computation, bit for bit.",
    ),
    "AVEDEV": _dispersion(
        "mean absolute deviation from the window's mean",
        "N",
        ">>> vexa.AVEDEV([1.0, 2.0, 3.0, 4.0, 5.0], 3)\n"
        "array([       nan,        nan, 0.66666667, 0.66666667, 0.66666667])",
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
            "STEP / 100 at each new extreme, up to MAX / 100. docs/formula-language.md gives "
            "the exact order of operations."
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


def signature(f: Function) -> str:
    """The Python signature: `(a, N, *, axis=0)`, or `(x, /, *, axis=0)` for the
    functions that take one positional argument."""
    names = ", ".join(f.names)
    if f.form == "single":
        return f"({names}, /, *, axis=0)"
    return f"({names}, *, axis=0)"


def _range(p) -> str:
    if p.least == INT32_MIN:
        return "any 32-bit integer"
    return f"an integer from {p.least} to {INT32_MAX}"


def _param_type(f: Function, i: int) -> str:
    p = f.params[i]
    if p.kind == INT:
        if f.per_bar is not None and i == 1:
            return "int, or a series of per-bar periods"
        return "int"
    if p.kind == REAL:
        return "float"
    first = "array-like (a series, or a panel of bars x columns)"
    if p.kind == COND:
        return f"{first}, condition" if i == 0 else "array-like or scalar, condition"
    if p.kind == PERIODS:
        return "array-like or scalar, periods"
    return first if i == 0 else "array-like or scalar"


def _param_text(f: Function, i: int, doc: Doc | None) -> str:
    p = f.params[i]
    text = doc.params[p.name] if doc is not None else ""
    extra = []
    if p.kind == INT:
        extra.append(f"Accepted: {_range(p)} (another integer raises ValueError).")
        if f.per_bar is not None and i == 1:
            extra.append(
                f"A series here reads the period of every bar from it: "
                f"{f.name}(a, periods) is {f.per_bar.name}(a, periods)."
            )
    elif p.kind == COND:
        extra.append(
            "True where the value is non-zero and not NaN (vexa._vexa converts with "
            "astype(uint8) instead, which makes 0.5 and 256.0 false)."
        )
    elif p.kind == PERIODS:
        extra.append(
            "Each bar's period is its value truncated toward zero; a NaN, infinite or "
            "out-of-range period gives NaN at that bar only."
        )
    if i > 0 and p.kind in (SERIES, PERIODS, COND):
        extra.append(
            "A scalar applies to every bar; a 1-D series of the bars' length applies to "
            "every column of a panel."
        )
    return " ".join(s for s in (text, *extra) if s)


def _indent(text: str, by: str = "    ") -> str:
    return "\n".join(by + line if line else line for line in text.splitlines())


def _fill(text: str, width: int) -> str:
    """Greedy line filling at spaces (textwrap's, without its cost at import)."""
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return "\n".join([*lines, line])


def _wrap(text: str, width: int = 84) -> str:
    return "\n".join(
        _fill(par, width) if not par.startswith(">>>") else par for par in text.split("\n\n")
    )


def docstring(name: str) -> str:
    """The docstring of vexa.NAME (without the signature line)."""
    f = BY_NAME[name]
    doc = DOCS.get(name)
    out = [f.summary + "."]
    if doc is not None:
        out += ["", _wrap(doc.computes)]
    out += ["", "Parameters", "----------"]
    for i, p in enumerate(f.params):
        out.append(f"{p.name} : {_param_type(f, i)}")
        out.append(_indent(_wrap(_param_text(f, i, doc), 80)))
    first = f.params[0].name
    out.append("axis : int, default 0")
    out.append(
        _indent(
            _wrap(
                f"When {first} is a panel (2-D): the axis along which the bars run. 0 (rows "
                "are bars, columns are symbols, as in a DataFrame of symbols) or 1. Every "
                "column is computed as its own series.",
                80,
            )
        )
    )
    out += ["", "Returns", "-------"]
    out.append(f"float64 values of {first}'s shape, in {first}'s kind")
    out.append(
        _indent(
            _wrap(
                "A numpy array (also for lists), or a pandas Series or DataFrame with the "
                "same index, name and columns, or a polars Series or DataFrame.",
                80,
            )
        )
    )
    if doc is not None:
        out += ["", "Warm-up", "-------", _wrap(doc.warmup)]
        out += ["", "Missing values", "--------------", _wrap(doc.missing)]
        for note in doc.notes:
            out += ["", _wrap(note)]
        out += ["", "Example", "-------", ">>> import vexa", doc.example.strip("\n")]
    return "\n".join(out)


def native_docs() -> dict[str, str]:
    """Each function's docstring with its signature line, as vexa._native builds its
    functions from them."""
    return {f.name: f"{f.name}{signature(f)}\n--\n\n{docstring(f.name)}" for f in ALL}
