"""The terminals' functions that are chains of library calls (BARSLAST, FILTER,
CURRBARSCOUNT, BARPOS, UPNDAY, EXPMEMA, the calendar, ...): each builds its nodes from the
table's functions, the operators and the helpers of numpy_functions.py, so that a formula
stays a chain of direct calls. Where a name means something else in the terminals' manuals
than the library function of that name, `library` says how the two relate. A builder
gets the compiler's Builder (`b.call` a table function as the library defines it, `b.fn`
a function of the language, `b.np` a numpy helper, `b.op` an operator, `b.num`,
`b.field`) and the argument nodes.
"""

from __future__ import annotations

import math

from .fields import TIME_FIELD
from .func import COND, INT, SERIES, Func
from .numpy_functions import (
    CALENDAR,
    COUNT_FROM_ZERO,
    EMA_WEIGHT,
    FILTER_WINDOW,
    REVERSE_BARS,
    SMA_WEIGHT,
)


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
        return b.np(CALENDAR[name], b.field(TIME_FIELD))

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

MAPPED = [
    Func(
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
    for name, params, summary, impl, definition, library, checks, ahead, nonneg in _MAPPED
]
