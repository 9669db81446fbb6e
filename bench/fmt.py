"""How the benchmark's reports write numbers and places (bench/report.py, bench/summary.py)."""


def size_text(n):
    return {100: "100", 10**4: "10^4", 10**6: "10^6"}.get(n, str(n))


def where_text(row):
    parts = [row["dataset"], f"n={size_text(row['n'])}"]
    if row.get("N") is not None:
        parts.append(f"N={row['N']}")
    if row.get("periods"):
        parts.append(row["periods"])
    return " ".join(parts)


def fmt_ratio(r):
    if r is None:
        return "-"
    return f"{r:.2g}" if r < 0.1 else f"{r:.2f}"


def fmt_ns(v):
    if v is None:
        return "-"
    return f"{v:.3g}" if v < 1000 else f"{v:,.0f}"
