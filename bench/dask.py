"""Throughput of a formula over a Dask cluster of worker processes on this machine, beside
the single-process run without Dask.

    python3 bench/dask.py [--symbols 2000] [--bars 5000] [--workers 1,2,4] [--repeat 3]
                          [--data DIR] [--name NAME] [--no-save]

Writes (once, kept in --data) a Parquet data set of random-walk bars in two layouts:
`by-symbol/` (files of whole symbols, sorted: read with known divisions, no shuffle) and
`by-date/` (files of date ranges holding every symbol: one shuffle by symbol). Then times,
`--repeat` times each, interleaved:

- one process: pandas.read_parquet of by-symbol/ and vexa.Formula(table, by="symbol");
- Dask with 1, 2 and 4 worker processes (one thread each) on each layout: read_parquet,
  vexa.dask.run and persist, until every partition's result is in the workers' memory.

Prints medians in bars per second, the overhead of the Dask path with one worker over the
single process, the cost per task and the machine's load, and saves JSON and Markdown in
bench/results/. A benchmark, not a test: nothing here is collected by pytest.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

# Ten lines: moving averages, MACD, KDJ, ATR, a dispersion and a signal.
FORMULA = """
MA5:MA(CLOSE,5);
MA20:MA(CLOSE,20);
DIF:=EMA(CLOSE,12)-EMA(CLOSE,26);
DEA:EMA(DIF,9);
MACD:(DIF-DEA)*2;
RSV:=(CLOSE-LLV(LOW,9))/(HHV(HIGH,9)-LLV(LOW,9))*100;
K:SMA(RSV,3,1);
ATR:MA(MAX(MAX(HIGH-LOW,ABS(HIGH-REF(CLOSE,1))),ABS(REF(CLOSE,1)-LOW)),14);
SD:STD(CLOSE,20);
BUY:CROSS(MA5,MA20);
"""


def make_data(root, symbols, bars, files=20):
    """The two layouts of the same bars; returns the folder of each."""
    import pandas as pd

    by_symbol, by_date = root / "by-symbol", root / "by-date"
    stamp = root / f"done-{symbols}x{bars}"
    if stamp.exists():
        return by_symbol, by_date
    for d in (by_symbol, by_date):
        d.mkdir(parents=True, exist_ok=True)
        for old in d.glob("*.parquet"):
            old.unlink()
    rng = np.random.default_rng(2026)
    dates = pd.date_range("2000-01-03", periods=bars, freq="B").as_unit("ns")
    names = [f"S{i:05d}" for i in range(symbols)]
    per_file = -(-symbols // files)
    chunks = []
    for f in range(files):
        group = names[f * per_file : (f + 1) * per_file]
        if not group:
            break
        k = len(group)
        close = 20.0 * np.exp(np.cumsum(rng.normal(0.0, 0.015, (k, bars)), axis=1))
        spread = np.abs(rng.normal(0.0, 0.01, (k, bars)))
        frame = pd.DataFrame(
            {
                "symbol": np.repeat(group, bars),
                "date": np.tile(dates, k),
                "open": (close * (1 + rng.normal(0.0, 0.003, (k, bars)))).ravel(),
                "high": (close * (1 + spread)).ravel(),
                "low": (close * (1 - spread)).ravel(),
                "close": close.ravel(),
                "volume": rng.integers(1_000, 1_000_000, k * bars).astype(np.float64),
            }
        )
        frame.to_parquet(by_symbol / f"part-{f:03d}.parquet", index=False, row_group_size=1 << 20)
        chunks.append(frame)
        print(f"  wrote {by_symbol.name}/part-{f:03d}.parquet", file=sys.stderr)
    table = pd.concat(chunks, ignore_index=True)
    del chunks
    edges = np.linspace(0, bars, files + 1).astype(int)
    day = np.tile(np.arange(bars), symbols)
    for f in range(files):
        rows = (day >= edges[f]) & (day < edges[f + 1])
        table[rows].to_parquet(by_date / f"part-{f:03d}.parquet", index=False)
    stamp.write_text("ok")
    return by_symbol, by_date


def one_process(folder, formula):
    import pandas as pd

    t0 = time.perf_counter()
    table = pd.read_parquet(folder)
    out = formula(table, by="symbol")
    elapsed = time.perf_counter() - t0
    return elapsed, len(out)


def on_cluster(client, folder, formula, known):
    import dask.dataframe as dd
    from distributed import wait

    import vexa.dask

    t0 = time.perf_counter()
    if known:
        ddf = dd.read_parquet(folder, index="symbol", calculate_divisions=True)
        assert ddf.known_divisions
    else:
        ddf = dd.read_parquet(folder)
    result = client.persist(vexa.dask.run(formula, ddf, by="symbol"))
    wait(result)
    elapsed = time.perf_counter() - t0
    tasks = result.npartitions
    del result
    return elapsed, tasks


def load():
    return [round(x, 2) for x in os.getloadavg()]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--symbols", type=int, default=2000)
    p.add_argument("--bars", type=int, default=5000)
    p.add_argument("--workers", default="1,2,4")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--data", type=Path, default=Path("/tmp/vexa-bench-dask"))
    p.add_argument("--name", default=None)
    p.add_argument("--no-save", action="store_true")
    args = p.parse_args(argv)

    import dask
    import distributed
    import pandas as pd
    from distributed import Client, LocalCluster

    import vexa

    total = args.symbols * args.bars
    by_symbol, by_date = make_data(args.data, args.symbols, args.bars)
    formula = vexa.Formula(FORMULA)
    workers = [int(w) for w in args.workers.split(",")]
    times = {"one process": []}
    tasks = {}
    loads = [load()]
    for _ in range(args.repeat):
        elapsed, rows = one_process(by_symbol, formula)
        assert rows == total
        times["one process"].append(elapsed)
        print(f"one process: {elapsed:.2f} s  load {load()}", file=sys.stderr)
    for w in workers:
        with (
            LocalCluster(
                n_workers=w, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster) as client,
        ):
            for _ in range(args.repeat):
                for layout, folder, known in (
                    ("by symbol, no shuffle", by_symbol, True),
                    ("by date, shuffled", by_date, False),
                ):
                    key = f"{w} worker{'s' if w > 1 else ''}, {layout}"
                    elapsed, n = on_cluster(client, folder, formula, known)
                    times.setdefault(key, []).append(elapsed)
                    tasks[key] = n
                    loads.append(load())
                    print(f"{key}: {elapsed:.2f} s  load {load()}", file=sys.stderr)

    base = statistics.median(times["one process"])
    rows = []
    for key, ts in times.items():
        med = statistics.median(ts)
        w = 1 if key == "one process" else int(key.split()[0])
        rows.append(
            {
                "run": key,
                "median_s": round(med, 3),
                "times_s": [round(t, 3) for t in ts],
                "bars_per_s": round(total / med),
                "over_one_process": round(med / base, 3),
                "tasks": tasks.get(key),
                "s_per_task_per_worker": round(med * w / tasks[key], 4) if key in tasks else None,
            }
        )
    info = {
        "date": _dt.date.today().isoformat(),
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "vexa": vexa.__version__,
        "dask": dask.__version__,
        "distributed": distributed.__version__,
        "pandas": pd.__version__,
        "symbols": args.symbols,
        "bars": args.bars,
        "total_bars": total,
        "repeat": args.repeat,
        "load_1min_during": [x[0] for x in loads],
        "formula": FORMULA.strip(),
        "results": rows,
    }
    md = render(info)
    print(md)
    if not args.no_save:
        out = HERE / "results"
        out.mkdir(exist_ok=True)
        stem = args.name or f"{info['date']}-dask-{info['cores']}c"
        (out / f"{stem}.json").write_text(json.dumps(info, indent=1) + "\n")
        (out / f"{stem}.md").write_text(md)
        print(f"saved bench/results/{stem}.json and .md", file=sys.stderr)


def render(info):
    lines = [
        f"# vexa.dask: {info['symbols']:,} symbols x {info['bars']:,} bars "
        f"({info['total_bars']:,} bars) from Parquet",
        "",
        f"{info['date']}, {info['cores']} cores shared with other work (1-minute load "
        f"during the runs: {min(info['load_1min_during'])} to "
        f"{max(info['load_1min_during'])}), CPython {info['python']}, dask "
        f"{info['dask']}, pandas {info['pandas']}; median of {info['repeat']} runs.",
        "",
        "| run | median s | bars / s | time / one process | tasks | s per task |",
        "|---|---|---|---|---|---|",
    ]
    for r in info["results"]:
        per_task = "" if r["tasks"] is None else f"{r['s_per_task_per_worker']:.3f}"
        lines.append(
            f"| {r['run']} | {r['median_s']:.2f} | {r['bars_per_s']:,} | "
            f"{r['over_one_process']:.2f} | {r['tasks'] or ''} | {per_task} |"
        )
    lines.append("")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
