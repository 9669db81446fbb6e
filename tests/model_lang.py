"""Plain-Python twins of the formula language's kernels (quorix_lang.h), one loop per
definition, in the order of operations the kernels follow. Each takes the inputs as
float64 arrays (conditions as truth arrays) and returns (status, out list)."""

import itertools
import math

import numpy as np

NAN = float("nan")


def _div(a, b):
    """a / b with IEEE results for a zero divisor."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def _miss(v):
    return v != v


def every(x, N, want_all=True):
    if N < 0:
        return 2, None
    n = len(x)
    out = []
    for i in range(n):
        if N == 0:
            window = x[: i + 1]
        elif i < N - 1:
            out.append(NAN)
            continue
        else:
            window = x[i - N + 1 : i + 1]
        ok = all(window) if want_all else any(window)
        out.append(1.0 if ok else 0.0)
    return 0, out


def exist(x, N):
    return every(x, N, want_all=False)


def last(x, A, B):
    if A < 0 or B < 0 or (A != 0 and A < B):
        return 2, None
    out = []
    for i in range(len(x)):
        lo = 0 if A == 0 else i - A
        hi = i - B
        if lo < 0 or hi < 0:
            out.append(NAN)
            continue
        out.append(1.0 if all(x[lo : hi + 1]) else 0.0)
    return 0, out


def longcross(a, b, N):
    if N < 1:
        return 2, None
    out = []
    for i in range(len(a)):
        ok = i >= N and a[i] > b[i] and all(a[j] < b[j] for j in range(i - N, i))
        out.append(1.0 if ok else 0.0)
    return 0, out


def valuewhen(cond, x):
    held, out = NAN, []
    for c, v in zip(cond, x):
        if c:
            held = v
        out.append(held)
    return 0, out


def sumbars(x, a):
    out = []
    for i in range(len(x)):
        r = NAN
        if not _miss(a[i]):
            acc = 0.0
            for j in range(i, -1, -1):
                if not _miss(x[j]):
                    acc = acc + x[j]
                if acc >= a[i]:
                    r = float(i - j + 1)
                    break
        out.append(r)
    return 0, out


def extreme_bars(x, N, highest):
    if N < 0:
        return 2, None
    out = []
    for i in range(len(x)):
        lo = 0 if N == 0 else max(0, i - N + 1)
        at = None
        for j in range(i, lo - 1, -1):  # newest first; strict, so the newest of equals
            if _miss(x[j]):
                continue
            if at is None or (x[j] > x[at] if highest else x[j] < x[at]):
                at = j
        out.append(NAN if at is None else float(i - at))
    return 0, out


def hhvbars(x, N):
    return extreme_bars(x, N, True)


def llvbars(x, N):
    return extreme_bars(x, N, False)


def variance(x, N, measure):
    if N < 1:
        return 2, None
    n = len(x)
    out = [NAN] * n
    s = next((i for i in range(n) if not _miss(x[i])), n)
    S = 0.0
    for k in range(min(N - 1, n - s)):
        S = S + x[s + k]
    for i in range(s + N - 1, n):
        w = i - N + 1
        S = S + x[i]
        m = S / float(N)
        A = 0.0
        for j in range(w, i + 1):
            d = x[j] - m
            A = A + d * d
        if measure == "sum":
            out[i] = A
        elif measure == "sample":
            out[i] = 0.0 if N == 1 else A / float(N - 1)
        else:
            out[i] = A / float(N)
        S = S - x[w]
    return 0, out


def var(x, N):
    return variance(x, N, "sample")


def varp(x, N):
    return variance(x, N, "population")


def devsq(x, N):
    return variance(x, N, "sum")


def slope_parts(y, N):
    """(b, Sy, Sx) of the regression of one window, as SLOPE forms them."""
    Sx = float(N * (N - 1) // 2)
    Sxx = float(N * (N - 1) * (2 * N - 1) // 6)
    D = float(N) * Sxx - Sx * Sx
    Sy = Sxy = 0.0
    for k, v in enumerate(y):
        Sxy = Sxy + v * float(k)
        Sy = Sy + v
    b = _div(Sxy * float(N) - Sy * Sx, D)
    return b, Sy, Sx


def forcast(x, N):
    if N < 1:
        return 2, None
    out = []
    for i in range(len(x)):
        if i < N - 1:
            out.append(NAN)
            continue
        b, Sy, Sx = slope_parts(x[i - N + 1 : i + 1], N)
        a = (Sy - b * Sx) / float(N)
        out.append(a + b * float(N - 1))
    return 0, out


# ---- zigzag ---------------------------------------------------------------------


def turns(K, pct):
    """(turning points [(bar, is_peak)], first, last) of the zigzag of K."""
    n = len(K)
    valid = [i for i in range(n) if not _miss(K[i])]
    if not valid:
        return [], n, -1
    first, last = valid[0], valid[-1]

    def rises(frm, v):
        return _div(v - frm, frm) * 100.0 >= pct

    def falls(frm, v):
        return _div(frm - v, frm) * 100.0 >= pct

    out = []
    trend = 0
    lo = hi = cand = K[first]
    lo_at = hi_at = cand_at = first
    for i in valid[1:]:
        v = K[i]
        if trend == 0:
            if v > hi:
                hi, hi_at = v, i
            if v < lo:
                lo, lo_at = v, i
            if falls(hi, v):
                out.append((hi_at, True))
                trend, cand, cand_at = -1, v, i
            elif rises(lo, v):
                out.append((lo_at, False))
                trend, cand, cand_at = 1, v, i
        elif trend > 0:
            if v > cand:
                cand, cand_at = v, i
            elif falls(cand, v):
                out.append((cand_at, True))
                trend, cand, cand_at = -1, v, i
        else:
            if v < cand:
                cand, cand_at = v, i
            elif rises(cand, v):
                out.append((cand_at, False))
                trend, cand, cand_at = 1, v, i
    if trend != 0 and cand_at < last:
        out.append((cand_at, trend > 0))
    return out, first, last


def _valid_pct(pct):
    return pct > 0.0 and pct < math.inf


def zig(K, pct):
    if not _valid_pct(pct):
        return 2, None
    n = len(K)
    tp, first, last = turns(K, pct)
    out = [NAN] * n
    if first == n:
        return 0, out
    points = [first] + [t for t, _ in tp if t != first] + [last]
    for a, b in itertools.pairwise(points):
        pa, pb = K[a], K[b]
        for i in range(a, b + 1):
            if i == a:
                out[i] = pa
            elif i == b:
                out[i] = pb
            else:
                out[i] = pa + (pb - pa) * float(i - a) / float(b - a)
    out[first] = K[first]
    return 0, out


def turn_at(K, pct, M, peak, bars):
    if not _valid_pct(pct) or M < 1:
        return 2, None
    tp, _, _ = turns(K, pct)
    out = []
    for i in range(len(K)):
        hits = [t for t, is_peak in tp if t <= i and is_peak == peak]
        if len(hits) < M:
            out.append(NAN)
        else:
            t = hits[-M]
            out.append(float(i - t) if bars else K[t])
    return 0, out


def peak(K, pct, M):
    return turn_at(K, pct, M, True, False)


def trough(K, pct, M):
    return turn_at(K, pct, M, False, False)


def peakbars(K, pct, M):
    return turn_at(K, pct, M, True, True)


def troughbars(K, pct, M):
    return turn_at(K, pct, M, False, True)


# ---- stop and reverse ---------------------------------------------------------------


def sar(H, L, N, STEP, MAX):
    """The parabolic SAR over the bars where both H and L have a value (the others are
    missing and left out), written over the list of those bars."""
    if not (N >= 1 and STEP > 0.0 and STEP <= MAX and MAX <= 100.0):
        return 2, None
    inc, cap = STEP / 100.0, MAX / 100.0
    out = [NAN] * len(H)
    bars = [i for i in range(len(H)) if not _miss(H[i]) and not _miss(L[i])]
    h = [H[i] for i in bars]
    lo = [L[i] for i in bars]
    if len(bars) < N:
        return 0, out
    start = N - 1
    highest, lowest = h[0], lo[0]
    for t in range(1, N):  # the first of equal extremes
        if h[t] > highest:
            highest = h[t]
        if lo[t] < lowest:
            lowest = lo[t]
    up = h[start] + lo[start] >= h[0] + lo[0]
    s, ep, af = (lowest, highest, inc) if up else (highest, lowest, inc)
    out[bars[start]] = s
    for t in range(N, len(bars)):
        s = s + af * (ep - s)
        if up:
            for back in (1, 2) if t >= 2 else (1,):
                if lo[t - back] < s:
                    s = lo[t - back]
            if lo[t] <= s:
                s = h[t] if h[t] > ep else ep
                up, ep, af = False, lo[t], inc
            elif h[t] > ep:
                ep = h[t]
                af = af + inc
                af = cap if af > cap else af
        else:
            for back in (1, 2) if t >= 2 else (1,):
                if h[t - back] > s:
                    s = h[t - back]
            if h[t] >= s:
                s = lo[t] if lo[t] < ep else ep
                up, ep, af = True, h[t], inc
            elif lo[t] < ep:
                ep = lo[t]
                af = af + inc
                af = cap if af > cap else af
        out[bars[t]] = s
    return 0, out
