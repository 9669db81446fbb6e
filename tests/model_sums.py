"""Slow reference twins of the window sums and window counts, in plain Python floats.

Same convention as the other models: input arrays, integer parameters as Python ints,
the output array filled in place, the kernel status code returned.
"""

import struct

MISSING = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0]


def _period(p):
    """The per-bar period truncated toward zero; None when NaN or beyond int32."""
    if p != p or not (-2147483649.0 < p < 2147483648.0):
        return None
    return int(p)


def _first_valid(a):
    s = 0
    while s < len(a) and a[s] != a[s]:
        s += 1
    return s


def vx_sum(a, N, out):
    n = len(a)
    if len(out) != n:
        return 1
    if N < 0:
        return 2
    if N == 0:
        acc = 0.0
        for i in range(n):
            if a[i] == a[i]:
                acc = acc + float(a[i])
            out[i] = acc
        return 0
    s = _first_valid(a)
    for i in range(s):
        out[i] = MISSING
    acc = 0.0
    for k in range(min(N, n - s)):
        out[s + k] = MISSING
        acc = acc + float(a[s + k])
    if s + N - 1 >= n:
        return 0
    out[s + N - 1] = acc
    for i in range(s + N, n):
        acc = (acc - float(a[i - N])) + float(a[i])
        out[i] = acc
    return 0


def vx_sum_a(a, N, out):
    n = len(a)
    if len(N) != n or len(out) != n:
        return 1
    for i in range(n):
        P = _period(N[i])
        if P is None or P < 1 or P > i:
            out[i] = MISSING
            continue
        acc = 0.0
        for j in range(i - P + 1, i + 1):
            if a[j] != a[j]:
                acc = MISSING
                break
            acc = acc + float(a[j])
        out[i] = acc
    return 0


def vx_count(a, N, out):
    """Each bar's count taken over its own window (the counts are whole numbers, so
    they do not depend on how they are accumulated). A value is true when non-zero, a
    NaN included. N = 0 counts every bar so far; N > 0 counts the last N bars, from
    the first bar whose window lies entirely at or after the first valid value."""
    n = len(a)
    if len(out) != n:
        return 1
    if N < 0:
        return 2
    s = _first_valid(a)
    for i in range(n):
        if N == 0:
            first = 0
        elif i < s + N - 1:
            out[i] = MISSING
            continue
        else:
            first = i - N + 1
        out[i] = float(sum(1 for j in range(first, i + 1) if a[j] != 0.0))
    return 0


def vx_count_a(a, N, out):
    n = len(a)
    if len(N) != n or len(out) != n:
        return 1
    for i in range(n):
        P = _period(N[i])
        if P is None or P < 0:
            out[i] = MISSING
            continue
        L = i + 1 if P == 0 else min(P, i + 1)
        c = 0.0
        for j in range(i, i - L, -1):
            if a[j] != 0.0 and a[j] == a[j]:
                c = c + 1.0
        out[i] = c
    return 0
