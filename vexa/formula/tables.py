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
from .order import (
    _bar_by_bar,
    _changes,
    _codes,
    _own_buffer,
    _repeated,
    _sort,
    _take,
    _value_at,
)
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
        self._rank = None  # each symbol's rank, where the symbols are in the table's order
        self._backwards = False  # each symbol's rows together, newest first
        layout, self._order_rows, first, lengths = self._arrange(nrows)
        # read where it lies (backwards where each symbol is newest first), not sorted
        self.in_order = self._order_rows is None or self._backwards
        self.columns = {f: as_float(data[c], c) for f, c in cols.items()}
        if TIME_FIELD in fields:
            if self.times is None:
                raise DataError(
                    "the formula reads the bars' times, but the data has no time column "
                    f"(looked for {', '.join(TIME_NAMES)} in any case, and a DatetimeIndex): "
                    f"name it with {arg('time')}"
                )
            self.columns[TIME_FIELD] = np.ascontiguousarray(self.times.wall(), dtype=np.float64)
        self.blocks, self._spans, self._ranks = [], {}, {}
        self._make_blocks(layout, first, lengths)
        self._runs = (first, lengths)

    def _make_blocks(self, layout, first, lengths):
        """Symbols of one length make a block: rows (n, k), column j the rows of its j-th
        symbol in time order, laid out as the table holds them so that the panels are
        read from the table in long runs: symbol by symbol (each column contiguous,
        layout "F"; "R" newest first) when each symbol's rows are together, else bar by
        bar ("C", a table by day). A block that the table holds as it is, is read in
        place (its span)."""
        order = self._order_rows
        if layout == "C" and order is None:  # a panel bar by bar: one block
            n, k = (int(lengths[0]), len(lengths)) if len(lengths) else (0, 0)
            rows = np.arange(n * k).reshape(n, k)
            self.blocks.append((n, rows))
            if self._rank is not None:
                self._ranks[id(rows)] = self._rank
            self._spans[id(rows)] = (slice(0, n * k), "C")
            return
        for length in np.unique(lengths).tolist():
            sel = lengths == length
            starts = first[sel]
            k = len(starts)
            if layout == "F":
                step = starts[0] + length * np.arange(k)
                together = (order is None or self._backwards) and np.array_equal(starts, step)
                if together and order is None:
                    at = np.arange(starts[0], starts[0] + length * k).reshape(k, length)
                else:
                    at = starts[:, None] + np.arange(length)
                rows = (at if order is None else order[at]).T
            else:
                at = starts[None, :] + np.arange(length)[:, None]
                rows = order[at]
                together = False
            self.blocks.append((length, rows))
            if self._rank is not None:
                self._ranks[id(rows)] = self._rank[sel]
            if together:
                span = slice(int(starts[0]), int(starts[0]) + length * k)
                self._spans[id(rows)] = (span, "R" if self._backwards else "F")

    @property
    def order(self):
        """The rows in evaluation order: symbol after symbol, each in time order."""
        if self._order_rows is None:
            first, lengths = self._runs
            if len(first) == 1 or not self.blocks:
                return np.arange(self.nrows)
            if self.blocks[0][1].flags.c_contiguous:  # a panel bar by bar
                return self.blocks[0][1].T.reshape(-1)
            return np.repeat(first - np.r_[0, np.cumsum(lengths)[:-1]], lengths) + np.arange(
                self.nrows
            )
        return self._order_rows

    def _arrange(self, nrows):
        """(layout of the blocks, the rows in evaluation order or None where the table is
        read in place, where each symbol starts in the evaluation order and its length,
        symbols in their order)."""
        key = self.times.key if self.times is not None else None
        if self.by is None:
            first = np.zeros(1 if nrows else 0, dtype=np.int64)
            lengths = np.full(len(first), nrows, dtype=np.int64)
            if key is None or nrows < 2 or bool((key[1:] > key[:-1]).all()):
                return "F", None, first, lengths
            order = np.argsort(key, kind="stable")
            same = key[order][1:] == key[order][:-1]
            if same.any():
                raise _repeated(self.times, order[int(np.argmax(same))])
            return "F", order, first, lengths
        sym = self.data[self.by]
        what = f"column {quote(self.by)}"
        if nrows == 0:
            _codes(sym, what)
            empty = np.zeros(0, dtype=np.int64)
            return "F", None, empty, empty
        codes, layout = None, "C"
        change = _changes(sym, what) if nrows > 1 else np.zeros(0, dtype=bool)
        if change is not None:
            runs = np.flatnonzero(np.r_[True, change])
            run_codes, count = _codes(_take(sym, runs), what)
            if count == len(runs):  # each symbol's rows one after another
                layout = "F"
                run_lengths = np.diff(np.r_[runs, nrows])
                if bool(((key[1:] > key[:-1]) | change).all()):
                    self._rank = run_codes
                    return "F", None, runs, run_lengths
                if bool(((key[1:] < key[:-1]) | change).all()):  # each newest first
                    self._rank, self._backwards = run_codes, True
                    order = np.repeat(2 * runs + run_lengths - 1, run_lengths) - np.arange(nrows)
                    return "F", order, runs, run_lengths
                codes = np.repeat(run_codes, run_lengths)
        if codes is None:
            found = _bar_by_bar(sym, key, what)
            if found is not None:
                self._rank, bars = found
                count = len(self._rank)
                return "C", None, np.arange(count), np.full(count, bars, dtype=np.int64)
            codes, count = _codes(sym, what)
        order, t_sorted = _sort(codes, count, key)
        per_symbol = np.bincount(codes, minlength=count)
        first = np.r_[0, np.cumsum(per_symbol)[:-1]]
        same = t_sorted[1:] == t_sorted[:-1]
        same[first[1:] - 1] = False  # a symbol's first bar and the last of the one before
        if same.any():
            k = order[int(np.argmax(same))]
            raise _repeated(self.times, k, self.by, _value_at(sym, k))
        return layout, order, first, per_symbol

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

    def _view(self, col, n, k, span):
        s, layout = span
        if layout == "C":
            return col[s].reshape(n, k)
        return col[s].reshape(k, n).T if layout == "F" else col[s].reshape(k, n)[:, ::-1].T

    def panels(self, n, rows):
        """The fields of the symbols of `rows` (n bars each) as (n, k) panels: views of
        the table's columns where it holds them as they are, else gathered in the layout
        of `rows`."""
        span = self._spans.get(id(rows))
        k = rows.shape[1]
        if span is not None and span[1] == "R":  # copied forwards: the panels run forwards
            return {
                f: self._view(col, n, k, span).copy(order="F") for f, col in self.columns.items()
            }
        if span is not None:
            return {f: self._view(col, n, k, span) for f, col in self.columns.items()}
        if rows.flags.c_contiguous:
            return {f: np.take(col, rows) for f, col in self.columns.items()}
        at = rows.T
        return {f: np.take(col, at).T for f, col in self.columns.items()}

    def labels(self, rows):
        """(symbol of column j, time of bar i of column j) for messages; symbol.rank(j)
        orders the columns as the symbols order (they may be in the table's order)."""

        def symbol(j):
            return self.symbol_of(rows[0, j])

        rank = self._ranks.get(id(rows))
        symbol.rank = (lambda j: int(rank[j])) if rank is not None else (lambda j: j)
        return symbol, lambda i, j: self.time_of(rows[i, j])

    def store(self, full, n, rows, results):
        """Puts the results of the symbols of `rows` into `full` ({name: array of one
        value per row of the table}): a result laid out as the whole table is taken as
        it is; results scattered over the whole table each go into the memory of the
        one before (fresh memory is slow to touch, and these are the table's size)."""
        span = self._spans.get(id(rows))
        k = rows.shape[1]
        spare = None
        for name, v in results.items():
            if span is None:
                dest = full[name] if spare is None else spare
                if rows.flags.c_contiguous:
                    dest[rows] = v
                else:
                    dest[rows.T] = v.T
                full[name] = dest
                spare = _own_buffer(v, self.nrows, results)
                continue
            whole = span[0] == slice(0, self.nrows) and v.dtype == np.float64
            if whole and span[1] == "F" and v.flags.f_contiguous:
                full[name] = v.T.reshape(-1)
            elif whole and span[1] == "C" and v.flags.c_contiguous:
                full[name] = v.reshape(-1)
            elif whole and span[1] == "R":  # into the memory of the one before, as above
                dest = full[name] if spare is None else spare
                np.copyto(self._view(dest, n, k, span), v)
                full[name] = dest
                spare = _own_buffer(v, self.nrows, results)
                if spare is not None and any(
                    np.may_share_memory(spare, c) for c in self.columns.values()
                ):
                    spare = None  # the caller's own column
            else:
                np.copyto(self._view(full[name], n, k, span), v)

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
