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
from .compiler import compile_program, lookahead_nodes, scalar_values
from .data import LongTable, kind_of, single
from .errors import DataError, FormulaError
from .evaluate import evaluate
from .lexer import decode
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
    """A compiled formula. `Formula(text, **defaults)`; call it with data to evaluate."""

    def __init__(self, text, **defaults):
        self._text = decode(text)
        source, statements = parse(self._text)
        self._source = source
        self._program = compile_program(source, statements, defaults)
        self._defaults = dict(defaults)
        program = self._program
        self._scalars = scalar_values(program, program.params)
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
        """Parameters and their defaults."""
        return dict(self._program.params)

    @property
    def inputs(self):
        """The data fields used, by their long names (OPEN, HIGH, LOW, CLOSE, VOL,
        AMOUNT)."""
        return self._program.inputs

    @property
    def looks_ahead(self):
        """The statements that read later bars (an empty tuple when none does), with the
        default parameters."""
        return self._ahead

    def lookahead_with(self, **params):
        """`looks_ahead` with parameters overridden."""
        values = self._param_values(params)
        return self._lookahead(scalar_values(self._program, values))

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
            if st.kind == "drawing":
                d = next(d for d in self._program.drawings if d.line == st.line)
                ids = [a for a in d.args if isinstance(a, int)]
            for i in ids:
                if i in ahead:
                    found.append(LookAhead(st.label, st.line, ahead[i]))
                    break
        return tuple(found)

    def _param_values(self, overrides):
        values = dict(self._program.params)
        by_upper = {k.upper(): k for k in values}
        for name, value in overrides.items():
            key = by_upper.get(name.upper())
            if key is None:
                known = ", ".join(values) or "none"
                raise FormulaError(f"unknown parameter {name} (the formula's parameters: {known})")
            from .compiler import _param_value

            values[key] = _param_value(name, value)
        return values

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
        scalars = (
            self._scalars
            if values == self._program.params
            else scalar_values(self._program, values)
        )
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
            results, done, total = [], 0, table.symbols
            for length, rows in table.blocks:
                out = self._run(table.panels(rows), length, rows.shape[1], scalars)[0]
                results.append((rows, out))
                done += rows.shape[1]
                if progress is not None:
                    progress(done, total)
            if not results:
                results.append(
                    (np.zeros((0, 0), dtype=np.int64), {k: np.zeros((0, 0)) for k in self.outputs})
                )
            return table.restore(results)
        if time is not None:
            raise DataError("time= goes with by= (a long table of many symbols)")
        panels, n, m, restore = single(data, kind, self.inputs)
        return restore(self._run(panels, n, m, scalars)[0])

    def _run(self, panels, n, m, scalars, keep=()):
        try:
            values = evaluate(self._program, panels, None, scalars, n, m, keep)
        except FormulaError as e:
            pos = getattr(e, "node_pos", None)
            if pos is None:
                raise
            raise self._source.error(e.message, self._source.position(pos)) from None
        out = {}
        for o in self._program.outputs:
            v = values[o.node]
            out[o.name] = v if np.ndim(v) == 2 else np.full((n, m), v)
        return out, values

    def panels(self, fields, **params):
        """Evaluates over a mapping of (n, m) panels and returns ({output: (n, m)
        array}, {node id: value} of the drawings' arguments)."""
        values = self._param_values(params)
        scalars = scalar_values(self._program, values)
        panels, n, m, _ = single(fields, "mapping", self.inputs)
        keep = [a for d in self._program.drawings for a in d.args if isinstance(a, int)]
        return self._run(panels, n, m, scalars, keep)

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


def functions():
    """{name: catalogue entry} of every function a formula can call."""
    return dict(catalogue.FUNCTIONS)
