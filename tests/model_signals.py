"""Slow reference twins of the crossing, selection and filter kernels.

Each function takes numpy arrays (float64 series, uint8 condition series) and Python
ints, fills `out` in place and returns the status code; counts are the array lengths.
"""


def vx_cross(x, y, out):
    n = len(x)
    if len(y) != n or len(out) != n:
        return 1
    # Bar 0 has no previous bar: it is left as the caller stored it.
    for i in range(1, n):
        # Python floats: comparisons with any NaN are false and raise no flag.
        px, py, cx, cy = float(x[i - 1]), float(y[i - 1]), float(x[i]), float(y[i])
        crossed = py > px and cx > cy
        out[i] = 1.0 if crossed else 0.0
    return 0


def vx_fif(x, a, b, out):
    n = len(x)
    if len(a) != n or len(b) != n or len(out) != n:
        return 1
    for i in range(n):
        if x[i] != 0:
            out[i] = a[i]
        else:
            out[i] = b[i]
    return 0


def _is_signal(v):
    v = float(v)
    return v == v and v != 0.0


def vx_filter(a, N, out):
    n = len(a)
    if len(out) != n:
        return 1
    if N < 0:
        return 2
    W = n if N == 0 else N
    i = 0
    while i < n:
        out[i] = a[i]
        if _is_signal(a[i]):
            for j in range(i + 1, min(i + W - 1, n - 1) + 1):
                out[j] = 0.0
            i = i + W
        else:
            i = i + 1
    return 0
