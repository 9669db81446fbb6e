#!/usr/bin/env python3
"""Benchmark of the formula engine.

    python3 bench/formula.py [--symbols 1000] [--bars 2500] [--repeat 5]

1. Parse and compile of a 50-line formula (median of many runs; target < 5 ms).
2. One 10-line formula (MACD, KDJ and BOLL together) over a market of symbols x bars:
   - the engine: vexa.Formula over panels of the market;
   - the evaluation of whole panels one step at a time (the native engine switched
     off), and the direct panel calls the formula makes, written out by hand (the same
     functions on the same panels, with numpy's element-wise operators), as one chain;
   - the same indicators per symbol with MyTT (PyPI mytt) and with pandas (rolling,
     ewm), one run each; targets: the engine <= 10 ns/bar, >= 80 x both peers.
3. Formulas of 2,500, 5,000 and 10,000 statements (within every limit): compile, and
   the first evaluation (which makes the evaluation's plan) beside the second, per
   statement; target: the cost per statement flat as the formula grows (linear).
The engine and the direct chain are checked equal bit for bit before timing. Medians
of --repeat runs, taken side by side in one process; the machine may be shared, so
compare the ratios, not the absolute times.
"""

from __future__ import annotations

import argparse
import os
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


def with_mytt(MyTT, d):
    """MACD, KDJ and BOLL from MyTT (a numpy and pandas library of these indicators), one
    symbol at a time."""
    out = []
    for j in range(d["close"].shape[1]):
        c, h, lo = d["close"][:, j], d["high"][:, j], d["low"][:, j]
        out.append((MyTT.MACD(c), MyTT.KDJ(c, h, lo), MyTT.BOLL(c)))
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

    # The engine, the evaluation of whole panels (the engine switched off) and the direct
    # chain alternate, so that a change of the machine's load falls on all three.
    from vexa.formula import evaluate

    def whole_panels():
        evaluate.USE_ENGINE = False
        try:
            return f(d)
        finally:
            evaluate.USE_ENGINE = True

    f(d), whole_panels(), direct(d)  # warm-up: first touches of memory, the thread pool
    runs = [
        (
            median_time(lambda: f(d), 1),
            median_time(whole_panels, 1),
            median_time(lambda: direct(d), 1),
        )
        for _ in range(args.repeat)
    ]
    engine, panels, chain = (statistics.median(r[k] for r in runs) for k in range(3))
    bars = args.symbols * args.bars

    def ns(t):
        return t / bars * 1e9

    print(f"load average before the peers: {os.getloadavg()[0]:.2f} (2 cores)")
    print(
        f"engine (native, blocks)    {ns(engine):7.2f} ns/bar "
        f"(median of {args.repeat}; target <= 10)"
    )
    print(
        f"evaluation of whole panels {ns(panels):7.2f} ns/bar   engine speed-up "
        f"{statistics.median(r[1] / r[0] for r in runs):.2f} x"
    )
    print(
        f"direct panel calls         {ns(chain):7.2f} ns/bar   engine / direct = "
        f"{statistics.median(r[0] / r[2] for r in runs):.3f} (median of the runs' ratios)"
    )
    peers = []
    try:
        import MyTT
    except ImportError:
        print("MyTT not installed (pip install mytt): that peer is skipped")
    else:
        peers.append(("MyTT per symbol", lambda: with_mytt(MyTT, d)))
    try:
        import pandas  # noqa: F401
    except ImportError:
        print("pandas not installed: the per-symbol peer is skipped")
    else:
        peers.append(("pandas per symbol", lambda: with_pandas(d)))
    for name, run in peers:
        t0 = time.perf_counter()
        run()
        peer = time.perf_counter() - t0
        print(
            f"{name + ' (one run)':26} {ns(peer):7.1f} ns/bar   / engine = {peer / engine:6.1f} x "
            f"(target >= 80), / whole panels = {peer / panels:6.1f} x"
        )
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
