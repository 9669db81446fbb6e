"""A formula's chart over one symbol: its bars read as evaluation reads them (fields found by
their names, rows in time order), the outputs and drawings evaluated over those bars."""

from __future__ import annotations

import numpy as np

from ..formula.columns import container, find_columns
from ..formula.errors import DataError, quote, quote_list
from ..formula.graph import scalar_values
from ..formula.tables import Table, single
from .figure import Chart
from .model import Icon, Line, Number, StickLine, Text

# The fields a chart draws, and their columns in the chart's bars.
_BARS = (("OPEN", "open"), ("HIGH", "high"), ("LOW", "low"), ("CLOSE", "close"), ("VOL", "volume"))
_AHEAD = 6  # look-ahead statements listed in the warning (the rest counted)


def chart_of(formula, data, symbol, read, last, title, params) -> Chart:
    by = read["by"]
    holder = container(data)
    if holder is None:
        raise DataError(
            "data must be a pandas or polars DataFrame or a mapping of field name to array, "
            f"not {type(data).__name__}"
        )
    names = list(data.keys()) if holder == "mapping" else list(data.columns)
    shown = [f for f, _ in _BARS if f == "CLOSE" or _has(names, f, read["columns"])]
    fields = tuple(dict.fromkeys((*formula.inputs, *shown)))
    if by is None and symbol is not None:
        raise DataError(
            f"symbol {quote(symbol)}: a symbol is chosen in the symbol column of a long table; "
            "name that column (by=, on the command line --by)"
        )
    if holder == "mapping":
        if any(v is not None for k, v in read.items() if k != "columns"):
            raise DataError("by=, time= and time_format= need a pandas or polars DataFrame")
        panels, n, m, _ = single(data, fields)
        if m != 1:
            raise DataError(
                "a chart draws one symbol: pass its series (1-D arrays), or a long table "
                "with by= and symbol="
            )
        arrays = {f: p[:, 0] for f, p in panels.items()}
        index = None
    else:
        arrays, index, symbol = _rows(data, holder, symbol, fields, read)
    values = formula._param_values(params)
    program = formula._program
    keep = [a for d in program.drawings for a in d.args if isinstance(a, int)]
    n = len(arrays["CLOSE"])
    panels = {f: arrays[f].reshape(n, 1) for f in formula.inputs}
    outs, nodes = formula._evaluate(panels, n, 1, scalar_values(program, values), keep)

    import pandas as pd

    bars = pd.DataFrame(
        {col: arrays[f] for f, col in _BARS if f in arrays},
        index=pd.RangeIndex(n) if index is None else index,
    )
    lines = []
    for o in program.outputs:
        v = outs[o.name][:, 0]
        finite = v[~np.isnan(v)]
        # A 0/1 output drawn as a plain line is a signal: markers where it holds.
        signal = o.style == "line" and finite.size > 0 and bool(np.isin(finite, (0, 1)).all())
        lines.append(Line(o.name, v, o.style, o.color, o.width, o.drawn, signal))
    drawings = []
    for d in program.drawings:
        a = [nodes[x] if isinstance(x, int) else x for x in d.args]
        a = [x if isinstance(x, str) else _column(x, n) for x in a]
        if d.kind == "STICKLINE":
            drawings.append(StickLine(a[0], a[1], a[2], float(a[3][0]), float(a[4][0]), d.color))
        elif d.kind == "DRAWTEXT":
            drawings.append(Text(a[0], a[1], a[2], d.color))
        elif d.kind == "DRAWICON":
            drawings.append(Icon(a[0], a[1], int(a[2][0])))
        elif d.kind == "DRAWNUMBER":
            drawings.append(Number(a[0], a[1], a[2], d.color))
    if title is None:
        title = ", ".join(formula.outputs)
        title = title if len(title) <= 60 else title[:57] + "..."
        if symbol is not None:
            title = f"{title} on {symbol}"
    return Chart(
        bars,
        lines,
        drawings,
        title=title,
        warning=_warning(formula.lookahead_with(**params)),
        last=last,
        symbol=None if symbol is None else str(symbol),
    )


def _warning(ahead) -> str | None:
    if not ahead:
        return None
    listed = [f"{a.statement} through {a.function} (line {a.line})" for a in ahead[:_AHEAD]]
    if len(ahead) > _AHEAD:
        listed.append(f"and {len(ahead) - _AHEAD} more")
    return "looks ahead, a backtest on this formula is wrong: " + "; ".join(listed)


def _has(names, field, columns):
    try:
        find_columns(names, (field,), mapping=columns)
    except DataError:
        return False
    return True


def _rows(data, holder, symbol, fields, read):
    """({field: array}, time index or None, symbol) of one symbol's bars in time order,
    read by the reader that evaluation uses: times parsed as times, the rows of a table of
    one symbol ordered by its time column or DatetimeIndex, none without a time."""
    import pandas as pd

    by = read["by"]
    table = Table(data, holder, fields, **read)
    found = []  # (the symbol's first row in the table, its rows in time order)
    for _, rows in table.blocks:
        found += [(int(r.min()), r) for r in rows.T]
    found.sort(key=lambda f: f[0])
    if not found:
        raise DataError("the table has no rows: nothing to draw")
    first, rows = found[0]
    if symbol is not None:
        values = [(table.symbol_of(first), rows) for first, rows in found]
        hits = [(f, r) for (v, r), (f, _) in zip(values, found) if v == symbol]
        if not hits:  # a code given as text for a column of numbers, and the like
            hits = [(f, r) for (v, r), (f, _) in zip(values, found) if str(v) == str(symbol)]
        if len(hits) != 1:
            what = "several symbols read" if hits else "no symbol"
            known = quote_list(sorted(str(v) for v, _ in values))
            raise DataError(f"{what} {quote(symbol)} in column {quote(by)} (its symbols: {known})")
        first, rows = hits[0]
    arrays = {f: table.columns[f][rows] for f in fields}
    index = None
    if table.times is not None:
        try:
            index = pd.DatetimeIndex(pd.to_datetime(table.times.wall()[rows], unit="s"))
        except DataError:  # numbers that order the bars but are no dates
            index = pd.Index([str(table.time_of(r)) for r in rows])
    return arrays, index, table.symbol_of(first)


def _value(col, i):
    v = col.iloc[i] if hasattr(col, "iloc") else col[i]
    return v.item() if isinstance(v, np.generic) else v


def _column(value, n):
    arr = np.asarray(value, dtype=float)
    if arr.ndim == 2:
        arr = arr[:, 0]
    return np.broadcast_to(arr, (n,)).copy()
