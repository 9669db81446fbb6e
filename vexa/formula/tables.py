"""The caller's tables as panels, and the results back in the caller's kind.

Accepted: a pandas or polars DataFrame of one symbol, a long table of many symbols
(by="symbol"), a mapping of field name to 1-D array, or a mapping of field name to 2-D
panel (rows = bars, one column per symbol). Which column is which is columns.py's; here
the bars of each symbol are put in time order and gathered into panels. The caller's
objects are never modified. Symbols of a long table are evaluated in blocks of equal
length, so that no symbol is padded: each symbol's result is its own single-symbol run.
"""

from __future__ import annotations

import numpy as np

from .columns import INDEX, find_columns, find_time, norm
from .errors import DataError, arg, quote, quote_list
from .fields import SYMBOL_NAMES, TIME_FIELD, TIME_NAMES
from .times import parse_times


def as_float(values, name):
    """A column of numbers as a float64 array (a copy when it has to be converted):
    missing values (pandas NA, polars null, masked) read as NaN; times, durations,
    complex numbers, text and other objects are refused, as the functions refuse them."""
    from .._wrap import package_of, unwrap

    mask = None
    if package_of(values) is not None:
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


# ---- the order of the bars ----------------------------------------------------------


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

    def __init__(
        self, data, container, fields, *, by=None, time=None, time_format=None, columns=None
    ):
        names = list(data.columns)
        if by is not None and by not in names:
            raise DataError(f"no column {quote(by)} to group by (columns: {quote_list(names)})")
        cols = find_columns(names, fields, mapping=columns)
        self.data, self.container, self.by = data, container, by
        levels = list(getattr(data.index, "names", ())) if container == "pandas" else []
        if len(levels) > 1 and any(norm(n) in TIME_NAMES + SYMBOL_NAMES for n in levels):
            raise DataError(
                f"the index has the levels {quote_list(levels)}: make them columns with "
                "reset_index() to have them read as symbols and times"
            )
        tcol, tvalues = find_time(data, container, time, by is not None)
        self.time = tcol if tcol is not INDEX else None
        self.times = None
        if tvalues is not None:
            what = "the index" if tcol is INDEX else f"time column {quote(tcol)}"
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
        if self.container == "pandas":
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
        hits = [k for k in keys if norm(k) in TIME_NAMES]
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


def single(data, fields):
    """(panels {field: (n, m) array}, n, m, restore) of a mapping, in its row order."""
    mapped = Mapped(data, fields)
    return mapped.panels, mapped.n, mapped.m, mapped.restore
