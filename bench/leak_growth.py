"""Growth of references and memory per 100,000 calls of every function, over all its
call paths (the success paths and every error path of tests/bindings.py).

    python3 bench/leak_growth.py [--calls 100000] [--functions MA,FIF]

For each function the paths run round after round until `calls` calls are made; the
figures are scaled to 100,000 calls. Three measures, each in its own pass:
  refs    change of the summed reference counts of the watched objects (arguments,
          numpy's types and functions, the module and its function), and of
          sys.gettotalrefcount() where the interpreter has it (a debug build);
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
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from bindings import FUNCTIONS, call_paths, run_round, watched  # noqa: E402

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
    print(f"Python {sys.version.split()[0]}, {opts.calls} calls per function and measure"
          f"{', debug build' if has_total else ''}; growth per 100,000 calls")
    head = f"{'function':14} {'paths':>5} {'refs':>7} {'total':>7} {'traced B':>9} {'rss B':>10} {'s':>6}"
    print(head)
    sums = [0.0, 0.0, 0.0, 0.0]
    long_paths = {f.name: [p for p in call_paths(f, n=40_000) if not p.label.endswith("2**31")]
                  for f in chosen}
    for _ in range(3):
        for f in chosen:
            run_round(f, long_paths[f.name])
    for f in chosen:
        t = time.perf_counter()
        paths = call_paths(f)
        objs = watched(f, paths)
        refs, calls = measure(f, paths, opts.calls, lambda: sum(sys.getrefcount(o) for o in objs))
        total = measure(f, paths, opts.calls, sys.gettotalrefcount)[0] if has_total else float("nan")
        tracemalloc.start()
        traced = measure(f, paths, opts.calls, lambda: tracemalloc.get_traced_memory()[0])[0]
        tracemalloc.stop()
        big = long_paths[f.name]
        rss = measure(f, big, max(opts.rss_calls, len(big)), resident)[0]
        for k, v in enumerate((refs, total, traced, rss)):
            sums[k] += v
        print(f"{f.name:14} {len(paths):5d} {refs:7.0f} {total:7.0f} {traced:9.0f} {rss:10.0f} "
              f"{time.perf_counter() - t:6.1f}", flush=True)
    print(f"{'all':14} {'':5} {sums[0]:7.0f} {sums[1]:7.0f} {sums[2]:9.0f} {sums[3]:10.0f}")


if __name__ == "__main__":
    main()
