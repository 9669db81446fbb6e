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

import threading
import warnings
from dataclasses import dataclass

import numpy as np

from .columns import container, field_mapping, find_columns, implied_symbol
from .compiler import compile_program
from .errors import DataError, DataWarning, FormulaError, MissingDataWarning, arg, quote, short
from .evaluate import Plan, evaluate_plan
from .graph import lookahead_nodes, scalar_values
from .lexer import decode, fold
from .missing import FILLS, MissingReport, evaluate_with_gaps
from .params import missing_error, param_value
from .rules import check_values
from .syntax import parse
from .tables import Mapped, Table, single

__all__ = [
    "DataError",
    "DataWarning",
    "Formula",
    "FormulaError",
    "LookAhead",
    "MissingDataWarning",
]


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
        self._last = threading.local()  # what this thread's latest call noted

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

    def columns(self, names, /, mapping=None):
        """{field: column name} of the columns that the formula reads from a table with
        these column names, each found as evaluation finds it (case-insensitively, by the
        field's names: close or c for CLOSE, vol, volume or v for VOL, ...; `mapping`
        as the call's columns=). Raises DataError for a field without a column or with
        several."""
        return find_columns(list(names), self.inputs, mapping=field_mapping(mapping))

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
        drawn vocabulary and attributes without effect; then what the data of this
        thread's latest call showed (missing values, a symbol column used)."""
        notes = [f"line {line}: {name} is not drawn" for name, line in self._program.not_drawn]
        notes += [
            f"line {line}: the attribute {name} has no effect"
            for name, line in self._program.ignored_attributes
        ]
        notes += getattr(self._last, "notes", ())  # the data of this thread's latest call
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
                    f"unknown parameter {short(str(name))} (the formula's parameters: {known})"
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

    def __call__(
        self,
        data,
        /,
        *,
        by=None,
        time=None,
        time_format=None,
        columns=None,
        fill=None,
        progress=None,
        params=None,
        **overrides,
    ):
        """Evaluates the formula over `data` with parameters overridden by `params` (a
        mapping of name to value) and by keyword (`f(data, MID=5)`).

        data: a pandas or polars DataFrame (one symbol, or many with `by`), a mapping of
        field name to 1-D array or to 2-D panel (rows = bars, one column per symbol).
        by: the symbol column of a long table; without it a column named symbol, code,
        ticker, ts_code, 代码 (...) that holds several symbols is used, with a
        DataWarning. time: the time column when not named date, datetime, time,
        timestamp, trade_date, 日期 (...), or a DatetimeIndex; the bars of each symbol
        are ordered by it, parsed as times (never as text). time_format: the form of
        text times that read two ways (strftime codes, "%d/%m/%Y") or the unit of epoch
        numbers ("s", "ms", "us", "ns"). columns: {field: column} where the names do not
        say it ({"CLOSE": "Adj Close"}). fill: "ffill" forward-fills missing values of
        the price fields (OPEN, HIGH, LOW, CLOSE) before evaluation; by default a missing
        value inside a symbol's bars gives a MissingDataWarning (and a line in `notes`).
        progress: called as progress(done, total) with counts of symbols while a long
        table is evaluated. A parameter named like one of these keywords is given in
        params=.
        """
        result, _, notes = self._apply(
            data, by, time, time_format, columns, fill, progress, params, overrides
        )
        for category, message in notes:
            if category is not None:
                warnings.warn(message, category, stacklevel=2)
        return result

    def _apply(
        self, data, by, time, time_format, columns, fill, progress, params, overrides, pick=None
    ):
        """(result, the Table or Mapped read, [(warning category, or None for a note
        that is not warned, message)]). With `pick` (a long table only), the outputs of
        each block of symbols go to pick.take(n, rows, outputs) instead of a result
        (None), once pick.start(table) has seen the table read."""
        values = self._param_values(self._merged(params, overrides))
        scalars = self._scalars_for(values)
        if fill is not None and fill not in FILLS:
            raise ValueError(f"fill must be None or 'ffill', not {quote(fill)}")
        mapping = field_mapping(columns)
        holder = container(data)
        if holder is None:
            raise DataError(
                "data must be a pandas or polars DataFrame or a mapping of field name to "
                f"array, not {type(data).__name__}"
            )
        notes = []
        report = MissingReport()
        if holder == "mapping":
            if by is not None:
                raise DataError(f"{arg('by')} needs a pandas or polars DataFrame (a long table)")
            mapped = Mapped(data, self.inputs, time=time, time_format=time_format, columns=mapping)
            symbol, when = mapped.labels()
            out = self._checked(
                mapped.panels, mapped.n, mapped.m, scalars, fill, report, symbol, when
            )
            result, table = mapped.restore(out), mapped
        else:
            implied = None
            if by is None:
                implied = by = implied_symbol(data)
            table = Table(
                data,
                holder,
                self.inputs,
                by=by,
                time=time,
                time_format=time_format,
                columns=mapping,
            )
            if implied is not None:
                notes.append(
                    (
                        DataWarning,
                        f"{table.symbols:,} symbols in column {quote(implied)}: each "
                        f"evaluated on its own, as with {arg('by', implied)}",
                    )
                )
            if pick is not None:
                pick.start(table)
            full = {name: np.empty(table.nrows) for name in self.outputs} if pick is None else {}
            done, total = 0, table.symbols
            for n, rows in table.blocks:
                m = rows.shape[1]
                symbol, when = table.labels(rows)
                out = self._checked(
                    table.panels(n, rows), n, m, scalars, fill, report, symbol, when
                )
                if pick is None:
                    table.store(full, n, rows, out)
                else:
                    pick.take(n, rows, out)
                done += m
                if progress is not None and by is not None:
                    progress(done, total)
            result = table.restore(full) if pick is None else None
        for harmful, text in report.messages(fill):
            notes.append((MissingDataWarning if harmful else None, text))
        self._last.notes = [t for _, t in notes] + report.filled_notes()
        return result, table, notes

    @staticmethod
    def _merged(params, overrides):
        if params is None:
            return overrides
        from collections.abc import Mapping

        if not isinstance(params, Mapping):
            raise TypeError(
                "params= takes a mapping of parameter name to value, not "
                f"{type(params).__name__} (a parameter named params: params={{'params': ...}})"
            )
        merged = dict(params)
        upper = {str(k).upper() for k in merged}
        for name, value in overrides.items():
            if name.upper() in upper:
                raise TypeError(f"parameter {name} given both in params= and by keyword")
            merged[name] = value
        return merged

    def _checked(self, panels, n, m, scalars, fill, report, symbol, when):
        """The outputs over panels of n bars x m symbols, with missing values inside a
        symbol's bars filled or reported (missing.evaluate_with_gaps)."""

        def evaluate(panels, n, m):
            return self._evaluate(panels, n, m, scalars)[0]

        return evaluate_with_gaps(evaluate, panels, n, m, fill, report, symbol, when)

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

    def screen(
        self,
        data,
        /,
        *,
        by="symbol",
        when="BUY",
        date=None,
        sort=None,
        descending=True,
        top=None,
        time=None,
        time_format=None,
        columns=None,
        fill=None,
        progress=None,
        params=None,
        **overrides,
    ):
        """The symbols of a long table whose output `when` is true (non-zero, not missing)
        at their latest bar, or at their bar at `date` (a symbol without one is left out):
        a table of the caller's kind (pandas or polars) with the symbol (column `by`), the
        time of that bar and every output's value there, one row per symbol.

        when: an output, or None to keep every symbol (a ranking). date: a bar's time,
        read as the time column is (text in its form, a datetime or date, or a number like
        its numbers). sort: the output the rows are ordered by, largest first unless
        `descending` is False; a missing value sorts last, ties and an unsorted screen go
        in symbol order. top: the first rows kept after sorting. by: the symbol column
        (by default the one named symbol, code, ticker, ts_code, 代码, ...); time,
        time_format, columns, fill, progress, params and keywords: as for a call, whose
        reading and values the screen shares bit for bit. Warned: symbols kept whose
        latest bar is older than the table's newest (DataWarning), symbols missing a
        field's value at the bar screened (MissingDataWarning). See
        docs/formula-language.md, Screens."""
        from .screen import screen

        result, notes = screen(
            self,
            data,
            by=by,
            when=when,
            date=date,
            sort=sort,
            descending=descending,
            top=top,
            time=time,
            time_format=time_format,
            columns=columns,
            fill=fill,
            progress=progress,
            params=params,
            overrides=overrides,
        )
        for category, message in notes:
            if category is not None:
                warnings.warn(message, category, stacklevel=2)
        return result

    def panels(self, fields, /, **params):
        """Evaluates over a mapping of (n, m) panels and returns ({output: (n, m)
        array}, {node id: value} of the drawings' arguments)."""
        values = self._param_values(params)
        scalars = self._scalars_for(values)
        panels, n, m, _ = single(fields, self.inputs)
        keep = [a for d in self._program.drawings for a in d.args if isinstance(a, int)]
        return self._evaluate(panels, n, m, scalars, keep)

    def chart(
        self,
        data,
        /,
        symbol=None,
        *,
        by=None,
        time=None,
        time_format=None,
        columns=None,
        last=250,
        title=None,
        params=None,
        **overrides,
    ):
        """A chart of the formula over one symbol's bars (a `vexa.chart.Chart`): candles,
        volume, the output lines and the drawings. In a notebook it displays itself;
        `vexa.chart.draw(chart, "x.png")` (or `.html`) writes it to a file.

        data, by, time, time_format, columns, params: as for a call (a table of one
        symbol, a long table with `by`, or a mapping of 1-D series), read the same way.
        symbol: the symbol to draw from a long table (default: the first in the table).
        last: the bars drawn in a PNG, the last ones (None: all); the HTML keeps every bar
        and opens on them. title: default the outputs and symbol. Needs the chart extra
        (matplotlib, bokeh, pandas) to draw."""
        from ..chart._formula import chart_of

        params = self._merged(params, overrides)
        read = {"by": by, "time": time, "time_format": time_format, "columns": columns}
        return chart_of(self, data, symbol, read, last, title, params)

    def stream(self, *, max_period=1000, symbols=None, **params):
        """The formula one bar at a time: `update(bar)` takes a mapping of the fields
        (open, high, low, close, volume; any case) and returns {output: float} of the new
        bar, bit for bit the formula over the whole history at that bar. `max_period`:
        the bars kept by functions whose period is read per bar. `symbols` (a count or
        a list of names): a market stream, whose update takes one bar of every symbol
        ({field: 1-D array}, present=) and returns {output: 1-D array}; its screen(bar,
        when) the symbols whose `when` output is true. See vexa.formula.stream."""
        from .market import MarketFormulaStream
        from .stream import FormulaStream

        values = self._param_values(params)
        scalars = self._scalars_for(values)
        if symbols is not None:
            return MarketFormulaStream(self, self._program, scalars, params, max_period, symbols)
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
