"""The Python functions of vexa._vexa as the tests see them, and valid arguments for them.

Functions, their parameters and kinds come from the function table (vexa.table), which
is what the module is compiled from, so a function added to the table is covered
without new test code.
"""

import functools
from dataclasses import dataclass

import numpy as np

import vexa._vexa as vx
from vexa.table import FUNCTIONS as TABLE


@dataclass(frozen=True)
class Function:
    name: str
    kernel: str
    params: tuple  # ((name, kind), ...); kind is "series", "cond" or "int"
    single: bool  # takes exactly one positional argument and no keywords

    @property
    def fn(self):
        return getattr(vx, self.name)

    @property
    def names(self):
        return [p for p, _ in self.params]

    @property
    def kinds(self):
        return [k for _, k in self.params]

    def __str__(self):
        return self.name


def discover():
    """The table's rows in the module's terms (a period series is a series to it)."""
    found = []
    for row in TABLE:
        params = tuple((p.name, "series" if p.kind == "periods" else p.kind) for p in row.params)
        found.append(Function(row.name, row.kernel, params, row.form == "single"))
    return found


FUNCTIONS = discover()

N_BARS = 7


def series(name, n=N_BARS, seed=0):
    """A float64 series for parameter `name`, with values that give non-trivial results."""
    return _series(name, n, seed).copy()


@functools.cache
def _series(name, n, seed):
    rng = np.random.default_rng(seed + 1000 * len(name) + ord(name[0]))
    if name == "N":  # a period series of short windows (0 would mean all bars so far)
        return rng.integers(1, 5, n).astype(np.float64) + 0.5
    if name == "A":  # DMA's per-bar weight
        return rng.uniform(0.1, 0.9, n)
    if name == "c":  # REFIF's condition, a float series
        return rng.choice([0.0, 1.0, 2.5], n)
    x = np.cumsum(rng.standard_normal(n)) + 10.0
    if n > 3:
        x[1] = np.nan
    return x


def condition(n=N_BARS, seed=0):
    return _condition(n, seed).copy()


@functools.cache
def _condition(n, seed):
    rng = np.random.default_rng(seed + 77)
    return rng.random(n) < 0.4


INT_VALUE = 3


def valid_args(f, n=N_BARS, seed=0):
    """Fresh valid arguments for every parameter of `f`, in parameter order."""
    out = []
    for pname, kind in f.params:
        if kind == "series":
            out.append(series(pname, n, seed))
        elif kind == "cond":
            out.append(condition(n, seed))
        else:
            out.append(INT_VALUE)
    return out


def call(f, args, keywords=False):
    if keywords and not f.single:
        return f.fn(**dict(zip(f.names, args)))
    return f.fn(*args)


def snapshot(obj):
    """What an argument looks like, bit for bit, to tell whether a call modified it."""
    if isinstance(obj, np.ndarray):
        return (
            "ndarray",
            obj.dtype.str,
            obj.shape,
            obj.strides,
            obj.flags.writeable,
            obj.tobytes(),
        )
    try:
        with memoryview(obj) as m:
            return (type(obj).__name__, m.format, m.shape, m.tobytes())
    except TypeError:
        return (type(obj).__name__, repr(obj))


# ---- odd argument objects ------------------------------------------------------------


class LenRefused(RuntimeError):
    pass


class AstypeRefused(RuntimeError):
    pass


def with_len(arr, length):
    """`arr` as an array whose len() returns `length`, or raises it if it is an exception
    (a new one each time, so that no traceback piles up on a shared instance)."""

    def __len__(self):
        if isinstance(length, BaseException):
            raise type(length)(*length.args)
        return length

    return arr.view(type("LyingLen", (np.ndarray,), {"__len__": __len__}))


class Converter:
    """Has a len() and an astype that returns `result` (or raises it, if an exception)."""

    def __init__(self, n, result):
        self.n, self.result = n, result

    def __len__(self):
        return self.n

    def astype(self, dtype):
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result

    def __repr__(self):
        return f"Converter({self.n})"


# ---- call paths ------------------------------------------------------------------------


@dataclass
class Path:
    """One way through a function: its arguments and the exception it ends in (None:
    it returns a result). `early`: it ends before numpy is called (argument binding or
    the integer type test)."""

    label: str
    args: tuple
    kwargs: dict
    raises: type = None
    early: bool = False

    def run(self, f):
        return f.fn(*self.args, **self.kwargs)


def call_paths(f, n=300, period=257):
    """The success paths of `f` and one path into every kind of error its arguments can
    meet, all with fixed argument objects (so that their reference counts can be
    watched). `period`, above 256, is an int object of its own, not a shared small int."""
    args = [period if k == "int" else a for a, k in zip(valid_args(f, n), f.kinds)]
    paths = [Path("ok", tuple(args), {})]

    def put(i, value):
        new = list(args)
        new[i] = value
        return tuple(new)

    if not f.single:
        paths += [
            Path("ok-keywords", (), dict(zip(f.names, args))),
            Path("ok-mixed", (args[0],), dict(zip(f.names[1:], args[1:]))),
        ]
    for i, (name, kind) in enumerate(f.params):
        if kind == "series":
            x = args[i]
            paths += [
                Path(f"{name}-float32", put(i, x.astype(np.float32)), {}, ValueError),
                Path(f"{name}-None", put(i, None), {}, TypeError if i == 0 else IndexError),
                Path(f"{name}-list", put(i, x.tolist()), {}, TypeError),
                Path(f"{name}-empty", put(i, np.zeros(0)), {}, IndexError),
                Path(f"{name}-2d", put(i, np.ones((n, 2))), {}, ValueError),
                Path(f"{name}-strided", put(i, np.repeat(x, 2)[::2]), {}, ValueError),
                Path(f"{name}-big-endian", put(i, x.astype(">f8")), {}, ValueError),
                Path(f"{name}-len-bigger", put(i, with_len(x.copy(), n + 1)), {}, ValueError),
                Path(
                    f"{name}-len-raises",
                    put(i, with_len(x.copy(), LenRefused("no"))),
                    {},
                    LenRefused,
                ),
                Path(f"{name}-len-2**31", put(i, with_len(x.copy(), 2**31)), {}, OverflowError),
                Path(f"{name}-memoryview", put(i, memoryview(x.copy())), {}),
            ]
            ro = x.copy()
            ro.flags.writeable = False
            paths.append(Path(f"{name}-read-only", put(i, ro), {}, ValueError))
            if i > 0:
                paths.append(Path(f"{name}-shorter", put(i, x[:-1].copy()), {}))
        elif kind == "cond":
            x = args[i]
            u8 = x.astype(np.uint8)
            paths += [
                Path(f"{name}-halves", put(i, np.where(x, 1.5, 0.5)), {}),
                Path(f"{name}-strided", put(i, np.repeat(x, 2)[::2]), {}),
                Path(f"{name}-list", put(i, x.tolist()), {}, AttributeError),
                Path(f"{name}-empty", put(i, np.zeros(0, bool)), {}, IndexError),
                Path(f"{name}-2d", put(i, np.ones((n, 2), bool)), {}, ValueError),
                Path(f"{name}-len-bigger", put(i, with_len(x.copy(), n + 1)), {}, ValueError),
                Path(
                    f"{name}-len-raises",
                    put(i, with_len(x.copy(), LenRefused("no"))),
                    {},
                    LenRefused,
                ),
                Path(f"{name}-len-2**31", put(i, with_len(x.copy(), 2**31)), {}, OverflowError),
                Path(
                    f"{name}-astype-raises",
                    put(i, Converter(n, AstypeRefused("no"))),
                    {},
                    AstypeRefused,
                ),
                Path(f"{name}-astype-None", put(i, Converter(n, None)), {}, IndexError),
                Path(f"{name}-astype-list", put(i, Converter(n, [1] * n)), {}, TypeError),
                Path(f"{name}-astype-float", put(i, Converter(n, np.ones(n))), {}, ValueError),
                Path(
                    f"{name}-astype-2d",
                    put(i, Converter(n, np.ones((n, 2), np.uint8))),
                    {},
                    ValueError,
                ),
                Path(
                    f"{name}-astype-shorter", put(i, Converter(n, u8[:-1].copy())), {}, ValueError
                ),
                Path(f"{name}-astype-bytearray", put(i, Converter(n, bytearray(u8.tobytes()))), {}),
            ]
        else:
            paths += [
                Path(f"{name}-bool", put(i, True), {}, TypeError, early=True),
                Path(f"{name}-int64", put(i, np.int64(3)), {}, TypeError, early=True),
                Path(f"{name}-float", put(i, 3.0), {}, TypeError, early=True),
                Path(f"{name}-None", put(i, None), {}, TypeError),
                Path(f"{name}-2**31", put(i, 2**31), {}, OverflowError),
                Path(f"{name}-2**70", put(i, 2**70), {}, OverflowError),
                Path(f"{name}--1", put(i, -1), {}),
                Path(f"{name}-0", put(i, 0), {}),
            ]
    if f.single:
        paths += [
            Path("keyword", (), {f.names[0]: args[0]}, TypeError, early=True),
            Path("two-arguments", (args[0], args[0]), {}, TypeError, early=True),
        ]
    else:
        paths += [
            Path("duplicate-keyword", tuple(args), {f.names[-1]: args[-1]}, TypeError, early=True),
            Path("unknown-keyword", tuple(args), {"bogus": args[-1]}, TypeError, early=True),
            Path("missing-argument", tuple(args[:-1]), {}, TypeError, early=True),
            Path("missing-keyword", (), dict(zip(f.names[1:], args[1:])), TypeError, early=True),
            Path("extra-argument", tuple(args) + (args[0],), {}, TypeError, early=True),
            Path("non-string-key", tuple(args), {1: 2}, TypeError, early=True),
        ]
    return paths


def run_round(f, paths):
    for p in paths:
        try:
            p.run(f)
        except p.raises or ():  # noqa: B030 - no exception class: catch nothing
            pass


def watched(f, paths):
    """Objects whose reference counts a leak (or an extra release) would change."""
    objs = [
        vx,
        vars(vx),
        f.fn,
        np,
        np.zeros,
        np.float64,
        np.uint8,
        np.ndarray,
        np.dtype(np.float64),
        np.dtype(np.uint8),
        ValueError,
        TypeError,
        IndexError,
        OverflowError,
        AttributeError,
        LenRefused,
        AstypeRefused,
    ]
    seen = set()
    for p in paths:
        for a in list(p.args) + list(p.kwargs.values()) + list(p.kwargs):
            shared = a is None or isinstance(a, bool) or (type(a) is int and -5 <= a <= 256)
            if id(a) not in seen and not shared:
                seen.add(id(a))
                objs.append(a)
                if getattr(a, "result", None) is not None:  # what a Converter's astype hands back
                    objs.append(a.result)
    return objs
