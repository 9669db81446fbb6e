"""Slow twins of the moving-average kernels and of ctxn, in the stated order of operations."""

from support import bar_period

NAN = float("nan")


def ctxn(ctx, n, N):
    start = N - 1
    if ctx < 0:
        start = max(start, n + ctx + 1 - N)
    return max(-(2**31), min(2**31 - 1, start))


def first_valid(a):
    for i, v in enumerate(a):
        if v == v:
            return i
    return len(a)


def vx_ma(a, N, out, ctx=0):
    n = len(a)
    if len(out) != n:
        return 1
    if N <= 0:
        return 2
    if n <= 0:
        return 0
    f = first_valid(a)
    for i in range(min(f + N - 1, n)):
        out[i] = NAN
    if f + N - 1 >= n:
        return 0
    s = f + ctxn(ctx, n, N)
    if s >= n:
        return 0
    while a[s] != a[s]:
        out[s] = NAN
        s += 1
        if s >= n:
            return 0
    total = 0.0
    for j in range(s - N + 1, s + 1):
        total = total + float(a[j])
    out[s] = total / float(N)
    for j in range(s + 1, n):
        total = (total - float(a[j - N])) + float(a[j])
        out[j] = total / float(N)
    return 0


def vx_ma_a(a, N, out):
    n = len(a)
    if len(N) != n or len(out) != n:
        return 1
    for i in range(n):
        P = bar_period(float(N[i]))
        if P is None or P <= 0 or i < P:
            out[i] = NAN
            continue
        total = 0.0
        for j in range(i - P + 1, i + 1):
            if a[j] != a[j]:
                total = None
                break
            total = total + float(a[j])
        out[i] = NAN if total is None or total != total else total / float(P)
    return 0
