"""vexa: indicator functions of the stock-chart formula language.

Every function takes any array-like of numbers (numpy arrays of any numeric dtype and
layout, lists, pandas and polars objects) and returns float64 values in the caller's
kind: a series gives a series, a panel of bars x columns (2-D, bars along `axis`) gives
a panel, each column computed on its own. Bars without a value are NaN. Results agree to
the last bit with the strict module vexa._vexa.
"""

import pkgutil
from collections.abc import Iterator as _Iterator
from contextlib import contextmanager as _contextmanager
from operator import index as _index

from numpy import bool_ as _np_bool

# Run from the root of a source checkout (python -m vexa right after pip install .),
# this folder has no compiled module: the installed package's folder supplies it.
__path__ = pkgutil.extend_path(__path__, __name__)

from . import _native
from .data import sample
from .table import FUNCTIONS as _FUNCTIONS
from .table import include_dir as _include_dir

# One function per row of the table, made by vexa._native.
__all__ = [f.name for f in _FUNCTIONS] + ["get_include", "sample", "thread_limit"]
globals().update({f.name: getattr(_native, f.name) for f in _FUNCTIONS})


def get_include() -> str:
    """The folder of quorix.h, the kernels' C header, for native callers: compile with
    -I followed by this folder (the kernels themselves are in vexa._vexa's module file)."""
    return str(_include_dir())


@_contextmanager
def thread_limit(n: int) -> _Iterator[None]:
    """Within `with vexa.thread_limit(n):`, a panel call made by this thread uses at most
    n threads (1: this thread alone), whatever VEXA_NUM_THREADS says; other threads are
    not affected. For code that shares its own work among threads: each of them calls
    the functions under thread_limit(1), so that a panel's columns are not split again."""
    if isinstance(n, (bool, _np_bool)):
        raise TypeError("thread_limit: n must be an integer, not bool")
    n = _index(n)
    if n < 1:
        raise ValueError(f"thread_limit: n must be >= 1, not {n}")
    before = _native._thread_limit()
    _native._thread_limit(n)
    try:
        yield
    finally:
        _native._thread_limit(before)


# Formulas of the language, over tables; the warning of missing values inside bars.
from .formula import Formula, MissingDataWarning  # noqa: E402, F401

# Loaded at their first use: neither imports pandas, polars or a plotting library.
# vexa.dask (an extra) is imported by name: import vexa.dask.
_ON_USE = ("stream", "chart")


def __getattr__(name):
    if name in _ON_USE:
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    if name == "__version__":  # read at first use: importlib.metadata is slow to import
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("vexa")
        except PackageNotFoundError:  # a source tree that is not installed
            value = "0+unknown"
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), *_ON_USE, "__version__"})


del pkgutil
