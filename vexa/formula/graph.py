"""The checked program: an arena of nodes in evaluation order, and what is read off it.

Every node comes after its arguments and is computed once; `Node.id` is its index in
`Program.nodes` and its arguments are nodes of lower index, so a program is a list of
(op, argument ids) that any executor walks in order: the batch evaluation (evaluate.py),
the stream of one bar (stream.py), or a lowering to opcodes over registers. The ops:

- "num", "param", "field": a number, a parameter's value, a data field (the leaves);
- "call": a function of the table (`func.row`), through the everyday functions;
- "np": a function of the language computed over numpy (`func.impl(block, *values)`);
- an operator of ops.OPS ("add", "gt", "and", "neg", ...).

A node's shape is SCALAR (one number for every bar and symbol) or SERIES_SHAPE. Read off
the program here: the nodes the outputs need (`needed`), the values of its numbers for
given parameters (`scalar_values`), and which nodes read later bars (`lookahead_nodes`).
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .errors import FormulaError
from .ops import OPS

SCALAR, SERIES_SHAPE = "scalar", "series"


class Node:
    __slots__ = ("ahead", "args", "func", "id", "label", "nonneg", "op", "pos", "shape", "value")

    def __init__(self, op, args, shape, pos, value=None, func=None, label=None):
        self.op, self.args, self.shape, self.pos = op, args, shape, pos
        self.value, self.func, self.label = value, func, label
        self.ahead = None  # look-ahead rule: None, "always", "negative", "positive"
        self.nonneg = False
        self.id = -1


@dataclass
class Output:
    name: str
    node: int
    line: int
    style: str = "line"
    color: str | None = None
    width: int | None = None
    drawn: bool = True


@dataclass
class Drawing:
    kind: str  # STICKLINE, DRAWTEXT, DRAWICON, DRAWNUMBER
    args: tuple  # node ids, or the text of DRAWTEXT
    line: int
    color: str | None = None


@dataclass
class StatementInfo:
    label: str  # the name, or the text of an unnamed statement
    kind: str  # "output", "var", "expr", "drawing", "nodraw"
    node: int | None
    line: int
    drawing: int | None = None  # the index of its drawing in Program.drawings


@dataclass
class Program:
    nodes: list
    outputs: list
    drawings: list
    statements: list
    params: dict  # name as written -> default, None where there is none
    inputs: tuple
    not_drawn: list  # (name, line)
    ignored_attributes: list  # (name, line)
    free: dict = field(default_factory=dict)  # parameter by use -> (offset, close matches)
    checks: list = field(default_factory=list)  # rules.Check of the calls' number arguments
    source: object = None


def needed(program, drawings=True):
    """The ids of the nodes that the outputs (and the drawings) need, and the index of the
    last node that reads each of them."""
    want = set()
    stack = [o.node for o in program.outputs]
    if drawings:
        for d in program.drawings:
            stack.extend(a for a in d.args if isinstance(a, int))
    nodes = program.nodes
    while stack:
        i = stack.pop()
        if i in want:
            continue
        want.add(i)
        stack.extend(a.id for a in nodes[i].args)
    last = {}
    for i in sorted(want):
        for a in nodes[i].args:
            last[a.id] = i
    return want, last


def apply_elementwise(node, vals, block):
    """The value of an operator node or a numpy function node from its arguments'."""
    if node.op == "np":
        return node.func.impl(block, *vals)
    return OPS[node.op].values(*vals)


def at_node(program, node, message):
    """A FormulaError at the place of `node` in the formula's text."""
    source = program.source
    if source is None:
        return FormulaError(message)
    return source.error(message, source.position(node.pos))


def scalar_values(program, params):
    """{node id: float64} for every node that is one number, with `params` (name as
    written -> value, None where there is none: the nodes that need it are None). The
    same numpy operations as the evaluation of series."""
    values = {}
    with np.errstate(all="ignore"):
        for n in program.nodes:
            if n.shape != SCALAR:
                continue
            if n.op == "num":
                values[n.id] = np.float64(n.value)
            elif n.op == "param":
                v = params[n.value]
                values[n.id] = None if v is None else np.float64(v)
            else:
                args = [values[a.id] for a in n.args]
                if any(a is None for a in args):
                    values[n.id] = None
                    continue
                try:
                    values[n.id] = apply_elementwise(n, args, None)
                except FormulaError as e:
                    raise at_node(program, n, e.message) from None
    return values


def period(value):
    """A period as the kernels take it: truncated toward zero, or None beyond int32."""
    v = float(value)
    if not (-2147483649.0 < v < 2147483648.0):
        return None
    return int(v)


def lookahead_nodes(program, scalars):
    """{node id: the function that reads later bars} for every node that reads later
    bars itself or through its arguments. A period without a value (a parameter not
    given) counts as one that may read later bars."""
    ahead = {}
    for n in program.nodes:
        src = None
        if n.ahead == "always":
            src = n.label
        elif n.ahead in ("negative", "positive"):
            arg = n.args[1]
            if arg.shape == SCALAR:
                v = scalars[arg.id]
                p = None if v is None else period(v)
                if v is None or (p is not None and ((p < 0) if n.ahead == "negative" else (p > 0))):
                    src = n.label
            elif n.ahead == "negative" and not arg.nonneg:
                src = n.label  # a per-bar period that may be negative
        if src is None:
            for a in n.args:
                if a.id in ahead:
                    src = ahead[a.id]
                    break
        if src is not None:
            ahead[n.id] = src
    return ahead
