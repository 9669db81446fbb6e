"""The functions a formula can call, by name: one registry built from

- the rows of the function table (vexa.table: the 31 functions of vexa._vexa and the
  formula language's own kernels), evaluated through the everyday functions (LIBRARY);
- the language's functions over numpy (numpy_functions.py);
- the terminals' functions that are chains of library calls (chains.py);
- names that the language spells differently (IF, IFF, IFN, REFX, BARSLASTCOUNT, SAR),
  each rewritten into a table function (here);
- the drawing statements (drawing.py), kept for the chart and never computed with.
"""

from __future__ import annotations

from .. import table
from .chains import MAPPED
from .drawing import DRAWING
from .func import COND, INT, PRICE, REAL, SERIES, Func
from .numpy_functions import ELEMENTWISE, PER_SYMBOL

# Definitions of the table's language-own rows (QX_EXTRA), for the docs and `vexa
# functions NAME`; the summary comes from the table.
_ROW_DEFINITIONS = {
    "EVERY": "1 where X is true (non-zero, not NaN) at each of the last N bars, the bar "
    "itself included; NaN at the first N - 1 bars; N = 0: every bar from the first.",
    "EXIST": "1 where X is true at one or more of the last N bars; NaN at the first N - 1 "
    "bars; N = 0: any bar from the first.",
    "LAST": "1 where X is true at every bar from A bars ago to B bars ago, both included "
    "(A = 0: from the first bar; B = 0: up to this bar); NaN while bar i - A does not exist.",
    "LONGCROSS": "1 where A > B at this bar and A < B at each of the N bars before "
    "(LONGCROSS(A, B, 1) = CROSS(A, B)); 0 at the first N bars.",
    "VALUEWHEN": "X at the latest bar (this one included) where COND is true; NaN before "
    "the first such bar.",
    "HHVBARS": "Bars back to the highest value of X over the last N bars (the newest of "
    "equal highs; 0 where this bar is the high; N = 0: from the first bar); NaN when the "
    "window holds no value.",
    "LLVBARS": "Bars back to the lowest value of X over the last N bars, as HHVBARS.",
    "SUMBARS": "The number of bars, counted back from this one, whose sum of X (missing "
    "values skipped) first reaches A; NaN when the bars so far never reach it.",
    "VAR": "Sample variance over N bars: the dispersion frame of STD (mean from a running "
    "total, deviations summed afresh), the sum of squared deviations divided by N - 1; "
    "SQRT(VAR(X, N)) = STD(X, N) bit for bit.",
    "VARP": "Population variance (divisor N); SQRT(VARP(X, N)) = STDP(X, N) bit for bit.",
    "DEVSQ": "Sum of the squared deviations from the window's mean over N bars, in STD's order.",
    "FORCAST": "The least-squares line through the last N bars taken at this bar: with "
    "the sums of SLOPE, b = SLOPE(X, N), a = (Sy - b Sx) / N, value a + b (N - 1).",
    "ZIG": "The zigzag of K (0 to 3: OPEN, HIGH, LOW, CLOSE, or any series): straight "
    "lines between turning points, where a turning point is the extreme since the last "
    "one, confirmed once the price has moved N percent back from it; the last leg ends at "
    "the last bar. Looks ahead.",
    "PEAK": "The value of ZIG(K, N) at its M-th latest peak at or before this bar (M >= "
    "1); NaN when there are fewer. Looks ahead.",
    "TROUGH": "The value of ZIG(K, N) at its M-th latest trough, as PEAK. Looks ahead.",
    "PEAKBARS": "Bars since the M-th latest peak of ZIG(K, N) (0 at the peak). Looks ahead.",
    "TROUGHBARS": "Bars since the M-th latest trough of ZIG(K, N). Looks ahead.",
    "SAR": "The parabolic SAR of the highs H and lows L (bars missing either are left "
    "out): the first N bars fix the trend (up where H + L of the N-th is at least that of "
    "the first) and the start (up: their lowest low, extreme EP their highest high); then "
    "SAR + AF (EP - SAR), kept below the previous two lows (above the highs going down), "
    "reversing to EP, or the bar's own high where higher, where the low reaches it; AF "
    "starts at STEP / 100 and rises by as much at each new extreme up to MAX / 100 "
    "(0 < STEP <= MAX <= 100). NaN before the N-th bar.",
}


def _library():
    """{name: Func} of the table's rows, as the library defines them."""
    funcs = {}
    for row in table.ALL:
        params = tuple((p.name, PRICE if p.price else p.kind) for p in row.params)
        funcs[row.name] = Func(
            row.name,
            params,
            row.summary,
            "table",
            ahead=row.ahead,
            row=row,
            definition=_ROW_DEFINITIONS.get(row.name, ""),
            nonneg=row.nonneg,
        )
    return funcs


def _rewrites():
    """The language's other spellings of table functions."""
    ifs = [
        Func(
            alias,
            (("X", COND), ("A", SERIES), ("B", SERIES)),
            "A where X is true (non-zero, not NaN), else B",
            "rewrite",
            impl="FIF",
            order=(0, 1, 2),
            definition="FIF(X, A, B).",
        )
        for alias in ("IF", "IFF")
    ]
    return [
        *ifs,
        Func(
            "IFN",
            (("X", COND), ("A", SERIES), ("B", SERIES)),
            "B where X is true, else A",
            "rewrite",
            impl="FIF",
            order=(0, 2, 1),
            definition="FIF(X, B, A).",
        ),
        Func(
            "REFX",
            (("X", SERIES), ("N", INT)),
            "Value of X N bars ahead (looks ahead for N > 0)",
            "rewrite",
            ahead="positive",
            impl="REF",
            order=(0, 1),
            negate=(1,),
            definition="REF(X, -N): NaN where bar i + N does not exist; a series N reads "
            "REF_A(X, -N).",
        ),
        Func(
            "BARSLASTCOUNT",
            (("X", COND),),
            "Length of the run of bars where X holds that ends at each bar",
            "rewrite",
            impl="BACKCOUNT",
            order=(0,),
            definition="BACKCOUNT(X).",
        ),
        Func(
            "SAR",
            (("N", INT), ("STEP", REAL), ("MAX", REAL)),
            "Parabolic stop and reverse of HIGH and LOW (STEP and MAX in percent)",
            "rewrite",
            impl="SAR",
            order=("HIGH", "LOW", 0, 1, 2),
            definition="The table's SAR(HIGH, LOW, N, STEP, MAX), the data's HIGH and LOW read "
            "without being written: " + _ROW_DEFINITIONS["SAR"],
        ),
    ]


# The functions of the table by name, also where the language gives the name another
# form (SAR(N, STEP, MAX) reads HIGH and LOW itself): what a rewrite names.
LIBRARY: dict[str, Func] = _library()
FUNCTIONS: dict[str, Func] = dict(LIBRARY)
for _f in (*ELEMENTWISE, *PER_SYMBOL, *MAPPED, *_rewrites(), *DRAWING):
    FUNCTIONS[_f.name] = _f
del _f
