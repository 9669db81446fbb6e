"""Screens: the symbols of a long table whose output `when` is true at their latest bar
(or at their bar at one date), with every output's value there, ranked by an output.

    f = vexa.Formula("DIF:EMA(C,12)-EMA(C,26); DEA:EMA(DIF,9); BUY:CROSS(DIF,DEA);")
    f.screen(prices, by="symbol", when="BUY", sort="DIF")

The table is read and evaluated as a call reads and evaluates it (the same reader, the
same blocks of symbols, the same values); of each block only the picked bar of each
symbol is kept. A value is true as the language's conditions read it (non-zero, not
missing). The rows are in the order of the `sort` output (a missing value last, whatever
the direction), ties and an unsorted screen in the order of the symbols.

A date is read as the time column's own values are: text as that column's text is
parsed (with its time_format), a datetime or date as the instant it is, a number as the
column's numbers. Where a date cannot be compared with the column (a time with a UTC
offset against times without one, a number against datetimes) the screen refuses it and
says what to pass.
"""

from __future__ import annotations

import datetime as _dt

import numpy as np

from .._wrap import package_of
from .columns import container, norm
from .errors import (
    DataError,
    DataWarning,
    FormulaError,
    MissingDataWarning,
    arg,
    quote,
    quote_list,
)
from .fields import PRICE_FIELDS, SYMBOL_NAMES, TIME_FIELD
from .lexer import fold
from .ops import truth
from .tables import _sort_key
from .times import EPOCH_UNITS, _datetime_ns, _one

_NS = 10**9
DEFAULT_BY = "symbol"
SHOWN = 3  # symbols named in a message


# ---- the request ------------------------------------------------------------------------


def output_named(outputs, name, what):
    """The output `name` names (compared as the language compares names), or None for
    None; a FormulaError naming the outputs for anything else."""
    if name is None:
        return None
    if isinstance(name, str):
        for o in outputs:
            if fold(o) == fold(name.strip()):
                return o
    everyone = "--all" if arg("when") == "--when" else "when=None"  # the command line's
    hint = f"; {everyone} keeps every symbol" if what == "when" else ""
    raise FormulaError(
        f"{arg(what, name) if isinstance(name, str) else arg(what) + ' ' + quote(name)} is not "
        f"an output of the formula (its outputs: {', '.join(outputs) or 'none'}){hint}"
    )


def check_top(top):
    if top is None:
        return None
    if isinstance(top, (bool, np.bool_)) or not isinstance(top, (int, np.integer)) or top < 1:
        raise ValueError(f"{arg('top')} takes a positive whole number of rows, not {quote(top)}")
    return int(top)


def check_date(date):
    """Refuses what cannot be a date before anything is read."""
    if date is None or isinstance(date, (str, _dt.date, np.datetime64)):
        return
    if isinstance(date, (bool, np.bool_)):
        raise TypeError(f"{arg('date')} takes a date, not {quote(date)}")
    if isinstance(date, (int, float, np.integer, np.floating)):
        if date != date:
            raise ValueError(f"{arg('date')} is NaN, not a date")
        return
    if hasattr(date, "to_pydatetime"):  # a pandas Timestamp (NaT included)
        return
    raise TypeError(
        f"{arg('date')} takes a date: text written as the time column writes it, a "
        f"datetime or date, or a number like the column's; not {type(date).__name__}"
    )


def symbol_column(data, by):
    """(the symbol column, a note or None). The default `symbol`, or None, finds the one
    column named like a symbol column (symbol, code, ticker, ts_code, 代码, ...)."""
    names = list(data.columns)
    if by is not None and by in names:
        return by, None
    if by is not None and by != DEFAULT_BY:
        raise DataError(f"no column {quote(by)} to group by (columns: {quote_list(names)})")
    hits = [c for c in names if norm(c) in SYMBOL_NAMES]
    if len(hits) > 1:
        raise DataError(
            f"several columns name symbols ({quote_list(hits)}): choose one with "
            f"{arg('by', hits[0])}"
        )
    if not hits:
        raise DataError(
            "a screen needs the symbol column of a long table: none is named like one "
            f"({', '.join(SYMBOL_NAMES)}; columns: {quote_list(names)}); name it with "
            f"{arg('by')}"
        )
    found = hits[0]
    if norm(found) == DEFAULT_BY:
        return found, None
    return found, f"the symbols are those of column {quote(found)}, as with {arg('by', found)}"


# ---- a date as the time column reads it -----------------------------------------------------


class DateMatch:
    """Where a date falls among a table's times: `keys` (one per row of the table) equal
    `value` at the rows at that date (`value` None when no row can be: a time finer than
    the column's unit); `near` locates the date among the keys for messages."""

    def __init__(self, times, keys, value, near):
        self.times, self.keys, self.value, self.near = times, keys, value, near

    def at(self):
        """True at the rows at the date (one per row of the table)."""
        if self.value is None:
            return np.zeros(len(self.keys), dtype=bool)
        return self.keys == self.value

    def not_found(self, date):
        """The error for a date at which no symbol has a bar, with the bars around it."""
        keys, near = self.keys, self.near
        around = []
        with np.errstate(invalid="ignore"):
            before, after = keys < near, keys > near
        if before.any():
            k = np.flatnonzero(before)[np.argmax(keys[before])]
            around.append(f"the latest before it is at {quote(self.times.label(k))}")
        if after.any():
            k = np.flatnonzero(after)[np.argmin(keys[after])]
            around.append(f"the first after it at {quote(self.times.label(k))}")
        said = f" ({'; '.join(around)})" if around else ""
        return DataError(
            f"no symbol has a bar at {arg('date', date)} in {self.times.what}{said}: pass "
            "the time of a bar, written as the column writes it"
        )


def date_match(times, date, time_format):
    """The DateMatch of `date` among `times` (the table's Times, `time_format` as given
    for reading them)."""
    raw = times.raw
    kind = _kind_of(raw, time_format)
    what = f"{arg('date', date) if isinstance(date, str) else arg('date')}"
    if kind == "number":
        number = _as_number(date)
        if number is not None:
            return DateMatch(times, times.key, number, number)
        try:
            times.wall()
        except DataError:
            raise DataError(
                f"{times.what} holds numbers that are not dates written as YYYYMMDD: give "
                f"{arg('date')} as one of its numbers, or the unit of epoch numbers with "
                f"{arg('time_format', 's')} (or ms, us, ns)"
            ) from None
        ns, offset = _instant(date, what, None, times)
        _same_zone(times, offset, False)
        wide = len(times.key) and np.max(times.key) >= 10**13
        value = _compact(ns, 14 if wide else 8)
        return DateMatch(times, times.key, value, value if value is not None else _compact_near(ns))
    if kind == "epoch":
        number = _as_number(date)
        if number is not None:
            return DateMatch(times, times.key, number, number)
        ns, offset = _instant(date, what, None, times)
        utc = ns - (offset or 0) * _NS
        tick = _NS // EPOCH_UNITS[time_format]
        return DateMatch(times, times.key, utc // tick if utc % tick == 0 else None, utc / tick)
    if kind == "text":
        if isinstance(date, (int, np.integer)) and not isinstance(date, (bool, np.bool_)):
            date = str(int(date))  # compact dates stored as text, 20240102
        ns, offset = _instant(date, what, time_format, times)
        first = raw.iloc[0] if hasattr(raw, "iloc") else raw[0]
        if isinstance(first, (int, float, np.integer, np.floating)):
            first = str(int(first))  # numbers read with strftime codes, as the column is
        first = _one(first, times.what, time_format, [])
        zoned = first is not None and first[1] is not None
        _same_zone(times, offset, zoned)
        value = ns - offset * _NS if zoned else ns
        return DateMatch(times, times.key, value, value)
    # datetimes, with a zone or without
    if _as_number(date) is not None:
        raise DataError(
            f"{times.what} holds datetimes: give {arg('date')} as a date or time (text such "
            f"as '2024-01-02', a datetime or date), not the number {quote(date)}"
        )
    ns, offset = _instant(date, what, None, times)
    unit, count = np.datetime_data(_datetime_dtype(raw))
    size = _UNIT_NS[unit] * count
    if kind == "datetime":
        _same_zone(times, offset, False)
        keys = times.key
    elif offset is not None:  # an instant: compared with the column's instants
        ns -= offset * _NS
        keys = times.key
    else:  # a wall-clock time in the column's own zone
        keys = _local_keys(raw)
    return DateMatch(times, keys, ns // size if ns % size == 0 else None, ns / size)


_UNIT_NS = {
    "W": 7 * 86400 * _NS,
    "D": 86400 * _NS,
    "h": 3600 * _NS,
    "m": 60 * _NS,
    "s": _NS,
    "ms": 10**6,
    "us": 10**3,
    "ns": 1,
}


def _kind_of(raw, time_format):
    """How a time column's values make their keys: "datetime" (instants in the column's
    unit), "zoned" (datetimes with a time zone: UTC instants), "number" (the numbers
    themselves), "epoch" (numbers of a unit since 1970), "text" (nanoseconds of the
    parsed text: also numbers read with strftime codes)."""
    top = package_of(raw)
    if top == "pandas":
        import pandas as pd

        dtype = raw.dtype
        if isinstance(dtype, pd.DatetimeTZDtype):
            return "zoned"
        if isinstance(dtype, np.dtype) and dtype.kind == "M":
            return "datetime"
        numeric = pd.api.types.is_numeric_dtype(dtype) and not isinstance(
            dtype, pd.CategoricalDtype
        )
    elif top == "polars":
        import polars as pl

        dtype = raw.dtype
        if dtype == pl.Datetime and getattr(dtype, "time_zone", None):
            return "zoned"
        if dtype.is_temporal():
            return "datetime"
        numeric = dtype.is_numeric() or dtype == pl.Boolean
    else:
        kind = np.asarray(raw).dtype.kind
        if kind == "M":
            return "datetime"
        numeric = kind in "iuf"
    if not numeric:
        return "text"
    if time_format is None:
        return "number"
    return "epoch" if time_format in EPOCH_UNITS else "text"


def _datetime_dtype(raw):
    top = package_of(raw)
    if top == "polars":
        unit = getattr(raw.dtype, "time_unit", None)
        return np.dtype(f"datetime64[{unit}]" if unit else "datetime64[D]")  # Date: days
    if top == "pandas":
        dtype = raw.dtype
        unit = getattr(dtype, "unit", None)  # with a time zone
        return np.dtype(f"datetime64[{unit}]") if unit else dtype
    return np.asarray(raw).dtype


def _local_keys(raw):
    """The wall-clock times of datetimes with a zone, as int64 in their unit."""
    if package_of(raw) == "polars":
        local = raw.dt.replace_time_zone(None).to_numpy()
    elif hasattr(raw, "dt"):
        local = raw.dt.tz_localize(None).to_numpy()
    else:
        local = raw.tz_localize(None).to_numpy()
    return np.ascontiguousarray(local).view(np.int64)


def _as_number(date):
    """A date given as a number (or as the text of one), else None."""
    if isinstance(date, (bool, np.bool_)):
        return None
    if isinstance(date, (int, np.integer)):
        return int(date)
    if isinstance(date, (float, np.floating)):
        return float(date)
    if isinstance(date, str):
        text = date.strip()
        try:
            return int(text)
        except ValueError:
            pass
        try:
            value = float(text)
        except ValueError:
            return None
        return value if value == value else None
    return None


def _instant(date, what, time_format, times):
    """(wall-clock nanoseconds since 1970, UTC offset in seconds or None) of a date."""
    if hasattr(date, "to_pydatetime") and hasattr(date, "tz_localize"):  # pandas Timestamp
        if date != date:
            raise ValueError(f"{arg('date')} is NaT, not a date")
        offset = date.utcoffset()
        wall = date.tz_localize(None) if offset is not None else date
        return int(wall.as_unit("ns").value), (
            None if offset is None else int(offset.total_seconds())
        )
    if isinstance(date, np.datetime64):
        if np.isnat(date):
            raise ValueError(f"{arg('date')} is NaT, not a date")
        return int(date.astype("datetime64[ns]").view(np.int64)), None
    if isinstance(date, _dt.date):
        return _datetime_ns(date)
    if isinstance(date, str):
        either = []
        got = _one(date, what, time_format, either)
        if either:
            raise DataError(
                f"{arg('date', date)} reads as month/day or as day/month: write it as "
                f"{times.what} writes its times ({quote(times.label(0))})"
            )
        return got
    raise DataError(
        f"{arg('date')} {quote(date)} is not a date (text written as the time column "
        "writes it, a datetime or date)"
    )


def _same_zone(times, offset, zoned):
    if zoned and offset is None:
        raise DataError(
            f"{times.what} holds times with a UTC offset: give {arg('date')} with one too "
            "(such as '2024-01-02 09:30+08:00')"
        )
    if offset is not None and not zoned:
        raise DataError(
            f"{times.what} holds times without a UTC offset or zone: give {arg('date')} without one"
        )


def _compact(ns, width):
    """The YYYYMMDD (width 8) or YYYYMMDDhhmmss (14) number of a wall-clock time, None
    when the time has a part the form cannot hold."""
    micros, rest = divmod(ns, 1000)
    t = _dt.datetime(1970, 1, 1) + _dt.timedelta(microseconds=micros)
    day = t.year * 10_000 + t.month * 100 + t.day
    if rest or t.microsecond:
        return None
    if width == 8:
        return day if (t.hour, t.minute, t.second) == (0, 0, 0) else None
    return day * 1_000_000 + t.hour * 10_000 + t.minute * 100 + t.second


def _compact_near(ns):
    t = _dt.datetime(1970, 1, 1) + _dt.timedelta(microseconds=ns // 1000)
    return float(t.year * 10_000 + t.month * 100 + t.day)


# ---- picking the bars ---------------------------------------------------------------------


class Pick:
    """Collects, block by block, each symbol's latest bar (or its bar at `date`): the
    rows of the caller's table and every output's value there."""

    def __init__(self, date, time_format):
        self.date, self.time_format = date, time_format
        self.match = None
        self.rows, self.values = [], []

    def start(self, table):
        self.table = table
        if self.date is not None and table.nrows:
            self.match = date_match(table.times, self.date, self.time_format)
            self.at = self.match.at()

    def take(self, n, rows, out):
        if self.date is None:
            self.rows.append(rows[-1])
            # Copies: a view would keep each block's whole panels alive.
            self.values.append({k: v[-1].copy() for k, v in out.items()})
            return
        bar, col = np.nonzero(self.at[rows])  # few: at most one a symbol
        if not len(col):
            return
        twice = np.flatnonzero(np.bincount(col) > 1)
        if twice.size:  # a wall-clock time that a change of clocks made twice
            raise DataError(
                f"symbol {quote(self.table.symbol_of(rows[0, twice[0]]))} has two bars at "
                f"{arg('date', self.date)} (clocks changed): give {arg('date')} with its "
                "UTC offset"
            )
        self.rows.append(rows[bar, col])
        self.values.append({k: v[bar, col] for k, v in out.items()})

    def picked(self, outputs):
        """(rows of the caller's table, {output: values}), one per symbol picked."""
        if not self.rows:
            return np.zeros(0, dtype=np.int64), {o: np.zeros(0) for o in outputs}
        rows = np.concatenate(self.rows)
        return rows, {o: np.concatenate([v[o] for v in self.values]) for o in outputs}


# ---- the screen ---------------------------------------------------------------------------


def screen(
    formula,
    data,
    *,
    by,
    when,
    date,
    sort,
    descending,
    top,
    time,
    time_format,
    columns,
    fill,
    progress,
    params,
    overrides,
):
    """(the screen in the caller's kind, [(warning category or None, message)])."""
    outputs = formula.outputs
    when = output_named(outputs, when, "when")
    sort = output_named(outputs, sort, "sort")
    top = check_top(top)
    check_date(date)
    holder = container(data)
    if holder not in ("pandas", "polars") or type(data).__name__ == "LazyFrame":
        kind = type(data).__name__
        raise DataError(
            "a screen takes a long table of bars (a pandas or polars DataFrame with a "
            f"symbol column), not {'a mapping' if holder == 'mapping' else kind}"
            + ("; collect() it first" if kind == "LazyFrame" else "")
        )
    by, note = symbol_column(data, by)
    notes = [] if note is None else [(DataWarning, note)]
    pick = Pick(date, time_format)
    _, table, read_notes = formula._apply(
        data, by, time, time_format, columns, fill, progress, params, overrides, pick=pick
    )
    notes += read_notes
    rows, values = pick.picked(outputs)
    if date is not None and not len(rows) and table.symbols:
        raise pick.match.not_found(date)
    tname = _time_name(table)
    for o in outputs:
        if o in (by, tname):
            raise DataError(
                f"the output {o} has the name of the {'symbol' if o == by else 'time'} "
                "column: the screen's table would hold two columns of that name"
            )
    notes += _missing_at(table, rows, fill, outputs)
    base = _base(table, holder, by, tname, rows)
    times = table.times
    stale = None
    if date is None and len(rows):
        stale = (times.key[rows], lambda i: times.label(rows[i]))
    result, more = finish(base, holder, by, tname, values, when, sort, descending, top, stale)
    return result, notes + more


def _missing_at(table, rows, fill, outputs):
    """The warning for symbols whose picked bar misses a value of a field the formula
    reads (not forward-filled): their outputs there are missing, so a screen leaves them
    out or ranks them last, which the caller should know."""
    fields = [
        f for f in table.columns if f != TIME_FIELD and not (fill == "ffill" and f in PRICE_FIELDS)
    ]
    if not len(rows) or not fields:
        return []
    miss = np.zeros(len(rows), dtype=bool)
    which = []
    for f in fields:
        hit = np.isnan(table.columns[f][rows])
        if hit.any():
            miss |= hit
            which.append(f)
    if not miss.any():
        return []
    picked = rows[miss]
    order = np.argsort(_sort_key(_column_at(table, picked), "the symbols"), kind="stable")
    shown = ", ".join(
        f"{quote(_plain(table.symbol_of(picked[i])))} at {quote(table.time_of(picked[i]))}"
        for i in order[:SHOWN].tolist()
    )
    more = f" and {len(picked) - SHOWN:,} more" if len(picked) > SHOWN else ""
    fix = ""
    if fill is None and any(f in PRICE_FIELDS for f in which):
        fix = f"; {arg('fill', 'ffill')} carries the last price forward"
    return [
        (
            MissingDataWarning,
            f"{len(picked):,} {'symbols miss' if len(picked) != 1 else 'symbol misses'} "
            f"{' and '.join(which)} at the bar screened ({shown}{more}): their outputs "
            f"there are missing, so the screen leaves them out or ranks them last{fix}",
        )
    ]


def _column_at(table, rows):
    col = table.data[table.by]
    return col.iloc[rows] if hasattr(col, "iloc") else col[rows]


def _time_name(table):
    if table.time is not None:
        return table.time
    name = getattr(table.data.index, "name", None)
    return name if isinstance(name, str) and name else "time"


def _base(table, holder, by, tname, rows):
    """The symbol and time of the picked rows, in the caller's kind and dtypes."""
    data = table.data
    if holder == "polars":
        return data.select(by, tname)[rows]
    import pandas as pd

    if table.time is not None:
        times = data[tname].iloc[rows].reset_index(drop=True)
    else:  # the index
        times = pd.Series(data.index[rows], name=tname)
    return pd.DataFrame({by: data[by].iloc[rows].reset_index(drop=True), tname: times})


def finish(base, holder, by, tname, values, when, sort, descending, top, stale=None):
    """The screen from the picked bars: `base` (the caller's kind) holds the symbol and
    time of each, `values` {output: float64 array} the outputs there; `stale`, for a
    screen at the latest bars, (a key of each bar's time, the label of bar i) says which
    are older than the newest. (table, [(warning category or None, message)])."""
    k = len(base)
    symbols = base[by]
    order = np.argsort(_sort_key(symbols, f"column {quote(by)}"), kind="stable") if k else []
    order = np.asarray(order, dtype=np.int64)
    if when is not None:
        order = order[truth(values[when][order])]
    if sort is not None and len(order):
        v = values[sort][order]
        missing = np.isnan(v)
        key = np.where(missing, 0.0, -v if descending else v)
        # Last key first: missing values last, then the value, ties in symbol order.
        order = order[np.lexsort((np.arange(len(order)), key, missing))]
    if top is not None:
        order = order[:top]
    notes = []
    if stale is not None and len(order):
        keys, label = stale
        newest = keys.max()
        old = order[keys[order] < newest]
        if len(old):
            latest = label(int(np.argmax(keys)))
            shown = ", ".join(
                f"{quote(_plain(_at(symbols, i)))} at {quote(label(i))}"
                for i in old[:SHOWN].tolist()
            )
            more = f" and {len(old) - SHOWN:,} more" if len(old) > SHOWN else ""
            notes.append(
                (
                    DataWarning,
                    f"{len(old):,} of the {len(order):,} symbols screened have no bar at the "
                    f"table's latest time {quote(latest)} ({shown}{more}): each is screened "
                    f"at its own latest bar, whose time column {quote(tname)} gives; "
                    f"{arg('date')} screens every symbol at one date",
                )
            )
    return _table(base, holder, order, values), notes


def _at(col, i):
    return col.iloc[i] if hasattr(col, "iloc") else col[i]


def _plain(v):
    return v.item() if isinstance(v, np.generic) else v


def _table(base, holder, order, values):
    if holder == "polars":
        import polars as pl

        out = base[order] if len(base) else base
        return out.with_columns(
            [pl.Series(name, v[order], dtype=pl.Float64) for name, v in values.items()]
        )
    out = base.iloc[order].reset_index(drop=True)
    for name, v in values.items():
        out[name] = v[order]
    return out
