"""Data in, results out: from the caller's tables to panels and back to the caller's kind.

Accepted: a pandas or polars DataFrame of one symbol (columns matched case-insensitively),
a mapping of field name to 1-D array, a long table of many symbols (by="symbol"), or a
mapping of field name to 2-D panel (rows = bars, one column per symbol). The caller's
objects are never modified. Symbols of a long table are evaluated in blocks of equal
length, so that no symbol is padded: each symbol's result is its own single-symbol run.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from .errors import DataError

# Column names accepted for each data field, lower case.
COLUMN_NAMES = {
    "OPEN": ("open", "o"),
    "HIGH": ("high", "h"),
    "LOW": ("low", "l"),
    "CLOSE": ("close", "c"),
    "VOL": ("vol", "volume", "v"),
    "AMOUNT": ("amount", "amo"),
}
TIME_NAMES = ("date", "datetime", "time", "timestamp")


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


def find_columns(names, fields, what="the data"):
    """{field: column name} for each field in `fields`, matched case-insensitively."""
    lower = {}
    for name in names:
        if isinstance(name, str):
            lower.setdefault(name.lower(), []).append(name)
    found = {}
    for f in fields:
        aliases = COLUMN_NAMES.get(f, (f.lower(),))
        hits = [c for alias in aliases for c in lower.get(alias, ())]
        if not hits:
            raise DataError(
                f"{what} has no column for {f} (looked for {', '.join(aliases)} in "
                f"any case; columns: {_list(names)})"
            )
        if len(hits) > 1:
            raise DataError(f"{what} has several columns for {f}: {', '.join(hits)}")
        found[f] = hits[0]
    return found


def _list(names, limit=12):
    names = [str(n) for n in names]
    shown = ", ".join(names[:limit])
    return shown + (f", ... ({len(names)} in all)" if len(names) > limit else "") or "none"


def as_float(values, name):
    """A column as a float64 array (a copy when it has to be converted)."""
    try:
        if hasattr(values, "to_numpy"):
            try:
                arr = values.to_numpy(dtype=np.float64, na_value=np.nan)
            except TypeError:
                arr = values.to_numpy()
        else:
            arr = values
        arr = np.asarray(arr, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise DataError(f"column {name}: values are not numbers ({e})") from None
    return arr


# ---- one symbol, or panels -----------------------------------------------------------


def single(data, kind, fields):
    """(panels {field: (n, m) array}, n, m, restore) for a table of one symbol or a
    mapping; restore(results {name: (n, m) array}) gives the caller's kind."""
    if kind in ("pandas", "polars"):
        cols = find_columns(list(data.columns), fields)
        arrays = {f: as_float(data[c], c) for f, c in cols.items()}
        n = len(data)
        panels = {f: a.reshape(n, 1) for f, a in arrays.items()}

        if kind == "pandas":
            index = data.index

            def restore(results):
                import pandas as pd

                return pd.DataFrame({k: v[:, 0] for k, v in results.items()}, index=index)

        else:

            def restore(results):
                import polars as pl

                return pl.DataFrame({k: v[:, 0] for k, v in results.items()})

        return panels, n, 1, restore
    # A mapping of 1-D arrays, of 2-D panels, or of pandas objects.
    cols = find_columns(list(data.keys()), fields, "the mapping")
    if not data:
        raise DataError("the mapping is empty")
    first = data[next(iter(cols.values()))] if cols else next(iter(data.values()))
    ndim = np.ndim(first)
    if ndim not in (1, 2):
        raise DataError(f"mapping values must be 1-D series or 2-D panels, not {ndim}-D")
    panels, shape = {}, np.shape(first)
    for f, c in cols.items():
        a = as_float(data[c], c)
        if a.shape != shape:
            raise DataError(
                f"{c}: shape {a.shape} differs from {next(iter(cols.values()))}'s {shape}"
            )
        shape = a.shape
        panels[f] = a.reshape(a.shape[0], 1) if ndim == 1 else a
    n = shape[0]
    m = 1 if ndim == 1 else shape[1]
    mod = type(first).__module__.split(".")[0]

    def restore(results):
        if ndim == 1:
            out = {k: np.ascontiguousarray(v[:, 0]) for k, v in results.items()}
            if mod == "pandas":
                import pandas as pd

                return {k: pd.Series(v, index=first.index, name=k) for k, v in out.items()}
            return out
        if mod == "pandas":
            import pandas as pd

            return {
                k: pd.DataFrame(v, index=first.index, columns=first.columns)
                for k, v in results.items()
            }
        return results

    return panels, n, m, restore


# ---- a long table of many symbols ---------------------------------------------------


def find_time(names, time):
    if time is not None:
        if time not in names:
            raise DataError(f"no time column {time!r} (columns: {_list(names)})")
        return time
    hits = [c for c in names if isinstance(c, str) and c.lower() in TIME_NAMES]
    if not hits:
        raise DataError(
            "no time column (looked for date, datetime, time or timestamp in any case; "
            f"columns: {_list(names)}); name it with time="
        )
    if len(hits) > 1:
        raise DataError(f"several time columns ({', '.join(hits)}); choose one with time=")
    return hits[0]


def _sort_key(col, what):
    """An array that orders like the column `col` (a pandas or polars Series): its own
    values for numbers and times, else the ranks of its distinct values. Missing values
    and values that cannot be ordered are refused."""
    if type(col).__module__.split(".")[0] == "polars":
        if col.null_count():
            raise DataError(f"{what} has missing values")
        if col.dtype.is_numeric() or col.dtype.is_temporal():
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


class LongTable:
    """A long table split into blocks of symbols of equal length, each symbol's rows
    in time order. `blocks`: [(rows (n, k) int array of positions in the caller's
    table, symbols)]."""

    def __init__(self, data, kind, by, time, fields):
        names = list(data.columns)
        if by not in names:
            raise DataError(f"no column {by!r} to group by (columns: {_list(names)})")
        tcol = find_time(names, time)
        cols = find_columns(names, fields)
        self.data, self.kind, self.by, self.time = data, kind, by, tcol
        sym, tval = data[by], data[tcol]
        nrows = len(sym)
        sym_key = _sort_key(sym, f"column {by!r}")
        time_key = _sort_key(tval, f"time column {tcol!r}")
        # A table stored symbol after symbol, each in time order, is used as it is.
        self.in_order = nrows < 2 or bool(
            (sym_key[1:] >= sym_key[:-1]).all()
            and ((sym_key[1:] != sym_key[:-1]) | (time_key[1:] > time_key[:-1])).all()
        )
        if self.in_order:
            order = np.arange(nrows)
            s_sorted = sym_key
        else:
            order = np.lexsort((time_key, sym_key))  # stable: by symbol, then by time
            s_sorted, t_sorted = sym_key[order], time_key[order]
            same = (s_sorted[1:] == s_sorted[:-1]) & (t_sorted[1:] == t_sorted[:-1])
            if same.any():
                k = int(np.argmax(same))
                raise DataError(
                    f"symbol {_value_at(sym, order[k])!r} has two rows at "
                    f"{tcol} = {_value_at(tval, order[k])!r}"
                )
        starts = (
            np.flatnonzero(np.r_[True, s_sorted[1:] != s_sorted[:-1]])
            if nrows
            else (np.zeros(0, dtype=np.int64))
        )
        lengths = np.diff(np.r_[starts, nrows])
        self.columns = {f: as_float(data[c], c) for f, c in cols.items()}
        self.nrows = nrows
        self.blocks = []
        for length in np.unique(lengths):
            group = starts[lengths == length]
            rows = order[group[None, :] + np.arange(length)[:, None]]
            self.blocks.append((int(length), rows))

    @property
    def symbols(self):
        return sum(rows.shape[1] for _, rows in self.blocks)

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
        """The caller's kind: its symbol and time columns and one column per output
        ({name: array of one value per row of the caller's table})."""
        names = list(full)
        if self.kind == "pandas":
            import pandas as pd

            columns = {self.by: self.data[self.by], self.time: self.data[self.time]}
            columns.update((k, full[k]) for k in names)
            # The results are this call's own arrays: the frame takes them uncopied.
            return pd.DataFrame(columns, index=self.data.index, copy=False)
        import polars as pl

        out = self.data.select([self.by, self.time])
        return out.with_columns([pl.Series(k, full[k]) for k in names])
