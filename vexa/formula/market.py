"""A market stream (`Formula(text).stream(symbols=5000)`, or a list of names) takes one bar
of every symbol per update: {field: 1-D array over the symbols}, and `present=` (a boolean
array) for the symbols that have a bar. The same walk runs over the symbol arrays: each
operator through its numpy form (ops.OPS, the batch evaluation's), each function through
its market stream (vexa.stream.NAME(..., symbols=...): one C call for every symbol), so
each symbol's values are bit for bit its own batch run over the bars it had; a symbol
without a bar keeps its state and gets NaN. `screen(bar, when)` is the update and the
symbols whose output `when` is true. Its lock, all-or-nothing updates and pickles are the
single stream's.
"""

from __future__ import annotations

import zlib
from collections.abc import Mapping

import numpy as np

from .._wrap import package_of, unwrap
from .errors import FormulaError
from .evaluate import Block
from .ops import OPS, truth
from .stream import FormulaStream, _copy, _get_ident


class _MarketBarsCount:
    """BARSCOUNT(X) of every symbol: NaN before a symbol's first bar where X has a value,
    then 1, 2, 3, ... over the bars it had."""

    def __init__(self, count):
        # (the count, the bars taken) of each symbol, replaced whole by an update
        self.state = (np.zeros(count, np.int64), np.zeros(count, np.int64))

    @property
    def count(self):
        return self.state[0]

    @property
    def bars(self):
        return self.state[1]

    def update(self, x, present=None):
        count, bars = self.state
        take = (count > 0) | (x == x)
        if present is not None:
            take &= present
        count = count + take
        out = np.where(take, count, np.nan)
        self.state = (count, bars + (1 if present is None else present))
        return out

    def __reduce__(self):
        return (_market_barscount, (self.count.copy(), self.bars.copy()))


def _market_barscount(count, bars):
    state = _MarketBarsCount(0)
    state.state = (np.array(count, np.int64), np.array(bars, np.int64))
    return state


class MarketFormulaStream(FormulaStream):
    """The outputs of a formula for every symbol of a market, one bar of each per update
    (made by `Formula.stream(symbols=...)`)."""

    _first_args = ("p",)

    def __init__(self, formula, program, scalars, params, max_period, symbols):
        self._names = _symbol_names(symbols)
        self._symbols_arg = symbols if self._names is None else self._names
        self._count = symbols if self._names is None else len(self._names)
        self._block = Block(1, self._count)
        super().__init__(formula, program, scalars, params, max_period)
        self._taken = np.zeros(self._count, np.int64)  # bars each symbol has taken

    def _make_stream(self, kind, kwargs):
        return kind(**kwargs, symbols=self._symbols_arg)

    def _return_line(self, outs):
        return f"    return ({', '.join(outs)},)"

    def _barscount(self):
        return _MarketBarsCount(self._count)

    def _call_expr(self, state, args):
        wide = []
        for a in args:
            if a in self._consts:  # a number: the same for every symbol
                if f"b{a}" not in self._consts:
                    v = np.full(self._count, self._consts[a])
                    v.flags.writeable = False
                    self._consts[f"b{a}"] = v
                a = f"b{a}"
            wide.append(a)
        k = len(self._streams)
        self._streams.append(state)
        return f"u{k}({', '.join(wide)}, present=p)"

    def _elementwise(self, func):
        impl, block, count = func.impl, self._block, self._count

        def call(*args):
            v = np.asarray(impl(block, *args), np.float64)
            return v if v.shape == (count,) else np.broadcast_to(v, (1, count)).reshape(count)

        return call

    def _op_expr(self, node, args):
        self._consts[f"o_{node.op}"] = OPS[node.op].values
        return f"o_{node.op}({', '.join(args)})"

    @property
    def symbols(self):
        """The symbols' names (a tuple), or range(count) when made with a count."""
        return self._names if self._names is not None else range(self._count)

    @property
    def bars(self):
        """The bars each symbol has taken (an int64 array)."""
        return self._taken.copy()

    def __len__(self):
        return self._count

    def _values(self, key, v):
        if isinstance(v, np.ma.MaskedArray) or package_of(v):
            index = getattr(v, "index", None)
            if index is not None and list(index) != list(self.symbols):
                raise ValueError(
                    f"bar[{key!r}]'s index is not the stream's symbols in their order; pass "
                    "values in the order of stream.symbols (e.g. series.reindex(stream.symbols))"
                )
            v = unwrap(v)
        a = np.asarray(v)
        if a.dtype.kind not in "biuf":
            raise TypeError(f"bar[{key!r}] must hold numbers, not {a.dtype} values")
        if a.shape != (self._count,):
            raise ValueError(
                f"bar[{key!r}] has shape {a.shape}; expected one value per symbol, shape "
                f"({self._count},)"
            )
        return a.astype(np.float64, copy=False)

    def _present(self, present):
        if present is None:
            return None
        p = np.asarray(present)
        if p.dtype != np.bool_ or p.shape != (self._count,):
            raise ValueError(
                f"present must be a boolean array with one value per symbol, shape "
                f"({self._count},) (True: the symbol has a bar this time); got dtype {p.dtype}, "
                f"shape {p.shape}"
            )
        return np.ascontiguousarray(p)

    def update(self, bar, present=None):
        """Takes one bar of every symbol, a mapping of field name (open, high, low, close,
        volume or vol, amount; any case) to a 1-D array over the symbols, and returns
        {output name: 1-D array over the symbols}. present: a boolean array over the
        symbols (default: all); a symbol without a bar keeps its state and gets NaN."""
        got = {}
        for key, v in bar.items():
            field = self._aliases.get(key.upper()) if isinstance(key, str) else None
            if field is not None:
                got[field] = self._values(key, v)
        if len(got) != len(self._fields):
            lacking = [f.lower() for f in self._fields if f not in got]
            raise FormulaError("the bar lacks " + ", ".join(lacking) + ", which the formula reads")
        p = self._present(present)
        lock = self._lock
        if not lock.acquire(False):
            self._wait("update", "the bar was not taken")
        self._owner = _get_ident()
        try:
            if self._broken is not None:
                raise FormulaError(self._broken)
            try:
                # As the batch evaluation: no floating-point warning or error.
                with np.errstate(all="ignore"):
                    values = self._bar(p, *(got[f] for f in self._fields))
                self._taken += 1 if p is None else p
                self._bars += 1
            except BaseException as e:
                self._interrupted(e)
                raise
        finally:
            self._owner = None
            lock.release()
        return dict(zip(self._outputs, (self._output(v, p) for v in values)))

    def _output(self, v, p):
        if p is not None:
            return np.where(p, v, np.nan)
        if type(v) is np.ndarray and v.shape == (self._count,) and v.dtype == np.float64:
            return v.copy()  # never the caller's own array, nor one shared by two outputs
        return np.full(self._count, v, np.float64)

    def screen(self, bar, when, present=None):
        """update(bar, present), then the symbols whose output `when` is true (neither 0
        nor missing) with the value of every output: a pandas DataFrame indexed by symbol
        when pandas is importable, else a dict of 1-D arrays with the symbols under
        "symbol"."""
        if when not in self._outputs:
            raise ValueError(
                f"when = {when!r} is not an output of the formula; its outputs are "
                + ", ".join(self._outputs)
            )
        out = self.update(bar, present)
        hit = np.flatnonzero(truth(out[when]))
        symbols = np.asarray(self.symbols, dtype=object if self._names else np.int64)[hit]
        picked = {k: v[hit] for k, v in out.items()}
        try:
            import pandas as pd
        except ImportError:
            return {"symbol": symbols, **picked}
        return pd.DataFrame(picked, index=pd.Index(symbols, name="symbol"))

    _named, _step = "market stream", "update"

    def _untouched(self):
        return all(np.array_equal(s.bars, self._taken) for s in self._streams)

    def __reduce__(self):
        if not self._lock.acquire(False):
            self._wait("pickling", "nothing was saved")
        try:
            if self._broken is not None:
                raise FormulaError(self._broken)
            states = [_copy(s) for s in self._streams]
            bars, taken = self._bars, self._taken.copy()
        finally:
            self._lock.release()
        args = (self._formula, self._params, self._max_period, self._symbols_arg, states)
        return (_restore_market, (*args, bars, taken, _market_checksum(*args, bars, taken)))

    def __repr__(self):
        return f"<market stream of {self._formula!r}, {self._count} symbols, {self._bars} updates>"


def _symbol_names(symbols):
    """None for a count of symbols (checked), else the names as a tuple (distinct str)."""
    if isinstance(symbols, int) and not isinstance(symbols, bool):
        if not 0 <= symbols <= 2**31 - 1:
            raise ValueError(
                f"symbols = {symbols} is out of range; pass a count from 0 to 2147483647 or "
                "a list of the symbols' names"
            )
        return None
    if isinstance(symbols, (str, bytes, Mapping)) or not (
        hasattr(symbols, "__getitem__") and hasattr(symbols, "__len__")
    ):
        raise TypeError(
            "symbols must be a count (int) or a list of the symbols' names (str), not "
            f"{type(symbols).__name__}"
        )
    names = tuple(symbols)
    seen = set()
    for i, name in enumerate(names):
        if not isinstance(name, str):
            raise TypeError(f"symbols[{i}] must be a name (str), not {type(name).__name__}")
        if name in seen:
            raise ValueError(f"symbols names {name!r} twice; each symbol's bars go to one stream")
        seen.add(name)
    return names


def _native_market(s):
    return not isinstance(s, _MarketBarsCount)


def _market_checksum(formula, params, max_period, symbols, states, bars, taken):
    counts = [s.count.tobytes() + s.bars.tobytes() for s in states if not _native_market(s)]
    text = repr((formula._text, sorted(formula._defaults.items()), sorted(params.items())))
    blob = repr((text, max_period, symbols, bars)).encode("utf-8", "surrogatepass")
    return zlib.crc32(b"".join([blob, taken.tobytes(), *counts]))


def _restore_market(formula, params, max_period, symbols, streams, bars, taken, check=None):
    taken = np.asarray(taken)
    if check != _market_checksum(formula, params, max_period, symbols, streams, bars, taken):
        raise ValueError(
            "the saved market stream is damaged (its checksum does not match); nothing was restored"
        )
    s = formula.stream(max_period=max_period, symbols=symbols, **params)
    if len(streams) != len(s._streams) or any(
        type(a) is not type(b)
        or not np.array_equal(a.bars, taken)
        or (_native_market(a) and a.params != b.params)
        or (not _native_market(a) and a.count.shape != taken.shape)
        for a, b in zip(streams, s._streams)
    ):
        raise ValueError(
            "the saved market stream does not match its formula (its functions, their "
            "parameters, symbols or bars differ); nothing was restored"
        )
    s._streams = list(streams)
    s._bars, s._taken = bars, taken.astype(np.int64)
    s._link()
    return s


__all__ = ["FormulaStream", "MarketFormulaStream"]
