"""Growth of references and memory per 100,000 calls of every function, over all its
call paths (the success paths and every error path of tests/bindings.py).

    python3 tests/leak_growth.py [--calls 100000] [--functions MA,FIF]

For each function the paths run round after round until `calls` calls are made; the
figures are scaled to 100,000 calls. Three measures, each in its own pass:
  refs    change of the summed reference counts of the watched objects (arguments,
          numpy's types and functions, the module and its function);
  total   change of sys.gettotalrefcount() where the interpreter has it (a debug
          build), over all paths and over the paths that end before numpy is called
          ("early"): a numpy built without that count skews the first figure, not the
          second;
  traced  change of the memory that tracemalloc traces (Python and numpy allocations);
  rss     change of the resident size (/proc/self/statm), with series of 40,000 bars
          so that a result left behind per call would show as megabytes; every
          function runs these long paths a few times before any is measured, so that
          the allocator's first growth is not counted.
Run it outside the source tree's root so that the installed package is imported.
"""

import argparse
import gc
import os
import sys
import time
import tracemalloc

# Run as a script, its own folder (the tests') is first on sys.path.
from bindings import FUNCTIONS, call_paths, run_round, watched

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def measure(f, paths, calls, probe):
    rounds = max(1, calls // len(paths))
    for _ in range(10):
        run_round(f, paths)
    gc.collect()
    before = probe()
    for _ in range(rounds):
        run_round(f, paths)
    gc.collect()
    return (probe() - before) * 100_000 / (rounds * len(paths)), rounds * len(paths)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--functions", default="")
    ap.add_argument("--rss-calls", type=int, default=20_000, help="calls per function for rss")
    opts = ap.parse_args()
    chosen = [f for f in FUNCTIONS if not opts.functions or f.name in opts.functions.split(",")]
    has_total = hasattr(sys, "gettotalrefcount")
    print(
        f"Python {sys.version.split()[0]}, {opts.calls} calls per function and measure"
        f" ({opts.rss_calls} for rss){', debug build' if has_total else ''};"
        " growth per 100,000 calls"
    )
    rows = {f.name: {} for f in chosen}
    started = time.perf_counter()

    # References, and the resident size after the allocator has seen every long path.
    long_paths = {
        f.name: [p for p in call_paths(f, n=40_000) if not p.label.endswith("2**31")]
        for f in chosen
    }
    for _ in range(3):
        for f in chosen:
            run_round(f, long_paths[f.name])
    for f in chosen:
        paths = call_paths(f)
        objs = watched(f, paths)
        row = rows[f.name]
        row["paths"] = len(paths)
        row["refs"] = measure(
            f, paths, opts.calls, lambda objs=objs: sum(sys.getrefcount(o) for o in objs)
        )[0]
        row["total"] = (
            measure(f, paths, opts.calls, sys.gettotalrefcount)[0] if has_total else float("nan")
        )
        if has_total:
            early = [p for p in paths if p.early]
            row["early"] = measure(f, early, opts.calls, sys.gettotalrefcount)[0]
        row["rss"] = measure(
            f, long_paths[f.name], max(opts.rss_calls, len(long_paths[f.name])), resident
        )[0]

    # Traced memory in one session, after every path has run under tracing once: the
    # interpreter allocates some tables lazily the first time (3.13: ~0.4-0.9 MB once).
    tracemalloc.start()
    for f in chosen:
        for _ in range(3000 // len(rows[f.name]) + 1):
            run_round(f, call_paths(f))
    for f in chosen:
        paths = call_paths(f)
        rows[f.name]["traced"] = measure(
            f, paths, opts.calls, lambda: tracemalloc.get_traced_memory()[0]
        )[0]
    tracemalloc.stop()

    cols = ["refs", "total", "early", "traced", "rss"]
    print(
        f"{'function':14} {'paths':>5} {'refs':>7} {'total':>8} {'early':>7} "
        f"{'traced B':>9} {'rss B':>10}"
    )
    sums = dict.fromkeys(cols, 0.0)
    for name, row in rows.items():
        row.setdefault("early", float("nan"))
        for c in cols:
            sums[c] += row[c]
        print(
            f"{name:14} {row['paths']:5d} {row['refs']:7.0f} {row['total']:8.0f} "
            f"{row['early']:7.0f} "
            f"{row['traced']:9.0f} {row['rss']:10.0f}"
        )
    print(
        f"{'all':14} {'':5} {sums['refs']:7.0f} {sums['total']:8.0f} {sums['early']:7.0f} "
        f"{sums['traced']:9.0f} {sums['rss']:10.0f}"
    )
    print(f"{time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
