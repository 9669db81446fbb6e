"""The native formula engine: a plan lowered to opcodes over registers and run by one
native loop (vexa._native._engine) over blocks of the panels' columns.

Every step of the formula runs on one block of symbols while the block is in the cache,
the blocks shared among the pool's threads with the GIL released; values read only by
later steps live in scratch registers of one block (reused once read for the last time),
the values the caller keeps are written once into their final panels. The opcodes are
the element-wise operators of ops.OPS and the element-wise functions below, each the
IEEE operations of its numpy form per element, and the calls of the table's functions
through the panel drivers, which give each column the bits of its 1-D kernel.

`lower` returns None for a program the engine cannot run (a function computed over
numpy only, such as LN or the per-symbol ones, a number without a value, a period that
is not one); `run` returns None when a kernel refuses its arguments. Either way the
caller evaluates the whole formula the present way, which also words any error.
"""

from __future__ import annotations

import numpy as np

from .func import COND, INT, PERIODS, REAL, SERIES
from .graph import SCALAR, period

# Element-wise functions of the language that the engine computes natively: exact IEEE
# operations (SQRT is correctly rounded), the names of their opcodes. LN, EXP, POW, the
# trigonometric functions and the like stay on numpy, whose results the C library need
# not reproduce bit for bit.
NATIVE_FUNCTIONS = {
    "ABS": "ABS",
    "MAX": "MAX",
    "MIN": "MIN",
    "NOT": "NOT",
    "SQRT": "SQRT",
    "SIGN": "SIGN",
    "BETWEEN": "BETWEEN",
    "RANGE": "RANGE",
    "REVERSE": "neg",
}

# Columns per block (0: the native default, sized to the cache).
BLOCK = 0

# Operand kinds (the low two bits of an operand).
_CONST, _INPUT, _REG, _OUT = 0, 1, 2, 3

_NATIVE = None
_INT32_MAX = 2**31 - 1


def _native():
    """(vexa._native, {opcode name: number}, {row name: row number}), or None."""
    global _NATIVE
    if _NATIVE is None:
        try:
            from .. import _native as mod
            from .. import table
        except ImportError:
            _NATIVE = False
        else:
            if not hasattr(mod, "_engine"):
                _NATIVE = False
            else:
                codes = {name: k for k, name in enumerate(mod._engine_ops())}
                rows = {f.name: k for k, f in enumerate(table.ALL)}
                _NATIVE = (mod, codes, rows)
    return _NATIVE or None


class Lowered:
    """A plan as the engine runs it: the code, the data fields it reads (by name) and
    its numbers, the number of registers, and the kept node of each output panel."""

    __slots__ = ("code", "consts", "inputs", "kept", "nregs")

    def __init__(self, code, inputs, consts, nregs, kept):
        self.code, self.inputs, self.consts = code, inputs, consts
        self.nregs, self.kept = nregs, kept


def _panel(v, n, m):
    return (
        isinstance(v, np.ndarray)
        and v.dtype == np.float64
        and v.shape == (n, m)
        and v.dtype.isnative
        and v.flags.aligned
    )


def lower(plan, scalars):
    """The plan as engine code with these numbers, or None."""
    native = _native()
    if native is None:
        return None
    _, codes, rows = native
    nodes = plan.nodes
    order = plan.order
    last = {}
    for i in order:
        for a in nodes[i].args:
            last[a.id] = i
    operand, consts, const_at, inputs, input_at = {}, [], {}, [], {}
    code, kept, free = [], [], []
    nregs = 0

    def const(v):
        key = np.float64(v).view(np.int64).item()
        k = const_at.get(key)
        if k is None:
            k = const_at[key] = len(consts)
            consts.append(float(v))
        return (k << 2) | _CONST

    def reg():
        nonlocal nregs
        if free:
            return (free.pop() << 2) | _REG
        nregs += 1
        return ((nregs - 1) << 2) | _REG

    def release(ids, at):
        for a in ids:
            o = operand[a]
            if o & 3 == _REG and last.get(a, at) == at:
                free.append(o >> 2)

    for i in order:
        node = nodes[i]
        if node.shape == SCALAR:
            v = scalars.get(i)
            if v is None:
                return None
            operand[i] = const(v)
            continue
        if node.op == "field":
            # Read into a register of the block where it is first read.
            k = input_at.get(node.value)
            if k is None:
                k = input_at[node.value] = len(inputs)
                inputs.append(node.value)
            operand[i] = (k << 2) | _INPUT
            continue
        if node.op == "call":
            row = node.func.row
            if row is None or row.name not in rows:
                return None
            args = []
            for (_, kind), a in zip(node.func.params, node.args):
                if kind == INT:
                    p = period(scalars[a.id]) if a.shape == SCALAR else None
                    if p is None:
                        return None
                    args.append(p)
                elif kind == REAL:
                    if a.shape != SCALAR:
                        return None
                    args.append(float(scalars[a.id]))
                elif kind in (SERIES, PERIODS, COND):
                    args.append(a.id)
                else:
                    return None
            for param, v in zip(row.params, args):
                if param.kind == INT and param.least is not None and v < param.least:
                    return None
            head = (codes["call"], rows[row.name])
        elif node.op == "np":
            name = NATIVE_FUNCTIONS.get(node.func.name)
            if name is None or not node.func.elementwise:
                return None
            head = (codes[name], None)
            args = [a.id for a in node.args]
        elif node.op in codes:
            head = (codes[node.op], None)
            args = [a.id for a in node.args]
        else:
            return None
        series = [a.id for a in node.args if nodes[a.id].op == "field"]
        for a in series:
            if operand[a] & 3 == _INPUT:
                dst = reg()
                code.append((codes["load"], dst, operand[a]))
                operand[a] = dst
        op, row_no = head
        if row_no is None:
            args = [operand[a] for a in args]
        else:
            kinds = [kind for _, kind in node.func.params]
            args = [a if kind in (INT, REAL) else operand[a] for a, kind in zip(args, kinds)]
        # A free register, taken before the arguments' are released: a call never writes
        # over its input.
        dst = operand[i] = reg()
        code.append((op, dst, row_no, *args) if row_no is not None else (op, dst, *args))
        if i in plan.keep:
            code.append((codes["store"], (len(kept) << 2) | _OUT, dst))
            kept.append(i)
        release({a.id for a in node.args}, i)
        if i not in last:
            free.append(dst >> 2)
    if not kept:
        return None
    return Lowered(tuple(code), tuple(inputs), tuple(consts), nregs, kept)


def _lowered(plan, scalars):
    """lower(plan, scalars), kept on the plan for the numbers it was made with: a formula
    called again with the same parameters is not lowered again."""
    values = [scalars.get(i) for i in plan.scalar_ids]
    if any(v is None for v in values):
        return None
    key = np.array(values, dtype=np.float64).tobytes()
    kept = plan.lowered  # read once: another thread may replace it meanwhile
    if kept is None or kept[0] != key:
        kept = plan.lowered = (key, lower(plan, scalars))
    return kept[1]


def run(plan, fields, scalars, n, m, block=None):
    """({node id: value} of the kept nodes, the ids whose panels the run made) as
    evaluate_plan gives them, or None where the engine cannot run the plan."""
    if n == 0 or m == 0 or n > _INT32_MAX:
        return None  # nothing to compute, or more bars than a kernel counts: as before
    low = _lowered(plan, scalars)
    if low is None:
        return None
    inputs = tuple(fields.get(name) for name in low.inputs)
    if not all(_panel(v, n, m) for v in inputs):
        return None
    mod = _native()[0]
    first = next(iter(fields.values()), None)
    fortran = isinstance(first, np.ndarray) and m > 1 and first.flags.f_contiguous
    outs = tuple(np.empty((n, m), order="F" if fortran else "C") for _ in low.kept)
    block = BLOCK if block is None else block
    if mod._engine(low.code, inputs, low.consts, outs, low.nregs, block) != 0:
        return None
    values = dict(zip(low.kept, outs))
    nodes = plan.nodes
    for i in plan.keep:
        if i not in values:
            node = nodes[i]
            values[i] = scalars[i] if node.shape == SCALAR else fields[node.value]
    return values, set(low.kept)
