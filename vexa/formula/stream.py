"""A compiled formula one bar at a time.

    s = vexa.Formula(text).stream(N=20)
    for bar in feed:                     # {"open": ..., "high": ..., "close": ...}
        values = s.update(bar)           # {output name: float} of the new bar

The checked program's graph is walked once per bar in its order: every node that calls
a table function keeps one vexa.stream object (the function's exact state), every
operator and element-wise function is computed on the bar's numbers (Python floats are
IEEE doubles: each operation rounded on its own, in the written order, as the batch
evaluation's numpy operations, under the same floating-point settings: no warning, no
error, whatever np.seterr says). So each bar's outputs equal, bit for bit, the formula
over the whole history at that bar. Functions that read later bars, and functions
without a stream, make `.stream()` refuse with a FormulaError naming them.

An update is taken by every node or by none: when anything interrupts it (a refused
bar, KeyboardInterrupt, MemoryError) after some nodes took the bar, the stream is
marked broken and every later call says so (its nodes no longer share one history);
when none had taken it, the stream is exactly as before. One lock serialises the
updates and the pickling of a stream shared among threads (each bar is taken whole,
in the order the threads get the lock); an update re-entered from within itself (a
signal handler) is refused.

A market stream (one bar of every symbol per update) is market.py's.

The walk is one Python function made from the program (straight-line code over the
node numbers, with the streams, the constants and the element-wise functions bound by
name), so a bar costs a few hundred nanoseconds per node and no dispatch.
"""

from __future__ import annotations

import math
import threading
import zlib
from operator import itemgetter

import numpy as np

from .errors import FormulaError
from .fields import FIELD_ALIASES, TIME_FIELD
from .func import INT, REAL
from .graph import SCALAR, lookahead_nodes, needed, period
from .ops import OPS, SCALAR_NAMES

_get_ident = threading.get_ident


class _BarsCount:
    """BARSCOUNT(X): NaN before the first bar where X has a value, then 1, 2, 3, ..."""

    __slots__ = ("bars", "count")

    def __init__(self):
        self.bars = 0
        self.count = 0

    @property
    def params(self):
        return {}

    def update(self, x):
        self.bars += 1
        if self.count or x == x:
            self.count += 1
            return float(self.count)
        return math.nan

    def __getstate__(self):
        return (self.bars, self.count)

    def __setstate__(self, state):
        self.bars, self.count = state


def _numpy_function(func):
    impl = func.impl

    def call(*args):
        return float(impl(None, *(np.float64(a) for a in args)))

    return call


class FormulaStream:
    """The outputs of a formula, one bar at a time (made by `Formula.stream`)."""

    def __init__(self, formula, program, scalars, params, max_period):
        from .. import stream as vs

        if not program.outputs:
            raise FormulaError("the formula has no output line to stream (only drawings)")
        ahead = lookahead_nodes(program, scalars)
        late = [
            f"{o.name} (line {o.line}) through {ahead[o.node]}"
            for o in program.outputs
            if o.node in ahead
        ]
        if late:
            raise FormulaError(
                "a stream cannot know later bars when a bar arrives, and the formula reads "
                "them: " + "; ".join(late)
            )
        history = set(getattr(vs, "_stream_history", ()))
        self._formula, self._params, self._max_period = formula, dict(params), max_period
        self._streams = []  # the state of each stateful node, in order
        self._consts = {}  # name -> value: the scalar nodes and the element-wise functions
        self._fields = []  # the fields read, by their long names
        lines, missing = [], []
        for i in sorted(needed(program, drawings=False)[0]):
            node = program.nodes[i]
            args = [self._name(a) for a in node.args]
            if node.shape == SCALAR:
                self._consts[f"c{i}"] = float(scalars[i])
                continue
            if node.op == "field":
                if node.value == TIME_FIELD:
                    missing.append("the date and time functions (DATE, TIME, ...)")
                    continue
                if node.value not in self._fields:
                    self._fields.append(node.value)
                expr = f"f{self._fields.index(node.value)}"
            elif node.op == "call":
                state = self._call_stream(vs, node, scalars, history, max_period, missing)
                if state is None:
                    continue
                series = [
                    n for (_, kind), n in zip(node.func.params, args) if kind not in (INT, REAL)
                ]
                expr = self._call_expr(state, series)
            elif node.op == "np":
                if node.func.name == "BARSCOUNT":
                    expr = self._call_expr(self._barscount(), args)
                elif node.func.elementwise:
                    self._consts[f"n{i}"] = self._elementwise(node.func)
                    expr = f"n{i}({', '.join(args)})"
                else:
                    missing.append(node.label)
                    continue
            else:
                expr = self._op_expr(node, args)
            lines.append(f"    x{i} = {expr}")
        if missing:
            raise FormulaError(
                "no stream for " + ", ".join(sorted(set(missing))) + "; a formula streams "
                "when every function it calls has one"
            )
        if not program.outputs:
            raise FormulaError("the formula has no output line; a stream has nothing to give")
        outs = [self._name(program.nodes[o.node]) for o in program.outputs]
        fields = ", ".join([*self._first_args, *(f"f{k}" for k in range(len(self._fields)))])
        self._source = "\n".join([f"def bar({fields}):", *lines, self._return_line(outs)])
        self._outputs = tuple(o.name for o in program.outputs)
        self._aliases = {a: f for a, f in FIELD_ALIASES.items() if f in self._fields}
        # The batch evaluation runs numpy's element-wise functions with every floating-
        # point error ignored; so does each bar that calls one.
        self._quiet = any(
            program.nodes[i].op == "np" and program.nodes[i].func.elementwise
            for i in needed(program, drawings=False)[0]
        )
        self._bars = 0
        self._takers = {}  # the keys of a bar, in order -> its field values (_taker)
        self._broken = None
        self._lock = threading.Lock()
        self._owner = None  # the thread in an update
        self._link()

    # What the per-bar code is made of, for one symbol's bar (a market stream's differ).
    _first_args = ()

    def _name(self, node):
        return f"c{node.id}" if node.shape == SCALAR else f"x{node.id}"

    def _call_expr(self, state, args):
        k = len(self._streams)
        self._streams.append(state)
        return f"u{k}({', '.join(args)})"

    def _make_stream(self, kind, kwargs):
        return kind(**kwargs)

    def _return_line(self, outs):
        # {output name: value}, the names bound as o0, o1, ... (_link)
        return "    return {" + ", ".join(f"o{j}: {x}" for j, x in enumerate(outs)) + "}"

    def _barscount(self):
        return _BarsCount()

    def _elementwise(self, func):
        return _numpy_function(func)

    def _op_expr(self, node, args):
        return OPS[node.op].scalar.format(a=args[0], b=args[-1])

    def _call_stream(self, vs, node, scalars, history, max_period, missing):
        row = node.func.row
        kind = getattr(vs, row.name, None)
        if kind is None:
            missing.append(node.label)
            return None
        kwargs = {}
        for (pname, pkind), a in zip(node.func.params, node.args):
            if pkind == INT:
                p = period(scalars[a.id])
                if p is None:
                    raise FormulaError(
                        f"{node.label}'s {pname} = {float(scalars[a.id])!r} is not a period "
                        "(a number within the 32-bit range)"
                    )
                kwargs[pname] = p
            elif pkind == REAL:
                kwargs[pname] = float(scalars[a.id])
        if row.name in history:
            kwargs["max_period"] = max_period
        try:
            return self._make_stream(kind, kwargs)
        except (TypeError, ValueError) as e:
            raise FormulaError(f"{node.label}: {e}") from None

    def _link(self):
        """Makes the per-bar function, bound to the current states."""
        namespace = dict(self._consts, **SCALAR_NAMES)
        namespace.update({f"u{k}": s.update for k, s in enumerate(self._streams)})
        namespace.update({f"o{j}": name for j, name in enumerate(self._outputs)})
        # The text is made here from node numbers and fixed operator spellings only;
        # nothing of the formula's own text reaches it.
        exec(compile(self._source, "<formula stream>", "exec"), namespace)
        self._bar = namespace["bar"]

    @property
    def outputs(self):
        """Names of the output lines, in statement order."""
        return self._outputs

    @property
    def bars(self):
        """The number of bars taken so far."""
        return self._bars

    def update(self, bar):
        """Takes the new bar, a mapping of field name (open, high, low, close, volume or
        vol, amount; any case) to its value, and returns {output name: float}."""
        # The fields by the keys as this feed spells them, found once per spelling.
        try:
            take = self._takers[tuple(bar) if type(bar) is dict else tuple(bar.keys())]
        except (KeyError, TypeError, AttributeError):
            take = self._taker(bar)
        values = take(bar)
        for v in values:
            if type(v) is not float:
                values = self._numbers(bar)
                break
        lock = self._lock
        if not lock.acquire(False):
            self._wait("update", "the bar was not taken")
        self._owner = _get_ident()
        try:
            if self._broken is not None:
                raise FormulaError(self._broken)
            try:
                if self._quiet:
                    with np.errstate(all="ignore"):
                        out = self._bar(*values)
                else:
                    out = self._bar(*values)
                self._bars += 1
            except BaseException as e:
                self._interrupted(e)
                raise
        finally:
            self._owner = None
            lock.release()
        return out

    def _keys(self, bar):
        """{field: the key of the bar that gives it} (of two keys for one field, the
        later); a FormulaError names the fields the bar lacks."""
        keys = {}
        for key in bar.keys():
            field = self._aliases.get(key.upper()) if isinstance(key, str) else None
            if field is not None:
                keys[field] = key
        if len(keys) != len(self._fields):
            lacking = [f.lower() for f in self._fields if f not in keys]
            raise FormulaError("the bar lacks " + ", ".join(lacking) + ", which the formula reads")
        return keys

    def _taker(self, bar):
        """A function of a bar giving its values of the fields read, in their order,
        kept for bars whose keys come in this order."""
        keys = self._keys(bar)
        order = [keys[f] for f in self._fields]
        if len(order) > 1:
            take = itemgetter(*order)
        elif order:
            key = order[0]

            def take(b):
                return (b[key],)
        else:

            def take(b):
                return ()

        try:
            spelling = tuple(bar.keys())
            if len(self._takers) < 64 and all(isinstance(k, str) for k in spelling):
                self._takers[spelling] = take
        except TypeError:
            pass
        return take

    def _numbers(self, bar):
        """The values of the fields read as floats, each checked to be a number."""
        keys = self._keys(bar)
        values = []
        for f in self._fields:
            key = keys[f]
            v = bar[key]
            if isinstance(v, bool) or not isinstance(v, (float, int, np.floating, np.integer)):
                raise TypeError(
                    f"bar[{key!r}] must be a number (int or float), not {type(v).__name__}"
                )
            values.append(float(v))
        return values

    def _wait(self, what, outcome):
        """Takes the lock that another call holds: waits for another thread, refuses a
        call from within an update of this very thread (a signal handler)."""
        if self._owner == _get_ident():
            raise RuntimeError(
                f"a formula stream's {what} was called from within one of its own updates "
                f"(a signal handler?); {outcome}"
            )
        self._lock.acquire()

    def _interrupted(self, e):
        """After an update that raised `e`: the stream exactly as before when no node took
        the bar; else broken, as every later call says. A bar refused by a function
        (beyond max_period) raises a FormulaError instead of its ValueError."""
        if self._untouched():
            return
        why = str(e) or type(e).__name__
        if len(why) > 200:
            why = why[:197] + "..."
        self._broken = (
            f"this {self._named} stopped at {self._step} {self._bars} ({type(e).__name__}: {why}); "
            "its functions did not all take that bar, so no later bar could be exact: make a "
            "new one and feed it the history again"
            + (" (with a larger max_period)" if isinstance(e, ValueError) else "")
        )
        if isinstance(e, ValueError):
            raise FormulaError(self._broken) from None

    _named, _step = "formula stream", "bar"  # as the messages name it and its updates

    def _untouched(self):
        """Whether no function took the bar of an interrupted update."""
        return all(s.bars == self._bars for s in self._streams)

    # A stream pickles to its formula, its parameters, a copy of the states of its
    # functions (each native state checksummed on its own) and a checksum of the rest,
    # all taken under the lock, so a stream that another thread updates pickles whole.
    def __reduce__(self):
        if not self._lock.acquire(False):
            self._wait("pickling", "nothing was saved")
        try:
            if self._broken is not None:
                raise FormulaError(self._broken)
            states = [_copy(s) for s in self._streams]
            bars = self._bars
        finally:
            self._lock.release()
        args = (self._formula, self._params, self._max_period, states, bars)
        return (_restore, (*args, _checksum(*args)))

    def __repr__(self):
        return f"<stream of {self._formula!r}, {self._bars} bars>"


def _copy(state):
    if isinstance(state, _BarsCount):
        twin = _BarsCount()
        twin.bars, twin.count = state.bars, state.count
        return twin
    restore, args = state.__reduce__()
    return restore(*args)


def _checksum(formula, params, max_period, states, bars):
    """A checksum of what the native states do not cover: the formula, its parameters,
    the bars and the states kept in Python."""
    counts = [(s.bars, s.count) for s in states if isinstance(s, _BarsCount)]
    text = repr((formula._text, sorted(formula._defaults.items()), sorted(params.items())))
    return zlib.crc32(repr((text, max_period, bars, counts)).encode("utf-8", "surrogatepass"))


def _restore(formula, params, max_period, streams, bars, check=None):
    if check != _checksum(formula, params, max_period, streams, bars):
        raise ValueError(
            "the saved formula stream is damaged (its checksum does not match); nothing was "
            "restored"
        )
    s = formula.stream(max_period=max_period, **params)
    if len(streams) != len(s._streams) or any(
        type(a) is not type(b) or a.params != b.params or a.bars != bars
        for a, b in zip(streams, s._streams)
    ):
        raise ValueError(
            "the saved formula stream does not match its formula (its functions, their "
            "parameters or their bars differ); nothing was restored"
        )
    s._streams = list(streams)
    s._bars = bars
    s._link()
    return s
