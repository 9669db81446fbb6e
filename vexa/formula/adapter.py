"""The one place where a formula calls a function of the table.

Every call of a table function goes through `call_function(row, args, shape)`: args
in the row's parameter order, series and period series as (n, m) float64 panels,
conditions as (n, m) bool panels (true where the value is neither 0 nor missing),
integer parameters as ints, real parameters as floats. It returns the (n, m) float64
result.

The call is the everyday function of the package, the one a user calls
(`vexa.MA(panel, 20)`), when the package has them (vexa._native). A build without them
calls vexa._vexa one column at a time (each column copied contiguous); the language's
own kernels then are not available.
"""

from __future__ import annotations

import numpy as np

from .errors import FormulaError

_EVERYDAY = None


def _everyday():
    """{name: function} of the everyday functions, or {} when the package has none."""
    global _EVERYDAY
    if _EVERYDAY is None:
        try:
            from .. import _native
        except ImportError:
            _EVERYDAY = {}
        else:
            from .. import table

            _EVERYDAY = {
                f.name: getattr(_native, f.name) for f in table.ALL if hasattr(_native, f.name)
            }
    return _EVERYDAY


def call_function(row, args, shape):
    fn = _everyday().get(row.name)
    if fn is not None:
        return fn(*args)
    n, m = shape
    if row.extra:
        raise FormulaError(
            f"{row.name} needs vexa's native extension (vexa._native), which this build "
            "of vexa lacks"
        )
    from .. import _vexa

    fn = getattr(_vexa, row.name)
    out = np.empty((n, m), order="F")
    if n == 0:
        return out
    for j in range(m):
        cols = [np.array(a[:, j]) if isinstance(a, np.ndarray) else a for a in args]
        out[:, j] = fn(*cols)
    return out
