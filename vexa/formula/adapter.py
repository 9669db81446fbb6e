"""The one place where a formula calls a function of the table.

Every call of a table function goes through `call_function(row, args, shape)`: args
in the row's parameter order, series and period series as (n, m) float64 panels,
conditions as (n, m) bool panels (true where the value is neither 0 nor missing),
integer parameters as ints, real parameters as floats. It returns the (n, m) float64
result.

Until the everyday functions take panels, this calls vexa._vexa one column at a time
(each column made contiguous); the language's own kernels need the native extension
that the everyday functions live in.
"""

from __future__ import annotations

import numpy as np

from .errors import FormulaError


def call_function(row, args, shape):
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
