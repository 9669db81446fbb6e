"""Throughput of a formula over a Dask cluster of worker processes on this machine, beside
the single-process run without Dask.

    python3 bench/cluster.py [--symbols 2000] [--bars 5000] [--workers 1,2,4] [--repeat 3]
                          [--data DIR] [--name NAME] [--no-save]

Writes (once, kept in --data) a Parquet data set of random-walk bars in two layouts:
`by-symbol/` (files of whole symbols, sorted: read with known divisions, no shuffle) and
`by-date/` (files of date ranges holding every symbol: one shuffle by symbol). Then times,
`--repeat` times each, interleaved:

- one process: pandas.read_parquet of by-symbol/ and vexa.Formula(table, by="symbol"),
  with the symbols as text and as integer codes (pandas.factorize, as vexa.dask's tasks
  hand them to the formula);
- Dask with 1, 2 and 4 worker processes (one thread each) on each layout: read_parquet,
  vexa.dask.run and persist, until every partition's result is in the workers' memory;
  each with the workers' environment as Dask's nannies set it, and with glibc's malloc
  left at its defaults (without MALLOC_TRIM_THRESHOLD_).

Prints medians of the wall time (bars per second) and of the CPU time of every process
involved (the workers, the scheduler and the client: a figure that the other work on a
shared machine disturbs much less), their ratios to the single process, the CPU time per
task and the machine's load, and saves JSON and Markdown in bench/results/. A benchmark,
not a test: nothing here is collected by pytest.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import itertools
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# Run as a script, this file's folder comes first on the path, where this file would
# shadow the dask package itself.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != HERE]

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


def one_process(folder, formula, codes=False):
    """(wall seconds, CPU seconds of this process, rows). codes: the symbols handed to
    the formula as integer codes, as vexa.dask's tasks do."""
    import pandas as pd

    t0, c0 = time.perf_counter(), time.process_time()
    table = pd.read_parquet(folder)
    if codes:
        table["symbol"] = pd.factorize(table["symbol"], sort=True)[0]
    out = formula(table, by="symbol")
    return time.perf_counter() - t0, time.process_time() - c0, len(out)


def _cpu():
    import psutil

    t = psutil.Process().cpu_times()
    return t.user + t.system


def on_cluster(client, folder, formula, known):
    """(wall seconds, CPU seconds of the workers, the scheduler and the client, tasks of
    the formula)."""
    import dask.dataframe as dd
    from distributed import wait

    import vexa.dask

    before = client.run(_cpu)
    t0, c0 = time.perf_counter(), time.process_time()
    if known:
        ddf = dd.read_parquet(folder, index="symbol", calculate_divisions=True)
        assert ddf.known_divisions
    else:
        ddf = dd.read_parquet(folder)
    result = client.persist(vexa.dask.run(formula, ddf, by="symbol"))
    wait(result)
    elapsed = time.perf_counter() - t0
    cpu = time.process_time() - c0  # the client, and the local scheduler in this process
    after = client.run(_cpu)
    cpu += sum(after[w] - before.get(w, 0.0) for w in after)
    tasks = result.npartitions
    del result
    return elapsed, cpu, tasks


def warm_up(client, formula):
    """Imports and the formula's compilation on every worker, before anything is timed."""
    import dask.dataframe as dd
    import pandas as pd

    import vexa.dask

    n = 300
    small = pd.DataFrame(
        {
            "symbol": np.repeat(["A", "B"], n),
            "date": np.tile(pd.date_range("2000-01-03", periods=n, freq="B"), 2),
            **{c: np.linspace(10.0, 20.0, 2 * n) for c in ("open", "high", "low", "close")},
            "volume": np.ones(2 * n),
        }
    )
    for frame in (small, small.set_index("symbol")):
        ddf = dd.from_pandas(frame, npartitions=len(client.scheduler_info()["workers"]) * 2)
        client.compute(vexa.dask.run(formula, ddf, by="symbol")).result()


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
    times, cpus, tasks = {}, {}, {}
    loads = [load()]
    for _ in range(args.repeat):
        for key, codes in (("one process", False), ("one process, symbols as codes", True)):
            elapsed, cpu, rows = one_process(by_symbol, formula, codes)
            assert rows == total
            times.setdefault(key, []).append(elapsed)
            cpus.setdefault(key, []).append(cpu)
            print(f"{key}: {elapsed:.2f} s, CPU {cpu:.2f} s, load {load()}", file=sys.stderr)
    # Dask's nannies start workers with MALLOC_TRIM_THRESHOLD_=65536, which also turns
    # off glibc's dynamic mmap threshold: every array over 128 KiB is then a fresh mapping,
    # page faults and all. Measured both ways. (A nanny also sets the variable in this
    # process's environment, which later workers would inherit: removed each time.)
    trim = "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_"
    default = dask.config.get(trim)
    for w, (malloc, value) in itertools.product(workers, (("", default), (", glibc malloc", None))):
        os.environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        with (
            dask.config.set({trim: value}),
            LocalCluster(
                n_workers=w, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            Client(cluster) as client,
        ):
            warm_up(client, formula)
            for _ in range(args.repeat):
                for layout, folder, known in (
                    ("by symbol, no shuffle", by_symbol, True),
                    ("by date, shuffled", by_date, False),
                ):
                    key = f"{w} worker{'s' if w > 1 else ''}, {layout}{malloc}"
                    elapsed, cpu, n = on_cluster(client, folder, formula, known)
                    times.setdefault(key, []).append(elapsed)
                    cpus.setdefault(key, []).append(cpu)
                    tasks[key] = n
                    loads.append(load())
                    print(
                        f"{key}: {elapsed:.2f} s, CPU {cpu:.2f} s, load {load()}",
                        file=sys.stderr,
                    )

    base = statistics.median(times["one process, symbols as codes"])
    base_cpu = statistics.median(cpus["one process, symbols as codes"])
    rows = []
    for key, ts in times.items():
        med = statistics.median(ts)
        cpu = statistics.median(cpus[key])
        rows.append(
            {
                "run": key,
                "median_s": round(med, 3),
                "times_s": [round(t, 3) for t in ts],
                "bars_per_s": round(total / med),
                "over_one_process": round(med / base, 3),
                "cpu_s": round(cpu, 3),
                "cpu_s_all": [round(c, 3) for c in cpus[key]],
                "cpu_ns_per_bar": round(cpu / total * 1e9, 1),
                "cpu_over_one_process": round(cpu / base_cpu, 3),
                "tasks": tasks.get(key),
                "cpu_s_per_task": round(cpu / tasks[key], 4) if key in tasks else None,
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
        "Ratios are to the single process with the symbols as codes, the same evaluation "
        "as the tasks do.",
        "",
        "| run | wall s | bars / s | wall / one process | CPU s | CPU ns / bar | "
        "CPU / one process | tasks | CPU s / task |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for r in info["results"]:
        per_task = "" if r["tasks"] is None else f"{r['cpu_s_per_task']:.2f}"
        lines.append(
            f"| {r['run']} | {r['median_s']:.2f} | {r['bars_per_s']:,} | "
            f"{r['over_one_process']:.2f} | {r['cpu_s']:.2f} | {r['cpu_ns_per_bar']:.0f} | "
            f"{r['cpu_over_one_process']:.2f} | {r['tasks'] or ''} | {per_task} |"
        )
    lines.append("")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
