"""The language's functions computed over numpy: the element-wise ones (each exact IEEE
arithmetic per element, or the platform's math library where it says so), the ones that
take a symbol's whole series (BARSCOUNT, XMA, TFILTER, ...), and the hidden helpers that
the terminals' chains of library calls use (chains.py). Each is a `Func` of category
"numpy" whose `impl(block, *values)` gets the panel's shape in `block` (None when folding
numbers) and the arguments' numpy values.
"""

from __future__ import annotations

import math

import numpy as np

from .errors import FormulaError, number
from .func import COND, INT, REAL, SERIES, Func
from .ops import truth


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
            f"EMA's N = {number(_first(n, bad))} (read per bar): a period must be a whole "
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
                f"SMA's {what} = {number(_first(n if what == 'N' else m, bad))} (read per "
                "bar): it must be a whole number of 1 or more within the 32-bit range"
            )
    bad = tm > tn
    if np.any(bad):
        raise FormulaError(
            f"SMA's M = {number(_first(tm, bad))} is larger than its N = "
            f"{number(_first(tn, bad))} (read per bar): M is the new bar's weight out of N"
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
    # name, params, summary, implementation, definition, never negative
    ("ABS", ("X",), "Absolute value of X", _elementwise(np.abs), "|X|; NaN stays NaN.", True),
    (
        "MAX",
        ("A", "B"),
        "The larger of A and B at each bar",
        _max,
        "B where B > A, else A (A when equal); NaN when either is NaN.",
        False,
    ),
    (
        "MIN",
        ("A", "B"),
        "The smaller of A and B at each bar",
        _min,
        "B where B < A, else A (A when equal); NaN when either is NaN.",
        False,
    ),
    (
        "SQRT",
        ("X",),
        "Square root of X",
        _elementwise(np.sqrt),
        "IEEE square root (correctly rounded); NaN for X < 0.",
        True,
    ),
    (
        "POW",
        ("A", "B"),
        "A to the power B",
        _elementwise(np.power),
        "numpy's power (the platform's pow: within an ulp, not promised to the last bit "
        "across platforms).",
        False,
    ),
    (
        "EXP",
        ("X",),
        "e to the power X",
        _elementwise(np.exp),
        "numpy's exp (the platform's math library).",
        True,
    ),
    (
        "LN",
        ("X",),
        "Natural logarithm of X",
        _elementwise(np.log),
        "numpy's log (the platform's math library); NaN for X < 0, -inf for 0.",
        False,
    ),
    (
        "LOG",
        ("X",),
        "Logarithm of X to base 10",
        _elementwise(np.log10),
        "numpy's log10 (the platform's math library).",
        False,
    ),
    (
        "SIGN",
        ("X",),
        "1, -1 or 0 by the sign of X",
        _sign,
        "1 for X > 0, -1 for X < 0, 0 for either zero, NaN for NaN.",
        False,
    ),
    ("CEILING", ("X",), "Smallest integer not below X", _elementwise(np.ceil), "IEEE ceil.", False),
    ("FLOOR", ("X",), "Largest integer not above X", _elementwise(np.floor), "IEEE floor.", False),
    (
        "INTPART",
        ("X",),
        "Integer part of X (toward zero)",
        _elementwise(np.trunc),
        "X truncated toward zero.",
        False,
    ),
    (
        "FRACPART",
        ("X",),
        "Fractional part of X",
        _elementwise(lambda x: x - np.trunc(x)),
        "X - INTPART(X) (exact; keeps the sign of X).",
        False,
    ),
    (
        "ROUND",
        ("X",),
        "X rounded to the nearest integer",
        _round,
        "Nearest integer, halves away from zero (ROUND(2.5) = 3, ROUND(-2.5) = -3); one "
        "argument, no digits.",
        False,
    ),
    (
        "MOD",
        ("A", "B"),
        "Remainder of A divided by B",
        _elementwise(np.fmod),
        "A - B * trunc(A / B) computed exactly (C's fmod): the sign of A; NaN for B = 0.",
        False,
    ),
    ("REVERSE", ("X",), "X with its sign reversed", _elementwise(np.negative), "-X.", False),
    (
        "BETWEEN",
        ("A", "B", "C"),
        "1 where A lies between B and C, ends included",
        _between,
        "1 where B <= A <= C or C <= A <= B (either order, both ends included), else 0.",
        True,
    ),
    (
        "RANGE",
        ("A", "B", "C"),
        "1 where A lies strictly between B and C",
        _range,
        "1 where B < A < C (strict, in this order), else 0.",
        True,
    ),
    (
        "NOT",
        ("X",),
        "1 where X is false (0 or missing), else 0",
        _not,
        "1 where X is 0 or NaN, else 0.",
        True,
    ),
]

_PER_SYMBOL = [
    # name, params (names, or (name, kind)), summary, implementation, ahead, definition,
    # never negative
    (
        "BARSCOUNT",
        ("X",),
        "Bars from the first bar where X has a value, counting that bar as 1",
        _barscount,
        None,
        "NaN before the first bar where X is not NaN, then 1, 2, 3, ...",
        True,
    ),
    (
        "TOTALBARSCOUNT",
        (),
        "Number of bars of the symbol, at every bar",
        _totalbarscount,
        "always",
        "The count of all bars, later ones included (so it looks ahead).",
        True,
    ),
    (
        "ISLASTBAR",
        (),
        "1 at the last bar, else 0",
        _islastbar,
        "always",
        "1 at the symbol's last bar, 0 elsewhere (it knows which bar is last: looks ahead).",
        True,
    ),
    (
        "CONST",
        ("X",),
        "The last bar's value of X, at every bar",
        _const,
        "always",
        "X at the last bar, repeated at every bar (looks ahead).",
        False,
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
        False,
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
        False,
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
        True,
    ),
]


def _param(p):
    return p if isinstance(p, tuple) else (p, SERIES)


ELEMENTWISE = [
    Func(
        name,
        tuple((p, SERIES) for p in params),
        summary,
        "numpy",
        impl=impl,
        elementwise=True,
        definition=definition,
        nonneg=nonneg,
    )
    for name, params, summary, impl, definition, nonneg in _ELEMENTWISE
] + [
    Func(
        name,
        (("X", SERIES),),
        summary,
        "numpy",
        impl=_elementwise(fn),
        elementwise=True,
        definition=f"numpy's {fn.__name__} (the platform's math library: within an ulp, "
        "not promised to the last bit across platforms); NaN outside its domain.",
    )
    for name, summary, fn in _TRIG
]

PER_SYMBOL = [
    Func(
        name,
        tuple(_param(p) for p in params),
        summary,
        "numpy",
        ahead=ahead,
        impl=impl,
        bare=not params,
        definition=definition,
        nonneg=nonneg,
    )
    for name, params, summary, impl, ahead, definition, nonneg in _PER_SYMBOL
]


# ---- hidden helpers of the terminals' chains (no names of the language) ---------------


def _hidden(name, params, impl, elementwise=True, ahead=None):
    return Func(
        name,
        tuple((p, SERIES) for p in params),
        "",
        "numpy",
        ahead=ahead,
        impl=impl,
        elementwise=elementwise,
    )


COUNT_FROM_ZERO = _hidden("COUNT_FROM_ZERO", ("X",), _count_from_zero)
FILTER_WINDOW = _hidden("FILTER_WINDOW", ("N",), _filter_window)
REVERSE_BARS = _hidden("REVERSE_BARS", ("X",), _reverse_bars, elementwise=False, ahead="always")
EMA_WEIGHT = _hidden("EMA_WEIGHT", ("N",), _ema_weight)
SMA_WEIGHT = _hidden("SMA_WEIGHT", ("N", "M"), _sma_weight)
CALENDAR = {
    name: _hidden(name, ("T",), _calendar_part(name.lower()))
    for name in ("DATE", "YEAR", "MONTH", "DAY", "WEEKDAY", "TIME", "HOUR", "MINUTE")
}
