#!/usr/bin/env python3
"""Benchmark of reading price tables as exports write them.

    python3 bench/read.py [--symbols 1000] [--bars 2500] [--repeat 5]

1. One formula over a long table of symbols x bars whose time column is written in each
   form the reader takes (datetime64, ISO text, year/month/day text without zeros,
   YYYYMMDD numbers and text, month-first text with its time_format): the whole call
   vexa.Formula(...)(table, by="symbol"), and its ratio to the datetime64 table (the
   cost of parsing text times, once per distinct value).
2. The check for missing values inside symbols' bars: its share of the call on a table
   without any (a scan of each field read), and the call on the same table with gaps in
   1% of the symbols (which evaluates those symbols a second time to count the values
   the gaps turned missing).
3. One symbol of intraday bars with a distinct text time per bar: the time parse alone.

Medians of --repeat runs taken side by side in one process; the machine may be shared,
so compare the ratios, not the absolute times.
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings

import numpy as np
import pandas as pd
from timing import cpu_model

import vexa
from vexa.formula import Formula
from vexa.formula.missing import gaps
from vexa.formula.times import parse_times

FORMULA = "E:EMA(C,12); M:MA(C,20); X:HHV(H,10);"


def market(symbols, bars, seed=7):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (bars, symbols)), axis=0))
    days = pd.bdate_range("2000-01-03", periods=bars)
    return pd.DataFrame(
        {
            "symbol": np.repeat([f"{k:06d}" for k in range(symbols)], bars),
            "date": np.tile(days.to_numpy(), symbols),
            "close": close.T.ravel(),
            "high": close.T.ravel() * 1.01,
        }
    )


def forms(table):
    d = pd.DatetimeIndex(table["date"])
    return {
        "datetime64": (table, None),
        "ISO text": (table.assign(date=d.strftime("%Y-%m-%d")), None),
        "year/month/day text": (
            table.assign(date=[f"{x.year}/{x.month}/{x.day}" for x in d]),
            None,
        ),
        "YYYYMMDD number": (table.assign(date=d.year * 10000 + d.month * 100 + d.day), None),
        "YYYYMMDD text": (table.assign(date=d.strftime("%Y%m%d")), None),
        "month-first text": (table.assign(date=d.strftime("%m/%d/%Y")), "%m/%d/%Y"),
    }


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--symbols", type=int, default=1000)
    ap.add_argument("--bars", type=int, default=2500)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    f = Formula(FORMULA)
    table = market(args.symbols, args.bars)
    print(f"# {cpu_model()}, {args.symbols} symbols x {args.bars} bars, {FORMULA}")
    print(f"# vexa {vexa.__version__}, numpy {np.__version__}, pandas {pd.__version__}")

    print("\n## 1. the call over each time form (median s, ratio to datetime64)")
    want = f(table, by="symbol")
    base = None
    for name, (data, fmt) in forms(table).items():
        got = f(data, by="symbol", time_format=fmt)
        assert all(np.array_equal(got[k], want[k], equal_nan=True) for k in f.outputs), name
        t = median_time(lambda d=data, fmt=fmt: f(d, by="symbol", time_format=fmt), args.repeat)
        base = base or t
        print(f"{name:<22} {t:8.3f} s  {t / base:5.2f}")

    print("\n## 2. the missing-value check")
    n, m = args.bars, args.symbols
    panel = np.ascontiguousarray(table["close"].to_numpy().reshape(m, n).T)
    scan = median_time(lambda: [gaps(panel), gaps(panel)], args.repeat)  # C and H
    call = median_time(lambda: f(table, by="symbol"), args.repeat)
    print(f"scan of the fields read {scan:8.3f} s, {scan / call:6.1%} of the call ({call:.3f} s)")
    holed = table.copy()
    rng = np.random.default_rng(1)
    hit = rng.choice(m, max(m // 100, 1), replace=False)
    rows = hit * n + rng.integers(n // 4, n, hit.size)
    holed.loc[rows, "close"] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        t = median_time(lambda: f(holed, by="symbol"), args.repeat)
    print(f"gaps in {hit.size} symbols  {t:8.3f} s, {t / call:5.2f} x the call without gaps")

    print("\n## 3. one symbol of intraday bars: parsing a distinct text time per bar")
    for count in (10_000, 200_000):
        stamps = pd.date_range("2020-01-02 09:30", periods=count, freq="min")
        text = pd.Series(stamps.strftime("%Y-%m-%d %H:%M:%S"))
        t = median_time(lambda text=text: parse_times(text, "time").key, args.repeat)
        print(f"{count:>8,} times  {t:8.3f} s  {t / count * 1e6:6.2f} us a time")


if __name__ == "__main__":
    main()
