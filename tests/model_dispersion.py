"""Slow reference twins of the dispersion and slope kernels, in plain Python floats.

Every operation is one rounded IEEE double operation in the kernels' order: the mean
comes from a running total (add the entering value, divide, then subtract the leaving
one), the deviations and the slope sums are summed afresh per window in ascending order.
"""

import math

import numpy as np

NAN = float("nan")


def _div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


def _dispersion(x, N, out, measure, result):
    n = len(x)
    if len(out) != n:
        return 1
    if N < 1:
        return 2
    if n <= 0:
        return 0
    xs = [float(v) for v in x]
    s = 0
    while s < n and xs[s] != xs[s]:
        out[s] = NAN
        s += 1
    S = 0.0
    k = 0
    while k <= N - 2 and s + k < n:
        S = S + xs[s + k]
        out[s + k] = NAN
        k += 1
    if s + N - 1 >= n:
        return 0
    Nf = float(N)
    for i in range(s + N - 1, n):
        w = i - N + 1
        S = S + xs[i]
        m = S / Nf
        A = 0.0
        for j in range(w, i + 1):
            A = A + measure(xs[j] - m)
        out[i] = result(A)
        S = S - xs[w]
    return 0


def _square(d):
    return d * d


def vx_std(a, N, out):
    if N == 1:
        # The frame runs as usual (leading missing values, status codes); every
        # computed bar is exactly +0.0 whatever the input holds.
        return _dispersion(a, N, out, _square, lambda A: 0.0)
    return _dispersion(a, N, out, _square, lambda A: math.sqrt(A / float(N - 1)))


def vx_stddev(a, N, out):
    return _dispersion(a, N, out, _square, lambda A: math.sqrt(A / float(N)))


def vx_stdp(a, N, out):
    return _dispersion(a, N, out, _square, lambda A: math.sqrt(A / float(N)))


def vx_avedev(a, N, out):
    return _dispersion(a, N, out, abs, lambda A: A / float(N))


def slope_constants(N):
    """(Sx, Sxx, D) for period N >= 1: exact integers rounded once to doubles."""
    Sx = float(N * (N - 1) // 2)
    Sxx = float(N * (N - 1) * (2 * N - 1) // 6)
    Nf = float(N)
    return Sx, Sxx, Nf * Sxx - Sx * Sx


def vx_slope(Y, N, out):
    n = len(Y)
    if len(out) != n:
        return 1
    if N < 0:
        return 2
    if n <= 0:
        return 0
    if N == 0:
        for i in range(n):
            out[i] = 1.0
        return 0
    for i in range(min(N, n)):
        out[i] = NAN
    if N > n:
        return 0
    ys = [float(v) for v in Y]
    Sx, _, D = slope_constants(N)
    Nf = float(N)
    for i in range(N - 1, n):
        base = i - N + 1
        Sy = 0.0
        Sxy = 0.0
        for k in range(N):
            y = ys[base + k]
            Sxy = Sxy + y * float(k)
            Sy = Sy + y
        out[i] = _div(Sxy * Nf - Sy * Sx, D)
    return 0
