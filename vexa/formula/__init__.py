"""Formulas of the stock-chart formula language, compiled once and evaluated over tables.

    f = vexa.Formula("DIF:=EMA(C,SHORT)-EMA(C,LONG); DEA:EMA(DIF,MID);",
                     SHORT=12, LONG=26, MID=9)
    f(df)                          # a DataFrame of the output lines, df's index
    f(long_table, by="symbol")     # many symbols; keeps the symbol and time columns
    f(df, MID=12)                  # parameters overridden for this call

The text is parsed by hand-written code (a tokenizer and a precedence climber), never
executed as Python; see docs/formula-language.md for the language.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import catalogue
from .compiler import (
    check_values,
    compile_program,
    lookahead_nodes,
    missing_error,
    param_value,
    scalar_values,
)
from .data import LongTable, find_columns, kind_of, single
from .errors import DataError, FormulaError
from .evaluate import Plan, evaluate_plan
from .lexer import decode, fold
from .syntax import parse

__all__ = ["DataError", "Formula", "FormulaError", "LookAhead"]


@dataclass(frozen=True)
class LookAhead:
    """A statement whose values use later bars, and the function that reads them."""

    statement: str
    line: int
    function: str

    def __str__(self):
        return f"{self.statement} (line {self.line}) reads later bars through {self.function}"


class Formula:
    """A compiled formula. `Formula(text, **defaults)`; call it with data to evaluate.

    A name that is no data field, variable or function is a parameter: its value comes
    from `defaults`, from `INPUT:` in the formula, or at the call (`f(data, N=5)`).
    `params` lists them (None where there is no value yet); evaluating without a value
    for each is an error naming every one missing. A keyword of `defaults` that names
    no parameter is an error."""

    def __init__(self, text, /, **defaults):
        self._text = decode(text)
        source, statements = parse(self._text)
        self._source = source
        self._program = compile_program(source, statements, defaults)
        self._defaults = dict(defaults)
        program = self._program
        self._scalars = scalar_values(program, program.params)
        check_values(program, self._scalars)
        self._plan = None  # the evaluation's plan, made at the first call
        self._ahead = self._lookahead(self._scalars)

    # ---- what the formula is ----------------------------------------------------------

    @property
    def text(self):
        return self._text

    @property
    def outputs(self):
        """Names of the output lines, in statement order."""
        return tuple(o.name for o in self._program.outputs)

    @property
    def params(self):
        """Parameters and their defaults (None for a parameter without one), declared
        ones (INPUT:) first, then the others in the order the formula reads them."""
        return dict(self._program.params)

    @property
    def inputs(self):
        """The data fields used, by their long names (OPEN, HIGH, LOW, CLOSE, VOL,
        AMOUNT)."""
        return self._program.inputs

    def columns(self, names):
        """{field: column name} of the columns that the formula reads from a table with
        these column names, each found as evaluation finds it (case-insensitively, by the
        field's names: close or c for CLOSE, vol, volume or v for VOL, ...). Raises
        DataError for a field without a column or with several."""
        return find_columns(list(names), self.inputs)

    @property
    def looks_ahead(self):
        """The statements that read later bars (an empty tuple when none does), with the
        default parameters; a period whose parameter has no value counts as one that
        may read later bars."""
        return self._ahead

    def lookahead_with(self, /, **params):
        """`looks_ahead` with parameters overridden."""
        values = self._param_values(params, complete=False)
        scalars = scalar_values(self._program, values)
        check_values(self._program, scalars)
        return self._lookahead(scalars)

    @property
    def drawings(self):
        return tuple(self._program.drawings)

    @property
    def notes(self):
        """What the formula asks for that is not drawn: drawing statements outside the
        drawn vocabulary and attributes without effect."""
        notes = [f"line {line}: {name} is not drawn" for name, line in self._program.not_drawn]
        notes += [
            f"line {line}: the attribute {name} has no effect"
            for name, line in self._program.ignored_attributes
        ]
        return tuple(notes)

    def _lookahead(self, scalars):
        ahead = lookahead_nodes(self._program, scalars)
        found = []
        for st in self._program.statements:
            ids = [st.node] if st.node is not None else []
            if st.drawing is not None:
                d = self._program.drawings[st.drawing]
                ids = [a for a in d.args if isinstance(a, int)]
            for i in ids:
                if i in ahead:
                    found.append(LookAhead(st.label, st.line, ahead[i]))
                    break
        return tuple(found)

    def _param_values(self, overrides, complete=True):
        """{name: value} of every parameter, `overrides` (a mapping of name to number)
        over the defaults. Refuses a name that is no parameter, a value that is no finite
        number and, when `complete`, a parameter left without a value."""
        values = dict(self._program.params)
        by_upper = {fold(k): k for k in values}
        seen = {}
        for name, value in overrides.items():
            key = by_upper.get(fold(name)) if isinstance(name, str) else None
            if key is None:
                known = ", ".join(values) or "none"
                raise FormulaError(
                    f"unknown parameter {_short(str(name))} (the formula's parameters: {known})"
                )
            if key in seen:
                raise FormulaError(f"parameters {seen[key]} and {name} differ only in case")
            seen[key] = name
            values[key] = param_value(name, value)
        if complete:
            missing = [k for k, v in values.items() if v is None]
            if missing:
                raise missing_error(self._program, missing)
        return values

    def _scalars_for(self, values):
        """The scalar nodes' values for complete parameter `values`, checked."""
        if values == self._program.params:
            return self._scalars
        scalars = scalar_values(self._program, values)
        check_values(self._program, scalars)
        return scalars

    # ---- evaluation ---------------------------------------------------------------

    def __call__(self, data, *, by=None, time=None, progress=None, **params):
        """Evaluates the formula over `data` with parameters overridden by `params`.

        data: a pandas or polars DataFrame (one symbol, or many with `by`), a mapping of
        field name to 1-D array or to 2-D panel (rows = bars, one column per symbol).
        by: the symbol column of a long table; time: its time column when not named
        date, datetime, time or timestamp. progress: called as progress(done, total)
        with counts of symbols while a long table is evaluated.
        """
        values = self._param_values(params)
        scalars = self._scalars_for(values)
        kind = kind_of(data)
        if kind is None:
            raise DataError(
                "data must be a pandas or polars DataFrame or a mapping of field name to "
                f"array, not {type(data).__name__}"
            )
        if by is not None:
            if kind not in ("pandas", "polars"):
                raise DataError("by= needs a pandas or polars DataFrame (a long table)")
            table = LongTable(data, kind, by, time, self.inputs)
            full = {name: np.empty(table.nrows) for name in self.outputs}
            done, total = 0, table.symbols
            for n, rows in table.blocks:
                m = rows.shape[1]
                out = self._evaluate(table.panels(n, rows), n, m, scalars)[0]
                table.store(full, n, rows, out)
                done += m
                if progress is not None:
                    progress(done, total)
            return table.restore(full)
        if time is not None:
            raise DataError("time= goes with by= (a long table of many symbols)")
        panels, n, m, restore = single(data, kind, self.inputs)
        return restore(self._evaluate(panels, n, m, scalars)[0])

    def _evaluate(self, panels, n, m, scalars, keep=()):
        """({output: (n, m) array}, {node id: value} of the kept nodes) over panels of
        n bars x m symbols."""
        if keep:
            plan = Plan(self._program, keep)
        else:
            if self._plan is None:
                self._plan = Plan(self._program)
            plan = self._plan
        try:
            values, owned = evaluate_plan(plan, panels, scalars, n, m)
        except FormulaError as e:
            pos = getattr(e, "node_pos", None)
            if pos is None:
                raise
            raise self._source.error(e.message, self._source.position(pos)) from None
        kept = {}
        for i in plan.keep:
            v = values[i]
            # The caller's own panels (an output that is a data field) and broadcast
            # views are copied: a result never shares memory with them.
            if np.ndim(v) == 2 and i not in owned:
                v = np.array(v, dtype=np.float64)
            kept[i] = v
        out, seen = {}, set()
        for o in self._program.outputs:
            v = kept[o.node]
            if np.ndim(v) != 2:
                v = np.full((n, m), v)
            elif o.node in seen:
                v = v.copy()  # two outputs of one value: two arrays
            seen.add(o.node)
            out[o.name] = v
        return out, kept

    def panels(self, fields, /, **params):
        """Evaluates over a mapping of (n, m) panels and returns ({output: (n, m)
        array}, {node id: value} of the drawings' arguments)."""
        values = self._param_values(params)
        scalars = self._scalars_for(values)
        panels, n, m, _ = single(fields, "mapping", self.inputs)
        keep = [a for d in self._program.drawings for a in d.args if isinstance(a, int)]
        return self._evaluate(panels, n, m, scalars, keep)

    def chart(self, data, symbol=None, *, by=None, time=None, last=250, title=None, **params):
        """A chart of the formula over one symbol's bars (a `vexa.chart.Chart`): candles,
        volume, the output lines and the drawings. In a notebook it displays itself;
        `vexa.chart.draw(chart, "x.png")` (or `.html`) writes it to a file.

        data: as for a call (a table of one symbol, a long table with `by`, or a mapping of
        1-D series), read the same way. symbol: the symbol to draw from a long table (default:
        the first in the table). last: the bars drawn in a PNG, the last ones (None: all);
        the HTML keeps every bar and opens on them. title: default the outputs and symbol.
        Needs the chart extra (matplotlib, bokeh, pandas) to draw."""
        from ..chart._formula import chart_of

        return chart_of(self, data, symbol, by, time, last, title, params)

    def stream(self, *, max_period=1000, **params):
        """The formula one bar at a time: `update(bar)` takes a mapping of the fields
        (open, high, low, close, volume; any case) and returns {output: float} of the new
        bar, bit for bit the formula over the whole history at that bar. `max_period`:
        the bars kept by functions whose period is read per bar. See vexa.formula.stream."""
        from .stream import FormulaStream

        values = self._param_values(params)
        scalars = self._scalars_for(values)
        return FormulaStream(self, self._program, scalars, params, max_period)

    # ---- the rest -----------------------------------------------------------------

    def __reduce__(self):
        return (_rebuild, (self._text, self._defaults))

    def __repr__(self):
        first = self._text.strip().split("\n", 1)[0]
        if len(first) > 60:
            first = first[:57] + "..."
        return f"Formula({first!r}, outputs={list(self.outputs)})"


def _rebuild(text, defaults):
    return Formula(text, **defaults)


def _short(text, width=40):
    return text if len(text) <= width else text[: width - 3] + "..."


def functions():
    """{name: catalogue entry} of every function a formula can call."""
    return dict(catalogue.FUNCTIONS)
