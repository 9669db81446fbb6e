"""The order of a long table's bars.

A long table's symbols become integer codes once: each row's symbol's rank among the
distinct symbols (numbers by value, text by code point). A table whose symbols come one
after another, each in time order (any order of symbols), is found by comparing
neighbouring rows and is read where it lies (each newest first: read backwards); a
panel bar by bar (the same symbols in the same order at every time) is read where it
lies, only its first bar's symbols coded; any other is put in order by one stable sort
by (code, time) on integers.
"""

from __future__ import annotations

import numpy as np

from .errors import DataError, arg, quote

_PROBE = 4096  # rows looked at before neighbours are compared (a table by day skips it)


def _pandas_kind(col):
    """How a pandas Series' values are compared: "numbers", "categories", "arrow" (text
    held by pyarrow), or "objects"."""
    import pandas as pd

    dtype = col.dtype
    if isinstance(dtype, np.dtype):
        return "numbers" if dtype.kind in "iufbmM" else "objects"
    if isinstance(dtype, pd.CategoricalDtype):
        return "categories"
    if hasattr(col.array, "__arrow_array__") and getattr(dtype, "storage", "pyarrow") in (
        "pyarrow",
        "pyarrow_numpy",
    ):
        return "arrow"
    return "objects"


def _codes(col, what):
    """(each row's code, the number of distinct symbols) of the symbol column `col` (a
    pandas or polars Series): codes 0, 1, ... in the symbols' own order. Missing values
    and values that cannot be ordered are refused."""
    if type(col).__module__.split(".")[0] == "polars":
        if col.null_count():
            raise DataError(f"{what} has missing values")
        if col.dtype.is_numeric():
            return _dense(_numbers(col.to_numpy(), what))
        codes = col.rank("dense").to_numpy().astype(np.int64) - 1  # text: byte order
        return codes, int(codes.max()) + 1 if len(codes) else 0
    if _pandas_kind(col) == "numbers":
        return _dense(_numbers(col.to_numpy(), what))
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
    return rank[codes], len(order)


def _sort_key(col, what):
    """An array that orders like the symbol column `col`: each row's code."""
    return _codes(col, what)[0]


def _dense(values):
    """(codes, count) of numbers: each value's rank among the distinct values (hashed
    where pandas is at hand; floats by a sort, so that values that compare equal are
    one)."""
    if values.dtype.kind in "iub" and len(values):
        try:
            import pandas as pd
        except ImportError:
            pass
        else:
            codes, uniques = pd.factorize(values)
            rank = np.empty(len(uniques), dtype=np.int64)
            rank[np.argsort(uniques, kind="stable")] = np.arange(len(uniques))
            return rank[codes], len(uniques)
    uniques, codes = np.unique(values, return_inverse=True)
    return codes.reshape(-1).astype(np.int64, copy=False), len(uniques)


def _numbers(values, what):
    if values.dtype.kind in "mM":
        if np.isnat(values).any():
            raise DataError(f"{what} has missing values")
        return values.view(np.int64)
    if values.dtype.kind == "f" and np.isnan(values).any():
        raise DataError(f"{what} has missing values")
    return values


def _changes(col, what):
    """Where the symbol changes from one row to the next (bool, one per pair of rows), or
    None when comparing neighbours would not pay (a table by day: the symbol changes at
    almost every row). A missing value counts as a change, so that it starts a run of
    its own and is refused with the run's first value."""
    n = len(col)
    head = min(n, _PROBE)
    polars = type(col).__module__.split(".")[0] == "polars"
    if polars:
        if col.null_count():
            raise DataError(f"{what} has missing values")
        if col.dtype.is_numeric():
            values = col.to_numpy()
        else:
            if (col.slice(1, head - 1) != col.slice(0, head - 1)).sum() > head // 2:
                return None
            return (col.slice(1) != col.slice(0, n - 1)).to_numpy()
    else:
        kind = _pandas_kind(col)
        if kind == "numbers":
            values = _numbers(col.to_numpy(), what)
        elif kind == "categories":
            values = col.cat.codes.to_numpy()
        elif kind == "arrow":
            import pyarrow.compute as pc

            arr = col.array.__arrow_array__()
            probe = pc.not_equal(arr.slice(1, head - 1), arr.slice(0, head - 1))
            if (pc.sum(probe.fill_null(True)).as_py() or 0) > head // 2:
                return None
            ne = pc.not_equal(arr.slice(1), arr.slice(0, n - 1)).fill_null(True)
            return np.asarray(ne.to_numpy(zero_copy_only=False), dtype=bool)
        else:
            values = col.to_numpy()
            if np.count_nonzero(_differ(values[:head])) > head // 2:
                return None
            return _differ(values)
    if np.count_nonzero(values[1:head] != values[: head - 1]) > head // 2:
        return None
    return values[1:] != values[:-1]


def _differ(values, k=1):
    """values[k:] != values[:-k] of an array of objects, element by element (two missing
    values differ)."""
    size = max(len(values) - k, 0)
    try:
        ne = values[k:] != values[: len(values) - k]
    except (TypeError, ValueError):
        ne = None
    if not isinstance(ne, np.ndarray) or ne.dtype != bool or ne.shape != (size,):
        ne = np.fromiter((a != b for a, b in zip(values[k:], values[:size])), bool, size)
    return ne


def _take(col, rows):
    return col.iloc[rows] if hasattr(col, "iloc") else col.gather(rows)


def _small(codes, count):
    """The codes in the narrowest type that holds them: numpy's stable sort is a radix
    sort on 16-bit integers."""
    return codes.astype(np.uint16 if count <= 1 << 16 else np.int64, copy=False)


def _sort(codes, count, key):
    """(the rows ordered by (code, time), ties in the table's order; the times in that
    order, or what orders like them): a stable sort by time (none when the times
    already rise; by their ranks when few are distinct), then a stable sort by code."""
    if bool((key[1:] >= key[:-1]).all()):
        order = np.argsort(_small(codes, count), kind="stable")
        return order, key[order]
    ranks, distinct = _dense(key)
    if distinct > 1 << 16:
        by_time = np.argsort(key, kind="stable")
        order = by_time[np.argsort(_small(codes[by_time], count), kind="stable")]
        return order, key[order]
    ranks = _small(ranks, distinct)
    by_time = np.argsort(ranks, kind="stable")
    order = by_time[np.argsort(_small(codes, count)[by_time], kind="stable")]
    return order, ranks[order]


def _bar_by_bar(sym, key, what):
    """(the codes of the first bar's symbols, the number of bars) when the table is a
    panel bar by bar: the rows of the first time hold distinct symbols, every later time
    the same symbols in the same order, and the times rise from bar to bar; else None.
    Only the first bar's symbols are coded: the others are compared with them."""
    nrows = len(key)
    k = int(np.argmax(key != key[0])) or nrows  # the rows of the first bar
    if nrows % k:
        return None
    times = key.reshape(nrows // k, k)
    if not ((times == times[:, :1]).all() and (times[1:, 0] > times[:-1, 0]).all()):
        return None
    if k < nrows and not _repeats(sym, k):
        return None
    codes, count = _codes(_take(sym, np.arange(k)), what)
    return (codes, nrows // k) if count == k else None


def _repeats(col, k):
    """Whether col[k:] equals col[:-k] row for row (a missing value equals nothing)."""
    n = len(col)
    if type(col).__module__.split(".")[0] == "polars":
        if col.null_count():
            return False
        return bool((col.slice(k) == col.slice(0, n - k)).all())
    kind = _pandas_kind(col)
    if kind == "arrow":
        import pyarrow.compute as pc

        arr = col.array.__arrow_array__()
        same = pc.equal(arr.slice(k), arr.slice(0, n - k)).fill_null(False)
        return bool(pc.all(same).as_py())
    values = col.cat.codes.to_numpy() if kind == "categories" else col.to_numpy()
    if kind == "categories" and (values < 0).any():
        return False
    if kind == "objects":
        return not _differ(values, k).any()
    return bool((values[k:] == values[:-k]).all())


def _own_buffer(v, size, results):
    """v's memory as a flat array of `size` doubles, when v is a result of that size
    that holds its memory alone (no other result shares it); else None."""
    if not isinstance(v, np.ndarray) or v.dtype != np.float64 or v.size != size:
        return None
    base = v if v.flags.owndata else v.base
    if not (isinstance(base, np.ndarray) and base.flags.owndata and base.nbytes == v.nbytes):
        return None
    if not base.flags.writeable or any(
        w is not v and np.may_share_memory(w, base) for w in results.values()
    ):
        return None
    if base.flags.c_contiguous:
        return base.reshape(-1)
    return base.T.reshape(-1) if base.flags.f_contiguous else None


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
