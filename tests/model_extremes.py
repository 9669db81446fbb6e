"""Slow twins of the window-extreme kernels: every bar scans its window afresh.

The scan of bar i walks from bar i back to the oldest bar of its window, skips NaN,
and keeps a value only when it is strictly lower (LLV) or higher (HHV) than the best
so far, so among equal values the newest wins. Values are numpy elements assigned
unchanged, so their bits (the sign of a zero) survive.
"""

import math

from support import bar_period

MISSING = float("nan")


def _lower(v, best):
    return v < best


def _higher(v, best):
    return v > best


def _scan_bar(x, i, L, better, out):
    out[i] = MISSING
    best = MISSING
    for j in range(i, i - L, -1):
        v = x[j]
        if math.isnan(v):
            continue
        if math.isnan(best) or better(v, best):
            best = v
            out[i] = x[j]


def _fixed(x, N, out, better):
    n = len(x)
    if len(out) != n:
        return 1
    if N < 0:
        return 2
    for i in range(n):
        L = i + 1 if N == 0 else min(N, i + 1)
        _scan_bar(x, i, L, better, out)
    return 0


def _per_bar(x, p, out, better):
    n = len(x)
    if len(p) != n or len(out) != n:
        return 1
    for i in range(n):
        Ni = bar_period(p[i])
        if Ni is None or Ni < 0:
            out[i] = MISSING
            continue
        L = i + 1 if Ni == 0 else min(Ni, i + 1)
        _scan_bar(x, i, L, better, out)
    return 0


def vx_llv(a, N, out):
    return _fixed(a, N, out, _lower)


def vx_hhv(a, N, out):
    return _fixed(a, N, out, _higher)


def vx_llv_a(a, N, out):
    return _per_bar(a, N, out, _lower)


def vx_hhv_a(a, N, out):
    return _per_bar(a, N, out, _higher)
