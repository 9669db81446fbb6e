#!/usr/bin/env python3
"""Benchmark of screens beside the evaluation they are made of.

    python3 bench/screen.py [--symbols 5000] [--bars 2500] [--repeat 5] [--polars]

A long table of symbols x bars (text codes, datetime64 dates, close, high and low; rows
symbol after symbol) and the 10-line formula of bench/formula.py (MACD, KDJ and BOLL):

- the evaluation alone, over the same bars as panels (f.panels: no table to read);
- the call, vexa.Formula(...)(table, by="symbol"): every output at every bar;
- the screen at the latest bars, a ranking (when=None, sort="J", top=50);
- the screen at one date in the middle of the history (when="MACD", sort="J");

each screen's time over the call's and over the evaluation alone (target: about 1, the
screen being the table read, the evaluation and a pick of one row per symbol). The
screens are checked against the call's rows before timing. Rounds run the four in turn,
medians of --repeat rounds; the machine may be shared, so compare the ratios, not the
absolute times.
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings

import numpy as np
import pandas as pd
from formula import FORMULA
from timing import cpu_model

from vexa.formula import Formula


def market(symbols, bars, seed=3):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, symbols)), axis=0))
    days = pd.bdate_range("2010-01-04", periods=bars)
    return pd.DataFrame(
        {
            "symbol": np.repeat([f"{k:06d}" for k in range(symbols)], bars),
            "date": np.tile(days.to_numpy(), symbols),
            "close": close.T.ravel(),
            "high": (close * (1 + rng.uniform(0, 0.02, (bars, symbols)))).T.ravel(),
            "low": (close * (1 - rng.uniform(0, 0.02, (bars, symbols)))).T.ravel(),
        }
    )


def check(f, table, date):
    """The screens equal the call's rows, picked and ordered by hand."""
    full = f(table, by="symbol")
    last = full.groupby("symbol").tail(1)
    want = last.sort_values(["J", "symbol"], ascending=[False, True], kind="stable").head(50)
    got = f.screen(table, when=None, sort="J", top=50)
    assert got["symbol"].tolist() == want["symbol"].tolist()
    for o in f.outputs:
        assert np.array_equal(got[o].to_numpy(), want[o].to_numpy(), equal_nan=True), o
    at = full[full["date"] == date]
    at = at[np.abs(at["MACD"]) > 0].sort_values(["J", "symbol"], ascending=[False, True])
    got = f.screen(table, when="MACD", date=date, sort="J")
    assert got["symbol"].tolist() == at["symbol"].tolist()


def once(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--symbols", type=int, default=5000)
    ap.add_argument("--bars", type=int, default=2500)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--polars", action="store_true", help="the table as a polars DataFrame")
    args = ap.parse_args()

    warnings.simplefilter("ignore")
    table = market(args.symbols, args.bars)
    date = table["date"].iloc[args.bars // 2]
    f = Formula(FORMULA)
    check(f, table, date)
    if args.polars:
        import polars as pl

        table = pl.from_pandas(table)
    kind = "polars" if args.polars else "pandas"
    print(
        f"{cpu_model()}; {args.symbols:,} symbols x {args.bars:,} bars ({kind}), "
        f"{len(f.outputs)} outputs; screens equal the call's rows"
    )
    pandas_table = table if not args.polars else table.to_pandas()
    panels = {
        c: pandas_table[c].to_numpy().reshape(args.symbols, args.bars).T
        for c in ("close", "high", "low")
    }
    runs = {
        "evaluation": lambda: f.panels(panels),
        "call": lambda: f(table, by="symbol"),
        "screen, latest": lambda: f.screen(table, when=None, sort="J", top=50),
        "screen, a date": lambda: f.screen(table, when="MACD", date=date, sort="J"),
    }
    for fn in runs.values():
        fn()  # warm-up: first touches of memory, the thread pool
    rounds = [{name: once(fn) for name, fn in runs.items()} for _ in range(args.repeat)]
    print(f"medians of {args.repeat} rounds; ratios: medians of the rounds' ratios")
    for name in runs:
        t = statistics.median(r[name] for r in rounds)
        line = f"{name:15} {t * 1000:9.1f} ms"
        if name.startswith("screen"):
            call = statistics.median(r[name] / r["call"] for r in rounds)
            alone = statistics.median(r[name] / r["evaluation"] for r in rounds)
            line += f"   / call = {call:.3f}   / evaluation = {alone:.3f}"
        print(line)


if __name__ == "__main__":
    main()
