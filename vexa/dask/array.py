"""vexa's functions over Dask arrays: block by block onto the panel path.

`apply(vexa.MA, panel, 20)` rather than `vexa.MA(panel, 20)`: Dask dispatches numpy's own
functions to Dask arrays (NEP 18's __array_function__), not a third library's, so a
function of vexa called on a Dask array would have to special-case Dask in every call of
the everyday path. Mapping a function over blocks is what Dask's own map_blocks and
blockwise (and xarray's apply_ufunc(dask="parallelized")) do, and it keeps vexa's
functions plain: each block is one in-memory panel call.
"""

from __future__ import annotations

import functools
import warnings

import numpy as np


def apply(func, x, *args, axis=0, **kwargs):
    """func(block, *args, axis=axis, **kwargs) over each block of the Dask array x, lazily.

    func: one of vexa's functions (vexa.MA, vexa.CROSS, ...), or any function with the
    same convention (a panel and its arguments in, a float64 panel of the same shape out).
    x: a Dask array, a series (1-D) or a panel (2-D) with the bars along `axis` and one
    symbol per position along the other axis. Its chunks may split the symbols, never the
    bars: a panel chunked along the bars is rechunked once, to whole bars (a
    PerformanceWarning says so), since every bar of a symbol must be in one call.
    args: the function's other arguments: numbers, or arrays (numpy or Dask) shaped like x
    (a second series, a per-bar period per symbol), or 1-D along the bars (one series
    shared by every symbol).

    Returns a float64 Dask array chunked like x, equal to func(x.compute(), *args,
    axis=axis) bit for bit. Arguments are checked here, on a one-bar panel, so that a bad
    period fails now rather than when computed.
    """
    import dask.array as da
    from dask.array.core import PerformanceWarning

    if not callable(func):
        raise TypeError(f"func must be a function of vexa, not {type(func).__name__}")
    if not isinstance(x, da.Array):
        raise TypeError(
            f"x must be a Dask array, not {type(x).__name__} "
            "(call the function directly on in-memory data)"
        )
    if x.ndim not in (1, 2):
        raise ValueError(f"x must be a series (1-D) or a panel (2-D), not {x.ndim}-D")
    if isinstance(axis, bool) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"axis must be an int, not {type(axis).__name__}")
    if not -x.ndim <= axis < x.ndim:
        raise ValueError(f"axis {axis} is out of range for a {x.ndim}-D array")
    axis = int(axis) % x.ndim
    name = getattr(func, "__name__", "function")
    if x.numblocks[axis] > 1:
        warnings.warn(
            f"{name}: x is chunked along the bars (axis {axis}, {x.numblocks[axis]} chunks); "
            "rechunked once so that each chunk holds whole bars. Chunk along the symbols "
            "only to avoid this.",
            PerformanceWarning,
            stacklevel=2,
        )
        x = x.rechunk({axis: -1, 1 - axis: "auto"} if x.ndim == 2 else {0: -1})
    n = x.shape[axis]
    panel = "ij"[: x.ndim]
    bars = panel[axis]
    pairs = [x, panel]
    probe = []
    for k, a in enumerate(args, start=2):
        if isinstance(a, (da.Array, np.ndarray)) and a.ndim > 0:
            if a.shape == x.shape:
                a = a.rechunk(x.chunks) if isinstance(a, da.Array) else da.from_array(a, x.chunks)
                pairs += [a, panel]
            elif a.ndim == 1 and x.ndim == 2 and a.shape[0] == n:
                pairs += [a.rechunk(-1) if isinstance(a, da.Array) else a, bars]
            else:
                raise ValueError(
                    f"{name}: argument {k} has shape {a.shape}; it must be shaped like x "
                    f"{x.shape} or be 1-D of the {n} bars"
                )
            probe.append(np.zeros((1,) * a.ndim))
        else:
            pairs += [a, None]
            probe.append(a)
    # The arguments checked once on a one-bar panel (a bad period fails here, now).
    func(np.zeros((1,) * x.ndim), *probe, axis=axis, **kwargs)
    return da.blockwise(
        functools.partial(_call, func, axis, kwargs),
        panel,
        *pairs,
        dtype=np.float64,
        meta=np.empty((0,) * x.ndim, dtype=np.float64),
        concatenate=True,
        token=f"vexa-{name}",
    )


def _call(func, axis, kwargs, *blocks):
    return func(*blocks, axis=axis, **kwargs)
