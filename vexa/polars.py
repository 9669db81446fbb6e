"""vexa in polars expressions and frames: `import vexa.polars` registers them.

    import polars as pl
    import vexa.polars

    df.with_columns(
        ma20=pl.col("close").vexa.MA(20).over("symbol", order_by="date"),
        up=pl.col("close").vexa.CROSS(pl.col("open")).over("symbol", order_by="date"),
    )
    df.vexa.formula(MACD, by="symbol", SHORT=12)    # a DataFrame; on a LazyFrame, lazy

`pl.Expr.vexa` has one method per function of the table (`vexa.table.ALL`): the
expression is the function's first series, the method takes the others, as vexa.NAME
does. A series parameter takes an expression, a column name or a number; an integer or
real parameter a number, except the period of MA, SUM, COUNT, LLV, HHV and REF, where an
expression reads the period of every bar (MA_A, ...), as vexa.MA does with a series.
Each series the expression gives (the whole column, or each group under `.over(...)`,
in the group's row order or `order_by`'s) is computed by vexa.NAME itself, so every
value has its bits. Nulls read as missing values (NaN); the result is Float64.

`DataFrame.vexa.formula` and `LazyFrame.vexa.formula` evaluate a vexa.Formula over the
frame and give it back with the outputs as Float64 columns, row for row.
"""

from __future__ import annotations

import inspect
from functools import partial

import numpy as np

try:
    import polars as pl
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("vexa.polars needs polars (python3 -m pip install polars)") from e

from . import _native
from .formula import Formula
from .table import ALL, INT, Function

__all__ = ["ExprNamespace", "FrameNamespace", "LazyFrameNamespace"]

NAMESPACE = "vexa"
_ONE_BAR = np.ones(1)  # stands for each series when the numbers are checked


class _Input:
    """A parameter given as an expression: the index of its series among the inputs."""

    __slots__ = ("index",)

    def __init__(self, index):
        self.index = index


def _series(s: pl.Series) -> pl.Series:
    # A column of nulls alone (dtype Null) holds no numbers: every bar is missing.
    return s.cast(pl.Float64) if s.dtype == pl.Null else s


def _run(fn: Function, slots, series):
    """fn over the series of one batch (the column, or one group): series[0] is the
    expression's, the others those of the parameters given as expressions."""
    expected = 1 + sum(isinstance(s, _Input) for s in slots)
    if len(series) != expected:
        raise ValueError(
            f"{fn.name}: got {len(series)} series for {expected} inputs (an expression of "
            "several columns goes first; each parameter takes one column)"
        )
    first = _series(series[0])
    n = len(first)
    args = [first]
    for slot in slots:
        if not isinstance(slot, _Input):
            args.append(slot)
            continue
        s = _series(series[slot.index])
        if len(s) == 1 and n != 1:
            # A value of one row (a literal, an aggregate) stands for every bar.
            value = s.cast(pl.Float64)[0]
            s = np.full(n, np.nan if value is None else value)
        args.append(s)
    return getattr(_native, fn.name)(*args)


def _expression(fn: Function, expr: pl.Expr, values, takes_series) -> pl.Expr:
    inputs, slots = [], []
    for p, v, series_ok in zip(fn.params[1:], values, takes_series):
        if series_ok and isinstance(v, str):
            v = pl.col(v)
        number = "an integer" if p.kind == INT else "a number"
        if isinstance(v, pl.Expr):
            if not series_ok:
                raise TypeError(
                    f"{fn.name}: {p.name} must be {number}, not an expression (it is one "
                    "value for every bar)"
                )
            inputs.append(v)
            slots.append(_Input(len(inputs)))
            continue
        try:
            scalar = np.ndim(v) == 0
        except ValueError:
            scalar = False
        if not scalar or isinstance(v, pl.Series):
            accepted = "an expression, a column name or a number" if series_ok else number
            raise TypeError(f"{fn.name}: {p.name} must be {accepted}, not {type(v).__name__}")
        slots.append(v)
    # The numbers are checked now, by the function itself over one bar: a refused
    # period fails here, with the function's own message, not when the frame is computed.
    getattr(_native, fn.name)(_ONE_BAR, *[_ONE_BAR if isinstance(s, _Input) else s for s in slots])
    run = partial(_run, fn, tuple(slots))
    if not inputs:
        return expr.map_batches(lambda s: run([s]), return_dtype=pl.Float64)
    return pl.map_batches([expr, *inputs], run, return_dtype=pl.Float64)


def _method(fn: Function):
    rest = fn.params[1:]
    # The period of a function with a per-bar variant may be a series (MA -> MA_A).
    takes_series = tuple(
        p.is_series or (fn.per_bar is not None and i == 0 and p.kind == INT)
        for i, p in enumerate(rest)
    )
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    signature = inspect.Signature(
        [inspect.Parameter("self", inspect.Parameter.POSITIONAL_ONLY)]
        + [inspect.Parameter(p.name, kind) for p in rest],
        return_annotation=pl.Expr,
    )

    def method(self, *args, **kwargs):
        try:
            bound = signature.bind(self, *args, **kwargs)
        except TypeError as e:
            raise TypeError(f"{fn.name}: {e}") from None
        values = [bound.arguments[p.name] for p in rest]
        return _expression(fn, self._expr, values, takes_series)

    names = ", ".join(["expr", *(p.name for p in rest)])
    method.__name__ = method.__qualname__ = fn.name
    method.__signature__ = signature
    method.__doc__ = (
        f"{fn.summary}: an expression of Float64 values, {fn.name}({names}) over each "
        "series of the expression (the column, or each group under .over), bit for bit "
        f"vexa.{fn.name} on that series. Nulls read as missing values.\n\n"
        + getattr(_native, fn.name).__doc__
    )
    return method


@pl.api.register_expr_namespace(NAMESPACE)
class ExprNamespace:
    """The functions of vexa as expression methods: `pl.col("close").vexa.MA(20)`.
    See vexa.polars."""

    def __init__(self, expr: pl.Expr):
        self._expr = expr


for _fn in ALL:
    setattr(ExprNamespace, _fn.name, _method(_fn))
del _fn


def _formula(text) -> Formula:
    if isinstance(text, Formula):
        return text
    if not isinstance(text, str):
        raise TypeError(
            f"formula: text must be formula text or a vexa.Formula, not {type(text).__name__}"
        )
    return Formula(text)


def _with_outputs(f: Formula, read, params, df: pl.DataFrame) -> pl.DataFrame:
    out = f(df, **read, params=params)
    return df.with_columns(out.get_column(name) for name in f.outputs)


def _read(by, time, time_format, columns, fill):
    return {"by": by, "time": time, "time_format": time_format, "columns": columns, "fill": fill}


def _params(params, overrides):
    """The parameters of params= (a mapping, for names such as by or time) and keywords."""
    merged = dict(params or {})
    merged.update(overrides)
    return merged


@pl.api.register_dataframe_namespace(NAMESPACE)
class FrameNamespace:
    """`df.vexa.formula(text, by="symbol", **params)`. See vexa.polars."""

    def __init__(self, df: pl.DataFrame):
        self._df = df

    def formula(
        self,
        text,
        /,
        by=None,
        *,
        time=None,
        time_format=None,
        columns=None,
        fill=None,
        params=None,
        **overrides,
    ) -> pl.DataFrame:
        """The frame with the formula's outputs as Float64 columns (an output named like a
        column replaces it, as with_columns does), row for row, bit for bit what
        `vexa.Formula(text)(df, by=by, **params)` gives.

        text: formula text or a vexa.Formula. by: the symbol column of a long table (each
        symbol evaluated on its own, its bars in the order of the time column); None for
        a table of one symbol. time, time_format, columns, fill: read as a formula's call
        reads them. params (a mapping) and keywords: the formula's parameters."""
        read = _read(by, time, time_format, columns, fill)
        return _with_outputs(_formula(text), read, _params(params, overrides), self._df)


@pl.api.register_lazyframe_namespace(NAMESPACE)
class LazyFrameNamespace:
    """`lf.vexa.formula(text, by="symbol", **params)`. See vexa.polars."""

    def __init__(self, lf: pl.LazyFrame):
        self._lf = lf

    def formula(
        self,
        text,
        /,
        by=None,
        *,
        time=None,
        time_format=None,
        columns=None,
        fill=None,
        params=None,
        **overrides,
    ) -> pl.LazyFrame:
        """DataFrame.vexa.formula as a step of the lazy query: the formula, its
        parameters and the columns it reads are checked now, against the frame's schema;
        the outputs are computed when the query is collected, over the whole frame (no
        filter or slice after this step is moved before it)."""
        f = _formula(text)
        read = _read(by, time, time_format, columns, fill)
        step = partial(_with_outputs, f, read, _params(params, overrides))
        # The step over an empty frame of the same schema: every check the data allows
        # before it exists, and the schema of the result.
        schema = step(pl.DataFrame(schema=self._lf.collect_schema())).schema
        return self._lf.map_batches(step, schema=schema)
