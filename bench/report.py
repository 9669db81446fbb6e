"""Text and Markdown output of a benchmark result.

    python3 bench/report.py [RESULT.json] [-o OUT.md]

renders a saved result (the newest in bench/results/ by default) as Markdown: the
machine, the summary against the targets, one table per function, the call overhead
and the floor check. Results are kept as JSON only; the Markdown is made on demand.
"""

import argparse
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import summary  # noqa: E402
from fmt import fmt_ns, fmt_ratio, size_text  # noqa: E402

RATIO_COLS = ("floor", "bottleneck", "pandas", "talib", "numpy")
PEER_NAMES = {"bottleneck": "bottleneck", "pandas": "pandas", "talib": "TA-Lib", "numpy": "numpy"}
RATIO_NAMES = {"floor": "floor", **PEER_NAMES}


def ns_bar(row, key="vexa"):
    st = row["stats"].get(key)
    return None if st is None else st["ns_call"] / row["n"]


def row_line(row):
    """One printed line: vexa ns/bar and its ratio to every contender measured."""
    n = f"n={size_text(row['n'])}"
    N = f"N={row['N']}" if row["N"] is not None else ""
    head = f"{row['dataset']:<5} {n:<7} {N:<6} {row['periods'] or '':<6}"
    parts = [f"vexa {fmt_ns(ns_bar(row)):>7} ns/bar"]
    for key in RATIO_COLS:
        r = row["ratios"].get(key)
        if r is not None:
            parts.append(f"{RATIO_NAMES[key]} x{fmt_ratio(r)}")
    if row.get("errors"):
        parts.append("skipped: " + ", ".join(sorted(row["errors"])))
    return head + " " + " | ".join(parts)


def overhead_line(row):
    st = row["stats"]
    parts = [f"{row['function']:<14} vexa {st['vexa']['ns_call']:7.0f} ns/call"]
    for key in ("bottleneck", "pandas"):
        if key in st:
            parts.append(
                f"{RATIO_NAMES[key]} {st[key]['ns_call']:7.0f} ns "
                f"(x{fmt_ratio(row['ratios'].get(key))})"
            )
    return " | ".join(parts)


def _peer_labels(rows):
    labels = {}
    for row in rows:
        for key, st in row["stats"].items():
            labels.setdefault(key, set()).add(st["label"])
    return labels


def machine_markdown(result):
    m = result["machine"]
    v = m["versions"]
    det = m.get("cpu_details") or {}
    ident = ", ".join(f"{k} {det[k]}" for k in ("cpu family", "model", "stepping") if k in det)
    lines = [
        f"- CPU: {m['cpu']} ({ident}), {m['cores']} cores ({', '.join(m['cpu_flags'])}), "
        f"caches {det.get('caches', '?')}; memory {m['memory']}",
        f"- OS: {m['os']}; Python {m['python']}",
        "- Versions: " + ", ".join(f"{k} {val}" for k, val in v.items()),
        f"- vexa module: `{m['vexa_module']}`; bench run from commit {m['commit']}",
    ]
    b = m.get("build") or {}
    if b:
        lines.append(
            f"- Floor library: {b.get('compiler', '?')}, build type "
            f"{b.get('CMAKE_BUILD_TYPE', '?')} ({b.get('CMAKE_CXX_FLAGS_RELEASE', '')}) "
            "with the kernels' flags -ffp-contract=off -fno-fast-math "
            "-fno-associative-math -msse2 -mfpmath=sse"
        )
    for lib, why in m.get("unavailable", {}).items():
        lines.append(f"- {lib} unavailable: {why}")
    s = result["settings"]
    lines.append(
        f"- Run: {result['mode']}, {m['seconds']} s, load average "
        f"{m['loadavg_start']:.2f} at the start and {m['loadavg_end']:.2f} at the end; "
        f"rounds per size {s['rounds']}, samples of about {s['sample_ns'] / 1e6:g} ms"
    )
    if result.get("skipped_functions"):
        lines.append(
            "- Not in the installed module, not measured: " + ", ".join(result["skipped_functions"])
        )
    return "\n".join(lines)


def markdown(result, summary_text):
    out = [
        f"# vexa benchmark, {result['created']}",
        "",
        machine_markdown(result),
        "",
        summary_text,
        "",
        "## Time per bar and ratios",
        "",
        "vexa ns/bar is the median time of one Python call divided by the bars. Every "
        "ratio is vexa's time over the other's (below 1: vexa is faster): the Python "
        "call against each peer's call, and the kernel timed natively against the floor "
        "loop timed natively. `-`: no such peer, or not run at that size.",
        "",
    ]
    by_fn = {}
    for row in result["rows"]:
        by_fn.setdefault(row["function"], []).append(row)
    for fn, rows in by_fn.items():
        labels = _peer_labels(rows)
        cols = [k for k in RATIO_COLS if any(k in r["ratios"] for r in rows)]
        out.append(f"### {fn}")
        out.append("")
        desc = []
        for k in cols:
            key = "floor" if k == "floor" else k
            desc.append(f"{RATIO_NAMES[k]}: " + ", ".join(sorted(labels.get(key, {"?"}))))
        if desc:
            out.append("Compared with " + "; ".join(desc) + ".")
            out.append("")
        head = ["data", "n", "N", "periods", "vexa ns/bar", "kernel ns/bar", "floor ns/bar"]
        head += [f"x {RATIO_NAMES[k]}" for k in cols]
        out.append("| " + " | ".join(head) + " |")
        out.append("|" + "---|" * len(head))
        for r in rows:
            cells = [
                r["dataset"],
                size_text(r["n"]),
                str(r["N"] or "-"),
                r["periods"] or "-",
                fmt_ns(ns_bar(r)),
                fmt_ns(ns_bar(r, "native")),
                fmt_ns(ns_bar(r, "floor")),
            ]
            cells += [fmt_ratio(r["ratios"].get(k)) for k in cols]
            out.append("| " + " | ".join(cells) + " |")
        errs = sorted({f"{k}: {e}" for r in rows for k, e in r.get("errors", {}).items()})
        if errs:
            out.append("")
            out.append("Left out: " + "; ".join(errs))
        out.append("")
    if result.get("overhead"):
        out += [
            "## Call overhead at n = 10",
            "",
            "| function | vexa ns/call | bottleneck move_mean ns/call | x bottleneck | "
            "pandas rolling.mean ns/call | x pandas |",
            "|---|---|---|---|---|---|",
        ]
        for r in result["overhead"]:
            st = r["stats"]
            ns = {
                k: f"{st[k]['ns_call']:.0f}" if k in st else "-"
                for k in ("vexa", "bottleneck", "pandas")
            }
            out.append(
                f"| {r['function']} | {ns['vexa']} | {ns['bottleneck']} | "
                f"{fmt_ratio(r['ratios'].get('bottleneck'))} | {ns['pandas']} | "
                f"{fmt_ratio(r['ratios'].get('pandas'))} |"
            )
        out.append("")
    if result.get("floor_check"):
        out += [
            "## Floor loops against the kernels",
            "",
            "Output of each floor loop against its kernel on the gap-free series "
            "(n = 10^4, N = 20, random periods for the _A functions):",
            "",
        ]
        out += [f"- {k}: {v}" for k, v in result["floor_check"].items()]
        out.append("")
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Renders a saved benchmark result as Markdown.")
    ap.add_argument("result", nargs="?", help="a result JSON (default: the newest saved)")
    ap.add_argument("-o", "--output", help="write the Markdown here instead of printing it")
    args = ap.parse_args(argv)
    path = Path(args.result) if args.result else summary.newest_result()
    result = json.loads(path.read_text())
    text = markdown(result, summary.summary_markdown(result))
    if args.output:
        Path(args.output).write_text(text)
    else:
        print(text)


if __name__ == "__main__":
    main()
