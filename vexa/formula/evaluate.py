"""Evaluation of a checked program over panels.

The panels are n bars of m symbols that share their bars: every data field is an (n, m)
float64 panel. Each node is computed once and dropped after its last use. Table
functions go through the adapter (the everyday functions, which share a panel's columns
among the cores); the only arithmetic done here is the element-wise operators, one numpy
operation per operator in the order the formula writes them (IEEE double, each rounded
on its own).

Element-wise operators are not computed one whole panel at a time: a run of them between
two function calls (RSV:=(C-LLV(L,9))/(HHV(H,9)-LLV(L,9))*100 is one run of four) is
computed a chunk of the panels at a time, chunks small enough that the run's operands
stay in the processor's cache, and the chunks are shared among threads (numpy's loops
release the GIL). A value read only inside its run never becomes a whole panel; the
others are written chunk by chunk into their panels, which reuse the panels of values
already dropped. Each element gets the same operations in the same order, so the bits
are those of one operation after another over whole panels.

A plan that the native engine can run (engine.py: element-wise operators and functions
with exact IEEE results, and calls of the table's functions) runs there instead, the
whole formula over blocks of symbols at a time; the rest of this module is the way of
every other plan, and of any plan when USE_ENGINE is off.
"""

from __future__ import annotations

import threading

import numpy as np

from . import engine
from .adapter import call_function
from .errors import FormulaError
from .func import COND, INT, REAL
from .graph import SCALAR, apply_elementwise, needed, period
from .ops import OPS, truth

# A chunk of a run of element-wise operators: about this many elements of each operand
# (256 KiB of float64), so that a run's operands fit in a core's L2 cache together.
CHUNK = 1 << 15
# Elements below which a run is computed on the calling thread alone.
MIN_THREADED = 1 << 17
# Whole panels of dropped values kept for reuse.
SPARE = 4
# Plans the native engine can run go there (off: every plan is evaluated here).
USE_ENGINE = True


class Block:
    """The shape of the panels being evaluated: n bars, m symbols."""

    __slots__ = ("shape",)

    def __init__(self, n, m):
        self.shape = (n, m)


def _elementwise_at(node, vals, block):
    """apply_elementwise, a function's refusal of its values placed at the node."""
    try:
        return apply_elementwise(node, vals, block)
    except FormulaError as e:
        if getattr(e, "node_pos", None) is None and e.line is None:
            raise _error(node, e.message) from None
        raise


def _fusable(node):
    """An element-wise operator or function of series: computed a chunk at a time."""
    if node.shape == SCALAR:
        return False
    if node.op == "np":
        return node.func.elementwise
    return node.op in OPS


class Run:
    """A run of element-wise nodes computed together: `nodes` in program order, the
    ones whose values are needed after the run (`whole`: written into whole panels),
    and for the others the position in the run after which they are no longer read."""

    __slots__ = ("ends", "nodes", "whole")

    def __init__(self, ids, readers, keep):
        inside = set(ids)
        self.nodes = ids
        self.whole = [i for i in ids if i in keep or readers[i] - inside]
        whole = set(self.whole)
        where = {i: pos for pos, i in enumerate(ids)}
        self.ends = [[] for _ in ids]
        for i in ids:
            if i not in whole:
                self.ends[max(where[r] for r in readers[i])].append(i)


class Plan:
    """What an evaluation computes, in steps: ("call", node id) for a function call or
    a function of whole panels, ("run", Run) for a run of element-wise nodes; the
    leaves (numbers, parameters, data fields); and after each step the values dropped.
    Kept: the outputs, the drawings' arguments and `keep`."""

    __slots__ = ("drops", "keep", "leaves", "lowered", "nodes", "order", "scalar_ids", "steps")

    def __init__(self, program, keep=()):
        want, _ = needed(program)
        nodes = self.nodes = program.nodes
        kept = set(keep) | {o.node for o in program.outputs}
        for d in program.drawings:
            kept.update(a for a in d.args if isinstance(a, int))
        self.keep = kept
        self.order = sorted(want)
        self.scalar_ids = [i for i in self.order if nodes[i].shape == SCALAR]
        self.lowered = None  # (numbers, the engine's code for them): engine.py
        readers = {i: set() for i in want}
        for i in want:
            for a in nodes[i].args:
                readers[a.id].add(i)
        self.leaves = []
        steps, run, in_run = [], [], set()
        for i in sorted(want):
            node = nodes[i]
            if node.shape == SCALAR or node.op == "field":
                self.leaves.append(i)
            elif _fusable(node):
                run.append(i)
                in_run.add(i)
            else:
                # A call reading a value of the pending run comes after it.
                if any(a.id in in_run for a in node.args):
                    steps.append(("run", run))
                    run, in_run = [], set()
                steps.append(("call", i))
        if run:
            steps.append(("run", run))
        self.steps = [
            (kind, item if kind == "call" else Run(item, readers, kept)) for kind, item in steps
        ]
        # The step after which each value is read no more (a value that lives only
        # inside its run is never a whole panel).
        internal = set()
        for kind, item in self.steps:
            if kind == "run":
                whole = set(item.whole)
                internal.update(i for i in item.nodes if i not in whole)
        last = {}
        for s, (kind, item) in enumerate(self.steps):
            for i in [item] if kind == "call" else item.nodes:
                for a in nodes[i].args:
                    if a.id not in internal:
                        last[a.id] = s
        self.drops = [[] for _ in self.steps]
        for i, s in last.items():
            if i not in kept:
                self.drops[s].append(i)


def evaluate_plan(plan, fields, scalars, n, m):
    """({node id: value} of the kept nodes, the ids among them whose panel this
    evaluation made, never the caller's and never a view)."""
    if USE_ENGINE:
        done = engine.run(plan, fields, scalars, n, m)
        if done is not None:
            return done
    block = Block(n, m)
    nodes = plan.nodes
    values, owned, spare = {}, set(), []
    first = next(iter(fields.values()), None)
    # Whole panels in the memory order of the data, chunks along its outer axis.
    fortran = first is not None and m > 1 and first.flags.f_contiguous
    for i in plan.leaves:
        node = nodes[i]
        values[i] = scalars[i] if node.shape == SCALAR else fields[node.value]
    with np.errstate(all="ignore"):
        for (kind, item), drops in zip(plan.steps, plan.drops):
            if kind == "call":
                node = nodes[item]
                vals = [values[a.id] for a in node.args]
                if node.op == "call":
                    v = _call(node, vals, block, scalars)
                else:
                    v = _series(_elementwise_at(node, vals, block), block)
                values[item] = v
                if v.flags.owndata and v.shape == block.shape and v.dtype == np.float64:
                    owned.add(item)
            else:
                _run(item, nodes, values, block, fortran, spare)
                owned.update(item.whole)
            for i in drops:
                v = values.pop(i)
                if i in owned:
                    owned.discard(i)
                    if len(spare) < SPARE:
                        spare.append(v)
    return values, owned


def _whole_panel(spare, shape, fortran):
    """A panel to write a run's value into: a dropped one of the same shape and memory
    order, or a new one."""
    for k, v in enumerate(spare):
        if v.shape == shape and (v.flags.f_contiguous if fortran else v.flags.c_contiguous):
            return spare.pop(k)
    return np.empty(shape, order="F" if fortran else "C")


def _run(run, nodes, values, block, fortran, spare):
    """Computes a run of element-wise nodes, a chunk of the panels at a time."""
    n, m = block.shape
    outs = {i: _whole_panel(spare, block.shape, fortran) for i in run.whole}
    length, across = (m, n) if fortran else (n, m)
    step = max(1, CHUNK // max(across, 1))
    chunks = [(a, min(a + step, length)) for a in range(0, length, step)] or [(0, 0)]

    def chunk(a, b, scratch):
        part = (slice(None), slice(a, b)) if fortran else (slice(a, b),)
        shape = (n, b - a) if fortran else (b - a, m)
        ctx = Block(*shape)
        local = {}
        for pos, i in enumerate(run.nodes):
            node = nodes[i]
            vals = []
            for arg in node.args:
                v = local.get(arg.id)
                if v is None:
                    v = values[arg.id]
                    if np.ndim(v) == 2:
                        v = v[part]
                vals.append(v)
            out = outs[i][part] if i in outs else (scratch.pop() if scratch else None)
            if out is None or out.shape != shape:
                out = np.empty(shape)
            op = OPS.get(node.op)
            ufunc = op.into if op is not None else None
            if ufunc is not None:
                ufunc(*vals, out=out)
            else:
                np.copyto(out, _elementwise_at(node, vals, ctx))
            local[i] = out
            for j in run.ends[pos]:
                scratch.append(local.pop(j))

    _share(chunks, chunk, len(chunks) > 1 and n * m >= MIN_THREADED)
    values.update(outs)


def _share(chunks, work, threaded):
    """work(a, b, scratch) for every chunk (a, b), on the calling thread or shared among
    threads (as many as the everyday functions use), each with its own scratch list. The
    first error of a chunk is raised here once every thread has stopped."""
    threads = _threads() if threaded else 1
    if threads <= 1:
        scratch = []
        for a, b in chunks:
            work(a, b, scratch)
        return
    state = {"next": 0, "error": None}
    lock = threading.Lock()

    def loop():
        scratch = []
        with np.errstate(all="ignore"):
            while True:
                with lock:
                    k = state["next"]
                    if state["error"] is not None or k >= len(chunks):
                        return
                    state["next"] = k + 1
                try:
                    work(*chunks[k], scratch)
                except BaseException as e:
                    with lock:
                        if state["error"] is None:
                            state["error"] = e
                    return

    helpers = [threading.Thread(target=loop, daemon=True) for _ in range(threads - 1)]
    for h in helpers:
        h.start()
    try:
        loop()
    finally:
        for h in helpers:
            h.join()
    if state["error"] is not None:
        raise state["error"]


def _threads():
    """The threads the everyday functions would use from this thread."""
    try:
        from .. import _native
    except ImportError:
        return 1
    width = _native._num_threads()
    limit = _native._thread_limit()
    return min(width, limit) if limit else width


def _series(value, block):
    if np.ndim(value) == 2:
        return value
    return np.broadcast_to(value, block.shape)


def _call(node, vals, block, scalars):
    func = node.func
    args = []
    for (pname, kind), v in zip(func.params, vals):
        if kind == INT:
            p = period(v)
            if p is None:
                raise _error(
                    node,
                    f"{node.label}'s {pname} = {float(v)!r} is not a period "
                    "(a number within the 32-bit range)",
                )
            args.append(p)
        elif kind == REAL:
            args.append(float(v))
        elif kind == COND:
            t = truth(v)
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
