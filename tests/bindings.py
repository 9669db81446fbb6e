"""The Python functions of vexa._vexa as the tests see them, and valid arguments for them.

Functions are found in the module namespace; each one's parameters and their kinds are
read from its kernel's declaration in quorix.h (parameter names there are the Python
names), so a function added to the module is covered without new test code.
"""

import functools
from dataclasses import dataclass

import numpy as np

import vexa._vexa as vx
from support import KERNELS


@dataclass(frozen=True)
class Function:
    name: str
    kernel: str
    params: tuple  # ((name, kind), ...); kind is "series", "cond" or "int"

    @property
    def fn(self):
        return getattr(vx, self.name)

    @property
    def single(self):
        # One-parameter functions take exactly one positional argument and no keywords.
        return len(self.params) == 1

    @property
    def names(self):
        return [p for p, _ in self.params]

    @property
    def kinds(self):
        return [k for _, k in self.params]

    def __str__(self):
        return self.name


def python_params(kernel_args):
    """((name, kind), ...) of the Python function from its kernel's C parameters."""
    params = []
    args = kernel_args[1:-2]  # without the context argument and the output
    i = 0
    while i < len(args):
        ctype, name = args[i]
        if ctype.endswith("*"):
            params.append((name, "cond" if "uint8_t" in ctype else "series"))
            i += 2
        else:
            params.append((name, "int"))
            i += 1
    return tuple(params)


def discover():
    kernels = {name: args for name, _, args in KERNELS}
    found = []
    for name, obj in vars(vx).items():
        if not (name[:1].isupper() and callable(obj)):
            continue
        kernel = "vx_" + name.lower()
        if kernel not in kernels:
            raise LookupError(f"vexa._vexa.{name} has no kernel {kernel} declared in quorix.h")
        found.append(Function(name, kernel, python_params(kernels[kernel])))
    return found


FUNCTIONS = discover()

N_BARS = 7


def series(name, n=N_BARS, seed=0):
    """A float64 series for parameter `name`, with values that give non-trivial results."""
    return _series(name, n, seed).copy()


@functools.lru_cache(maxsize=None)
def _series(name, n, seed):
    rng = np.random.default_rng(seed + 1000 * len(name) + ord(name[0]))
    if name == "N":  # a period series
        return rng.integers(0, 4, n).astype(np.float64) + 0.5
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


@functools.lru_cache(maxsize=None)
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
        return ("ndarray", obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable,
                obj.tobytes())
    try:
        with memoryview(obj) as m:
            return (type(obj).__name__, m.format, m.shape, m.tobytes())
    except TypeError:
        return (type(obj).__name__, repr(obj))
