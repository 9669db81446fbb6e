"""The functions a formula can call, with their definitions.

Three sources, one catalogue:
- the rows of the function table (vexa.table: the 31 functions of vexa._vexa and the
  formula language's own kernels, QX_EXTRA), evaluated through the everyday functions;
- the language's element-wise functions, defined here over numpy (each is exact IEEE
  arithmetic per element, or the platform's math library where it says so);
- names that the language spells differently (IF, IFF, IFN, REFX, BARSLASTCOUNT), each
  rewritten into a table function;
and the drawing statements, which are kept for the chart and never computed with.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .. import table

# Argument kinds the checker knows.
SERIES, COND, INT, REAL, PERIODS = table.SERIES, table.COND, table.INT, table.REAL, table.PERIODS
PRICE = "price"  # ZIG's K: 0 to 3 pick OPEN, HIGH, LOW, CLOSE; anything else is a series
TEXT = "text"  # a quoted text (DRAWTEXT)
ANY = "any"  # an argument of a drawing statement that is not drawn

FIELDS = ("OPEN", "HIGH", "LOW", "CLOSE", "VOL", "AMOUNT")
FIELD_ALIASES = {
    "OPEN": "OPEN",
    "O": "OPEN",
    "HIGH": "HIGH",
    "H": "HIGH",
    "LOW": "LOW",
    "L": "LOW",
    "CLOSE": "CLOSE",
    "C": "CLOSE",
    "VOL": "VOL",
    "V": "VOL",
    "VOLUME": "VOL",
    "AMOUNT": "AMOUNT",
    "AMO": "AMOUNT",
}


@dataclass(frozen=True)
class Func:
    name: str
    params: tuple[tuple[str, str], ...]  # (name, kind)
    summary: str
    kind: str  # "table", "numpy", "rewrite", "draw", "nodraw"
    ahead: str | None = None  # None, "always", "negative" / "positive" (sign of param 1)
    row: table.Function | None = None  # the table row ("table")
    impl: object = None  # numpy: f(ctx, *args); rewrite: the target's name
    # rewrite: the target's arguments by our position, or a data field read implicitly
    order: tuple[int | str, ...] = ()
    negate: tuple[int, ...] = ()  # rewrite: arguments to negate
    variadic: bool = False
    bare: bool = False  # may be written without parentheses (ISLASTBAR)
    series_out: bool = True  # False: scalar in, scalar out (element-wise)
    definition: str = ""
    extras: dict = field(default_factory=dict)

    @property
    def arity(self):
        return len(self.params)


# ---- element-wise functions --------------------------------------------------


def truth(x):
    """A value is true when it is neither 0 nor missing."""
    return np.greater(np.abs(x), 0.0)


def _f(b):
    return np.asarray(b, dtype=np.float64) if np.ndim(b) else np.float64(b)


def _max(ctx, a, b):
    return np.where(np.isnan(b), b, np.where(b > a, b, a))[()]


def _min(ctx, a, b):
    return np.where(np.isnan(b), b, np.where(b < a, b, a))[()]


def _sign(ctx, x):
    return np.where(x > 0, 1.0, np.where(x < 0, -1.0, np.where(x == 0, 0.0, np.nan)))[()]


def _round(ctx, x):
    # Halves away from zero, exactly: the fraction x - trunc(x) is exact for every
    # double, so no addition of 0.5 can round the wrong way.
    t = np.trunc(x)
    f = np.abs(x - t)
    return np.where(f >= 0.5, t + np.copysign(1.0, x), t)[()]


def _between(ctx, a, b, c):
    return _f(((a >= b) & (a <= c)) | ((a >= c) & (a <= b)))


def _range(ctx, a, b, c):
    return _f((a > b) & (a < c))


def _not(ctx, x):
    return _f(~truth(x))


def _barscount(ctx, x):
    n, m = ctx.shape
    x = np.broadcast_to(x, (n, m))
    valid = ~np.isnan(x)
    first = np.where(valid.any(axis=0), valid.argmax(axis=0), n)
    bars = np.arange(n, dtype=np.float64)[:, None] - first + 1.0
    return np.where(bars >= 1.0, bars, np.nan)


def _totalbarscount(ctx):
    return np.full(ctx.shape, float(ctx.shape[0]))


def _islastbar(ctx):
    out = np.zeros(ctx.shape)
    if ctx.shape[0]:
        out[-1] = 1.0
    return out


def _const(ctx, x):
    x = np.broadcast_to(x, ctx.shape)
    if ctx.shape[0] == 0:
        return np.empty(ctx.shape)
    return np.repeat(x[-1:], ctx.shape[0], axis=0)


def _elementwise(fn):
    def impl(ctx, *args):
        return fn(*args)

    return impl


_ELEMENTWISE = [
    # name, params, summary, implementation, definition
    ("ABS", ("X",), "Absolute value of X", _elementwise(np.abs), "|X|; NaN stays NaN."),
    (
        "MAX",
        ("A", "B"),
        "The larger of A and B at each bar",
        _max,
        "B where B > A, else A (A when equal); NaN when either is NaN.",
    ),
    (
        "MIN",
        ("A", "B"),
        "The smaller of A and B at each bar",
        _min,
        "B where B < A, else A (A when equal); NaN when either is NaN.",
    ),
    (
        "SQRT",
        ("X",),
        "Square root of X",
        _elementwise(np.sqrt),
        "IEEE square root (correctly rounded); NaN for X < 0.",
    ),
    (
        "POW",
        ("A", "B"),
        "A to the power B",
        _elementwise(np.power),
        "numpy's power (the platform's pow: within an ulp, not promised to the last bit "
        "across platforms).",
    ),
    (
        "EXP",
        ("X",),
        "e to the power X",
        _elementwise(np.exp),
        "numpy's exp (the platform's math library).",
    ),
    (
        "LN",
        ("X",),
        "Natural logarithm of X",
        _elementwise(np.log),
        "numpy's log (the platform's math library); NaN for X < 0, -inf for 0.",
    ),
    (
        "LOG",
        ("X",),
        "Logarithm of X to base 10",
        _elementwise(np.log10),
        "numpy's log10 (the platform's math library).",
    ),
    (
        "SIGN",
        ("X",),
        "1, -1 or 0 by the sign of X",
        _sign,
        "1 for X > 0, -1 for X < 0, 0 for either zero, NaN for NaN.",
    ),
    ("CEILING", ("X",), "Smallest integer not below X", _elementwise(np.ceil), "IEEE ceil."),
    ("FLOOR", ("X",), "Largest integer not above X", _elementwise(np.floor), "IEEE floor."),
    (
        "INTPART",
        ("X",),
        "Integer part of X (toward zero)",
        _elementwise(np.trunc),
        "X truncated toward zero.",
    ),
    (
        "FRACPART",
        ("X",),
        "Fractional part of X",
        _elementwise(lambda x: x - np.trunc(x)),
        "X - INTPART(X) (exact; keeps the sign of X).",
    ),
    (
        "ROUND",
        ("X",),
        "X rounded to the nearest integer",
        _round,
        "Nearest integer, halves away from zero (ROUND(2.5) = 3, ROUND(-2.5) = -3); one "
        "argument, no digits.",
    ),
    (
        "MOD",
        ("A", "B"),
        "Remainder of A divided by B",
        _elementwise(np.fmod),
        "A - B * trunc(A / B) computed exactly (C's fmod): the sign of A; NaN for B = 0.",
    ),
    ("REVERSE", ("X",), "X with its sign reversed", _elementwise(np.negative), "-X."),
    (
        "BETWEEN",
        ("A", "B", "C"),
        "1 where A lies between B and C, ends included",
        _between,
        "1 where B <= A <= C or C <= A <= B (either order, both ends included), else 0.",
    ),
    (
        "RANGE",
        ("A", "B", "C"),
        "1 where A lies strictly between B and C",
        _range,
        "1 where B < A < C (strict, in this order), else 0.",
    ),
    (
        "NOT",
        ("X",),
        "1 where X is false (0 or missing), else 0",
        _not,
        "1 where X is 0 or NaN, else 0.",
    ),
]

_PANELWISE = [
    # name, params, summary, implementation, ahead, definition
    (
        "BARSCOUNT",
        ("X",),
        "Bars from the first bar where X has a value, counting that bar as 1",
        _barscount,
        None,
        "NaN before the first bar where X is not NaN, then 1, 2, 3, ...",
    ),
    (
        "TOTALBARSCOUNT",
        (),
        "Number of bars of the symbol, at every bar",
        _totalbarscount,
        "always",
        "The count of all bars, later ones included (so it looks ahead).",
    ),
    (
        "ISLASTBAR",
        (),
        "1 at the last bar, else 0",
        _islastbar,
        "always",
        "1 at the symbol's last bar, 0 elsewhere (it knows which bar is last: looks ahead).",
    ),
    (
        "CONST",
        ("X",),
        "The last bar's value of X, at every bar",
        _const,
        "always",
        "X at the last bar, repeated at every bar (looks ahead).",
    ),
]

# Drawing statements kept for the chart: (name, params, summary).
DRAWN = {
    "STICKLINE": (
        (("COND", COND), ("PRICE1", SERIES), ("PRICE2", SERIES), ("WIDTH", REAL), ("EMPTY", REAL)),
        "A bar from PRICE1 to PRICE2 where COND holds",
    ),
    "DRAWTEXT": (
        (("COND", COND), ("PRICE", SERIES), ("TEXT", TEXT)),
        "TEXT at PRICE where COND holds",
    ),
    "DRAWICON": (
        (("COND", COND), ("PRICE", SERIES), ("TYPE", REAL)),
        "Icon number TYPE at PRICE where COND holds",
    ),
    "DRAWNUMBER": (
        (("COND", COND), ("PRICE", SERIES), ("NUMBER", SERIES)),
        "The value of NUMBER at PRICE where COND holds",
    ),
}
# The rest of the drawing vocabulary: parsed and checked, reported as not drawn.
NOT_DRAWN = (
    "DRAWLINE",
    "POLYLINE",
    "PLOYLINE",
    "PARTLINE",
    "DRAWKLINE",
    "DRAWBAND",
    "FILLRGN",
    "DRAWGBK",
    "DRAWSL",
    "VERTLINE",
    "DRAWTEXT_FIX",
    "DRAWNUMBER_FIX",
    "DRAWBMP",
    "DRAWRECTREL",
    "DRAWTEXTABS",
    "DRAWTEXTREL",
    "DRAWFLAGTEXT",
    "DRAWCOLORLINE",
    "DRAWCOLORKLINE",
    "DRAWRECTANGLE",
    "DRAWARC",
    "DRAWELLIPSE",
    "EXPLAIN",
)

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

_ZIG_FAMILY = ("ZIG", "PEAK", "TROUGH", "PEAKBARS", "TROUGHBARS")


def _build():
    funcs = {}
    for row in table.ALL:
        params = tuple(
            (p.name, PRICE if row.name in _ZIG_FAMILY and i == 0 else p.kind)
            for i, p in enumerate(row.params)
        )
        ahead = row.ahead
        funcs[row.name] = Func(
            row.name,
            params,
            row.summary,
            "table",
            ahead=ahead,
            row=row,
            definition=_ROW_DEFINITIONS.get(row.name, ""),
        )
    ROWS.update(funcs)
    for name, params, summary, impl, definition in _ELEMENTWISE:
        funcs[name] = Func(
            name,
            tuple((p, SERIES) for p in params),
            summary,
            "numpy",
            impl=impl,
            series_out=False,
            definition=definition,
        )
    for name, params, summary, impl, ahead, definition in _PANELWISE:
        funcs[name] = Func(
            name,
            tuple((p, SERIES) for p in params),
            summary,
            "numpy",
            ahead=ahead,
            impl=impl,
            bare=not params,
            definition=definition,
        )
    for alias in ("IF", "IFF"):
        funcs[alias] = Func(
            alias,
            (("X", COND), ("A", SERIES), ("B", SERIES)),
            "A where X is true (non-zero, not NaN), else B",
            "rewrite",
            impl="FIF",
            order=(0, 1, 2),
            definition="FIF(X, A, B).",
        )
    funcs["IFN"] = Func(
        "IFN",
        (("X", COND), ("A", SERIES), ("B", SERIES)),
        "B where X is true, else A",
        "rewrite",
        impl="FIF",
        order=(0, 2, 1),
        definition="FIF(X, B, A).",
    )
    funcs["REFX"] = Func(
        "REFX",
        (("X", SERIES), ("N", INT)),
        "Value of X N bars ahead (looks ahead for N > 0)",
        "rewrite",
        ahead="positive",
        impl="REF",
        order=(0, 1),
        negate=(1,),
        definition="REF(X, -N): NaN where bar i + N does not exist; a series N reads REF_A(X, -N).",
    )
    funcs["BARSLASTCOUNT"] = Func(
        "BARSLASTCOUNT",
        (("X", COND),),
        "Length of the run of bars where X holds that ends at each bar",
        "rewrite",
        impl="BACKCOUNT",
        order=(0,),
        definition="BACKCOUNT(X).",
    )
    funcs["SAR"] = Func(
        "SAR",
        (("N", INT), ("STEP", REAL), ("MAX", REAL)),
        "Parabolic stop and reverse of HIGH and LOW (STEP and MAX in percent)",
        "rewrite",
        impl="SAR",
        order=("HIGH", "LOW", 0, 1, 2),
        definition="The table's SAR(HIGH, LOW, N, STEP, MAX), the data's HIGH and LOW read "
        "without being written: " + _ROW_DEFINITIONS["SAR"],
    )
    for name, (params, summary) in DRAWN.items():
        funcs[name] = Func(name, params, summary, "draw")
    for name in NOT_DRAWN:
        funcs[name] = Func(
            name, (), "Drawing statement (parsed, not drawn)", "nodraw", variadic=True
        )
    return funcs


# The functions of the table by name, also where the language gives the name another
# form (SAR(N, STEP, MAX) reads HIGH and LOW itself): what a rewrite names.
ROWS: dict[str, Func] = {}
FUNCTIONS: dict[str, Func] = _build()

# ---- drawing attributes ---------------------------------------------------------

# The named colours, as #rrggbb.
COLORS = {
    "COLORBLACK": "#000000",
    "COLORBLUE": "#0000ff",
    "COLORGREEN": "#00ff00",
    "COLORCYAN": "#00ffff",
    "COLORRED": "#ff0000",
    "COLORMAGENTA": "#ff00ff",
    "COLORBROWN": "#804000",
    "COLORLIGRAY": "#c0c0c0",
    "COLORGRAY": "#808080",
    "COLORLIBLUE": "#8080ff",
    "COLORLIGREEN": "#80ff80",
    "COLORLICYAN": "#80ffff",
    "COLORLIRED": "#ff8080",
    "COLORLIMAGENTA": "#ff80ff",
    "COLORYELLOW": "#ffff00",
    "COLORWHITE": "#ffffff",
}
STYLES = {
    "STICK": "stick",
    "COLORSTICK": "colorstick",
    "VOLSTICK": "volstick",
    "LINESTICK": "linestick",
    "DOTLINE": "dotline",
    "POINTDOT": "pointdot",
    "CROSSDOT": "crossdot",
    "CIRCLEDOT": "circledot",
}
# Attributes that parse but change nothing that vexa draws.
IGNORED_ATTRIBUTES = (
    "NOTEXT",
    "NOTITLE",
    "DRAWABOVE",
    "NOFRAME",
    "DASHLINE",
    "DASHDOTLINE",
    "DASHDOT2LINE",
    "LINEDOT",
    "NOKLINE",
)


def attribute(name):
    """The meaning of a drawing attribute: ("color", "#rrggbb"), ("width", k),
    ("style", s), ("nodraw", True) or ("ignored", NAME); None when unknown."""
    upper = name.upper()
    if upper in COLORS:
        return ("color", COLORS[upper])
    if upper.startswith("COLOR") and len(upper) == 11:
        hexa = upper[5:]
        if all(c in "0123456789ABCDEF" for c in hexa):
            # The language writes blue, green, red.
            return ("color", "#" + (hexa[4:6] + hexa[2:4] + hexa[0:2]).lower())
    if upper.startswith("LINETHICK") and len(upper) == 10 and upper[9].isdigit():
        return ("width", int(upper[9]))
    if upper in STYLES:
        return ("style", STYLES[upper])
    if upper == "NODRAW":
        return ("nodraw", True)
    if upper in IGNORED_ATTRIBUTES:
        return ("ignored", upper)
    return None


ATTRIBUTE_NAMES = (
    tuple(COLORS)
    + tuple(STYLES)
    + ("NODRAW", "COLORxxxxxx", "LINETHICK1", "LINETHICK2", "LINETHICK3")
    + IGNORED_ATTRIBUTES
)
