"""One series through the everyday functions (vexa.NAME): the call overhead at n = 10
beside bottleneck's move_mean and the strict vexa._vexa, the time at n = 10**6 beside
vexa._vexa, and two Python threads against one.

    python3 bench/overhead.py [--quick] [--functions MA,EMA] [--name NAME] [--no-save]
    python3 bench/overhead.py --summary [RESULT.json]

Every function takes the inputs of bench/run.py (bench/cases.py, the "walk" data set),
period 5 at n = 10 and 20 at n = 10**6. Single-thread figures use the thread's CPU
time; the threads figure uses wall time: one thread calling vexa.MA on two separate
10**6-bar series R times each, against two threads calling it R times on one series
each, repeated and interleaved; the figure is the median of serial / threaded. On a
machine whose cores other work keeps busy it is bounded by that load, which is recorded
beside it. Saves bench/results/overhead-<date>-<cpu>-<cores>c.json.
"""

import argparse
import ctypes
import datetime as _dt
import json
import os
import platform
import re
import resource
import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cases  # noqa: E402
import data  # noqa: E402
import timing  # noqa: E402

# Targets: overhead at n = 10 at most bottleneck's move_mean; n = 10**6 no slower than
# vexa._vexa; two threads at least 1.7 x one.
OVERHEAD_MAX = 1.0
LONG_MAX = 1.0
THREADS_MIN = 1.7


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds")
    ap.add_argument("--functions", help="comma-separated function names (default: all)")
    ap.add_argument("--name", help="result file stem")
    ap.add_argument("--no-save", action="store_true")
    ap.add_argument("--summary", nargs="?", const="", help="print the summary of a result")
    return ap.parse_args(argv)


def machine():
    import vexa

    model = timing.cpu_model()
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "versions": {"vexa": vexa.__version__, **cases.AVAILABLE},
        "loadavg_start": os.getloadavg()[0],
    }


def single(selected, n, N, rounds, rng, with_bottleneck):
    import vexa
    import vexa._vexa as vx

    d = data.DataCache(n).get("walk", n)
    rows = []
    for case in selected:
        p = data.period_series(n, N, "const") if case.kind == "per_bar" else None
        args = case.args(d, N, p)
        cons = [
            timing.py_contender("vexa", f"vexa.{case.name}", getattr(vexa, case.name), args),
            timing.py_contender("strict", f"vexa._vexa.{case.name}", getattr(vx, case.name), args),
        ]
        if with_bottleneck and cases.bn is not None:
            cons.append(
                timing.py_contender("bottleneck", "move_mean", cases.bn.move_mean, (d.close, 5))
            )
        stats = timing.measure(cons, rounds, 2e6, rng, 1e9)
        row = {
            "function": case.name,
            "n": n,
            "ns_call": {k: s["ns_call"] for k, s in stats.items()},
        }
        rows.append(row)
        t = row["ns_call"]
        line = f"  {case.name:<14} vexa {t['vexa']:10.0f} ns"
        line += f"   vexa._vexa x{t['vexa'] / t['strict']:.2f}"
        if "bottleneck" in t:
            line += f"   bottleneck move_mean x{t['vexa'] / t['bottleneck']:.2f}"
        print(line, flush=True)
    return rows


def threads(repeats, calls):
    """serial / threaded wall time for vexa.MA on two 10**6-bar series; the same for
    vexa._vexa, which holds the GIL (about 1), and for the bare kernel through ctypes,
    the most that the machine gives at that moment."""
    import vexa
    import vexa._vexa as vx

    rng = np.random.default_rng(7)
    series = [np.cumsum(rng.normal(size=10**6)) for _ in range(2)]

    def work(fn, x):
        for _ in range(calls):
            fn(x, 20)

    def serial(fn):
        t0 = time.perf_counter()
        for x in series:
            work(fn, x)
        return time.perf_counter() - t0

    def cpu():
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime

    def parallel(fn):
        ts = [threading.Thread(target=work, args=(fn, x)) for x in series]
        c0, t0 = cpu(), time.perf_counter()
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        wall = time.perf_counter() - t0
        return wall, (cpu() - c0) / wall

    # The machine's own ceiling: the kernel called through ctypes (which releases the
    # GIL) into outputs made once, so nothing but the kernel runs in the threads.
    lib = ctypes.CDLL(vx.__file__)
    kernel = lib.vx_ma
    kernel.argtypes = [ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32]
    kernel.argtypes += [ctypes.c_void_p, ctypes.c_int32]
    outputs = {id(x): np.empty_like(x) for x in series}

    def ceiling(x, N):
        kernel(0, x.ctypes.data, x.size, N, outputs[id(x)].ctypes.data, x.size)

    out = {}
    for label, fn in (("vexa", vexa.MA), ("strict", vx.MA), ("ctypes", ceiling)):
        work(fn, series[0])
        ratios, loads, cores = [], [], []
        for _ in range(repeats):
            s = serial(fn)
            p, used = parallel(fn)
            ratios.append(s / p)
            cores.append(used)
            loads.append(os.getloadavg()[0])
        out[label] = {
            "speedup": float(np.median(ratios)),
            "best": float(max(ratios)),
            "all": [round(r, 3) for r in ratios],
            "cores_used": float(np.median(cores)),
            "loadavg": float(np.median(loads)),
        }
        print(
            f"  {label:<6} two threads / one: median x{out[label]['speedup']:.2f}, "
            f"best x{out[label]['best']:.2f}; the process ran on "
            f"{out[label]['cores_used']:.2f} cores (load average {out[label]['loadavg']:.1f})",
            flush=True,
        )
    return out


def gil_stall(calls=5, n=10**7):
    """The GIL during a long call: a second thread counts in Python while the first calls
    MA on n bars; the figure is the share of the call's time during which the counter
    made progress (1: it ran throughout; about 0 when the call holds the GIL). Unlike the
    speedup, it does not need an idle core: the counter only has to be scheduled."""
    import vexa
    import vexa._vexa as vx

    x = np.cumsum(np.random.default_rng(3).normal(size=n))
    out = {}
    for label, fn in (("vexa", vexa.MA), ("strict", vx.MA)):
        fn(x, 20)
        shares = []
        for _ in range(calls):
            stamps = []
            stop = threading.Event()

            def count(stamps=stamps, stop=stop):
                clock = time.perf_counter
                while not stop.is_set():
                    stamps.append(clock())

            th = threading.Thread(target=count)
            th.start()
            time.sleep(0.01)
            t0 = time.perf_counter()
            fn(x, 20)
            t1 = time.perf_counter()
            stop.set()
            th.join()
            inside = np.array([s for s in stamps if t0 <= s <= t1])
            # Time covered by the counter: gaps under 1 ms count as running.
            gaps = np.diff(np.concatenate([[t0], inside, [t1]]))
            shares.append(float(gaps[gaps < 1e-3].sum() / (t1 - t0)))
        out[label] = float(np.median(shares))
        print(
            f"  {label:<6} a Python thread ran during {100 * out[label]:.0f}% of the call",
            flush=True,
        )
    return out


def summary(result):
    m = result["machine"]
    lines = [
        f"# vexa everyday functions: one series ({m['cpu']}, {m['cores']} cores, "
        f"load average {m['loadavg_start']:.1f})",
        "",
        "| function | n = 10 ns/call | / bottleneck move_mean | / vexa._vexa | "
        "n = 10^6 ns/bar | / vexa._vexa |",
        "|---|---|---|---|---|---|",
    ]
    long = {r["function"]: r for r in result["long"]}
    worst_short = worst_long = 0.0
    for r in result["short"]:
        t = r["ns_call"]
        bn = t["vexa"] / t["bottleneck"] if "bottleneck" in t else float("nan")
        worst_short = max(worst_short, bn)
        lt = long.get(r["function"], {}).get("ns_call", {})
        lr = lt["vexa"] / lt["strict"] if lt else float("nan")
        if lt:
            worst_long = max(worst_long, lr)
        lines.append(
            f"| {r['function']} | {t['vexa']:.0f} | {bn:.2f} | {t['vexa'] / t['strict']:.2f} | "
            + (f"{lt['vexa'] / 10**6:.3f} | {lr:.2f} |" if lt else "- | - |")
        )
    th = result["threads"]
    lines += [
        "",
        "| target | measured | limit |",
        "|---|---|---|",
        "| overhead at n = 10 / bottleneck move_mean (worst function) | "
        f"{worst_short:.2f} | <= {OVERHEAD_MAX} |",
        f"| n = 10^6 / vexa._vexa (worst function) | {worst_long:.2f} | <= {LONG_MAX} |",
        f"| two threads / one thread, vexa.MA at n = 10^6 (median; best) | "
        f"{th['vexa']['speedup']:.2f}; {th['vexa']['best']:.2f} (the two threads ran on "
        f"{th['vexa']['cores_used']:.2f} cores; load average {th['vexa']['loadavg']:.1f}) | "
        f">= {THREADS_MIN} |",
        f"| the same for vexa._vexa (holds the GIL) | {th['strict']['speedup']:.2f} (on "
        f"{th['strict']['cores_used']:.2f} cores) | - |",
        f"| the same for the kernel through ctypes (the machine's ceiling) | "
        f"{th['ctypes']['speedup']:.2f} (on {th['ctypes']['cores_used']:.2f} cores) | - |",
    ]
    if "gil" in result:
        lines.append(
            "| share of a 10^7-bar vexa.MA call during which another Python thread ran | "
            f"{100 * result['gil']['vexa']:.0f}% (vexa._vexa: "
            f"{100 * result['gil']['strict']:.0f}%) | - |"
        )
    return "\n".join(lines)


def main(argv=None):
    args = parse_args(argv)
    if args.summary is not None:
        path = (
            Path(args.summary) if args.summary else max((HERE / "results").glob("overhead-*.json"))
        )
        print(summary(json.loads(path.read_text())))
        return
    selected = cases.CASES
    if args.functions:
        want = set(args.functions.split(","))
        selected = [c for c in selected if c.name in want]
    rng = np.random.default_rng(1)
    rounds = 5 if args.quick else 9
    result = {"machine": machine(), "date": _dt.date.today().isoformat()}
    print("call overhead at n = 10 (period 5)", flush=True)
    result["short"] = single(selected, 10, 5, rounds, rng, True)
    print("n = 10**6 (period 20)", flush=True)
    result["long"] = single(selected, 10**6, 20, 3 if args.quick else 5, rng, False)
    print("two Python threads, vexa.MA on separate 10**6-bar series", flush=True)
    result["threads"] = threads(5 if args.quick else 11, 10)
    print("the GIL during a 10**7-bar call", flush=True)
    result["gil"] = gil_stall(3 if args.quick else 7)
    text = summary(result)
    print("\n" + text)
    if not args.no_save:
        cpu = re.sub(r"\((r|tm)\)", "", result["machine"]["cpu"].lower()).split()
        stem = (
            args.name
            or f"overhead-{result['date']}-{'-'.join(cpu[:2])}-{result['machine']['cores']}c"
        )
        path = HERE / "results" / f"{stem}.json"
        path.write_text(json.dumps(result, indent=1) + "\n")
        print(f"\nsaved {path.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
