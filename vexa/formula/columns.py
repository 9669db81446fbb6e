"""Which column of the caller's table is which: the fields (by their names, or as the
caller maps them), the time and the symbol. Decided once, here; where it cannot be told,
refused with what to pass."""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

from .errors import DataError, arg, quote, quote_list
from .fields import ASKED_ONLY, COLUMN_NAMES, FIELD_ALIASES, SYMBOL_NAMES, TIME_FIELD, TIME_NAMES
from .times import parse_times


def norm(name):
    return name.strip().casefold() if isinstance(name, str) else None


def container(data):
    """The kind of container `data` is: "pandas", "polars", "mapping" or None."""
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
            by_norm.setdefault(norm(name), []).append(name)
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


INDEX = object()  # the time is the pandas index


def find_time(data, container, time, required_by):
    """(column name, or _INDEX, or None; its values) of a DataFrame's time."""
    names = list(data.columns)
    index = data.index if container == "pandas" else None
    if time is not None:
        if time in names:
            return time, data[time]
        if index is not None and time is not None and index.name == time:
            return INDEX, index
        raise DataError(f"no time column {quote(time)} (columns: {quote_list(names)})")
    hits = [c for c in names if norm(c) in TIME_NAMES]
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
        return INDEX, index
    if required_by:
        raise DataError(
            f"no time column (looked for {', '.join(TIME_NAMES)} in any case; columns: "
            f"{quote_list(names)}); name it with {arg('time')}"
        )
    return None, None


def _is_time_index(index):
    kind = getattr(index.dtype, "kind", "")
    return kind == "M" or hasattr(index, "tz") or norm(index.name) in TIME_NAMES


def implied_symbol(data):
    """The column of a DataFrame named like a symbol column (symbol, code, ticker, ...)
    that holds several symbols, or None; two such columns are refused."""
    hits = [c for c in data.columns if norm(c) in SYMBOL_NAMES]
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
