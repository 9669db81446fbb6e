"""The performance targets and the ratios measured against them.

    python3 bench/summary.py [RESULT.json]      (default: the newest in bench/results/)

Every ratio is vexa's time over the other's. A target is judged on the worst ratio over
both data sets, all periods and the sizes where time per bar dominates (n >= 10**4);
call overhead is judged at n = 10.
"""

import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import fmt  # noqa: E402

MIN_N = 10**4  # targets on time per bar are judged from this size on

ONE_PASS = {"floor": 1.25, "pandas": 0.1}
EXTREMES = {"spread": 1.2, "bottleneck": 0.5}
DISPERSION = {"floor": 1 / 3}
PER_BAR = {"const": 0.5, "random": 1.0}
OVERHEAD = {"bottleneck": 2.0, "pandas": 0.02}


def _rows(result, fn, **match):
    out = []
    for r in result["rows"]:
        if r["function"] != fn or r["n"] < MIN_N:
            continue
        if all(r.get(k) == v for k, v in match.items()):
            out.append(r)
    return out


def worst(rows, key):
    """(largest ratio, the row it came from), or (None, None)."""
    best = (None, None)
    for r in rows:
        v = r["ratios"].get(key)
        if v is not None and (best[0] is None or v > best[0]):
            best = (v, r)
    return best


def span(rows, key):
    vals = [r["ratios"][key] for r in rows if key in r["ratios"]]
    if not vals:
        return "-"
    lo, hi = min(vals), max(vals)
    return fmt.fmt_ratio(lo) if lo == hi else f"{fmt.fmt_ratio(lo)} to {fmt.fmt_ratio(hi)}"


def cell(value_row, limit=None):
    v, r = value_row
    if v is None:
        return "-", None
    text = f"{fmt.fmt_ratio(v)} ({fmt.where_text(r)})"
    return text, (None if limit is None else v <= limit)


def verdict(oks):
    oks = [o for o in oks if o is not None]
    if not oks:
        return "n/a"
    return "met" if all(oks) else "**not met**"


def functions(result, group):
    seen = []
    for r in result["rows"]:
        if r["group"] == group and r["function"] not in seen:
            seen.append(r["function"])
    return seen


def period_spread(rows):
    """Largest cost ratio between N = 250 and N = 5 over the (data set, size) pairs,
    from the native kernel time (the Python call's where there is none)."""
    worst_v, worst_r = None, None
    pairs = {}
    for r in rows:
        pairs.setdefault((r["dataset"], r["n"]), {})[r["N"]] = r
    for by_n in pairs.values():
        if 5 not in by_n or 250 not in by_n:
            continue
        both = "native" in by_n[5]["stats"] and "native" in by_n[250]["stats"]
        key = "native" if both else "vexa"
        a, b = by_n[5]["stats"][key]["ns_call"], by_n[250]["stats"][key]["ns_call"]
        v = max(a, b) / min(a, b)
        if worst_v is None or v > worst_v:
            worst_v, worst_r = v, by_n[250]
    return worst_v, worst_r


def summary_markdown(result):
    lines = [
        "## Performance targets and measured ratios",
        "",
        "Ratios are vexa's time over the other's (below 1: vexa is faster). Each target "
        "is judged on the worst case over both data sets, every period and n >= 10^4 "
        "(in brackets: where the worst case was); call overhead at n = 10.",
        "",
    ]
    tally = []

    # One-pass kernels.
    fns = functions(result, "one-pass")
    if fns:
        lines += [
            "### One-pass kernels: at most 1.25x the floor loop, at most 0.1x pandas",
            "",
            "| function | x floor (<= 1.25) | x pandas (<= 0.1) | x bottleneck | target |",
            "|---|---|---|---|---|",
        ]
        for fn in fns:
            rows = _rows(result, fn)
            f_txt, f_ok = cell(worst(rows, "floor"), ONE_PASS["floor"])
            p_txt, p_ok = cell(worst(rows, "pandas"), ONE_PASS["pandas"])
            v = verdict([f_ok, p_ok])
            tally.append(v)
            lines.append(f"| {fn} | {f_txt} | {p_txt} | {span(rows, 'bottleneck')} | {v} |")
        lines.append("")

    fns = functions(result, "extremes")
    if fns:
        lines += [
            "### LLV / HHV, fixed period: cost within 20% from N = 5 to N = 250, at most "
            "0.5x bottleneck",
            "",
            "| function | cost N=250 vs N=5 (<= 1.2) | x bottleneck (<= 0.5) | "
            "x per-bar scan | x pandas | target |",
            "|---|---|---|---|---|---|",
        ]
        for fn in fns:
            rows = _rows(result, fn)
            s_txt, s_ok = cell(period_spread(rows), EXTREMES["spread"])
            b_txt, b_ok = cell(worst(rows, "bottleneck"), EXTREMES["bottleneck"])
            v = verdict([s_ok, b_ok])
            tally.append(v)
            lines.append(
                f"| {fn} | {s_txt} | {b_txt} | {span(rows, 'floor')} | "
                f"{span(rows, 'pandas')} | {v} |"
            )
        lines.append("")

    fns = functions(result, "dispersion")
    if fns:
        lines += [
            "### Dispersion and slope: at least 3x faster than the scalar per-window loop "
            "at N = 20 and N = 250",
            "",
            "| function | x scalar loop, N=20 (<= 0.333) | x scalar loop, N=250 (<= 0.333) | "
            "x bottleneck | x pandas | x TA-Lib | target |",
            "|---|---|---|---|---|---|---|",
        ]
        for fn in fns:
            t20, ok20 = cell(worst(_rows(result, fn, N=20), "floor"), DISPERSION["floor"])
            t250, ok250 = cell(worst(_rows(result, fn, N=250), "floor"), DISPERSION["floor"])
            rows = _rows(result, fn)
            v = verdict([ok20, ok250])
            tally.append(v)
            lines.append(
                f"| {fn} | {t20} | {t250} | {span(rows, 'bottleneck')} | "
                f"{span(rows, 'pandas')} | {span(rows, 'talib')} | {v} |"
            )
        lines.append("")

    fns = functions(result, "per-bar")
    if fns:
        lines += [
            "### _A kernels: at least 2x the scalar loop with a constant period series, "
            "never slower with random periods",
            "",
            "| function | x scalar loop, constant (<= 0.5) | x scalar loop, random (<= 1) | "
            "x bottleneck (constant) | x pandas | target |",
            "|---|---|---|---|---|---|",
        ]
        for fn in fns:
            c_txt, c_ok = cell(worst(_rows(result, fn, periods="const"), "floor"), PER_BAR["const"])
            r_txt, r_ok = cell(
                worst(_rows(result, fn, periods="random"), "floor"), PER_BAR["random"]
            )
            rows = _rows(result, fn)
            v = verdict([c_ok, r_ok])
            tally.append(v)
            lines.append(
                f"| {fn} | {c_txt} | {r_txt} | {span(rows, 'bottleneck')} | "
                f"{span(rows, 'pandas')} | {v} |"
            )
        lines.append("")

    if result.get("overhead"):
        lines += [
            "### Call overhead at n = 10: at most 2x bottleneck move_mean, at most 0.02x pandas",
            "",
            "| function | vexa ns/call | x move_mean (<= 2) | "
            "x pandas rolling.mean (<= 0.02) | target |",
            "|---|---|---|---|---|",
        ]
        for r in result["overhead"]:
            b, p = r["ratios"].get("bottleneck"), r["ratios"].get("pandas")
            oks = [
                None if b is None else b <= OVERHEAD["bottleneck"],
                None if p is None else p <= OVERHEAD["pandas"],
            ]
            v = verdict(oks)
            tally.append(v)
            lines.append(
                f"| {r['function']} | {r['stats']['vexa']['ns_call']:.0f} | "
                f"{fmt.fmt_ratio(b)} | {fmt.fmt_ratio(p)} | {v} |"
            )
        lines.append("")

    met = sum(v == "met" for v in tally)
    judged = sum(v != "n/a" for v in tally)
    lines.insert(2, f"Targets met: {met} of {judged} judged rows.\n")
    return "\n".join(lines)


def newest_result():
    files = sorted((HERE / "results").glob("*.json"), key=lambda p: p.stat().st_mtime)
    if not files:
        raise SystemExit("bench: no result in bench/results/; run bench/run.py first")
    return files[-1]


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    path = Path(argv[0]) if argv else newest_result()
    print(summary_markdown(json.loads(path.read_text())))


if __name__ == "__main__":
    main()
