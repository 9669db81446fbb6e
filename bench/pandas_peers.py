"""The one-pass functions of vexa against the nearest pandas expression, n = 10**6.

Each round times vexa and then pandas on the same inputs (thread CPU time, so time
spent descheduled on a shared machine is not counted); the figure is the median of
the per-round ratios vexa / pandas. The pandas expressions do comparable work; they
are not always the same function (no pandas peer for DMA, WMA or FILTER).

    python3 bench/pandas_peers.py [rounds]
"""

import statistics
import sys
import time

import numpy as np
import pandas as pd

import vexa

N = 10**6
P = 20


def cpu(f):
    t0 = time.thread_time()
    f()
    return time.thread_time() - t0


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    rng = np.random.default_rng(1)
    a = np.cumsum(rng.standard_normal(N)) + 100.0
    b = np.cumsum(rng.standard_normal(N)) + 100.0
    c = (rng.random(N) < 0.3).astype(np.float64)
    rare = rng.random(N) < 0.02
    half = rng.random(N) < 0.5
    sa, sb, sc = pd.Series(a), pd.Series(b), pd.Series(c)
    srare, shalf = pd.Series(rare), pd.Series(half)

    cases = [
        ("MA", lambda: vexa.MA(a, P), lambda: sa.rolling(P).mean()),
        ("SUM", lambda: vexa.SUM(a, P), lambda: sa.rolling(P).sum()),
        ("COUNT", lambda: vexa.COUNT(c, P), lambda: (sc != 0).rolling(P).sum()),
        ("EMA", lambda: vexa.EMA(a, P), lambda: sa.ewm(span=P, adjust=False).mean()),
        ("SMA", lambda: vexa.SMA(a, P, 2), lambda: sa.ewm(alpha=2 / P, adjust=False).mean()),
        ("REF", lambda: vexa.REF(a, 5), lambda: sa.shift(5)),
        ("REFXV", lambda: vexa.REFXV(a, 5), lambda: sa.shift(-5).fillna(sa)),
        ("REFIF", lambda: vexa.REFIF(a, c, b),
         lambda: sa.where(sc != 0).ffill().shift(1).fillna(sb)),
        ("CROSS", lambda: vexa.CROSS(a, b),
         lambda: ((sb.shift(1) > sa.shift(1)) & (sa > sb)).astype(float)),
        ("FIF", lambda: vexa.FIF(half, a, b), lambda: sa.where(shalf, sb)),
        ("BARSLAST", lambda: vexa.BARSLAST(rare),
         lambda: srare.groupby(srare.cumsum()).cumcount() + 1),
        ("BARSINCE", lambda: vexa.BARSINCE(rare), lambda: srare.cummax().cumsum()),
        ("BACKCOUNT", lambda: vexa.BACKCOUNT(half),
         lambda: shalf.groupby((~shalf).cumsum()).cumsum()),
        ("CURRBARSCOUNT", lambda: vexa.CURRBARSCOUNT(a), lambda: pd.Series(range(N), dtype=float)),
    ]
    print(f"{'function':14s} {'vexa ns/bar':>12s} {'pandas ns/bar':>14s} {'ratio':>8s}")
    for name, ours, peer in cases:
        ours(), peer()  # warm up
        tv, tp, ratio = [], [], []
        for _ in range(rounds):
            v, p = cpu(ours), cpu(peer)
            tv.append(v)
            tp.append(p)
            ratio.append(v / p)
        print(f"{name:14s} {statistics.median(tv) * 1e9 / N:12.3f} "
              f"{statistics.median(tp) * 1e9 / N:14.3f} {statistics.median(ratio):8.3f}")


if __name__ == "__main__":
    main()
