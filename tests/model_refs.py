"""Slow twins of the look-back reference kernels.

Values are numpy elements assigned unchanged (bit for bit, NaN payloads and signed
zeros included); bars with no value get the quiet NaN. Python ints are exact, so
offsets at the ends of the int32 range never wrap.
"""

import math

from support import bar_period

MISSING = float("nan")


def vx_ref(a, N, out):
    n = len(a)
    if len(out) != n:
        return 1
    for i in range(n):
        j = i - N
        out[i] = a[j] if 0 <= j < n else MISSING
    return 0


def vx_ref_a(a, N, out):
    n = len(a)
    if len(N) != n or len(out) != n:
        return 1
    for i in range(n):
        p = N[i]
        if math.isnan(p):
            out[i] = MISSING
            continue
        # Infinite and out-of-range offsets name a bar outside any series.
        k = bar_period(p)
        j = None if k is None else i - k
        out[i] = a[j] if j is not None and 0 <= j < n else MISSING
    return 0


def vx_refif(x, c, v, out):
    n = len(x)
    if len(c) != n or len(v) != n or len(out) != n:
        return 1
    held = MISSING
    for i in range(n):
        if not math.isnan(held):
            out[i] = held
        else:
            out[i] = v[i]
        if c[i] != 0.0 or math.isnan(c[i]):
            held = x[i]
    return 0


def vx_refxv(a, N, out):
    n = len(a)
    if len(out) != n:
        return 1
    for i in range(n):
        j = i + N
        out[i] = a[j] if 0 <= j < n else a[i]
    return 0
