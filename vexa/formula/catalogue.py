"""The functions a formula can call, with their definitions.

The sources, one catalogue:
- the rows of the function table (vexa.table: the 31 functions of vexa._vexa and the
  formula language's own kernels, QX_EXTRA), evaluated through the everyday functions;
- the language's element-wise and per-symbol functions, defined here over numpy (each
  is exact IEEE arithmetic per element, or the platform's math library where it says
  so);
- names that the language spells differently (IF, IFF, IFN, REFX, BARSLASTCOUNT), each
  rewritten into a table function;
- the terminals' functions that are chains of library calls (BARSLAST, FILTER,
  CURRBARSCOUNT, BARPOS, UPNDAY, EXPMEMA, ...): each builds its nodes from the table's
  functions and the element-wise ones, so that a formula stays a chain of direct calls;
  where a name means something else in the terminals' manuals than the library
  function of that name, `library` says how the two relate;
and the drawing statements, which are kept for the chart and never computed with.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .. import table
from .errors import FormulaError
from .lexer import fold

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
    kind: str  # "table", "numpy", "rewrite", "mapped", "draw", "nodraw"
    ahead: str | None = None  # None, "always", "negative" / "positive" (sign of param 1)
    row: table.Function | None = None  # the table row ("table")
    impl: object = None  # numpy: f(ctx, *args); rewrite: the target's name; mapped: the
    # builder f(b, *args) of its nodes (b: the compiler's Builder)
    # rewrite: the target's arguments by our position, or a data field read implicitly
    order: tuple[int | str, ...] = ()
    negate: tuple[int, ...] = ()  # rewrite: arguments to negate
    variadic: bool = False
    bare: bool = False  # may be written without parentheses (ISLASTBAR)
    series_out: bool = True  # False: scalar in, scalar out (element-wise)
    definition: str = ""
    library: str = ""  # how the language's meaning relates to the library function of
    # the same name, where the two differ
    checks: tuple = ()  # rules on the values of number parameters (check_rules)
    nonneg: bool = False  # mapped: its values are never negative (counts)
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
    if n == 0:
        return np.empty((0, m))
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


def _int32(v):
    return -2147483649.0 < v < 2147483648.0


def _first(values, bad):
    """The first value of `values` where `bad` holds, as a number for a message."""
    v = np.broadcast_to(values, np.shape(bad))[bad]
    return float(v.flat[0])


def _count_from_zero(ctx, x):
    # The library counts the true bar as 1 and has 0 before any; the terminals count
    # it as 0 and have no value before it.
    return np.where(x > 0.0, x - 1.0, np.nan)[()]


def _filter_window(ctx, n):
    # The terminals' FILTER blanks the N bars after a signal; the library's window of W
    # bars holds the signal: W = N + 1. Past the 32-bit range the window is the
    # library's 0 (to the end), which blanks the same bars.
    t = np.trunc(n)
    return np.where(t >= 2147483647.0, 0.0, t + 1.0)[()]


def _reverse_bars(ctx, x):
    # A copy: the evaluation reuses the panels of values it has dropped, and a view
    # would see its argument's panel overwritten.
    return np.array(np.broadcast_to(x, ctx.shape)[::-1], dtype=np.float64)


def _ema_weight(ctx, n):
    # EMA with a period read per bar: DMA's weight 2 / (N + 1), N truncated.
    t = np.trunc(n)
    bad = (t < 1.0) | (t >= 2147483648.0)  # a missing N stays missing
    if np.any(bad):
        raise FormulaError(
            f"EMA's N = {_number(_first(n, bad))} (read per bar): a period must be a whole "
            "number of 1 or more within the 32-bit range"
        )
    return np.divide(2.0, t + 1.0)[()]


def _sma_weight(ctx, n, m):
    # SMA with N or M read per bar: DMA's weight M / N, both truncated.
    tn, tm = np.trunc(n), np.trunc(m)
    for what, t in (("N", tn), ("M", tm)):
        bad = (t < 1.0) | (t >= 2147483648.0)
        if np.any(bad):
            raise FormulaError(
                f"SMA's {what} = {_number(_first(n if what == 'N' else m, bad))} (read per "
                "bar): it must be a whole number of 1 or more within the 32-bit range"
            )
    bad = tm > tn
    if np.any(bad):
        raise FormulaError(
            f"SMA's M = {_number(_first(tm, bad))} is larger than its N = "
            f"{_number(_first(tn, bad))} (read per bar): M is the new bar's weight out of N"
        )
    return np.divide(tm, tn)[()]


def _xma(ctx, x, n):
    rows, m = ctx.shape
    x = np.broadcast_to(x, ctx.shape)
    half = min(int(np.trunc(n)) // 2, max(rows - 1, 0))
    total = np.zeros(ctx.shape)
    count = np.zeros((rows, 1))
    # Bar i adds bars i - half, ..., i + half that exist, in that (ascending) order.
    for k in range(-half, half + 1):
        lo, hi = max(0, -k), min(rows, rows - k)
        if lo < hi:
            total[lo:hi] += x[lo + k : hi + k]
            count[lo:hi] += 1.0
    return total / count if rows else total


def _tma(ctx, x, a, b):
    rows, m = ctx.shape
    x = np.broadcast_to(x, ctx.shape)
    a, b = float(a), float(b)
    out = np.empty(ctx.shape)
    if m < 16:
        # Python floats are IEEE doubles: a * y, b * v and their sum, each rounded.
        for j in range(m):
            y, started, col = math.nan, False, []
            for v in x[:, j].tolist():
                if started:
                    y = a * y + b * v
                elif v == v:
                    y, started = v, True
                col.append(y)
            out[:, j] = col
        return out
    y = np.full(m, np.nan)
    started = np.zeros(m, dtype=bool)
    for i in range(rows):
        v = x[i]
        first = ~started & ~np.isnan(v)
        y = np.where(started, a * y + b * v, np.where(first, v, np.nan))
        started |= first
        out[i] = y
    return out


def _tfilter(ctx, buy, sell, n):
    rows, m = ctx.shape
    mode = int(n)
    buys = np.broadcast_to(truth(buy), ctx.shape)
    sells = np.broadcast_to(truth(sell), ctx.shape)
    filter_buys, filter_sells = mode in (0, 1), mode in (0, 2)
    out = np.zeros(ctx.shape)
    for j in range(m):
        b, s = buys[:, j], sells[:, j]
        last = 0  # the last signal kept: 0 none, 1 a buy, 2 a sell
        for i in np.flatnonzero(b | s).tolist():
            if b[i] and not (filter_buys and last == 1):
                out[i, j], last = 1.0, 1
            elif s[i] and not (filter_sells and last == 2):
                out[i, j], last = 2.0, 2
    return out


# The bars' wall-clock times, seconds since 1970-01-01T00:00 (the TIME panel), taken
# apart with numpy's calendar arithmetic on whole seconds: exact integers.
_TIME_LIMIT = 1e14  # seconds (about three million years): beyond it, no value


def _clock(t):
    t = np.asarray(t, dtype=np.float64)
    ok = np.abs(t) < _TIME_LIMIT  # NaN: no value
    secs = np.where(ok, np.floor(t), 0.0).astype(np.int64)
    return secs, ok


def _calendar(t, part):
    secs, ok = _clock(t)
    stamp = secs.astype("datetime64[s]")
    days = stamp.astype("datetime64[D]")
    months = stamp.astype("datetime64[M]")
    if part == "year":
        v = stamp.astype("datetime64[Y]").astype(np.int64) + 1970
    elif part == "month":
        v = months.astype(np.int64) % 12 + 1
    elif part == "day":
        v = (days - months.astype("datetime64[D]")).astype(np.int64) + 1
    elif part == "weekday":
        v = (days.astype(np.int64) + 4) % 7  # 1970-01-01 was a Thursday; Sunday is 0
    elif part == "date":
        year = stamp.astype("datetime64[Y]").astype(np.int64) + 1970
        month = months.astype(np.int64) % 12 + 1
        day = (days - months.astype("datetime64[D]")).astype(np.int64) + 1
        v = (year - 1900) * 10000 + month * 100 + day
    else:
        of_day = secs - days.astype(np.int64) * 86400
        hour, minute, second = of_day // 3600, of_day % 3600 // 60, of_day % 60
        v = {"hour": hour, "minute": minute, "time": hour * 10000 + minute * 100 + second}[part]
    return np.where(ok, v.astype(np.float64), np.nan)[()]


def _calendar_part(part):
    def impl(ctx, t):
        return _calendar(t, part)

    return impl


def _number(v):
    v = float(v)
    return str(int(v)) if v.is_integer() and abs(v) < 1e16 else repr(v)


def _elementwise(fn):
    def impl(ctx, *args):
        return fn(*args)

    return impl


_TRIG = [
    ("SIN", "Sine of X (radians)", np.sin),
    ("COS", "Cosine of X (radians)", np.cos),
    ("TAN", "Tangent of X (radians)", np.tan),
    ("ASIN", "Arcsine of X, in radians", np.arcsin),
    ("ACOS", "Arccosine of X, in radians", np.arccos),
    ("ATAN", "Arctangent of X, in radians", np.arctan),
]


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
    # name, params (names, or (name, kind)), summary, implementation, ahead, definition
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
    (
        "XMA",
        ("X", ("N", INT)),
        "Centred moving average of X over N bars",
        _xma,
        "always",
        "The mean of X over the bars from i - H to i + H that exist, H = N div 2 (an even "
        "N counts as N + 1): the bars added from +0.0 in ascending order, divided by their "
        "count; near either end the window is cut to the bars there are. A missing value "
        "makes the windows holding it missing. Looks ahead (H bars).",
    ),
    (
        "TMA",
        ("X", ("A", REAL), ("B", REAL)),
        "Recursive average Y = A * Y' + B * X, starting from X",
        _tma,
        None,
        "Missing before X's first value; X there; then A * Y' + B * X (Y' the value of "
        "the bar before; each product rounded, then their sum), so a missing X makes that "
        "bar and every later one missing, as EMA.",
    ),
    (
        "TFILTER",
        ("BUY", ("SELL", COND), ("N", INT)),
        "Buy (1) and sell (2) signals with repeats filtered out",
        _tfilter,
        None,
        "1 where BUY holds and is kept, 2 where SELL holds and is kept, else 0. N = 0 "
        "filters both: a buy after a kept buy (with no kept sell between) is dropped, a "
        "sell after a kept sell likewise; N = 1 filters buys only, N = 2 sells only. A "
        "bar where both hold gives the buy when it is kept, else the sell when it is "
        "kept, else 0. Conditions are true where neither 0 nor missing.",
    ),
]


# ---- functions of the terminals built from library calls -------------------------


def _hidden(name, params, impl, series_out=False, ahead=None):
    """A function that only the builders below call (not a name of the language)."""
    return Func(
        name,
        tuple((p, SERIES) for p in params),
        "",
        "numpy",
        ahead=ahead,
        impl=impl,
        series_out=series_out,
    )


COUNT_FROM_ZERO = _hidden("COUNT_FROM_ZERO", ("X",), _count_from_zero)
FILTER_WINDOW = _hidden("FILTER_WINDOW", ("N",), _filter_window)
REVERSE_BARS = _hidden("REVERSE_BARS", ("X",), _reverse_bars, series_out=True, ahead="always")
EMA_WEIGHT = _hidden("EMA_WEIGHT", ("N",), _ema_weight)
SMA_WEIGHT = _hidden("SMA_WEIGHT", ("N", "M"), _sma_weight)
CALENDAR = {
    name: _hidden(name, ("T",), _calendar_part(name.lower()))
    for name in ("DATE", "YEAR", "MONTH", "DAY", "WEEKDAY", "TIME", "HOUR", "MINUTE")
}


def _barslast(b, x):
    return b.np(COUNT_FROM_ZERO, b.call("BARSLAST", x))


def _barssince(b, x):
    return b.np(COUNT_FROM_ZERO, b.call("BARSINCE", x))


def _filter(b, x, n):
    return b.call("FILTER", x, b.np(FILTER_WINDOW, n))


def _currbarscount(b):
    return b.op("sub", b.fn("TOTALBARSCOUNT"), b.call("CURRBARSCOUNT", b.num(0.0)))


def _barpos(b):
    return b.op("add", b.call("CURRBARSCOUNT", b.num(0.0)), b.num(1.0))


def _compare_close_open(op):
    def build(b):
        return b.op(op, b.field("CLOSE"), b.field("OPEN"))

    return build


def _drawnull(b):
    return b.num(math.nan)


def _upnday(b, x, m):
    return b.call("EVERY", b.op("gt", x, b.call("REF", x, b.num(1.0))), m)


def _downnday(b, x, m):
    return b.call("EVERY", b.op("lt", x, b.call("REF", x, b.num(1.0))), m)


def _nday(b, x, y, n):
    return b.call("EVERY", b.op("gt", x, y), n)


def _filterx(b, x, n):
    reversed_x = b.np(REVERSE_BARS, x)
    return b.np(REVERSE_BARS, b.call("FILTER", reversed_x, b.np(FILTER_WINDOW, n)))


def _backset(b, x, n):
    since = b.call("BARSLAST", b.np(REVERSE_BARS, x))
    return b.np(REVERSE_BARS, b.fn("BETWEEN", since, b.num(1.0), n))


def _expmema(b, x, n):
    ma = b.call("MA", x, n)
    k = b.fn("BARSCOUNT", ma)
    seeded = b.call(
        "FIF",
        b.op("eq", k, b.num(1.0)),
        ma,
        b.call("FIF", b.op("gt", k, b.num(1.0)), x, b.num(math.nan)),
    )
    return b.call("EMA", seeded, n)


def _calendar_of(name):
    def build(b):
        return b.np(CALENDAR[name], b.field("TIME"))

    return build


# A period read per bar where the library has no per-bar variant: (builder, text).
def _ema_per_bar(b, x, n):
    return b.call("DMA", x, b.np(EMA_WEIGHT, n))


def _sma_per_bar(b, x, n, m):
    return b.call("DMA", x, b.np(SMA_WEIGHT, n, m))


SERIES_PERIODS = {
    "EMA": (
        _ema_per_bar,
        "a series N reads DMA(X, 2 / (N + 1)) bar by bar (N truncated; each weight "
        "rounded, so a constant series gives EMA's values within an ulp, not its bits; a "
        "missing N makes that bar and every later one missing, as DMA does; an N below 1 "
        "is an error)",
    ),
    "SMA": (
        _sma_per_bar,
        "a series N or M reads DMA(X, M / N) bar by bar (both truncated; within an ulp of "
        "SMA for constant series, not its bits; 1 <= M <= N, or an error)",
    ),
}

_PLAIN = ("X", SERIES)
_COND = ("X", COND)
# name, params, summary, builder, definition, library (where the library function of
# the same name differs), checks, ahead, nonneg
_MAPPED = [
    (
        "BARSLAST",
        (_COND,),
        "Bars since the latest bar where X held (0 on that bar)",
        _barslast,
        "0 on a bar where X holds, 1 on the bar after, ...; missing (NaN) before the "
        "first bar where X holds. REF(C, BARSLAST(X)) is the close of that bar.",
        "the language's BARSLAST is vexa.BARSLAST(X) - 1 where that is positive, NaN where "
        "it is 0 (no true bar yet): the library counts the true bar as 1",
        (),
        None,
        True,
    ),
    (
        "BARSSINCE",
        (_COND,),
        "Bars since the first bar where X held (0 on that bar)",
        _barssince,
        "0 on the first bar where X holds, then 1, 2, ...; missing (NaN) before it.",
        "vexa.BARSINCE(X) - 1 where that is positive, NaN where it is 0 (the library's "
        "BARSINCE, also a name of the language, counts the first true bar as 1)",
        (),
        None,
        True,
    ),
    (
        "FILTER",
        (_PLAIN, ("N", INT)),
        "Keeps a signal of X and blanks the N bars after it",
        _filter,
        "Where X is a signal (neither 0 nor missing) it is kept, with its value, and the N "
        "bars after it read 0 (a signal among them is dropped); other bars keep X as it "
        "is. N = 0 blanks nothing.",
        "the language's FILTER(X, N) is vexa.FILTER(X, N + 1): the library's window of N "
        "bars holds the signal (so it blanks N - 1 bars); N = 2147483647 is "
        "vexa.FILTER(X, 0), which blanks to the end as well",
        (("least", 1, 0),),
        None,
        False,
    ),
    (
        "CURRBARSCOUNT",
        (),
        "Bars from each bar to the last, counting both (1 on the last)",
        _currbarscount,
        "n - i at bar i of n bars: 1 on the last bar, 2 on the one before, ... Looks "
        "ahead (it knows which bar is the last).",
        "the language's CURRBARSCOUNT is TOTALBARSCOUNT - vexa.CURRBARSCOUNT(X): the "
        "library's numbers the bars from 0 at the first, takes a series and does not look "
        "ahead (BARPOS - 1 is that number in the language)",
        (),
        "always",
        True,
    ),
    (
        "BARPOS",
        (),
        "Position of each bar, from 1 at the first",
        _barpos,
        "i + 1 at bar i: vexa.CURRBARSCOUNT(X) + 1.",
        "",
        (),
        None,
        True,
    ),
    (
        "ISUP",
        (),
        "1 where the bar closes above its open, else 0",
        _compare_close_open("gt"),
        "CLOSE > OPEN.",
        "",
        (),
        None,
        True,
    ),
    (
        "ISDOWN",
        (),
        "1 where the bar closes below its open, else 0",
        _compare_close_open("lt"),
        "CLOSE < OPEN.",
        "",
        (),
        None,
        True,
    ),
    (
        "ISEQUAL",
        (),
        "1 where the bar closes at its open, else 0",
        _compare_close_open("eq"),
        "CLOSE = OPEN.",
        "",
        (),
        None,
        True,
    ),
    (
        "DRAWNULL",
        (),
        "A missing value (not drawn)",
        _drawnull,
        "NaN, the missing value: IF(C > O, C, DRAWNULL) has no value where C <= O.",
        "",
        (),
        None,
        False,
    ),
    (
        "UPNDAY",
        (_PLAIN, ("M", INT)),
        "1 where X rose on each of the last M bars",
        _upnday,
        "EVERY(X > REF(X, 1), M): X above its previous value on each of the last M bars "
        "(missing at the first M - 1 bars, as EVERY).",
        "",
        (("least", 1, 1),),
        None,
        True,
    ),
    (
        "DOWNNDAY",
        (_PLAIN, ("M", INT)),
        "1 where X fell on each of the last M bars",
        _downnday,
        "EVERY(X < REF(X, 1), M).",
        "",
        (("least", 1, 1),),
        None,
        True,
    ),
    (
        "NDAY",
        (_PLAIN, ("Y", SERIES), ("N", INT)),
        "1 where X was above Y on each of the last N bars",
        _nday,
        "EVERY(X > Y, N).",
        "",
        (("least", 2, 1),),
        None,
        True,
    ),
    (
        "FILTERX",
        (_PLAIN, ("N", INT)),
        "Keeps a signal of X and blanks the N bars before it, from the last bar back",
        _filterx,
        "FILTER run from the last bar back: REVERSE_BARS(vexa.FILTER(REVERSE_BARS(X), N + "
        "1)), where REVERSE_BARS puts the bars in the opposite order. Looks ahead.",
        "",
        (("least", 1, 0),),
        "always",
        False,
    ),
    (
        "BACKSET",
        (_COND, ("N", INT)),
        "1 on a bar where X holds and the N - 1 bars before it",
        _backset,
        "1 where X holds at this bar or at one of the N - 1 bars after it, else 0: "
        "REVERSE_BARS(BETWEEN(vexa.BARSLAST(REVERSE_BARS(X)), 1, N)). Looks ahead.",
        "",
        (("least", 1, 1),),
        "always",
        True,
    ),
    (
        "EXPMEMA",
        (_PLAIN, ("N", INT)),
        "Exponential moving average of X that starts from MA(X, N)",
        _expmema,
        "EMA started from a smoothed value: missing until MA(X, N) has one, that value "
        "there, then EMA's recursion over X: EMA(Z, N) with Z = MA(X, N) on MA's first "
        "bar, X after it, missing before.",
        "",
        (("least", 1, 1),),
        None,
        False,
    ),
]
_CALENDAR_DOCS = [
    (
        "DATE",
        "Date of the bar as (year - 1900) * 10000 + month * 100 + day",
        "1240102 for 2024-01-02, 991231 for 1999-12-31: YYMMDD + 1000000 from 2000 on.",
    ),
    ("YEAR", "Year of the bar", "2024 for 2024-01-02."),
    ("MONTH", "Month of the bar, 1 to 12", "1 for 2024-01-02."),
    ("DAY", "Day of the month of the bar, 1 to 31", "2 for 2024-01-02."),
    (
        "WEEKDAY",
        "Day of the week of the bar, 0 (Sunday) to 6 (Saturday)",
        "1 for Monday ... 5 for Friday.",
    ),
    (
        "TIME",
        "Time of day of the bar as hour * 10000 + minute * 100 + second",
        "143000 for 14:30:00 (HHMMSS); 0 for daily bars stamped at midnight.",
    ),
    ("HOUR", "Hour of the bar, 0 to 23", "14 for 14:30:00."),
    ("MINUTE", "Minute of the bar, 0 to 59", "30 for 14:30:00."),
]
for _name, _summary, _example in _CALENDAR_DOCS:
    _MAPPED.append(
        (
            _name,
            (),
            _summary,
            _calendar_of(_name),
            f"From the bars' times (the time column, read as wall-clock time; seconds "
            f"truncated to whole seconds), as the terminals encode it: {_example} Missing "
            "where the bar's time is unknown.",
            "",
            (),
            None,
            True,
        )
    )

# Values of number parameters that make no sense in the language, beyond what the
# table's kernels refuse: (function, parameter) -> the least whole value.
LEAST = {
    ("EMA", "N"): 1,
    ("SMA", "N"): 1,
    ("SMA", "M"): 1,
}
# Other rules, by function: ("le", i, j): parameter i <= parameter j; ("last", a, b):
# a = 0 or a >= b; ("positive", i): a finite number above 0; ("choice", i, values);
# ("percents", i, j): 0 < parameter i <= parameter j <= 100.
RULES = {
    "SMA": (("le", 2, 1),),
    "LAST": (("last", 1, 2),),
    "ZIG": (("positive", 1),),
    "PEAK": (("positive", 1),),
    "TROUGH": (("positive", 1),),
    "PEAKBARS": (("positive", 1),),
    "TROUGHBARS": (("positive", 1),),
    "TFILTER": (("choice", 2, (0, 1, 2)),),
    "XMA": (("least", 1, 1),),
    "SAR": (("percents", 3, 4),),
}


def check_rules(func):
    """The rules on the number parameters of `func`: ("least", i, least) for every
    integer parameter (the table's least, or the language's where it asks more), the
    function's own rules, and ("finite", i) for every real one."""
    rules = _RULES_OF.get(func.name)
    if rules is None or rules[0] is not func:
        rules = _RULES_OF[func.name] = (func, _check_rules(func))
    return rules[1]


_RULES_OF = {}


def _check_rules(func):
    rules = []
    if func.kind == "table":
        for i, p in enumerate(func.row.params):
            if p.kind == INT:
                least = max(p.least, LEAST.get((func.name, p.name), p.least))
                rules.append(("least", i, least))
    rules.extend(func.checks)
    rules.extend(RULES.get(func.name, ()))
    for i, (_, kind) in enumerate(func.params):
        if kind == REAL:
            rules.append(("finite", i))
    return tuple(rules)


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


def _library():
    """{name: Func} of the table's rows, as the library defines them."""
    funcs = {}
    for row in table.ALL:
        params = tuple(
            (p.name, PRICE if row.name in _ZIG_FAMILY and i == 0 else p.kind)
            for i, p in enumerate(row.params)
        )
        funcs[row.name] = Func(
            row.name,
            params,
            row.summary,
            "table",
            ahead=row.ahead,
            row=row,
            definition=_ROW_DEFINITIONS.get(row.name, ""),
        )
    return funcs


def _param(p):
    return p if isinstance(p, tuple) else (p, SERIES)


def _build():
    funcs = dict(LIBRARY)
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
    for name, summary, fn in _TRIG:
        funcs[name] = Func(
            name,
            (("X", SERIES),),
            summary,
            "numpy",
            impl=_elementwise(fn),
            series_out=False,
            definition=f"numpy's {fn.__name__} (the platform's math library: within an ulp, "
            "not promised to the last bit across platforms); NaN outside its domain.",
        )
    for name, params, summary, impl, ahead, definition in _PANELWISE:
        params = tuple(_param(p) for p in params)
        funcs[name] = Func(
            name,
            params,
            summary,
            "numpy",
            ahead=ahead,
            impl=impl,
            bare=not params,
            definition=definition,
        )
    for name, params, summary, impl, definition, library, checks, ahead, nonneg in _MAPPED:
        funcs[name] = Func(
            name,
            params,
            summary,
            "mapped",
            ahead=ahead,
            impl=impl,
            bare=not params,
            definition=definition,
            library=library,
            checks=checks,
            nonneg=nonneg,
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
LIBRARY: dict[str, Func] = _library()
FUNCTIONS: dict[str, Func] = _build()
INPUTS = (*FIELDS, "TIME")  # TIME: the bars' times, for DATE and the clock functions

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


def attribute(name, numbers=None):
    """The meaning of a drawing attribute: ("color", "#rrggbb"), ("width", k),
    ("style", s), ("nodraw", True) or ("ignored", NAME); None when unknown. `numbers`:
    the numbers in parentheses after the name (RGB(255,0,0)), or None; a ValueError says
    what is wrong with them."""
    upper = fold(name)
    if numbers is not None:
        if upper != "RGB":
            return None
        if len(numbers) != 3 or not all(v.is_integer() and 0 <= v <= 255 for v in numbers):
            raise ValueError("RGB takes three whole numbers from 0 to 255: RGB(red,green,blue)")
        return ("color", "#" + "".join(f"{int(v):02x}" for v in numbers))
    if upper in COLORS:
        return ("color", COLORS[upper])
    if upper.startswith("COLOR") and len(upper) == 11:
        hexa = upper[5:]
        if all(c in "0123456789ABCDEF" for c in hexa):
            # The language writes blue, green, red.
            return ("color", "#" + (hexa[4:6] + hexa[2:4] + hexa[0:2]).lower())
    if upper.startswith("LINETHICK") and len(upper) == 10 and upper[9] in "0123456789":
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
    + ("NODRAW", "COLORxxxxxx", "RGB", "LINETHICK1", "LINETHICK2", "LINETHICK3")
    + IGNORED_ATTRIBUTES
)
