"""Data in, results out: from the caller's tables to panels and back to the caller's kind.

Accepted: a pandas or polars DataFrame of one symbol, a long table of many symbols
(by="symbol"), a mapping of field name to 1-D array, or a mapping of field name to 2-D
panel (rows = bars, one column per symbol). This module decides, once, which column is
the time (read as times, never ordered as text), which is the symbol, which are the
fields, and the order of the bars; where it cannot tell, it refuses and says what to
pass. The caller's objects are never modified. Symbols of a long table are evaluated in
blocks of equal length, so that no symbol is padded: each symbol's result is its own
single-symbol run.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from .errors import DataError, arg, quote, quote_list
from .times import parse_times

# Column names read for each data field, compared without case and surrounding blanks.
COLUMN_NAMES = {
    "OPEN": ("open", "o", "开盘", "开盘价"),
    "HIGH": ("high", "h", "最高", "最高价"),
    "LOW": ("low", "l", "最低", "最低价"),
    "CLOSE": ("close", "c", "收盘", "收盘价"),
    "VOL": ("vol", "volume", "v", "成交量"),
    "AMOUNT": ("amount", "amo", "成交额", "成交金额"),
}
# Adjusted closes are another series than the close: read only when named (columns=).
ASKED_ONLY = ("adj close", "adj_close", "adjclose", "adj. close", "adjusted close")
TIME_NAMES = (
    "date",
    "datetime",
    "time",
    "timestamp",
    "trade_date",
    "trade_time",
    "日期",
    "时间",
    "交易日期",
    "交易时间",
)
SYMBOL_NAMES = ("symbol", "code", "ticker", "ts_code", "代码", "股票代码", "证券代码")
TIME_FIELD = "TIME"  # the bars' wall-clock times, seconds since 1970-01-01T00:00
PRICE_FIELDS = ("OPEN", "HIGH", "LOW", "CLOSE")
FILLS = ("ffill",)


def _norm(name):
    return name.strip().casefold() if isinstance(name, str) else None


def kind_of(data):
    """ "pandas", "polars", "mapping" or None."""
    mod = type(data).__module__.split(".")[0]
    if mod == "pandas" and hasattr(data, "columns"):
        return "pandas"
    if mod == "polars" and hasattr(data, "columns") and hasattr(data, "schema"):
        return "polars"
    if isinstance(data, Mapping):
        return "mapping"
    return None


def field_mapping(columns):
    """{field: column} of a columns= argument ({"CLOSE": "adj_close"}; the fields by
    any of their names in the language, any case). ValueError for anything else."""
    if columns is None:
        return {}
    if not isinstance(columns, Mapping):
        raise ValueError(
            "columns= takes a mapping of field to column name, such as "
            f"{{'CLOSE': 'adj_close'}}, not {type(columns).__name__}"
        )
    from .catalogue import FIELD_ALIASES

    out = {}
    for key, column in columns.items():
        field = FIELD_ALIASES.get(key.strip().upper()) if isinstance(key, str) else None
        if field is None:
            raise ValueError(
                f"columns=: {quote(key)} is not a data field (OPEN, HIGH, LOW, CLOSE, VOL, "
                "AMOUNT or their short names)"
            )
        if field in out and out[field] != column:
            raise ValueError(f"columns=: {field} is given twice")
        out[field] = column
    return out


def find_columns(names, fields, what="the data", mapping=None):
    """{field: column name} for each field in `fields` (the bars' times excepted): the
    column that `mapping` names, else the one column whose name is one of the field's."""
    names = list(names)
    mapping = mapping or {}
    by_norm = {}
    for name in names:
        if isinstance(name, str):
            by_norm.setdefault(_norm(name), []).append(name)
    found = {}
    for f in fields:
        if f == TIME_FIELD:
            continue
        if f in mapping:
            column = mapping[f]
            if column not in names:
                raise DataError(
                    f"{arg('columns', (f, column))}: {what} has no such column "
                    f"(columns: {quote_list(names)})"
                )
            found[f] = column
            continue
        hits = [c for alias in COLUMN_NAMES[f] for c in by_norm.get(alias, ())]
        if not hits:
            hint = ""
            asked = [c for a in ASKED_ONLY for c in by_norm.get(a, ())] if f == "CLOSE" else []
            if asked:
                how = arg("columns", (f, asked[0]))
                hint = f"; {quote(asked[0])} is read only when asked: {how}"
            raise DataError(
                f"{what} has no column for {f} (looked for {', '.join(COLUMN_NAMES[f])} in "
                f"any case; columns: {quote_list(names)}){hint or ''}; name one with "
                f"{arg('columns', (f, 'NAME'))}"
            )
        if len(hits) > 1:
            raise DataError(
                f"{what} has several columns for {f}: {quote_list(hits)}; choose one with "
                f"{arg('columns', (f, hits[0]))}"
            )
        found[f] = hits[0]
    return found


def as_float(values, name):
    """A column of numbers as a float64 array (a copy when it has to be converted):
    missing values (pandas NA, polars null, masked) read as NaN; times, durations,
    complex numbers, text and other objects are refused, as the functions refuse them."""
    from .._kinds import _package, unwrap

    mask = None
    if _package(values) is not None:
        arr = unwrap(values)
    elif isinstance(values, np.ma.MaskedArray):
        arr, mask = values.data, np.ma.getmaskarray(values)
    else:
        arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":
        raise DataError(
            f"column {quote(name)} has dtype {arr.dtype}: its values are not numbers "
            "(expected bool, integer or float values)"
        )
    arr = np.asarray(arr, dtype=np.float64)
    if mask is not None and mask.any():
        arr = np.where(mask, np.nan, arr)
    return arr


# ---- the time and the symbol of a table ----------------------------------------------

_INDEX = object()  # the time is the pandas index


def _find_time(data, kind, time, required_by):
    """(column name, or _INDEX, or None; its values) of a DataFrame's time."""
    names = list(data.columns)
    index = data.index if kind == "pandas" else None
    if time is not None:
        if time in names:
            return time, data[time]
        if index is not None and time is not None and index.name == time:
            return _INDEX, index
        raise DataError(f"no time column {quote(time)} (columns: {quote_list(names)})")
    hits = [c for c in names if _norm(c) in TIME_NAMES]
    if len(hits) > 1:
        raise DataError(
            f"several time columns ({quote_list(hits)}); choose one with {arg('time', hits[0])}"
        )
    on_index = index is not None and _is_time_index(index)
    if hits and on_index:
        # The index and a column both look like times: used when they agree.
        a = parse_times(data[hits[0]], f"time column {quote(hits[0])}").key
        b = parse_times(index, "the index").key
        if not np.array_equal(np.argsort(a, kind="stable"), np.argsort(b, kind="stable")):
            raise DataError(
                f"the index and the time column {quote(hits[0])} order the rows "
                f"differently: choose one with {arg('time')} (or drop one)"
            )
    if hits:
        return hits[0], data[hits[0]]
    if on_index:
        return _INDEX, index
    if required_by:
        raise DataError(
            f"no time column (looked for {', '.join(TIME_NAMES)} in any case; columns: "
            f"{quote_list(names)}); name it with {arg('time')}"
        )
    return None, None


def _is_time_index(index):
    kind = getattr(index.dtype, "kind", "")
    return kind == "M" or hasattr(index, "tz") or _norm(index.name) in TIME_NAMES


def implied_symbol(data):
    """The column of a DataFrame named like a symbol column (symbol, code, ticker, ...)
    that holds several symbols, or None; two such columns are refused."""
    hits = [c for c in data.columns if _norm(c) in SYMBOL_NAMES]
    several = [c for c in hits if _several(data[c])]
    if len(several) > 1:
        raise DataError(
            f"several columns name symbols ({quote_list(several)}): group by one with "
            f"{arg('by', several[0])}"
        )
    return several[0] if several else None


def _several(col):
    if len(col) < 2:
        return False
    if type(col).__module__.split(".")[0] == "polars":
        return col.n_unique() > 1
    return col.nunique(dropna=False) > 1


def _sort_key(col, what):
    """An array that orders like the symbol column `col` (a pandas or polars Series):
    its own numbers, else the ranks of its distinct values. Missing values and values
    that cannot be ordered are refused."""
    if type(col).__module__.split(".")[0] == "polars":
        if col.null_count():
            raise DataError(f"{what} has missing values")
        if col.dtype.is_numeric():
            return _numbers(col.to_numpy(), what)
        return col.rank("dense").to_numpy()  # text: ranks in byte order
    if isinstance(col.dtype, np.dtype) and col.dtype.kind in "iufbmM":
        return _numbers(col.to_numpy(), what)
    # Text and the other pandas types: codes by hashing (one pass, no comparison of
    # Python strings per row), then the few distinct values sorted.
    import pandas as pd

    codes, uniques = pd.factorize(col, use_na_sentinel=True)
    if (codes < 0).any():
        raise DataError(f"{what} has missing values")
    try:
        order = np.asarray(uniques, dtype=object).argsort(kind="stable")
    except TypeError:
        raise DataError(f"{what} mixes values that cannot be ordered") from None
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    return rank[codes]


def _numbers(values, what):
    if values.dtype.kind in "mM":
        if np.isnat(values).any():
            raise DataError(f"{what} has missing values")
        return values.view(np.int64)
    if values.dtype.kind == "f" and np.isnan(values).any():
        raise DataError(f"{what} has missing values")
    return values


def _value_at(col, i):
    v = col.iloc[int(i)] if hasattr(col, "iloc") else col[int(i)]
    return v.item() if isinstance(v, np.generic) else v


def _repeated(times, k, by=None, symbol=None):
    """The error for two rows of one symbol at one time (row k)."""
    where = f"{times.what} = {quote(times.label(k))}"
    if by is not None:
        return DataError(f"symbol {quote(symbol)} has two rows at {where}")
    return DataError(
        f"two rows at {where}: one symbol has one row per bar; a table of several symbols "
        f"is grouped with {arg('by')} naming their column"
    )


# ---- DataFrames: one symbol, or many ---------------------------------------------------


class Table:
    """The rows of a pandas or polars DataFrame as bars: one symbol (by None), or a long
    table of many, each symbol's rows in time order. `blocks`: [(n, rows)], rows an
    (n, k) int array of positions in the caller's table, k symbols of n bars each."""

    def __init__(self, data, kind, fields, *, by=None, time=None, time_format=None, columns=None):
        names = list(data.columns)
        if by is not None and by not in names:
            raise DataError(f"no column {quote(by)} to group by (columns: {quote_list(names)})")
        cols = find_columns(names, fields, mapping=columns)
        self.data, self.kind, self.by = data, kind, by
        levels = list(getattr(data.index, "names", ())) if kind == "pandas" else []
        if len(levels) > 1 and any(_norm(n) in TIME_NAMES + SYMBOL_NAMES for n in levels):
            raise DataError(
                f"the index has the levels {quote_list(levels)}: make them columns with "
                "reset_index() to have them read as symbols and times"
            )
        tcol, tvalues = _find_time(data, kind, time, by is not None)
        self.time = tcol if tcol is not _INDEX else None
        self.times = None
        if tvalues is not None:
            what = "the index" if tcol is _INDEX else f"time column {quote(tcol)}"
            self.times = parse_times(tvalues, what, time_format)
        elif time_format is not None:
            raise DataError(f"{arg('time_format')} goes with a time column, and there is none")
        nrows = len(data)
        self.nrows = nrows
        order, starts = self._order(nrows)
        lengths = np.diff(np.r_[starts, nrows])
        self.order = order
        self.columns = {f: as_float(data[c], c) for f, c in cols.items()}
        if TIME_FIELD in fields:
            if self.times is None:
                raise DataError(
                    "the formula reads the bars' times, but the data has no time column "
                    f"(looked for {', '.join(TIME_NAMES)} in any case, and a DatetimeIndex): "
                    f"name it with {arg('time')}"
                )
            self.columns[TIME_FIELD] = np.ascontiguousarray(self.times.wall(), dtype=np.float64)
        self.blocks = []
        for length in np.unique(lengths):
            group = starts[lengths == length]
            rows = order[group[None, :] + np.arange(length)[:, None]]
            self.blocks.append((int(length), rows))

    def _order(self, nrows):
        """(the rows in evaluation order, where each symbol starts in it)."""
        key = self.times.key if self.times is not None else None
        if self.by is None:
            starts = np.zeros(1 if nrows else 0, dtype=np.int64)
            self.in_order = key is None or nrows < 2 or bool((key[1:] > key[:-1]).all())
            if self.in_order:
                return np.arange(nrows), starts
            order = np.argsort(key, kind="stable")
            same = key[order][1:] == key[order][:-1]
            if same.any():
                raise _repeated(self.times, order[int(np.argmax(same))])
            return order, starts
        sym = self.data[self.by]
        sym_key = _sort_key(sym, f"column {quote(self.by)}")
        # A table stored symbol after symbol, each in time order, is used as it is.
        self.in_order = nrows < 2 or bool(
            (sym_key[1:] >= sym_key[:-1]).all()
            and ((sym_key[1:] != sym_key[:-1]) | (key[1:] > key[:-1])).all()
        )
        if self.in_order:
            order = np.arange(nrows)
            s_sorted = sym_key
        else:
            order = np.lexsort((key, sym_key))  # stable: by symbol, then by time
            s_sorted, t_sorted = sym_key[order], key[order]
            same = (s_sorted[1:] == s_sorted[:-1]) & (t_sorted[1:] == t_sorted[:-1])
            if same.any():
                k = order[int(np.argmax(same))]
                raise _repeated(self.times, k, self.by, _value_at(sym, k))
        starts = (
            np.flatnonzero(np.r_[True, s_sorted[1:] != s_sorted[:-1]])
            if nrows
            else np.zeros(0, dtype=np.int64)
        )
        return order, starts

    @property
    def symbols(self):
        return sum(rows.shape[1] for _, rows in self.blocks)

    def symbol_of(self, row):
        """The symbol of a row of the table (None for a table of one symbol)."""
        return None if self.by is None else _value_at(self.data[self.by], row)

    def time_of(self, row):
        """The time of a row as the caller wrote it, or None without times."""
        return None if self.times is None else self.times.label(row)

    def latest(self):
        """Positions of each symbol's latest bar in the caller's table, by symbol."""
        return np.sort(np.concatenate([rows[-1] for _, rows in self.blocks if len(rows)] or [[]]))

    def _span(self, n, rows):
        """The rows of the table that hold the symbols of `rows` one after another (a
        table in order), else None."""
        k = rows.shape[1]
        first = int(rows[0, 0]) if rows.size else 0
        if self.in_order and rows.size and int(rows[0, -1]) - first == n * (k - 1):
            return slice(first, first + n * k)
        return None

    def panels(self, n, rows):
        """The fields of the symbols of `rows` (n bars each) as (n, k) panels: views of
        the table's columns when it is in order, else gathered."""
        span = self._span(n, rows)
        if span is not None:
            k = rows.shape[1]
            return {f: col[span].reshape(k, n).T for f, col in self.columns.items()}
        return {f: col[rows] for f, col in self.columns.items()}

    def labels(self, rows):
        """(symbol of column j, time of bar i of column j) for messages."""
        return (
            lambda j: self.symbol_of(rows[0, j]),
            lambda i, j: self.time_of(rows[i, j]),
        )

    def store(self, full, n, rows, results):
        """Puts the results of the symbols of `rows` into `full` ({name: array of one
        value per row of the table})."""
        span = self._span(n, rows)
        k = rows.shape[1]
        for name, v in results.items():
            if span is not None:
                np.copyto(full[name][span].reshape(k, n).T, v)
            else:
                full[name][rows] = v

    def restore(self, full):
        """The caller's kind, row for row the caller's table: for a long table its
        symbol and time columns, then one column per output ({name: array of one value
        per row of the caller's table})."""
        names = list(full)
        keep = [c for c in (self.by, self.time) if c is not None] if self.by is not None else []
        if self.kind == "pandas":
            import pandas as pd

            columns = {c: self.data[c] for c in keep}
            columns.update((k, full[k]) for k in names)
            # The results are this call's own arrays: the frame takes them uncopied.
            return pd.DataFrame(columns, index=self.data.index, copy=False)
        import polars as pl

        series = [pl.Series(k, full[k]) for k in names]
        if not keep:
            return pl.DataFrame(series)
        return self.data.select(keep).with_columns(series)


# ---- mappings ---------------------------------------------------------------------------


class Mapped:
    """A mapping of field name to 1-D series (one symbol) or to 2-D panels (rows = bars,
    one column per symbol), with an optional time key (date, time, ...: 1-D) that orders
    the bars. panels: {field: (n, m)} in time order; restore(results) gives the caller's
    kind in the caller's row order."""

    def __init__(self, data, fields, *, time=None, time_format=None, columns=None):
        if not data:
            raise DataError("the mapping is empty")
        keys = list(data.keys())
        cols = find_columns(keys, fields, "the mapping", columns)
        first = data[next(iter(cols.values()))] if cols else next(iter(data.values()))
        ndim = np.ndim(first)
        if ndim not in (1, 2):
            raise DataError(f"mapping values must be 1-D series or 2-D panels, not {ndim}-D")
        panels, shape = {}, np.shape(first)
        for f, c in cols.items():
            a = as_float(data[c], c)
            if a.shape != shape:
                raise DataError(
                    f"{quote(c)}: shape {a.shape} differs from "
                    f"{quote(next(iter(cols.values())))}'s {shape}"
                )
            panels[f] = a.reshape(a.shape[0], 1) if ndim == 1 else a
        n = shape[0]
        self.n, self.m = n, 1 if ndim == 1 else shape[1]
        self.first, self.ndim = first, ndim
        self.masked = any(isinstance(data[c], np.ma.MaskedArray) for c in cols.values())
        self.times = None
        tkey = self._time_key(keys, time)
        if tkey is not None:
            self.times = parse_times(data[tkey], f"time {quote(tkey)}", time_format)
            if len(self.times.key) != n:
                raise DataError(
                    f"time {quote(tkey)} has {len(self.times.key):,} values for {n:,} bars"
                )
        elif time_format is not None:
            raise DataError(f"{arg('time_format')} goes with a time, and the mapping has none")
        self.order = None
        if self.times is not None and n > 1:
            key = self.times.key
            if not (key[1:] > key[:-1]).all():
                order = np.argsort(key, kind="stable")
                same = key[order][1:] == key[order][:-1]
                if same.any():
                    raise _repeated(self.times, order[int(np.argmax(same))])
                self.order = order
                panels = {f: p[order] for f, p in panels.items()}
        if TIME_FIELD in fields:
            if self.times is None:
                raise DataError(
                    "the formula reads the bars' times, but the mapping has no time (a key "
                    f"named {', '.join(TIME_NAMES[:4])}, ...): name it with {arg('time')}"
                )
            wall = self.times.wall() if self.order is None else self.times.wall()[self.order]
            panels[TIME_FIELD] = np.broadcast_to(
                np.asarray(wall, dtype=np.float64)[:, None], (n, self.m)
            )
        self.panels = panels

    @staticmethod
    def _time_key(keys, time):
        if time is not None:
            if time not in keys:
                raise DataError(f"no time {quote(time)} in the mapping (keys: {quote_list(keys)})")
            return time
        hits = [k for k in keys if _norm(k) in TIME_NAMES]
        if len(hits) > 1:
            raise DataError(
                f"several times in the mapping ({quote_list(hits)}); choose one with "
                f"{arg('time', hits[0])}"
            )
        return hits[0] if hits else None

    def labels(self):
        cols = getattr(self.first, "columns", None)

        def symbol(j):
            if self.ndim == 1:
                return None
            return cols[j] if cols is not None else f"column {j}"

        def when(i, j):
            row = i if self.order is None else int(self.order[i])
            return self.times.label(row) if self.times is not None else None

        return symbol, when

    def restore(self, results):
        order = self.order
        if order is not None:
            back = {}
            for k, v in results.items():
                r = np.empty_like(v)
                r[order] = v
                back[k] = r
            results = back
        first, ndim = self.first, self.ndim
        mod = type(first).__module__.split(".")[0]
        if ndim == 1:
            out = {k: np.ascontiguousarray(v[:, 0]) for k, v in results.items()}
            if mod == "pandas":
                import pandas as pd

                return {k: pd.Series(v, index=first.index, name=k) for k, v in out.items()}
            if self.masked:
                return {k: np.ma.masked_invalid(v, copy=False) for k, v in out.items()}
            return out
        if mod == "pandas":
            import pandas as pd

            return {
                k: pd.DataFrame(v, index=first.index, columns=first.columns)
                for k, v in results.items()
            }
        if self.masked:
            return {k: np.ma.masked_invalid(v, copy=False) for k, v in results.items()}
        return results


def single(data, kind, fields):
    """(panels {field: (n, m) array}, n, m, restore) of a mapping, in its row order."""
    mapped = Mapped(data, fields)
    return mapped.panels, mapped.n, mapped.m, mapped.restore


# ---- missing values ------------------------------------------------------------------------


def gaps(panel):
    """(columns, first missing bar, missing bars, no value at all) of the columns of an
    (n, m) panel that miss a value after their first one or have none; None when none
    does. Leading missing values (a symbol's history starting later) are not gaps."""
    if panel.shape[0] == 0:
        return None
    with np.errstate(all="ignore"):
        sums = np.add.reduce(panel, axis=0)
    cand = np.flatnonzero(np.isnan(sums))  # a NaN, or inf - inf: looked at closely
    if not cand.size:
        return None
    miss = np.isnan(panel[:, cand])
    started = np.logical_or.accumulate(~miss, axis=0)
    inside = miss & started
    count = np.count_nonzero(inside, axis=0)
    empty = ~started[-1]
    hit = (count > 0) | empty
    if not hit.any():
        return None
    return cand[hit], np.argmax(inside, axis=0)[hit], count[hit], empty[hit]


def ffill(panel, cols):
    """A copy of the panel with columns `cols` forward-filled (each missing value takes
    the last value before it; leading missing values stay)."""
    out = np.array(panel, dtype=np.float64, order="F" if panel.flags.f_contiguous else "C")
    sub = out[:, cols]
    n = sub.shape[0]
    idx = np.where(np.isnan(sub), 0, np.arange(n)[:, None])
    np.maximum.accumulate(idx, axis=0, out=idx)
    out[:, cols] = np.take_along_axis(sub, idx, axis=0)
    return out


class MissingReport:
    """What the missing values inside symbols' bars did, gathered over blocks."""

    SHOWN = 5  # symbols described one by one

    def __init__(self):
        self.entries = []  # (symbol, fields, first bar, missing bars, values turned missing)
        self.filled = {}  # field -> symbols forward-filled
        self.prices = False

    def add(self, symbol, fields, first, missing, turned, empty):
        self.entries.append((symbol, fields, first, missing, turned, empty))
        self.prices = self.prices or any(f in PRICE_FIELDS for f in fields)

    def messages(self, fill):
        """[(harmful, text)]: harmful where the missing values turned values of the
        outputs missing (or a field has no value at all)."""
        out = []
        for symbol, fields, first, missing, turned, empty in self.entries[: self.SHOWN]:
            what = " and ".join(fields)
            of = f" of symbol {quote(symbol)}" if symbol is not None else ""
            if empty:
                out.append((False, f"{what}{of} has no value: its outputs are missing"))
                continue
            at = first if first is not None else "a bar"
            bars = f"{missing:,} missing bar{'s' if missing != 1 else ''} in all"
            if turned:
                text = (
                    f"{what}{of} is missing at {at} ({bars}): it turned {turned:,} later "
                    "values of the outputs missing (a running total does not recover from a "
                    "missing value)"
                )
            else:
                text = f"{what}{of} is missing at {at} ({bars}): no later value is missing for it"
            out.append((bool(turned), text))
        more = self.entries[self.SHOWN :]
        if more:
            harmful = any(e[4] for e in more)
            out.append((harmful, f"and {len(more):,} more symbols have missing values"))
        if out and self.prices and fill is None and any(h for h, _ in out):
            k = max(i for i, (h, _) in enumerate(out) if h)
            out[k] = (True, out[k][1] + f"; {arg('fill', 'ffill')} forward-fills the price fields")
        return out

    def filled_notes(self):
        return [
            f"{field}: missing values of {count:,} symbol{'s' if count != 1 else ''} forward-filled"
            for field, count in self.filled.items()
        ]
