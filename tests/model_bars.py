"""Slow reference twins of the bar counters, each bar found by searching backwards.

Each function takes numpy arrays (uint8 condition series, float64 for Y), fills `out`
in place and returns the status code; counts are the array lengths.
"""


def vx_barsince(x, out):
    n = len(x)
    if len(out) != n:
        return 1
    for i in range(n):
        # The first true bar among bars 0..i, if any.
        f = next((j for j in range(i + 1) if x[j] != 0), None)
        out[i] = 0.0 if f is None else float(i - f + 1)
    return 0


def vx_barslast(x, out):
    n = len(x)
    if len(out) != n:
        return 1
    for i in range(n):
        # The latest true bar j <= i, if any.
        j = i
        while j >= 0 and x[j] == 0:
            j -= 1
        out[i] = 0.0 if j < 0 else float(i - j + 1)
    return 0


def vx_barlast(x, out):
    n = len(x)
    if len(out) != n:
        return 1
    for i in range(n):
        j = i
        while j >= 0 and x[j] == 0:
            j -= 1
        out[i] = 0.0 if j < 0 else float(i - j + 1)
    return 0


def vx_backcount(x, out):
    n = len(x)
    if len(out) != n:
        return 1
    for i in range(n):
        run = 0
        j = i
        while j >= 0 and x[j] != 0:
            run += 1
            j -= 1
        out[i] = float(run)
    return 0


def vx_currbarscount(Y, out):
    n = len(Y)
    if len(out) != n:
        return 1
    for i in range(n):
        out[i] = float(i)
    return 0
