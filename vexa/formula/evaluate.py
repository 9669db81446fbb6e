"""Evaluation of a checked program over one block of panels.

A block is n bars of m symbols that share their bars: every data field is an (n, m)
float64 panel. Each node is computed once, in program order, and dropped after its last
use. Table functions go through the adapter (the everyday functions); the only
arithmetic done here is the element-wise operators, one numpy operation per operator
in the order the formula writes them (IEEE double, each rounded on its own).
"""

from __future__ import annotations

import numpy as np

from . import catalogue as cat
from .adapter import call_function
from .compiler import SCALAR, period
from .errors import FormulaError

_BINARY_UFUNC = {
    "add": np.add,
    "sub": np.subtract,
    "mul": np.multiply,
    "div": np.divide,
    "gt": np.greater,
    "ge": np.greater_equal,
    "lt": np.less,
    "le": np.less_equal,
    "eq": np.equal,
}


# Operators that can write their result into a panel of float64: numpy gives the same
# values with out= (a comparison's bool stored as 1.0 / 0.0).
_IN_PLACE = {
    "add": np.add,
    "sub": np.subtract,
    "mul": np.multiply,
    "div": np.divide,
    "gt": np.greater,
    "ge": np.greater_equal,
    "lt": np.less,
    "le": np.less_equal,
    "eq": np.equal,
    "neg": np.negative,
}


class Block:
    """The shape of the panels being evaluated: n bars, m symbols."""

    __slots__ = ("shape",)

    def __init__(self, n, m):
        self.shape = (n, m)


def apply_elementwise(node, vals, block):
    """The value of an operator node or a numpy function node from its arguments'."""
    op = node.op
    if op == "np":
        return node.func.impl(block, *vals)
    if op == "neg":
        return np.negative(vals[0])
    a, b = vals
    ufunc = _BINARY_UFUNC.get(op)
    if ufunc is not None:
        r = ufunc(a, b)
        return r if op in ("add", "sub", "mul", "div") else _as_float(r)
    if op == "ne":
        # A comparison with a missing value is 0: a <> b holds where a < b or a > b.
        return _as_float(np.less(a, b) | np.greater(a, b))
    if op == "and":
        return _as_float(cat.truth(a) & cat.truth(b))
    if op == "or":
        return _as_float(cat.truth(a) | cat.truth(b))
    raise AssertionError(op)


def _as_float(r):
    return r.astype(np.float64) if isinstance(r, np.ndarray) else np.float64(r)


def needed(program):
    """The ids of the nodes that the outputs and drawings need, and the index of the
    last node that reads each of them."""
    want = set()
    stack = [o.node for o in program.outputs]
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


def evaluate(program, fields, params, scalars, n, m, keep=()):
    """{node id: value} for the outputs, the drawings' arguments and `keep`, over
    panels `fields` (long name -> (n, m) float64), with `scalars` the values of the
    scalar nodes for `params`."""
    block = Block(n, m)
    want, last = needed(program)
    keep = set(keep) | {o.node for o in program.outputs}
    for d in program.drawings:
        keep.update(a for a in d.args if isinstance(a, int))
    values = {}
    owned = set()  # nodes whose panel this evaluation made (never the caller's, never a view)
    with np.errstate(all="ignore"):
        for i in sorted(want):
            node = program.nodes[i]
            if node.shape == SCALAR:
                values[i] = scalars[i]
            elif node.op == "field":
                values[i] = fields[node.value]
            elif node.op == "call":
                values[i] = _call(node, [values[a.id] for a in node.args], block, scalars)
                owned.add(i)
            else:
                vals = [values[a.id] for a in node.args]
                # An operator whose argument is read here for the last time writes into
                # that argument's panel: the same values, one allocation fewer.
                out = None
                if node.op in _IN_PLACE:
                    for a in node.args:
                        if a.id in owned and last.get(a.id) == i and a.id not in keep:
                            v = values[a.id]
                            if v.shape == block.shape and v.dtype == np.float64:
                                out = v
                                break
                if out is not None:
                    _IN_PLACE[node.op](*vals, out=out)
                    values[i] = out
                    owned.add(i)
                else:
                    v = values[i] = _series(apply_elementwise(node, vals, block), block)
                    if v.flags.owndata and not any(v is f for f in fields.values()):
                        owned.add(i)
            for a in node.args:
                if last.get(a.id) == i and a.id not in keep:
                    values.pop(a.id, None)
    return values


def _series(value, block):
    if np.ndim(value) == 2:
        return value
    return np.broadcast_to(value, block.shape)


def _call(node, vals, block, scalars):
    func = node.func
    args = []
    for (pname, kind), v in zip(func.params, vals):
        if kind == cat.INT:
            p = period(v)
            if p is None:
                raise _error(
                    node,
                    f"{node.label}'s {pname} = {float(v)!r} is not a period "
                    "(a number within the 32-bit range)",
                )
            args.append(p)
        elif kind == cat.REAL:
            args.append(float(v))
        elif kind == cat.COND:
            t = cat.truth(v)
            args.append(np.broadcast_to(t, block.shape) if np.ndim(t) != 2 else t)
        else:
            args.append(np.broadcast_to(v, block.shape) if np.ndim(v) != 2 else v)
    try:
        return call_function(func.row, args, block.shape)
    except FormulaError as e:
        raise _error(node, e.message) from None
    except (ValueError, TypeError, OverflowError) as e:
        text = str(e)
        if not text.startswith(f"{func.name}:") and not text.startswith(f"{node.label}:"):
            text = f"{node.label}: {text}"
        raise _error(node, text) from None


def _error(node, message):
    # The position is attached by the caller (the Formula knows the source).
    err = FormulaError(message)
    err.node_pos = node.pos
    return err
