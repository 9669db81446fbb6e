"""Panels: every function over 1,000 symbols x 2,500 bars (N = 20), in ns per bar, on a
C-ordered and a Fortran-ordered panel (rows are bars, axis=0), beside the per-column loop
of vexa._vexa, bottleneck's move_* (both layouts), numbagg's move_mean,
move_exp_nanmean, move_std and move_var (both layouts; numbagg runs them in parallel) and
the copy floor (a copy of the panel into an existing array) and the streams floors
(below). The formula language's VAR, VARP and DEVSQ (vexa._native) are measured beside
the dispersion functions of vexa._vexa, their per-column loop through vexa._native's 1-D
calls; the summary ends with the seven dispersion functions against numbagg and their
target.

    python3 bench/panel.py [--quick] [--functions MA,EMA] [--threads N] [--name NAME]
    python3 bench/panel.py --summary [RESULT.json]

Wall time (the panels run on several threads), median of interleaved rounds as in
bench/run.py; one figure per contender: the time of one call / (bars x symbols). The
inputs: a random walk of prices; a second series is a panel of the same shape and
layout (CROSS: the prices' 20-bar mean; DMA: weights in (0.02, 0.5); REFIF's c: 0/1);
conditions are bool panels (the bar rose); the period series of the per-bar functions is
one series of 20.0 for every column. Saves bench/results/panel-<date>-<cpu>-<cores>c.json.

The streams floor of a function: numpy reading the same panels (as many float64 and bool
panels as the function's inputs) in one pass into a new float64 panel, as a call of
vexa does, its rows split among as many threads as vexa runs on: a copy (one float64
panel), a conversion (one bool panel), an addition (two), np.clip (three; also for a
bool and two float64 panels, whose one-pass numpy forms, np.where and a masked
addition, run far slower than memory allows). It is what memory alone
costs such a call, the allocation and first touch of the result included, which the
copy floor (into an existing array) leaves out.
"""

import argparse
import datetime as _dt
import json
import os
import platform
import re
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import timing  # noqa: E402

BARS, SYMBOLS, N = 2500, 1000, 20

# Targets (ns per bar, both layouts): the one-pass functions at most 0.5; the functions
# that re-read a window at least 2 x faster than the best peer and than their per-column
# loop. The per-bar functions have no target here.
ONE_PASS = {
    "MA", "SUM", "COUNT", "EMA", "SMA", "WMA", "DMA", "REF", "REFXV", "REFIF", "CROSS", "FIF",
    "FILTER", "BARSINCE", "BARLAST", "BARSLAST", "BACKCOUNT", "CURRBARSCOUNT",
}  # fmt: skip
ONE_PASS_MAX = 0.5
# The same target in units of the copy floor measured in the same run (0.5 ns over the
# floor's 0.38 ns on the machine the targets were set on): on a loaded machine the ns
# move with the load, the ratio to the floor far less.
ONE_PASS_FLOORS = 0.5 / 0.38
WINDOWED = {"STD", "STDDEV", "STDP", "AVEDEV", "SLOPE", "LLV", "HHV"}
WINDOWED_MIN_SPEEDUP = 2.0
# The dispersion functions, the formula language's among them: at most 1.2 ns per bar in
# both layouts. numbagg's nearest peer of each (its move_std and move_var divide by
# N - 1 only: for the population forms and DEVSQ they do the same work, not the same sum).
DISPERSION = ("STD", "STDDEV", "STDP", "VAR", "VARP", "DEVSQ", "AVEDEV")
DISPERSION_EXTRA = {"VAR", "VARP", "DEVSQ"}
DISPERSION_MAX = 1.2


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="3 rounds of short samples")
    ap.add_argument("--functions", help="comma-separated function names (default: all)")
    ap.add_argument(
        "--threads", type=int, help="threads of vexa's panels and numbagg's (default: all)"
    )
    ap.add_argument(
        "--clock",
        choices=("wall", "cpu"),
        default="wall",
        help="wall time (default), or the calling thread's CPU time (only with --threads 1)",
    )
    ap.add_argument("--name", help="result file stem")
    ap.add_argument("--no-save", action="store_true")
    ap.add_argument("--summary", nargs="?", const="", help="print the summary of a result")
    return ap.parse_args(argv)


def peers():
    """{function: [(key, label, call(panel, order) -> result)]} of the libraries present."""
    out = {}
    try:
        import bottleneck as bn

        for name, fn, kw in (
            ("MA", bn.move_mean, {}),
            ("SUM", bn.move_sum, {}),
            ("LLV", bn.move_min, {"min_count": 1}),
            ("HHV", bn.move_max, {"min_count": 1}),
            ("STD", bn.move_std, {"ddof": 1}),
            ("STDDEV", bn.move_std, {}),
            ("STDP", bn.move_std, {}),
        ):
            out.setdefault(name, []).append(
                (
                    "bottleneck",
                    f"bottleneck.{fn.__name__}",
                    lambda p, fn=fn, kw=kw: fn(p, N, axis=0, **kw),
                )
            )
    except ImportError:
        pass
    try:
        import numbagg

        for name, label, fn in (
            ("MA", "move_mean", lambda p: numbagg.move_mean(p, window=N, axis=0)),
            (
                "EMA",
                "move_exp_nanmean",
                lambda p: numbagg.move_exp_nanmean(p, alpha=2 / (N + 1), axis=0),
            ),
            ("STD", "move_std", lambda p: numbagg.move_std(p, window=N, axis=0)),
            ("STDDEV", "move_std", lambda p: numbagg.move_std(p, window=N, axis=0)),
            ("STDP", "move_std", lambda p: numbagg.move_std(p, window=N, axis=0)),
            ("VAR", "move_var", lambda p: numbagg.move_var(p, window=N, axis=0)),
            ("VARP", "move_var", lambda p: numbagg.move_var(p, window=N, axis=0)),
            ("DEVSQ", "move_var", lambda p: numbagg.move_var(p, window=N, axis=0)),
        ):
            out.setdefault(name, []).append(("numbagg", f"numbagg.{label}", fn))
    except ImportError:
        pass
    return out


def inputs(f, rng):
    """The arguments of f for the C and the Fortran panel, and the per-column arguments
    of the strict module (contiguous columns)."""
    from vexa.table import COND, INT, PERIODS

    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (BARS, SYMBOLS)), axis=0))
    smooth = np.cumsum(prices, axis=0)
    smooth[N:] -= smooth[:-N].copy()
    smooth[N:] /= N
    rose = np.zeros_like(prices, dtype=bool)
    rose[1:] = prices[1:] > prices[:-1]
    made = {
        "a": prices,
        "x": prices,
        "Y": prices,
        "y": smooth,
        "b": smooth,
        "v": smooth,
        "A": rng.uniform(0.02, 0.5, prices.shape),
        "c": rose.astype(np.float64),
    }
    c_args, f_args, columns = [], [], []
    for i, p in enumerate(f.params):
        if p.kind == INT:
            value = N if p.name == "N" else 2
            c_args.append(value)
            f_args.append(value)
            columns.append(lambda j, v=value: v)
        elif p.kind == PERIODS:
            periods = np.full(BARS, float(N))
            c_args.append(periods)
            f_args.append(periods)
            columns.append(lambda j, v=periods: v)
        else:
            panel = rose if p.kind == COND else made.get(p.name, prices if i == 0 else smooth)
            c, fo = np.ascontiguousarray(panel), np.asfortranarray(panel)
            c_args.append(c)
            f_args.append(fo)
            columns.append(lambda j, fo=fo: fo[:, j])
    return c_args, f_args, columns


def streams(f):
    """(float64 panels, bool panels) among the inputs of f in the calls below (the period
    series is one series shared by every column, not a panel)."""
    from vexa.table import COND, SERIES

    return sum(p.kind == SERIES for p in f.params), sum(p.kind == COND for p in f.params)


# numpy's one pass over the same streams into a float64 panel (out), by (float64, bool)
# input panels.
STREAM_FLOORS = {
    (1, 0): ("copy", lambda o, a, b, c: np.copyto(o, a)),
    (0, 1): ("convert", lambda o, a, b, c: np.copyto(o, c)),
    (2, 0): ("add", lambda o, a, b, c: np.add(a, b, out=o)),
    (3, 0): ("clip", lambda o, a, b, c: np.clip(a, b, c, out=o)),
}
# A bool and two float64 panels: measured as three float64 panels (more bytes).
STREAM_FLOORS_AS = {(2, 1): (3, 0)}


def split_call(fn, threads, order):
    """fn over a new panel, the rows (bars) split among `threads` threads."""
    from concurrent.futures import ThreadPoolExecutor

    pool = ThreadPoolExecutor(threads)
    cuts = [BARS * k // threads for k in range(threads + 1)]

    def call(a, b, c):
        o = np.empty(a.shape, order=order)
        parts = [slice(cuts[k], cuts[k + 1]) for k in range(threads)]
        list(pool.map(lambda s: fn(o[s], a[s], b[s], c[s]), parts))
        return o

    return call


def stream_floors(rounds, target_ns, rng, threads):
    """{"doubles,bools": {"C": ns, "F": ns}} for every entry of STREAM_FLOORS."""
    base = np.random.default_rng(3).normal(size=(BARS, SYMBOLS))
    cons, keys = [], {}
    for order in "CF":
        a = np.asarray(base, order=order)
        b, c3 = np.asarray(base + 1.0, order=order), np.asarray(base + 2.0, order=order)
        cond = np.asarray(base > 0, order=order)
        for sig, (name, fn) in STREAM_FLOORS.items():
            third = c3 if sig[0] == 3 else cond
            key = f"{name}-{order}"
            keys[key] = (sig, order)
            call = split_call(fn, threads, order)
            cons.append(timing.py_contender(key, f"numpy {name} ({order})", call, (a, b, third)))
    stats = timing.measure(cons, rounds, target_ns, rng)
    out = {}
    for key, st in stats.items():
        sig, order = keys[key]
        out.setdefault(f"{sig[0]},{sig[1]}", {})[order] = st["ns_call"] / (BARS * SYMBOLS)
    return out


def measure_function(f, rng, rounds, target_ns, peer_calls):
    import vexa
    import vexa._vexa as vx

    c_args, f_args, columns = inputs(f, rng)
    if f.extra:  # the language's own: the everyday function over panels and 1-D columns
        fn = strict = getattr(vexa._native, f.name)
        loop_module = "vexa._native"
    else:
        fn, strict = getattr(vexa, f.name), getattr(vx, f.name)
        loop_module = "vexa._vexa"
    col_args = [tuple(col(j) for col in columns) for j in range(SYMBOLS)]

    def loop():
        return [strict(*a) for a in col_args]

    cons = [
        timing.py_contender("vexa-C", f"vexa.{f.name} (C order)", fn, tuple(c_args)),
        timing.py_contender("vexa-F", f"vexa.{f.name} (Fortran order)", fn, tuple(f_args)),
        timing.py_contender("loop", f"{loop_module}.{f.name} per column", loop, ()),
    ]
    for key, label, call in peer_calls.get(f.name, []):
        for order, arg in (("C", c_args[0]), ("F", f_args[0])):
            cons.append(timing.py_contender(f"{key}-{order}", f"{label} ({order})", call, (arg,)))
    for c in cons:
        c.try_once()
    stats = timing.measure(cons, rounds, target_ns, rng, 3e9)
    return {k: s["ns_call"] / (BARS * SYMBOLS) for k, s in stats.items()}


def copy_floor(rounds, target_ns, rng):
    rng_data = np.random.default_rng(0).normal(size=(BARS, SYMBOLS))
    out = {}
    cons = []
    for order in "CF":
        src = np.asarray(rng_data, order=order)
        dst = np.empty_like(src, order=order)
        cons.append(timing.py_contender(f"copy-{order}", f"copy ({order})", np.copyto, (dst, src)))
    stats = timing.measure(cons, rounds, target_ns, rng)
    for k, s in stats.items():
        out[k] = s["ns_call"] / (BARS * SYMBOLS)
    return out


def machine():
    import vexa

    model = timing.cpu_model()
    versions = {"vexa": vexa.__version__, "numpy": np.__version__}
    for mod in ("bottleneck", "numbagg"):
        try:
            versions[mod] = __import__(mod).__version__
        except ImportError:
            pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "versions": versions,
        "threads": vexa._native._num_threads(),
        "loadavg_start": os.getloadavg()[0],
    }


def fmt(v):
    return "-" if v is None else f"{v:.2f}"


def summary(result):
    m = result["machine"]
    floor = result["floor"]
    lines = [
        f"# vexa panels: {SYMBOLS:,} symbols x {BARS:,} bars, N = {N}, ns per bar",
        "",
        f"{m['cpu']}, {m['cores']} cores, vexa on {m['threads']} threads, {m.get('clock', 'wall')}"
        f" clock, load average {m['loadavg_start']:.1f} at the start"
        + (f", {m['loadavg_end']:.1f} at the end" if "loadavg_end" in m else "")
        + f". Copy floor: {floor['copy-C']:.2f} (C), {floor['copy-F']:.2f} (Fortran).",
        "",
        "| function | vexa C | vexa F | vexa._vexa loop | bottleneck C | bottleneck F | "
        "numbagg C | numbagg F | vexa / floor | target | met | streams floor C / F | "
        "vexa / streams floor |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    streams_floor = result.get("streams_floor", {})

    def own_floor(name, t):
        sf = streams_floor.get(result.get("streams", {}).get(name, ""))
        if not sf:
            return "- | -"
        ratio = max(t["vexa-C"] / sf["C"], t["vexa-F"] / sf["F"])
        return f"{sf['C']:.2f} / {sf['F']:.2f} | {ratio:.2f}"

    for name, t in result["functions"].items():
        worst = max(t["vexa-C"], t["vexa-F"])
        floors = max(t["vexa-C"] / floor["copy-C"], t["vexa-F"] / floor["copy-F"])
        peers = [v for k, v in t.items() if k.startswith(("bottleneck", "numbagg"))]
        if name in ONE_PASS:
            target = f"<= {ONE_PASS_MAX} ns, {ONE_PASS_FLOORS:.2f} x floor"
            met = worst <= ONE_PASS_MAX or floors <= ONE_PASS_FLOORS
        elif name in WINDOWED:
            best = min([t["loop"], *peers])
            target = f"<= {best / WINDOWED_MIN_SPEEDUP:.2f} (best other / 2)"
            met = worst <= best / WINDOWED_MIN_SPEEDUP
        else:
            target, met = "-", None
        lines.append(
            f"| {name} | {fmt(t['vexa-C'])} | {fmt(t['vexa-F'])} | {fmt(t['loop'])} | "
            f"{fmt(t.get('bottleneck-C'))} | {fmt(t.get('bottleneck-F'))} | "
            f"{fmt(t.get('numbagg-C'))} | {fmt(t.get('numbagg-F'))} | {floors:.2f} | {target} | "
            f"{'-' if met is None else ('yes' if met else 'no')} | {own_floor(name, t)} |"
        )
    lines += dispersion_summary(result)
    return "\n".join(lines)


def dispersion_summary(result):
    """The dispersion functions against numbagg's moving std and var, with the target."""
    rows = [(name, result["functions"][name]) for name in DISPERSION if name in result["functions"]]
    if not rows:
        return []
    lines = [
        "",
        f"## Dispersion: vexa against numbagg, target <= {DISPERSION_MAX} ns per bar (both "
        "layouts)",
        "",
        "| function | vexa C | vexa F | numbagg C | numbagg F | numbagg / vexa C | "
        "numbagg / vexa F | met |",
        "|---|---|---|---|---|---|---|---|",
    ]

    def ratio(t, order):
        peer = t.get(f"numbagg-{order}")
        return "-" if peer is None else f"{peer / t[f'vexa-{order}']:.1f}"

    for name, t in rows:
        met = max(t["vexa-C"], t["vexa-F"]) <= DISPERSION_MAX
        lines.append(
            f"| {name} | {fmt(t['vexa-C'])} | {fmt(t['vexa-F'])} | {fmt(t.get('numbagg-C'))} | "
            f"{fmt(t.get('numbagg-F'))} | {ratio(t, 'C')} | {ratio(t, 'F')} | "
            f"{'yes' if met else 'no'} |"
        )
    lines += [
        "",
        "numbagg: move_std beside STD, STDDEV and STDP, move_var beside VAR, VARP and DEVSQ "
        "(numbagg divides by N - 1 only); none beside AVEDEV.",
    ]
    return lines


def main(argv=None):
    args = parse_args(argv)
    if args.summary is not None:
        path = Path(args.summary) if args.summary else max((HERE / "results").glob("panel-*.json"))
        print(summary(json.loads(path.read_text())))
        return
    import vexa
    from vexa.table import EXTRA, FUNCTIONS

    if args.threads:
        vexa._native._num_threads(args.threads)
        try:  # numbagg's parallel functions run on numba's threads: the same count
            import numba

            numba.set_num_threads(min(args.threads, numba.config.NUMBA_NUM_THREADS))
        except ImportError:
            pass
    if args.clock == "cpu" and args.threads != 1:
        raise SystemExit(
            "bench/panel.py: --clock cpu counts the calling thread only: add --threads 1"
        )
    timing.use_clock(args.clock)
    selected = list(FUNCTIONS) + [f for f in EXTRA if f.name in DISPERSION_EXTRA]
    if args.functions:
        want = set(args.functions.split(","))
        selected = [f for f in selected if f.name in want]
    rounds, target_ns = (3, 5e7) if args.quick else (7, 2e8)
    rng = np.random.default_rng(1)
    result = {"machine": machine(), "date": _dt.date.today().isoformat(), "functions": {}}
    result["machine"]["clock"] = args.clock
    result["floor"] = copy_floor(rounds, target_ns, rng)
    print(
        f"copy floor: C {result['floor']['copy-C']:.2f}, F {result['floor']['copy-F']:.2f} ns/bar"
    )
    threads = vexa._native._num_threads()
    result["streams_floor"] = stream_floors(rounds, target_ns, rng, threads)
    result["streams"] = {}
    for key, v in result["streams_floor"].items():
        print(f"streams floor {key}: C {v['C']:.2f}, F {v['F']:.2f} ns/bar")
    peer_calls = peers()
    for f in selected:
        t = measure_function(f, np.random.default_rng(2), rounds, target_ns, peer_calls)
        result["functions"][f.name] = t
        sig = streams(f)
        sig = STREAM_FLOORS_AS.get(sig, sig)
        if sig in STREAM_FLOORS:
            result["streams"][f.name] = f"{sig[0]},{sig[1]}"
        print(f"{f.name:<14} " + "  ".join(f"{k} {v:.2f}" for k, v in t.items()), flush=True)
    result["machine"]["loadavg_end"] = os.getloadavg()[0]
    text = summary(result)
    print("\n" + text)
    if not args.no_save:
        cpu = re.sub(r"\((r|tm)\)", "", result["machine"]["cpu"].lower()).split()
        stem = (
            args.name or f"panel-{result['date']}-{'-'.join(cpu[:2])}-{result['machine']['cores']}c"
        )
        path = HERE / "results" / f"{stem}.json"
        path.write_text(json.dumps(result, indent=1) + "\n")
        print(f"\nsaved {path.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
