"""Live bars: the time of one stream update from Python, for every function that streams.

    python3 bench/stream.py [--quick] [--bars 20000] [--periods 20,250] [--functions MA,EMA]
                            [--clock cpu|wall] [--name NAME] [--no-save]
    python3 bench/stream.py --summary [RESULT.json]

For each function and each period N it times, per bar, the ways to get the newest bar's
value:

- stream: `s.update(...)` of vexa.stream in a Python loop, one call per bar (the values
  already Python floats, as a feed delivers them);
- native: `s.update_many(...)` over the same bars, per bar: the stream's own work
  without the Python call, to tell the two apart;
- recompute: the batch function (vexa._native, the everyday functions) over the last
  250 bars, its last element: what a live loop does without a stream;
- TA-Lib: the talib.stream function over the same 250 bars, where TA-Lib has one.

Then, for the functions that re-sum their window at every bar in the batch kernel's order
(the one order that gives its bits), the native time per update at N from 20 to 1000 and
its slope, the cost of one bar of the window: what an exact update of these functions
cannot do without.

The integer parameters are N (M = 1 for SMA, B = 1 for LAST); the per-bar period
functions get a period series of N. Inputs: a random walk of closes, the high and low
around it, rose-from-the-previous-bar as the condition, random weights for DMA. In every
round each way takes one sample, in a freshly shuffled order (so a burst of load hits all
alike); the figure is the median over the rounds, and ratios are of medians measured side
by side in one run. Clock: the thread's CPU time (`--clock wall` for wall time). Also a
10-line formula's stream per bar beside the formula recomputed over the last 250 bars,
and what its thread contract (the lock of every update) costs of that bar; and the same
formula over a whole market (5,000 symbols): one bar of every symbol through its market
stream (`Formula.stream(symbols=5000)`) beside the loop of 5,000 single-symbol streams.
`--formula` runs these two alone.

Targets: at most 1 microsecond per update for the O(1) functions, and at least 20 x
faster than recomputing at 250 bars; the formula's stream at most 1.5 microseconds per
bar, its market stream at most 0.5 ms per bar of 5,000 symbols. Saves
bench/results/stream-<date>-<cpu>-<cores>c.json and the rendered summary beside it (.md).
"""

from __future__ import annotations

import argparse
import datetime as _dt
import gc
import json
import os
import platform
import random
import re
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np

import vexa
import vexa._native as native
import vexa.stream as vs
from vexa.table import ALL, COND, INT, PERIODS, REAL

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import timing  # noqa: E402

WINDOW = 250
UPDATE_MAX_NS = 1000.0
GAIN_MIN = 20.0
FORMULA_MAX_NS = 1500.0
SYMBOLS = 5000
MARKET_MAX_NS = 500_000.0

# Benchmark knowledge: the functions whose update re-sums its window of N bars, as their
# kernels do (quorix_stream.h); the per-bar period functions and SUMBARS are told by the
# table and vexa.stream; every other function updates in O(1) (amortised for the
# extremes).
WINDOWED = {"STD", "STDDEV", "STDP", "AVEDEV", "VAR", "VARP", "DEVSQ", "SLOPE", "FORCAST"}
# The per-bar period functions that re-sum their window of P bars.
RESUM_PER_BAR = {"MA_A", "SUM_A"}
SCALING = (20, 60, 125, 250, 500, 1000)
# talib.stream peers: (function, keyword arguments besides timeperiod).
TALIB = {
    "MA": ("SMA", {}),
    "EMA": ("EMA", {}),
    "WMA": ("WMA", {}),
    "SUM": ("SUM", {}),
    "LLV": ("MIN", {}),
    "HHV": ("MAX", {}),
    "STDP": ("STDDEV", {"nbdev": 1.0}),
    "VARP": ("VAR", {"nbdev": 1.0}),
    "SLOPE": ("LINEARREG_SLOPE", {}),
    "FORCAST": ("LINEARREG", {}),
    "HHVBARS": ("MAXINDEX", {}),
    "LLVBARS": ("MININDEX", {}),
}

FORMULA = """
MID := MA(CLOSE, 20);
UP := MID + 2 * STD(CLOSE, 20);
DN := MID - 2 * STD(CLOSE, 20);
DIF := EMA(CLOSE, 12) - EMA(CLOSE, 26);
DEA := EMA(DIF, 9);
MACD := (DIF - DEA) * 2;
RSV := (CLOSE - LLV(LOW, 9)) / (HHV(HIGH, 9) - LLV(LOW, 9)) * 100;
K := SMA(RSV, 3, 1);
D := SMA(K, 3, 1);
SIG : CROSS(DIF, DEA) + COUNT(CLOSE > UP, 5) + (DN > LOW);
"""

_clock = time.thread_time_ns


def kind_of(f):
    if f.name in WINDOWED:
        return "windowed"
    if f.name in vs._stream_history:
        return "per-bar"
    return "O(1)"


def data(n, N, seed=1):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.standard_normal(n) * 0.01))
    return {
        "close": close,
        "high": close * (1 + rng.random(n) * 0.01),
        "low": close * (1 - rng.random(n) * 0.01),
        "cond": (np.diff(close, prepend=close[0]) > 0).astype(np.float64),
        "weight": rng.uniform(0.05, 0.3, n),
        "periods": np.full(n, float(N)),
    }


def columns(f, d):
    """One array per array parameter of f."""
    out = []
    for k, p in enumerate(f.params):
        if p.kind in (INT, REAL):
            continue
        if f.name == "SAR":
            out.append(d["high" if p.name == "H" else "low"])
        elif p.kind == PERIODS:
            out.append(d["periods"])
        elif p.kind == COND or (f.name == "REFIF" and k == 1):
            out.append(d["cond"])
        elif f.name == "DMA" and k == 1:
            out.append(d["weight"])
        elif f.name == "SUMBARS" and k == 1:
            out.append(d["close"] * 5)  # the sum of about five bars
        elif k == 0:
            out.append(d["close"])
        else:
            out.append(d["high"])
    return out


# Real parameters: SAR's STEP and MAX, in percent.
REALS = {"STEP": 2.0, "MAX": 20.0}


def int_params(f, N):
    """The integer parameters (N, or 1), and the real ones."""
    ints = {p.name: (N if p.name in ("N", "A") else 1) for p in f.params if p.kind == INT}
    return {**ints, **{p.name: REALS[p.name] for p in f.params if p.kind == REAL}}


def batch_args(f, cols, N):
    ints = int_params(f, N)
    args, k = [], 0
    for p in f.params:
        if p.kind in (INT, REAL):
            args.append(ints[p.name])
        else:
            args.append(cols[k])
            k += 1
    return args


def stream_kwargs(f, N):
    kw = int_params(f, N)
    if f.name in vs._stream_history:
        kw["max_period"] = max(1000, N)
    return kw


# ---- samples: each returns nanoseconds per bar ------------------------------------


def warmed(f, cols, N, warm):
    """A new stream of f that has taken the first `warm` bars (outside the timing, so
    that every timed update does its full work)."""
    s = getattr(vs, f.name)(**stream_kwargs(f, N))
    s.update_many(*(c[:warm] for c in cols))
    return s


def stream_sample(f, cols, N, warm):
    rows = list(zip(*(c[warm:].tolist() for c in cols)))

    def sample():
        u = warmed(f, cols, N, warm).update
        t = _clock()
        for r in rows:
            u(*r)
        return (_clock() - t) / len(rows)

    return sample


def native_sample(f, cols, N, warm):
    rest = [c[warm:] for c in cols]

    def sample():
        s = warmed(f, cols, N, warm)
        t = _clock()
        s.update_many(*rest)
        return (_clock() - t) / len(rest[0])

    return sample


def windows_sample(fn, cols, count):
    """fn(*the last WINDOW bars of every column) for `count` consecutive bars."""

    def sample():
        t = _clock()
        for i in range(WINDOW, WINDOW + count):
            fn(*(c[i - WINDOW : i] for c in cols))
        return (_clock() - t) / count

    return sample


def recompute_sample(f, cols, N, count):
    fn = getattr(native, f.name)
    template = batch_args(f, cols, N)
    pos = [k for k, a in enumerate(template) if isinstance(a, np.ndarray)]

    def last(*windows):
        args = list(template)
        for k, w in zip(pos, windows):
            args[k] = w
        return fn(*args)[-1]

    return windows_sample(last, [template[k] for k in pos], count)


def talib_sample(f, cols, N, count):
    if f.name not in TALIB:
        return None
    try:
        import talib.stream as ts
    except ImportError:
        return None
    name, kw = TALIB[f.name]
    fn = getattr(ts, name)
    return windows_sample(lambda x: fn(x, timeperiod=N, **kw), cols[:1], count)


def measure(samples, rounds):
    """{key: median ns per bar} of interleaved rounds, each key once per round."""
    got = {k: [] for k in samples}
    keys = list(samples)
    samples_of = dict(samples)
    for k in keys:
        samples_of[k]()  # warm up
    gc.disable()
    try:
        for _ in range(rounds):
            random.shuffle(keys)
            for k in keys:
                got[k].append(samples_of[k]())
    finally:
        gc.enable()
    return {k: statistics.median(v) for k, v in got.items()}


def scaling(streamed, bars, rounds):
    """{function: {N: native ns per update}} and the slope, ns per bar of the window."""
    out = {}
    for f in streamed:
        if f.name not in WINDOWED | RESUM_PER_BAR:
            continue
        times = {}
        for N in SCALING:
            cols = columns(f, data(bars + N, N))
            times[N] = measure({"native": native_sample(f, cols, N, N)}, rounds)["native"]
        slope, _ = np.polyfit(SCALING, [times[N] for N in SCALING], 1)
        out[f.name] = {
            "native": {str(N): t for N, t in times.items()},
            "ns_per_window_bar": float(slope),
        }
        print(
            f"{f.name:14} "
            + " ".join(f"{times[N]:6.0f}" for N in SCALING)
            + f"   {slope:.2f} ns per bar of the window",
            flush=True,
        )
    return out


def formula_times(d, bars, rounds):
    """{stream, recompute}: ns per bar of the formula's stream and of the formula over
    the last 250 bars."""
    f = vexa.Formula(FORMULA)
    fields = {k: d[k] for k in ("close", "high", "low")}
    rows = [dict(zip(fields, v)) for v in zip(*(c[:bars].tolist() for c in fields.values()))]
    count = max(20, bars // 100)

    def stream():
        u = f.stream().update
        t = _clock()
        for r in rows:
            u(r)
        return (_clock() - t) / len(rows)

    def recompute():
        t = _clock()
        for i in range(WINDOW, WINDOW + count):
            f({k: v[i - WINDOW : i] for k, v in fields.items()})
        return (_clock() - t) / count

    def guard():
        # What an update adds for its thread contract, alone: the lock taken and given
        # back and the owner noted and cleared, as FormulaStream.update does.
        s = f.stream()
        lock, ident = s._lock, threading.get_ident
        t = _clock()
        for _ in rows:
            if not lock.acquire(False):
                lock.acquire()
            s._owner = ident()
            try:
                pass
            finally:
                s._owner = None
                lock.release()
        return (_clock() - t) / len(rows)

    return measure({"stream": stream, "recompute": recompute, "guard": guard}, rounds)


def market_times(symbols, bars, rounds):
    """{market, singles}: ns per bar of every symbol, through the formula's market
    stream and through a loop of one single-symbol stream per symbol."""
    f = vexa.Formula(FORMULA)
    rng = np.random.default_rng(3)
    warm = 40
    n = warm + bars
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.01, (n, symbols)), 0)), 2)
    feed = [{"close": close[t], "high": close[t] * 1.01, "low": close[t] * 0.99} for t in range(n)]
    loop_bars = 2  # a bar of the loop takes thousands of updates

    def market():
        s = f.stream(symbols=symbols)
        for b in feed[:warm]:
            s.update(b)
        u = s.update
        t = _clock()
        for b in feed[warm:]:
            u(b)
        return (_clock() - t) / bars

    rows = [[{k: float(v[i]) for k, v in b.items()} for i in range(symbols)] for b in feed]
    streams = [f.stream() for _ in range(symbols)]
    for b in rows[:warm]:
        for s, r in zip(streams, b):
            s.update(r)
    at = [warm]

    def singles():
        updates = [s.update for s in streams]
        t = _clock()
        for b in rows[at[0] : at[0] + loop_bars]:
            for u, r in zip(updates, b):
                u(r)
        at[0] = warm + (at[0] - warm + loop_bars) % (bars - loop_bars)
        return (_clock() - t) / loop_bars

    return measure({"market": market, "singles": singles}, rounds)


def machine():
    model = timing.cpu_model()
    versions = {"vexa": vexa.__version__, "numpy": np.__version__}
    try:
        import talib

        versions["talib"] = talib.__version__
    except ImportError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "versions": versions,
    }


# ---- the summary --------------------------------------------------------------------


def _ns(v):
    return "-" if v is None else f"{v:.0f}"


def bound_note(rows, sc):
    """Why the re-summing functions stay below the gain target at N = 250, in this run's
    figures."""
    at = [r for r in rows if r["N"] == 250]
    o1 = [r for r in at if r["kind"] == "O(1)"]
    resum = [r for r in at if r["function"] in sc]
    if not (o1 and resum):
        return []
    call = statistics.median(r["recompute"] for r in o1)
    work = statistics.median(r["native"] for r in resum)
    python = statistics.median(r["stream"] - r["native"] for r in at)
    per_bar = statistics.median(v["ns_per_window_bar"] for v in sc.values())
    bound = (call + work) / (python + work)
    return [
        "These functions give the batch kernel's bits only by summing the N values (or "
        "deviations from the new mean) of each window afresh, oldest first, as the kernel "
        "does: a chain of N additions, each waiting for the one before, about "
        f"{per_bar:.1f} ns per bar of the window here (the adder's latency). At N = 250 "
        f"that is {work:.0f} ns per update (median), whatever the code around it. "
        "Recomputing the last 250 bars does that same single window plus one call of the "
        f"batch function ({call:.0f} ns, the median recompute of the O(1) functions), and "
        f"the update adds the Python call ({python:.0f} ns): the gain is bounded near "
        f"({call:.0f} + {work:.0f}) / ({python:.0f} + {work:.0f}) = {bound:.1f} x. Reaching "
        "20 x would take a running form of these sums, another order of operations and so "
        "other last bits. (MA_A and SUM_A at P = 250: the last 250 bars hold no full "
        "window, since bar i needs P <= i, so that recompute gives NaN without summing and "
        "their gain is understated.)",
    ]


def summary(result):
    m = result["machine"]
    loads = result["loadavg"]
    lines = [
        f"# vexa.stream, {result['date']}",
        "",
        f"{m['cpu']}, {m['cores']} cores shared with other work (1-minute load average "
        f"{min(loads):.2f} to {max(loads):.2f} during the run), CPython {m['python']}, "
        f"numpy {m['versions']['numpy']}, TA-Lib {m['versions'].get('talib', '-')}. "
        f"Clock: {result['clock']}; medians of {result['rounds']} interleaved rounds over "
        f"{result['bars']:,} bars (recompute: {result['count']:,} bars per round). Times "
        f"in ns per update; gain = recompute / stream.",
        "",
    ]
    rows = result["functions"]
    periods = sorted({r["N"] for r in rows})
    if not rows:
        lines += ["| target | measured | target value |", "|---|---|---|"]
    o1 = [r for r in rows if r["kind"] == "O(1)"]
    if rows:
        lines += ["| target | measured | target value |", "|---|---|---|"]
    if o1:
        worst = max(o1, key=lambda r: r["stream"])
        lines.append(
            f"| O(1) functions, one update from Python (worst over N = "
            f"{', '.join(map(str, periods))}) | {worst['stream']:.0f} ns ({worst['function']}, "
            f"N = {worst['N']}); median {statistics.median(r['stream'] for r in o1):.0f} ns | "
            f"<= {UPDATE_MAX_NS:.0f} ns |"
        )
    for N in periods:
        at = [r for r in rows if r["N"] == N]
        met = [r for r in at if r["recompute"] / r["stream"] >= GAIN_MIN]
        least = min(at, key=lambda r: r["recompute"] / r["stream"])
        missed = sorted(
            (r for r in at if r["recompute"] / r["stream"] < GAIN_MIN),
            key=lambda r: r["recompute"] / r["stream"],
        )
        gain = least["recompute"] / least["stream"]
        text = f"{len(met)} of {len(at)} functions; least {gain:.1f} x ({least['function']})"
        if missed:
            text += "; below: " + ", ".join(
                f"{r['function']} {r['recompute'] / r['stream']:.1f}" for r in missed
            )
        lines.append(f"| gain over recomputing 250 bars, N = {N} | {text} | >= {GAIN_MIN:.0f} x |")
    fm = result.get("formula")
    if fm:
        lines.append(
            f"| 10-line formula, one bar | {fm['stream']:.0f} ns; recompute over 250 bars "
            f"{fm['recompute']:.0f} ns: {fm['recompute'] / fm['stream']:.1f} x | "
            f"<= {FORMULA_MAX_NS:.0f} ns; >= {GAIN_MIN:.0f} x |"
        )
        if "guard" in fm:
            lines.append(
                f"| its thread contract (lock, owner) | {fm['guard']:.0f} ns, "
                f"{100 * fm['guard'] / fm['stream']:.1f}% of the bar | - |"
            )
    mk = result.get("market")
    if mk:
        lines.append(
            f"| 10-line formula, one bar of {mk['symbols']:,} symbols | market stream "
            f"{mk['market'] / 1e6:.3f} ms ({mk['market'] / mk['symbols']:.0f} ns per symbol); "
            f"loop of single streams {mk['singles'] / 1e6:.1f} ms: "
            f"{mk['singles'] / mk['market']:.0f} x | <= {MARKET_MAX_NS / 1e6:.1f} ms |"
        )
    sc = result.get("scaling")
    if sc:
        ns = [int(n) for n in next(iter(sc.values()))["native"]]
        lines += [
            "",
            "## The window re-summed at every update",
            "",
            "Native time per update (update_many, ns) against N; the slope is the cost of one "
            "bar of the window.",
            "",
            "| function | " + " | ".join(f"N = {n}" for n in ns) + " | ns per window bar |",
            "|---|" + "---|" * (len(ns) + 1),
        ]
        for name, v in sc.items():
            cells = " | ".join(f"{v['native'][str(n)]:.0f}" for n in ns)
            lines.append(f"| {name} | {cells} | {v['ns_per_window_bar']:.2f} |")
        lines += ["", *bound_note(rows, sc)]
    for N in periods:
        lines += [
            "",
            f"## N = {N}",
            "",
            "| function | kind | stream | native | recompute | TA-Lib stream | gain |",
            "|---|---|---|---|---|---|---|",
        ]
        for r in (r for r in rows if r["N"] == N):
            lines.append(
                f"| {r['function']} | {r['kind']} | {_ns(r['stream'])} | {_ns(r['native'])} | "
                f"{_ns(r['recompute'])} | {_ns(r['talib'])} | "
                f"{r['recompute'] / r['stream']:.1f} |"
            )
    return "\n".join(lines) + "\n"


def main(argv=None):
    global _clock
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer bars and rounds")
    ap.add_argument("--bars", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=11)
    ap.add_argument("--periods", default="20,250", help="the values of N (default 20,250)")
    ap.add_argument("--functions", default="", help="comma-separated names (default: all)")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    ap.add_argument("--name", help="result file stem")
    ap.add_argument("--no-save", action="store_true")
    ap.add_argument("--summary", nargs="?", const="", help="print the summary of a result")
    ap.add_argument(
        "--formula", action="store_true", help="only the 10-line formula and its market stream"
    )
    ap.add_argument("--symbols", type=int, default=SYMBOLS, help="symbols of the market")
    args = ap.parse_args(argv)
    if args.summary is not None:
        path = Path(args.summary) if args.summary else max((HERE / "results").glob("stream-*.json"))
        print(summary(json.loads(path.read_text())), end="")
        return
    if args.quick:
        args.bars, args.rounds = 2000, 3
    _clock = time.thread_time_ns if args.clock == "cpu" else time.perf_counter_ns
    wanted = {s.strip().upper() for s in args.functions.split(",") if s.strip()}
    streamed = [
        f
        for f in ALL
        if hasattr(vs, f.name) and (not wanted or f.name in wanted) and not args.formula
    ]
    count = max(100, args.bars // 20)
    periods = [int(p) for p in args.periods.split(",")]
    result = {
        "machine": machine(),
        "date": _dt.date.today().isoformat(),
        "clock": "thread CPU time" if args.clock == "cpu" else "wall time",
        "bars": args.bars,
        "count": count,
        "rounds": args.rounds,
        "window": WINDOW,
        "functions": [],
        "loadavg": [os.getloadavg()[0]],
    }
    print(
        f"{'function':14} {'N':>4} {'stream':>9} {'native':>9} {'recompute':>10} "
        f"{'TA-Lib':>9} {'gain':>7}",
        flush=True,
    )
    for N in periods:
        d = data(args.bars + WINDOW, N)
        for f in streamed:
            cols = columns(f, d)
            samples = {
                "stream": stream_sample(f, cols, N, WINDOW),
                "native": native_sample(f, cols, N, WINDOW),
                "recompute": recompute_sample(f, cols, N, count),
            }
            peer = talib_sample(f, cols, N, count)
            if peer is not None:
                samples["talib"] = peer
            t = measure(samples, args.rounds)
            row = {"function": f.name, "N": N, "kind": kind_of(f), "talib": None, **t}
            result["functions"].append(row)
            print(
                f"{f.name:14} {N:4} {t['stream']:6.0f} ns {t['native']:6.0f} ns "
                f"{t['recompute']:7.0f} ns {_ns(row['talib']):>6} ns "
                f"{t['recompute'] / t['stream']:6.1f}x",
                flush=True,
            )
        result["loadavg"].append(os.getloadavg()[0])
    if streamed:
        print(f"\nnative ns per update at N = {', '.join(map(str, SCALING))}", flush=True)
        result["scaling"] = scaling(streamed, args.bars, args.rounds)
    if not wanted:
        d = data(args.bars + WINDOW, 20)
        result["formula"] = formula_times(d, min(args.bars, 5000), args.rounds)
        fm = result["formula"]
        print(
            f"{'10-line formula':19} {fm['stream']:6.0f} ns {'':>9} {fm['recompute']:7.0f} ns "
            f"{'':>9} {fm['recompute'] / fm['stream']:6.1f}x; its lock {fm['guard']:.0f} ns"
        )
        result["loadavg"].append(os.getloadavg()[0])
        mk = market_times(args.symbols, 20 if args.quick else 100, args.rounds)
        result["market"] = {"symbols": args.symbols, **mk}
        print(
            f"{'market, ' + str(args.symbols) + ' symbols':19} {mk['market'] / 1e3:6.0f} us per "
            f"bar; the loop of single streams {mk['singles'] / 1e3:7.0f} us",
            flush=True,
        )
        result["loadavg"].append(os.getloadavg()[0])
    text = summary(result)
    print("\n" + text)
    if not args.no_save:
        cpu = re.sub(r"\((r|tm)\)", "", result["machine"]["cpu"].lower()).split()
        stem = (
            args.name
            or f"stream-{result['date']}-{'-'.join(cpu[:2])}-{result['machine']['cores']}c"
        )
        (HERE / "results" / f"{stem}.json").write_text(json.dumps(result, indent=1) + "\n")
        (HERE / "results" / f"{stem}.md").write_text(text)
        print(f"saved bench/results/{stem}.json and .md")


if __name__ == "__main__":
    main()
