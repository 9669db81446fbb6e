#!/usr/bin/env python3
"""Benchmark of reading price tables as exports write them.

    python3 bench/read.py [--symbols 1000] [--bars 2500] [--repeat 5] [--parts 1,2,3,4,5]

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
4. MACD + KDJ + BOLL (bench/formula.py's formula) over a long table against the same
   market as panels, in the layouts exports write: symbol after symbol and bar by bar
   (read in place), each symbol newest first and shuffled rows (put in order by one
   sort), and symbols listed on different days (up to a fifth of the bars later: one
   block of symbols per length); the ratio to the panels (target <= 1.3).
5. `vexa run` of that formula on a CSV export of --run-symbols x --bars (500 x 2,500:
   about 80 MB) as a whole process, --repeat times: wall, CPU and peak memory (target
   <= 1.0 s wall); then its steps in one process (the imports, the reading, the
   evaluation, the printed summary: target < 50 ms).

Medians of --repeat runs taken side by side in one process; the machine may be shared,
so compare the ratios, not the absolute times.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

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
    ap.add_argument("--run-symbols", type=int, default=500)
    ap.add_argument("--parts", default="1,2,3,4,5")
    args = ap.parse_args()
    parts = {int(x) for x in args.parts.split(",")}
    print(f"# {cpu_model()}, {args.symbols} symbols x {args.bars} bars, {FORMULA}")
    print(f"# vexa {vexa.__version__}, numpy {np.__version__}, pandas {pd.__version__}")
    print(f"# load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the start")
    if parts & {1, 2, 3}:
        time_forms(args)
    if 4 in parts:
        long_tables(args)
    if 5 in parts:
        run_csv(args)
    print(f"# load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the end")


def time_forms(args):
    f = Formula(FORMULA)
    table = market(args.symbols, args.bars)

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


def _long_layouts(long):
    """The long table as exports write it: {name: table}."""
    return {
        "symbol after symbol": long,
        "bar by bar": long.sort_values(["date", "symbol"], kind="stable"),
        "each symbol newest first": long.sort_values(["symbol", "date"], ascending=[True, False]),
        "shuffled rows": long.sample(frac=1.0, random_state=5),
    }


def long_tables(args):
    from formula import FORMULA as MACD_KDJ_BOLL
    from formula import market as panels_of

    m, n = args.symbols, args.bars
    f = Formula(MACD_KDJ_BOLL)
    panels = panels_of(m, n)
    long = pd.DataFrame(
        {
            "symbol": np.repeat([f"{k:06d}" for k in range(m)], n),
            "date": np.tile(pd.bdate_range("2000-01-03", periods=n).to_numpy(), m),
            **{k: v.T.ravel() for k, v in panels.items()},
        }
    )
    cases = {"panels": lambda: f(panels)}
    want = f(panels)
    for name, table in _long_layouts(long).items():
        got = f(table, by="symbol")
        for k in f.outputs:  # the same bits as the panels, row for row
            back = got[k].to_numpy()[np.argsort(table.index.to_numpy())].reshape(m, n).T
            assert np.array_equal(back, want[k], equal_nan=True), (name, k)
        cases[name] = lambda t=table: f(t, by="symbol")
    # Symbols listed on different days (each its own run, as the tests check): the
    # symbols of each length make one block, evaluated on its own.
    listed = np.random.default_rng(3).integers(0, n // 5, m)
    ragged = long[np.tile(np.arange(n), m) >= np.repeat(listed, n)]
    ragged_by_day = ragged.sort_values(["date", "symbol"], kind="stable")
    for name, table in (("listed later", ragged), ("listed later, bar by bar", ragged_by_day)):
        cases[name] = lambda t=table: f(t, by="symbol")
    times = {name: [] for name in cases}
    cpu = {name: [] for name in cases}
    rng = np.random.default_rng(0)
    for _ in range(args.repeat):  # side by side, in a fresh order each round
        for name in rng.permutation(list(cases)):
            t, c = time.perf_counter(), time.process_time()
            cases[name]()
            times[name].append(time.perf_counter() - t)
            cpu[name].append(time.process_time() - c)
    print(f"\n## 4. MACD + KDJ + BOLL, {m:,} x {n:,}: long tables against panels (median)")
    print(f"{'':<26} {'wall':>8}    {'ns/bar':>7}  ratio  CPU ratio (all threads)")
    base, base_cpu = statistics.median(times["panels"]), statistics.median(cpu["panels"])
    for name, ts in times.items():
        t, c = statistics.median(ts), statistics.median(cpu[name])
        print(
            f"{name:<26} {t * 1e3:8.1f} ms {t * 1e9 / (m * n):7.1f}  {t / base:5.2f}  "
            f"{c / base_cpu:5.2f}"
        )


def export_csv(path, symbols, bars, seed=5):
    """A long CSV as Chinese exports write it: six-digit codes, ISO dates, prices in
    cents, volume and amount; symbol after symbol."""
    rng = np.random.default_rng(seed)
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (symbols, bars)), axis=1))
    high = close * (1 + rng.uniform(0, 0.02, close.shape))
    low = close * (1 - rng.uniform(0, 0.02, close.shape))
    volume = rng.integers(10_000, 50_000_000, close.shape)
    days = pd.bdate_range("2015-01-05", periods=bars).strftime("%Y-%m-%d")
    codes = [f"{600000 + k:06d}" if k % 2 else f"{k:06d}" for k in range(symbols)]
    pd.DataFrame(
        {
            "code": np.repeat(codes, bars),
            "date": np.tile(days, symbols),
            "open": (low + (high - low) * rng.uniform(0, 1, close.shape)).ravel().round(2),
            "high": high.ravel().round(2),
            "low": low.ravel().round(2),
            "close": close.ravel().round(2),
            "volume": volume.ravel(),
            "amount": (volume * close).ravel().round(2),
        }
    ).to_csv(path, index=False)


def run_csv(args):
    from formula import FORMULA as MACD_KDJ_BOLL

    from vexa.cli import files
    from vexa.cli.run import print_latest

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "market.csv"
        export_csv(path, args.run_symbols, args.bars)
        size = path.stat().st_size
        # vexa's own entry point, its peak memory (Linux) printed last on standard error
        entry = (
            "import sys\nfrom vexa.cli import main\nstatus = main(sys.argv[1:])\n"
            "peak = open('/proc/self/status').read().split('VmHWM:')[1].split()[0]\n"
            "print(f'peak {peak}', file=sys.stderr)\nsys.exit(status)\n"
        )
        command = [sys.executable, "-c", entry, "run", MACD_KDJ_BOLL, "--data", str(path)]
        command += ["--by", "code"]
        print(
            f"\n## 5. vexa run on a CSV of {args.run_symbols:,} x {args.bars:,} ({size >> 20} MiB)"
        )
        runs = []
        for _ in range(args.repeat + 1):  # the first warms the file cache
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            t = time.perf_counter()
            done = subprocess.run(command, check=True, capture_output=True, text=True)
            wall = time.perf_counter() - t
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
            peak = int(done.stderr.rsplit("peak ", 1)[1]) / 1024
            runs.append((wall, cpu, peak))
        wall, cpu, peak = (statistics.median(x) for x in zip(*runs[1:]))
        print(f"whole process: wall {wall:.3f} s, CPU {cpu:.3f} s, peak {peak:.0f} MiB (median)")

        f = Formula(MACD_KDJ_BOLL)
        wanted = files.wanted_columns(f.inputs, {}, "code", None)
        steps = {"read": [], "evaluate": [], "print": []}
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            data = files.read_data(path, "code", wanted)
            t1 = time.perf_counter()
            result, table, _ = f._apply(data, "code", None, None, {}, None, None, {}, {})
            t2 = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()):
                print_latest(result, table, 10)
            t3 = time.perf_counter()
            for name, dt in zip(steps, (t1 - t0, t2 - t1, t3 - t2)):
                steps[name].append(dt)
        imports = [sys.executable, "-c", "import vexa.cli, pandas, pyarrow.csv"]
        start = []
        for _ in range(args.repeat):
            t = time.perf_counter()
            subprocess.run(imports, check=True)
            start.append(time.perf_counter() - t)
        print(f"{'start and imports':<18} {statistics.median(start):7.3f} s")
        for name, ts in steps.items():
            print(f"{name:<18} {statistics.median(ts):7.3f} s")


if __name__ == "__main__":
    main()
