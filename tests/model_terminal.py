"""Plain-Python twins of the terminals' functions as their manuals define them, one loop
per definition, independent of the library calls the language maps them onto. Each
takes lists of floats (conditions as truth lists) and returns a list of floats."""

import itertools
import math

NAN = math.nan


def barslast(x):
    """0 on a true bar, 1 on the bar after, ...; no value before the first true bar."""
    out, last = [], None
    for i, v in enumerate(x):
        if v:
            last = i
        out.append(NAN if last is None else float(i - last))
    return out


def barssince(x):
    """0 on the first true bar, then 1, 2, ...; no value before it."""
    out, first = [], None
    for i, v in enumerate(x):
        if v and first is None:
            first = i
        out.append(NAN if first is None else float(i - first))
    return out


def filter_(x, N):
    """A signal (neither 0 nor NaN) kept with its value, the N bars after it 0."""
    out, blank = [], 0
    for v in x:
        if blank:
            out.append(0.0)
            blank -= 1
        else:
            out.append(v)
            if v == v and v != 0:
                blank = N
    return out


def filterx(x, N):
    """FILTER from the last bar back: a signal kept, the N bars before it 0."""
    return filter_(x[::-1], N)[::-1]


def backset(x, N):
    """1 on a true bar and on the N - 1 bars before it."""
    out = [0.0] * len(x)
    for i, v in enumerate(x):
        if v:
            for j in range(max(0, i - N + 1), i + 1):
                out[j] = 1.0
    return out


def currbarscount(n):
    return [float(n - i) for i in range(n)]


def barpos(n):
    return [float(i + 1) for i in range(n)]


def every_moved(x, M, up):
    """UPNDAY (up) or DOWNNDAY: X above (below) the bar before on each of the last M bars;
    no value at the first M - 1 bars."""
    moved = [False] + [(b > a) if up else (b < a) for a, b in itertools.pairwise(x)]
    return [NAN if i < M - 1 else float(all(moved[i - M + 1 : i + 1])) for i in range(len(x))]


def xma(x, N):
    """The mean of the bars from i - N div 2 to i + N div 2 that exist, added in
    ascending order from 0.0."""
    half, n, out = N // 2, len(x), []
    for i in range(n):
        total, count = 0.0, 0
        for j in range(max(0, i - half), min(n, i + half + 1)):
            total += x[j]
            count += 1
        out.append(total / count)
    return out


def tma(x, a, b):
    """Y = a * Y' + b * X from X's first value, missing before."""
    out, y = [], None
    for v in x:
        if y is None:
            y = v if v == v else None
            out.append(NAN if y is None else y)
        else:
            y = a * y + b * v
            out.append(y)
    return out


def tfilter(buy, sell, N):
    """1 for a kept buy, 2 for a kept sell: repeats of a kept signal dropped (N = 0 both,
    1 buys, 2 sells)."""
    out, last = [], 0
    for b, s in zip(buy, sell):
        if b and not (N in (0, 1) and last == 1):
            out.append(1.0)
            last = 1
        elif s and not (N in (0, 2) and last == 2):
            out.append(2.0)
            last = 2
        else:
            out.append(0.0)
    return out


def expmema(x, N):
    """EMA(X, N) seeded with the first full window's mean (MA's first value), in EMA's
    order of operations: beta * y + alpha * x."""
    n, out = len(x), []
    first = next((i for i, v in enumerate(x) if v == v), n)
    seed = first + N - 1
    alpha, beta = 2.0 / (N + 1.0), (N - 1.0) / (N + 1.0)
    y = NAN
    for i in range(n):
        if i < seed:
            out.append(NAN)
            continue
        if i == seed:
            total = 0.0
            for v in x[seed - N + 1 : seed + 1]:
                total += v
            y = total / N
        else:
            y = beta * y + alpha * x[i]
        out.append(y)
    return out
