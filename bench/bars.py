"""The language's kernels whose cost could grow with their period or their target:
HHVBARS, LLVBARS and SUMBARS, each timed per bar against N; and SAR beside TA-Lib's.

    python3 bench/bars.py [--bars 100000] [--lib NAME=LIBQUORIX ...] [--rounds 5]
                          [--clock cpu|wall] [--name NAME] [--no-save]

- HHVBARS, LLVBARS: N from 2 to far beyond the bars (99,999,999); beyond a window of a
  few bars (scanned whole) the kernel's cost per bar should not depend on N.
- SUMBARS: a target never reached (the sum of every bar stays below it: positive volumes
  against 10^12, and price changes of both signs against 10^6), and targets of 5, 20 and
  250 times the median volume (reached after about 4, 13 and 150 bars). A bar sums
  afresh from itself back, the order that gives its bits, so a reached target costs the
  bars it needs; a target that is never reached should cost nothing more than a bar.
- SAR: vexa's SAR(H, L, 10, 2, 20) beside TA-Lib's SAR(high, low, 0.02, 0.2) where TA-Lib
  is installed (its start rule differs, so its values differ; the work is alike).

vexa's figures are the calls a user makes (vexa._native.HHVBARS(x, N), ..., the result's
allocation included). Each --lib NAME=PATH adds the same kernels of a libquorix.so
(cmake -S TREE -B B -DVEXA_MODULE=OFF -DQUORIX_SHARED=ON -DCMAKE_BUILD_TYPE=Release),
called through their C names (ctypes) into an output allocated once: this tree's, and
another tree's (the commit before a change, say) to show the change. Each sample is the
time of one call over the series per bar; the figure is the median of the rounds, the
contenders of one case interleaved in a freshly shuffled order each round
(timing.measure). Saves bench/results/bars-<date>-<cpu>-<cores>c.json and the rendered
tables beside it (.md).
"""

from __future__ import annotations

import argparse
import ctypes
import datetime as _dt
import json
import os
import platform
import sys
from pathlib import Path

import numpy as np

import vexa
from vexa import _native

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import timing  # noqa: E402

P, I32, F64 = ctypes.c_void_p, ctypes.c_int32, ctypes.c_double
PERIODS = (2, 5, 20, 250, 10_000, "n - 1", 99_999_999)


def kernels(path):
    """The three kernels of a library, with their C signatures."""
    lib = ctypes.CDLL(str(path))
    for name in ("vx_hhvbars", "vx_llvbars"):
        getattr(lib, name).argtypes = [I32, P, I32, I32, P, I32]
    lib.vx_sumbars.argtypes = [I32, P, I32, P, I32, P, I32]
    for name in ("vx_hhvbars", "vx_llvbars", "vx_sumbars"):
        getattr(lib, name).restype = I32
    return lib


def call_bars(lib, name, x, N, out):
    if lib is None:
        fn = getattr(_native, name[3:].upper())
        return lambda: fn(x, N)
    fn, n = getattr(lib, name), x.size
    return lambda: fn(0, x.ctypes.data, n, N, out.ctypes.data, n)


def call_sumbars(lib, x, target, out):
    if lib is None:
        return lambda: _native.SUMBARS(x, target)
    fn, n = lib.vx_sumbars, x.size
    return lambda: fn(0, x.ctypes.data, n, target.ctypes.data, n, out.ctypes.data, n)


def series(n, seed=7):
    """Prices (cents, flat bars, a few missing), volumes, and the price changes."""
    rng = np.random.default_rng(seed)
    close = np.round(20.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n))), 2)
    close[rng.random(n) < 0.002] = np.nan
    volume = np.round(rng.lognormal(10, 1, n))
    return close, volume, np.diff(close, prepend=20.0)


def per_bar(stats, n):
    return {k: v["ns_call"] / n for k, v in stats.items()}


def run(opts):
    n = opts.bars
    close, volume, change = series(n)
    libs = {"vexa": None}
    for entry in opts.lib:
        name, _, path = entry.partition("=")
        libs[name] = kernels(path)
    rng = np.random.default_rng(1)
    target_ns = 2e6
    out = {"extreme_bars": [], "sumbars": [], "sar": None}

    def case(make):
        contenders = [timing.py_contender(key, key, make(lib), ()) for key, lib in libs.items()]
        # A slow baseline (seconds a call) takes three rounds, not all of them.
        stats = timing.measure(contenders, opts.rounds, target_ns, rng, budget_ns=20e9)
        return per_bar(stats, n)

    print(f"{n:,} bars; ns per bar (median of {opts.rounds} rounds)")
    print(f"{'function':10} {'N':>12}" + "".join(f"{k:>12}" for k in libs))
    for name in ("HHVBARS", "LLVBARS"):
        kernel = "vx_" + name.lower()
        for N in PERIODS:
            period = n - 1 if N == "n - 1" else N
            buf = np.zeros(n)
            t = case(lambda lib, k=kernel, p=period, b=buf: call_bars(lib, k, close, p, b))
            print(f"{name:10} {period:>12,}" + "".join(f"{t[k]:12.2f}" for k in libs), flush=True)
            out["extreme_bars"].append({"function": name, "N": period, **t})

    # SUMBARS's targets: sums of a few bars of volume, and sums never reached.
    typical = float(np.nanmedian(volume))
    targets = {
        "5x median volume": (volume, np.full(n, 5 * typical)),
        "20x median volume": (volume, np.full(n, 20 * typical)),
        "250x median volume": (volume, np.full(n, 250 * typical)),
        "never (volumes, 1e12)": (volume, np.full(n, 1e12)),
        "never (changes, 1e6)": (change, np.full(n, 1e6)),
    }
    for label, (x, target) in targets.items():
        buf = np.zeros(n)
        t = case(lambda lib, x=x, a=target, b=buf: call_sumbars(lib, x, a, b))
        print(f"{'SUMBARS':10} {label:>22}" + "".join(f"{t[k]:12.2f}" for k in libs), flush=True)
        out["sumbars"].append({"target": label, **t})

    high = close * (1 + rng.random(n) * 0.01)
    low = close * (1 - rng.random(n) * 0.01)
    sar = {"vexa": lambda: _native.SAR(high, low, 10, 2.0, 20.0)}
    try:
        import talib

        h, lo = np.nan_to_num(high, nan=20.0), np.nan_to_num(low, nan=20.0)
        sar["talib"] = lambda: talib.SAR(h, lo, acceleration=0.02, maximum=0.2)
    except ImportError:
        talib = None
    contenders = [timing.py_contender(k, k, fn, ()) for k, fn in sar.items()]
    t = per_bar(timing.measure(contenders, opts.rounds, target_ns, rng), n)
    print("SAR(10, 2, 20): " + ", ".join(f"{k} {v:.2f} ns per bar" for k, v in t.items()))
    out["sar"] = t
    return out


def render(result):
    m = result["machine"]
    lines = [
        f"# HHVBARS, LLVBARS, SUMBARS against N; SAR ({result['date']})",
        "",
        f"{m['cpu']}, {m['cores']} cores, Python {m['python']}, numpy {m['numpy']}, "
        f"{result['bars']:,} bars, ns per bar, median of {result['rounds']} rounds "
        f"({result['clock']} clock).",
        "",
    ]
    keys = [k for k in result["extreme_bars"][0] if k not in ("function", "N")]
    lines += ["| function | N | " + " | ".join(keys) + " |", "|---|---|" + "---|" * len(keys)]
    for r in result["extreme_bars"]:
        lines.append(
            f"| {r['function']} | {r['N']:,} | " + " | ".join(f"{r[k]:.2f}" for k in keys) + " |"
        )
    lines += ["", "| SUMBARS target | " + " | ".join(keys) + " |", "|---|" + "---|" * len(keys)]
    for r in result["sumbars"]:
        lines.append(f"| {r['target']} | " + " | ".join(f"{r[k]:.2f}" for k in keys) + " |")
    sar = result["sar"]
    lines += ["", "SAR(10, 2, 20): " + ", ".join(f"{k} {v:.2f} ns per bar" for k, v in sar.items())]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bars", type=int, default=100_000)
    ap.add_argument(
        "--lib", action="append", default=[], help="NAME=PATH: a libquorix.so to time beside"
    )
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu")
    ap.add_argument("--name", help="stem of the result files")
    ap.add_argument("--no-save", action="store_true")
    opts = ap.parse_args()
    timing.use_clock(opts.clock)
    body = run(opts)
    result = {
        "date": _dt.date.today().isoformat(),
        "bars": opts.bars,
        "rounds": opts.rounds,
        "clock": opts.clock,
        "libraries": dict(entry.partition("=")[::2] for entry in opts.lib),
        "machine": {
            "cpu": timing.cpu_model(),
            "cores": os.cpu_count(),
            "python": platform.python_version(),
            "numpy": np.__version__,
            "vexa": vexa.__version__,
        },
        **body,
    }
    text = render(result)
    if not opts.no_save:
        cpu = "".join(c if c.isalnum() else "-" for c in timing.cpu_model().lower())[:24]
        stem = opts.name or f"bars-{result['date']}-{cpu.strip('-')}-{os.cpu_count()}c"
        folder = HERE / "results"
        (folder / f"{stem}.json").write_text(json.dumps(result, indent=1) + "\n")
        (folder / f"{stem}.md").write_text(text)
        print(f"saved {folder / stem}.json and .md")


if __name__ == "__main__":
    main()
