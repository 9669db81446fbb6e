"""The operators of the language, each defined once, with every form its executors need.

An operator node of the program (graph.Node, op = one of OPS) is computed

- over whole numpy values by `Op.values` (the batch evaluation, and the folding of
  numbers): one numpy operation, a comparison's result as 1.0 / 0.0;
- into a float64 panel by `Op.into` (the evaluation of a run of operators a chunk at a
  time): the same ufunc with out=, which gives the same values, or None where the
  operator takes more than one numpy operation;
- on the numbers of one bar by `Op.scalar` (a formula's stream): an expression over the
  Python floats {a} and {b} (IEEE doubles, each operation rounded on its own, as numpy's);
  the names it uses are in SCALAR_NAMES;

and `Op.sign` says when its values are never negative (for the look-ahead of a period
read per bar). The truth of a value, which the logical operators, the conditions of the
library's functions and the charts share, is `truth` (and TRUTH on one float).

Each operator is one opcode with one or two operands, so a program of nodes lowers to a
list of (opcode, operand registers) that any executor runs with these forms.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np


def truth(x):
    """A value is true when it is neither 0 nor missing."""
    return np.greater(np.abs(x), 0.0)


# The same rule on one Python float, as an expression over {}.
TRUTH = "abs({}) > 0.0"


def _as_float(r):
    return r.astype(np.float64) if isinstance(r, np.ndarray) else np.float64(r)


def _div(a, b):
    # IEEE division: Python raises on a zero divisor where numpy gives inf or NaN.
    if b == 0.0:
        if a != a or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


# The functions that the scalar forms call, by the names they use.
SCALAR_NAMES = {"_div": _div}


@dataclass(frozen=True)
class Op:
    name: str  # the node's op and its opcode: "add"
    spelling: str  # as the parser gives it: "+", ">=", "AND"; "-" for a negation
    arity: int
    values: Callable  # numpy values in, float64 values out
    into: np.ufunc | None  # ufunc(*args, out=panel) gives `values` into a float64 panel
    scalar: str  # the operator on one bar's floats {a} (and {b})
    sign: str  # "nonneg": never negative; "args": when no argument is; "any"


def _binary(ufunc, as_float=False):
    if as_float:
        return lambda a, b: _as_float(ufunc(a, b))
    return ufunc


def _comparison(name, spelling, ufunc, python):
    return Op(
        name,
        spelling,
        2,
        _binary(ufunc, True),
        ufunc,
        f"(1.0 if {{a}} {python} {{b}} else 0.0)",
        "nonneg",
    )


_A, _B = TRUTH.format("{a}"), TRUTH.format("{b}")

OPS: dict[str, Op] = {
    op.name: op
    for op in (
        Op("add", "+", 2, np.add, np.add, "{a} + {b}", "args"),
        Op("sub", "-", 2, np.subtract, np.subtract, "{a} - {b}", "any"),
        Op("mul", "*", 2, np.multiply, np.multiply, "{a} * {b}", "args"),
        Op("div", "/", 2, np.divide, np.divide, "_div({a}, {b})", "args"),
        _comparison("gt", ">", np.greater, ">"),
        _comparison("ge", ">=", np.greater_equal, ">="),
        _comparison("lt", "<", np.less, "<"),
        _comparison("le", "<=", np.less_equal, "<="),
        _comparison("eq", "=", np.equal, "=="),
        # A comparison with a missing value is 0: a <> b holds where a < b or a > b.
        Op(
            "ne",
            "<>",
            2,
            lambda a, b: _as_float(np.less(a, b) | np.greater(a, b)),
            None,
            "(1.0 if ({a} < {b} or {a} > {b}) else 0.0)",
            "nonneg",
        ),
        Op(
            "and",
            "AND",
            2,
            lambda a, b: _as_float(truth(a) & truth(b)),
            None,
            f"(1.0 if ({_A} and {_B}) else 0.0)",
            "nonneg",
        ),
        Op(
            "or",
            "OR",
            2,
            lambda a, b: _as_float(truth(a) | truth(b)),
            None,
            f"(1.0 if ({_A} or {_B}) else 0.0)",
            "nonneg",
        ),
        Op("neg", "-", 1, np.negative, np.negative, "-{a}", "any"),
    )
}

# The binary operators by the parser's canonical spelling.
BINARY = {op.spelling: op for op in OPS.values() if op.arity == 2}
