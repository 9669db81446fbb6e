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

from .columns import container, norm
from .dates import date_match
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
from .order import _sort_key

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
