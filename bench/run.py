"""Benchmark of the vexa functions against bottleneck, pandas, TA-Lib, numpy and a plain
C++ floor loop of the same dependency chain.

    python3 bench/run.py [--quick] [--functions MA,EMA,...] [--name NAME] [--no-save]

Prints, for every function, the median time per bar and its ratio to each peer, then
the call overhead at n = 10 and the summary against the performance targets; saves the
result as JSON in bench/results/ (bench/report.py renders it as Markdown). See
bench/README.md for the method.
"""

import argparse
import datetime as _dt
import json
import os
import platform
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cases  # noqa: E402
import data  # noqa: E402
import report  # noqa: E402
import summary  # noqa: E402
import timing  # noqa: E402

SIZES = (100, 10**4, 10**6)
PERIODS = (5, 20, 250)
MODES = ("const", "random")
OVERHEAD_N = 10

# rounds: samples per contender (interleaved) by size; target_ns: length of one sample;
# budget_ns: a contender slower than budget / rounds per call takes fewer rounds.
FULL = {
    "sizes": SIZES,
    "datasets": data.DATASETS,
    "rounds": {100: 9, 10**4: 7, 10**6: 5},
    "target_ns": 2e6,
    "budget_ns": 1e9,
    "overhead_rounds": 9,
}
QUICK = {
    "sizes": (100, 10**4),
    "datasets": data.DATASETS,
    "rounds": {100: 5, 10**4: 5},
    "target_ns": 3e5,
    "budget_ns": 1e8,
    "overhead_rounds": 5,
}


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--quick",
        action="store_true",
        help="sizes 100 and 10**4, 3 rounds, short samples (under a minute)",
    )
    ap.add_argument("--functions", help="comma-separated function names (default: all)")
    ap.add_argument("--name", help="result file stem (default: date and CPU)")
    ap.add_argument("--no-save", action="store_true", help="print only, write no result")
    ap.add_argument("--seed", type=int, default=1, help="seed of the contender order")
    ap.add_argument(
        "--clock",
        choices=("cpu", "wall"),
        default="cpu",
        help="thread CPU time (default; ignores time descheduled) or wall time",
    )
    return ap.parse_args(argv)


# ---- the machine ---------------------------------------------------------------------


def cpu_flags():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                have = set(line.split(":", 1)[1].split())
                return [f for f in ("sse2", "avx", "avx2", "fma", "avx512f") if f in have]
    except OSError:
        pass
    return []


def git_commit():
    try:
        out = subprocess.run(
            ["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            timeout=10,
        )
        dirty = subprocess.run(
            ["git", "-C", str(HERE), "status", "--porcelain"],
            capture_output=True,
            text=True,
            timeout=10,
        ).stdout.strip()
        return out.stdout.strip() + ("+dirty" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def cpu_details():
    """Family, model and stepping from /proc/cpuinfo, and the cache sizes of cpu0."""
    out = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key = line.split(":", 1)[0].strip()
            if key in ("cpu family", "model", "stepping") and key not in out:
                out[key] = line.split(":", 1)[1].strip()
        caches = []
        for d in sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
            level = (d / "level").read_text().strip()
            kind = (d / "type").read_text().strip()
            size = (d / "size").read_text().strip()
            suffix = {"Data": "d", "Instruction": "i"}.get(kind, "")
            caches.append(f"L{level}{suffix} {size}")
        out["caches"] = ", ".join(caches)
    except OSError:
        pass
    return out


def rounded(obj, digits=4):
    """obj with every float rounded to `digits` significant digits (for the JSON)."""
    if isinstance(obj, float):
        return float(f"{obj:.{digits}g}")
    if isinstance(obj, dict):
        return {k: rounded(v, digits) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [rounded(v, digits) for v in obj]
    return obj


def to_json(result):
    """The result as JSON, one line per measurement so that results diff well."""
    parts = []
    for key, value in rounded(result).items():
        if key in ("rows", "overhead"):
            body = ",\n".join("  " + json.dumps(r, separators=(",", ":")) for r in value)
            parts.append(f' "{key}": [\n{body}\n ]')
        else:
            parts.append(f' "{key}": {json.dumps(value)}')
    return "{\n" + ",\n".join(parts) + "\n}\n"


def machine(vexa_module):
    mem = None
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / 2**20:.1f} GiB"
    except OSError:
        pass
    import vexa

    return {
        "cpu": timing.cpu_model(),
        "cpu_details": cpu_details(),
        "cores": os.cpu_count(),
        "cpu_flags": cpu_flags(),
        "memory": mem,
        "os": platform.platform(),
        "python": platform.python_version(),
        "versions": {"vexa": vexa.__version__, **cases.AVAILABLE},
        "unavailable": cases.UNAVAILABLE,
        "vexa_module": vexa_module,
        "commit": git_commit(),
        "build": timing.compiler_flags(),
        "loadavg_start": os.getloadavg()[0] if hasattr(os, "getloadavg") else None,
    }


# ---- the plan ------------------------------------------------------------------------


def plan(selected, cfg):
    """(case, dataset, n, N, mode) for every measurement, function by function."""
    out = []
    for case in selected:
        for ds in cfg["datasets"]:
            for n in cfg["sizes"]:
                if case.kind == "plain":
                    out.append((case, ds, n, None, None))
                for N in PERIODS if case.kind != "plain" else ():
                    for mode in MODES if case.kind == "per_bar" else (None,):
                        out.append((case, ds, n, N, mode))
    return out


def contenders_for(case, d, N, p, mode, vexa_fn, native):
    """The contenders of one measurement, each tried once; failures are reported."""
    out, errors = [], {}
    args = case.args(d, N, p)
    out.append(timing.py_contender("vexa", f"vexa.{case.name}", vexa_fn, args))
    for peer, (label, fn, pargs) in cases.live_peers(case, d, N, p, mode).items():
        out.append(timing.py_contender(peer, label, fn, pargs))
    if native is not None:
        values = case.native(d, N, p)
        for key, sym, label in (
            ("native", case.kernel, case.kernel),
            ("floor", case.floor, case.floor_label),
        ):
            addr = native.address(sym)
            if addr is None:
                errors[key] = f"{sym} not found"
                continue
            status = native.call(case, addr, values, np.zeros(d.n))
            if status != 0:
                errors[key] = f"{sym} returned status {status}"
                continue
            out.append(timing.native_contender(key, label, native, case, addr, values, d.n))
    good = []
    for c in out:
        try:
            c.try_once()
            good.append(c)
        except Exception as e:  # a peer that cannot take this input is left out
            errors[c.key] = f"{type(e).__name__}: {e}"
    return good, errors


def ratios(stats):
    """vexa / peer at the Python level; vexa kernel / floor loop natively."""
    r = {}
    if "vexa" in stats:
        for key in cases.PEERS:
            if key in stats:
                r[key] = stats["vexa"]["ns_call"] / stats[key]["ns_call"]
    if "native" in stats and "floor" in stats:
        r["floor"] = stats["native"]["ns_call"] / stats["floor"]["ns_call"]
    return r


def run_measurements(selected, cfg, cache, native, rng, vexa_mod):
    rows = []
    last = None
    t0 = time.time()
    for case, ds, n, N, mode in plan(selected, cfg):
        if case.name != last:
            print(f"\n{case.name}  [{time.time() - t0:.0f} s]", flush=True)
            last = case.name
        d = cache.get(ds, n)
        p = data.period_series(n, N, mode) if case.kind == "per_bar" else None
        cons, errors = contenders_for(case, d, N, p, mode, getattr(vexa_mod, case.name), native)
        stats = timing.measure(cons, cfg["rounds"][n], cfg["target_ns"], rng, cfg["budget_ns"])
        row = {
            "function": case.name,
            "group": case.group,
            "dataset": ds,
            "n": n,
            "N": N,
            "periods": mode,
            "stats": stats,
            "ratios": ratios(stats),
            "errors": errors,
        }
        rows.append(row)
        print("  " + report.row_line(row), flush=True)
    return rows


def run_overhead(selected, cfg, cache, rng, vexa_mod):
    """ns per call at n = 10 (period 5), each function interleaved with bottleneck's
    move_mean and pandas' rolling mean on the same 10 bars."""
    d = cache.get("walk", OVERHEAD_N)
    N = 5
    base = []
    if cases.bn is not None:
        base.append(("bottleneck", "move_mean", cases.bn.move_mean, (d.close, N)))
    if cases.pd is not None:
        base.append(
            ("pandas", "rolling.mean", cases.pd_rolling("mean"), (cases._series(d, "close"), N))
        )
    rows = []
    print(f"\ncall overhead at n = {OVERHEAD_N}", flush=True)
    for case in selected:
        p = data.period_series(OVERHEAD_N, N, "const") if case.kind == "per_bar" else None
        cons = [
            timing.py_contender(
                "vexa", f"vexa.{case.name}", getattr(vexa_mod, case.name), case.args(d, N, p)
            )
        ]
        cons += [timing.py_contender(k, label, fn, a) for k, label, fn, a in base]
        stats = timing.measure(cons, cfg["overhead_rounds"], cfg["target_ns"], rng)
        row = {
            "function": case.name,
            "n": OVERHEAD_N,
            "N": N if case.kind != "plain" else None,
            "stats": stats,
            "ratios": ratios(stats),
        }
        rows.append(row)
        print("  " + report.overhead_line(row), flush=True)
    return rows


def floor_check(selected, cache, native, n=10**4, N=20):
    """Whether each floor loop gives the kernel's bits on the gap-free series: the floor
    must compute the same thing, or its time means nothing."""
    out = {}
    d = cache.get("walk", n)
    for case in selected:
        ka, fa = native.address(case.kernel), native.address(case.floor)
        if ka is None or fa is None:
            continue
        p = data.period_series(n, N, "random") if case.kind == "per_bar" else None
        values = case.native(d, N, p)
        a, b = np.zeros(n), np.zeros(n)
        native.call(case, ka, values, a)
        native.call(case, fa, values, b)
        diff = int(np.count_nonzero(a.view(np.uint64) != b.view(np.uint64)))
        out[case.name] = "same bits" if diff == 0 else f"{diff} of {n} bars differ"
    return out


def main(argv=None):
    args = parse_args(argv)
    cfg = QUICK if args.quick else FULL
    import vexa
    import vexa._vexa as vexa_mod

    present = [c for c in cases.CASES if hasattr(vexa_mod, c.name)]
    missing = [c.name for c in cases.CASES if not hasattr(vexa_mod, c.name)]
    if args.functions:
        want = [w.strip().upper() for w in args.functions.split(",") if w.strip()]
        unknown = [w for w in want if w not in cases.CASE_BY_NAME]
        if unknown:
            raise SystemExit(
                f"bench: unknown function(s) {', '.join(unknown)}; known: "
                + ", ".join(c.name for c in cases.CASES)
            )
        selected = [c for c in present if c.name in want]
        missing = [w for w in want if w in missing]
    else:
        selected = present
    if missing:
        print(f"not in the installed module, skipped: {', '.join(missing)}")
    for lib, why in cases.UNAVAILABLE.items():
        print(f"peer {lib} unavailable, skipped: {why}")

    try:
        native = timing.Native(timing.build_floor(), vexa_mod.__file__)
        native.check_rows(cases.CASES)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"floor library unavailable, native timings skipped: {e}")
        native = None

    timing.use_clock(args.clock, native)
    t0 = time.time()
    info = machine(vexa_mod.__file__)
    print(f"vexa {vexa.__version__} from {vexa_mod.__file__}")
    print(
        f"{info['cpu']}, {info['cores']} cores; Python {info['python']}; "
        + ", ".join(f"{k} {v}" for k, v in info["versions"].items())
    )

    largest = max(cfg["sizes"])
    cache = data.DataCache(largest)
    rng = np.random.default_rng(args.seed)
    rows = run_measurements(selected, cfg, cache, native, rng, vexa_mod)
    overhead = run_overhead(selected, cfg, data.DataCache(OVERHEAD_N), rng, vexa_mod)
    check = floor_check(selected, data.DataCache(10**4), native) if native else {}
    info["loadavg_end"] = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
    info["seconds"] = round(time.time() - t0, 1)

    result = {
        "created": _dt.datetime.now().isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "settings": {
            "sizes": list(cfg["sizes"]),
            "periods": list(PERIODS),
            "datasets": list(cfg["datasets"]),
            "rounds": {str(k): v for k, v in cfg["rounds"].items()},
            "sample_ns": cfg["target_ns"],
            "budget_ns": cfg["budget_ns"],
            "clock": args.clock,
            "overhead_n": OVERHEAD_N,
            "apply_max_n": cases.APPLY_MAX_N,
        },
        "machine": info,
        "skipped_functions": missing,
        "rows": rows,
        "overhead": overhead,
        "floor_check": check,
    }
    text = summary.summary_markdown(result)
    print("\n" + text)
    print(f"took {info['seconds']} s")
    if not args.no_save:
        stem = args.name or default_name(info, args.quick)
        out = HERE / "results"
        out.mkdir(exist_ok=True)
        (out / f"{stem}.json").write_text(to_json(result))
        print(f"saved bench/results/{stem}.json (python3 bench/report.py renders it)")


def default_name(info, quick):
    cpu = re.sub(r"[^a-z0-9]+", "-", info["cpu"].lower()).strip("-")
    day = _dt.date.today().isoformat()
    return f"{day}-{cpu}-{info['cores']}c" + ("-quick" if quick else "")


if __name__ == "__main__":
    main()
