#!/usr/bin/env python3
"""Benchmark of the formula engine.

    python3 bench/formula.py [--symbols 1000] [--bars 2500] [--repeat 5]

1. Parse and compile of a 50-line formula (median of many runs; target < 5 ms).
2. One 10-line formula (MACD, KDJ and BOLL together) over a market of symbols x bars:
   - the engine: vexa.Formula over panels of the market;
   - the direct panel calls it makes, written out by hand (the same functions on the
     same panels, with numpy's element-wise operators), timed as one chain; target:
     the engine within 10% of it;
   - the same indicators per symbol with pandas (rolling, ewm), one run; target: the
     engine at least 50 x faster.
3. Formulas of 2,500, 5,000 and 10,000 statements (within every limit): compile, and
   the first evaluation (which makes the evaluation's plan) beside the second, per
   statement; target: the cost per statement flat as the formula grows (linear).
The engine and the direct chain are checked equal bit for bit before timing. Medians
of --repeat runs, taken side by side in one process; the machine may be shared, so
compare the ratios, not the absolute times.
"""

from __future__ import annotations

import argparse
import statistics
import time
from pathlib import Path

import numpy as np

import vexa
from vexa.formula import Formula

FORMULA = """
DIF:EMA(CLOSE,12)-EMA(CLOSE,26);
DEA:EMA(DIF,9);
MACD:(DIF-DEA)*2;
RSV:=(CLOSE-LLV(LOW,9))/(HHV(HIGH,9)-LLV(LOW,9))*100;
K:SMA(RSV,3,1);
D:SMA(K,3,1);
J:3*K-2*D;
MID:MA(CLOSE,20);
UPPER:MID+2*STD(CLOSE,20);
LOWER:MID-2*STD(CLOSE,20);
"""

FIFTY = Path(__file__).with_name("formula50.txt")


def market(symbols, bars, seed=0):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, symbols)), axis=0))
    high = close * (1 + rng.uniform(0, 0.02, (bars, symbols)))
    low = close * (1 - rng.uniform(0, 0.02, (bars, symbols)))
    return {"close": close, "high": high, "low": low}


def direct(d):
    """The calls the formula makes, written out by hand."""
    c, h, lo = d["close"], d["high"], d["low"]
    dif = vexa.EMA(c, 12) - vexa.EMA(c, 26)
    dea = vexa.EMA(dif, 9)
    macd = (dif - dea) * 2
    llv = vexa.LLV(lo, 9)
    rsv = (c - llv) / (vexa.HHV(h, 9) - llv) * 100
    k = vexa.SMA(rsv, 3, 1)
    dd = vexa.SMA(k, 3, 1)
    j = 3 * k - 2 * dd
    mid = vexa.MA(c, 20)
    sd = vexa.STD(c, 20)
    return {
        "DIF": dif,
        "DEA": dea,
        "MACD": macd,
        "K": k,
        "D": dd,
        "J": j,
        "MID": mid,
        "UPPER": mid + 2 * sd,
        "LOWER": mid - 2 * sd,
    }


def with_pandas(d):
    import pandas as pd

    out = []
    for j in range(d["close"].shape[1]):
        c = pd.Series(d["close"][:, j])
        h = pd.Series(d["high"][:, j])
        lo = pd.Series(d["low"][:, j])
        dif = c.ewm(span=12, adjust=False).mean() - c.ewm(span=26, adjust=False).mean()
        dea = dif.ewm(span=9, adjust=False).mean()
        macd = (dif - dea) * 2
        llv = lo.rolling(9, min_periods=1).min()
        rsv = (c - llv) / (h.rolling(9, min_periods=1).max() - llv) * 100
        k = rsv.ewm(alpha=1 / 3, adjust=False).mean()
        dd = k.ewm(alpha=1 / 3, adjust=False).mean()
        mid = c.rolling(20).mean()
        sd = c.rolling(20).std()
        out.append((dif, dea, macd, k, dd, 3 * k - 2 * dd, mid, mid + 2 * sd, mid - 2 * sd))
    return out


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def long_formula(statements):
    """Output lines of a few element-wise operators each: one run of operators as long
    as the formula, every line's value kept (the plan's largest case)."""
    return "".join(f"X{k}:(C+{k})*(H-{k % 7})/(L+1)-O;" for k in range(statements))


def plan_scaling(repeat=3):
    d = {k: np.linspace(1.0, 2.0, 50) for k in ("open", "high", "low", "close")}
    rows = []
    for statements in (2_500, 5_000, 10_000):
        text = long_formula(statements)
        compile_s, first, second = [], [], []
        for _ in range(repeat):
            t0 = time.perf_counter()
            f = Formula(text)
            t1 = time.perf_counter()
            f(d)
            t2 = time.perf_counter()
            f(d)
            t3 = time.perf_counter()
            compile_s.append(t1 - t0)
            first.append(t2 - t1)
            second.append(t3 - t2)
        rows.append((statements, *(statistics.median(x) for x in (compile_s, first, second))))
    print("statements  compile   first call  second call   (us per statement, medians)")
    for statements, c, a, b in rows:
        print(
            f"{statements:>10,} {c / statements * 1e6:8.1f} {a / statements * 1e6:11.1f} "
            f"{b / statements * 1e6:12.1f}"
        )
    growth = (rows[-1][2] / rows[-1][0]) / (rows[0][2] / rows[0][0])
    print(f"first call per statement, 10,000 over 2,500: {growth:.2f} (target <= 1.5: linear)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--symbols", type=int, default=1000)
    ap.add_argument("--bars", type=int, default=2500)
    ap.add_argument("--repeat", type=int, default=9)
    args = ap.parse_args()

    text = FIFTY.read_text("utf-8")
    assert len([s for s in text.split(";") if s.strip()]) == 50
    Formula(text)
    compile_ms = median_time(lambda: Formula(text), 200) * 1000
    fastest = min(median_time(lambda: Formula(text), 1) for _ in range(200)) * 1000
    parse_only = median_time(lambda: vexa.formula.syntax.parse(text), 200) * 1000
    print(
        f"parse + compile, 50 lines: {compile_ms:.2f} ms median, {fastest:.2f} ms fastest "
        f"(parse alone {parse_only:.2f} ms median; target < 5 ms)"
    )

    plan_scaling()

    d = market(args.symbols, args.bars)
    f = Formula(FORMULA)
    got = f(d)
    want = direct(d)
    for name in f.outputs:
        assert np.array_equal(got[name], want[name], equal_nan=True), name
        assert np.array_equal(
            got[name].view(np.uint64)[~np.isnan(got[name])],
            want[name].view(np.uint64)[~np.isnan(want[name])],
        ), name
    print(f"market: {args.symbols} symbols x {args.bars} bars; results equal bit for bit")

    # Engine and direct chain alternate, so that a change of the machine's load falls
    # on both; the ratio is the median of the ratios of each pair.
    f(d), direct(d)  # warm-up: first touches of memory, the thread pool
    pairs = [
        (median_time(lambda: f(d), 1), median_time(lambda: direct(d), 1))
        for _ in range(args.repeat)
    ]
    engine = statistics.median(p[0] for p in pairs)
    chain = statistics.median(p[1] for p in pairs)
    ratio = statistics.median(p[0] / p[1] for p in pairs)
    print(f"engine        {engine * 1000:9.1f} ms (median of {args.repeat})")
    print(
        f"direct calls  {chain * 1000:9.1f} ms   engine / direct = {ratio:.3f} "
        "(median of the pairs' ratios; target <= 1.10)"
    )
    try:
        import pandas  # noqa: F401
    except ImportError:
        print("pandas not installed: the per-symbol peer is skipped")
        return
    t0 = time.perf_counter()
    with_pandas(d)
    peer = time.perf_counter() - t0
    print(
        f"pandas per symbol (one run) {peer * 1000:9.1f} ms   pandas / engine = "
        f"{peer / engine:.1f} x (target >= 50)"
    )


if __name__ == "__main__":
    main()
