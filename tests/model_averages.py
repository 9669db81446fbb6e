"""Slow reference twins of the recursive and weighted averages, in plain Python floats.

Each function takes the input arrays (float64), the integer parameters as Python ints
and the output array to fill in place, and returns the kernel status code. Every
operation is one Python float operation, so each is rounded on its own.
"""

import struct

import numpy as np

MISSING = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0]


def _div(x, y):
    """IEEE division (Python raises on a zero divisor)."""
    with np.errstate(all="ignore"):
        return float(np.float64(x) / np.float64(y))


def _start(a, out):
    """Stores the missing value before the first valid index and returns that index."""
    f = 0
    while f < len(a) and a[f] != a[f]:
        out[f] = MISSING
        f += 1
    return f


def _recurse(a, f, w_prev, w_in, out):
    out[f] = a[f]
    for i in range(f + 1, len(a)):
        out[i] = w_prev * float(out[i - 1]) + w_in * float(a[i])


def vx_ema(a, N, out):
    if len(out) != len(a):
        return 1
    if N < 0:
        return 2
    f = _start(a, out)
    if f == len(a):
        return 0
    beta = _div(float(N) + -1.0, float(N) + 1.0)
    alpha = _div(2.0, float(N) + 1.0)
    _recurse(a, f, beta, alpha, out)
    return 0


def vx_sma(a, N, M, out):
    if len(out) != len(a):
        return 1
    if N < 0:
        return 2
    f = _start(a, out)
    if f == len(a):
        return 0
    g = _div(float(N - M), float(N))
    h = _div(float(M), float(N))
    _recurse(a, f, g, h, out)
    return 0


def vx_wma(a, N, out):
    n = len(a)
    if len(out) != n:
        return 1
    if N <= 0:
        return 2
    f = _start(a, out)
    if f == n:
        return 0
    T = float(N * (N + 1) // 2)
    W = 0.0
    S = 0.0
    for k in range(min(N, n - f)):
        j = f + k
        W = W + float(a[j]) * float(k + 1)
        S = S + float(a[j])
        out[j] = MISSING
    if f + N - 1 >= n:
        return 0
    out[f + N - 1] = _div(W, T)
    for i in range(f + N, n):
        out[i] = _div((T * float(out[i - 1]) - S) + float(N) * float(a[i]), T)
        S = (S - float(a[i - N])) + float(a[i])
    return 0


def vx_dma(a, A, out):
    n = len(a)
    if len(A) != n or len(out) != n:
        return 1
    f = _start(a, out)
    if f == n:
        return 0
    out[f] = a[f]
    for i in range(f + 1, n):
        out[i] = float(out[i - 1]) * (1.0 - float(A[i])) + float(A[i]) * float(a[i])
    return 0
