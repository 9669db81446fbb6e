"""Random formulas for the property tests and the fuzzer: expression trees drawn from
the grammar, their text, and their value computed by direct calls of the everyday
functions (the chain a user would write by hand), plus mutations of formula text."""

import numpy as np

import vexa
from vexa import _native

FIELDS = {"C": "close", "O": "open", "H": "high", "L": "low", "VOL": "vol"}
# Table functions with one series and one period, and their per-bar variants.
PERIODIC = [
    "MA",
    "EMA",
    "WMA",
    "SUM",
    "COUNT",
    "LLV",
    "HHV",
    "REF",
    "STD",
    "STDP",
    "AVEDEV",
    "SLOPE",
    "FILTER",
    "REFXV",
]
PER_BAR = {
    "MA": "MA_A",
    "SUM": "SUM_A",
    "COUNT": "COUNT_A",
    "LLV": "LLV_A",
    "HHV": "HHV_A",
    "REF": "REF_A",
}
MIN_PERIOD = {"MA": 1, "WMA": 1, "STD": 1, "STDP": 1, "AVEDEV": 1}
OPS = ["+", "-", "*", "/", ">", "<", ">=", "<=", "=", "<>", "AND", "OR"]


def truth(x):
    return np.greater(np.abs(x), 0.0)


def tree(rng, depth=0):
    """A random expression: ("field", k) | ("num", v) | ("op", o, a, b) | ("neg", a) |
    ("call", name, a, N) | ("calla", name, a, periods) | ("if", c, a, b) | ("bars", c)
    | ("sma", a, N, M) | ("cross", a, b) | ("sar", N, STEP, MAX)."""
    r = rng.random()
    if r < 0.08:  # the close against the open: equal on a third of the bars (ties)
        return ("op", rng.choice(OPS[4:]), ("field", "C"), ("field", "O"))
    if depth >= 4 or r < 0.25:
        u = rng.random()
        if u < 0.65:
            return ("field", rng.choice(list(FIELDS)))
        if u < 0.7:  # SAR reads HIGH and LOW itself
            step = float(rng.choice([1, 2, 2.5]))
            return ("sar", int(rng.integers(1, 12)), step, float(rng.choice([step, 20])))
        return ("num", float(rng.choice([0, 1, 2, 0.5, 3.25, 100])))
    if r < 0.5:
        return ("op", rng.choice(OPS), tree(rng, depth + 1), tree(rng, depth + 1))
    if r < 0.55:
        return ("neg", tree(rng, depth + 1))
    if r < 0.75:
        name = rng.choice(PERIODIC)
        lo = MIN_PERIOD.get(name, -3 if name in ("REF", "REFXV") else 0)
        return ("call", name, tree(rng, depth + 1), int(rng.integers(lo, 12)))
    if r < 0.82:
        name = rng.choice(list(PER_BAR))
        return ("calla", name, tree(rng, depth + 1), ("bars", tree(rng, depth + 2)))
    if r < 0.9:
        return ("if", tree(rng, depth + 1), tree(rng, depth + 1), tree(rng, depth + 1))
    if r < 0.95:
        return ("sma", tree(rng, depth + 1), int(rng.integers(1, 10)), int(rng.integers(1, 3)))
    return ("cross", tree(rng, depth + 1), tree(rng, depth + 1))


def text(t):
    kind = t[0]
    if kind == "field":
        return t[1]
    if kind == "num":
        return repr(t[1])
    if kind == "op":
        return f"({text(t[2])} {t[1]} {text(t[3])})"
    if kind == "neg":
        return f"-({text(t[1])})"
    if kind == "call":
        return f"{t[1]}({text(t[2])},{t[3]})"
    if kind == "calla":
        return f"{t[1]}({text(t[2])},{text(t[3])}+1)"
    if kind == "bars":
        return f"BARSLAST({text(t[1])})"
    if kind == "if":
        return f"IF({text(t[1])},{text(t[2])},{text(t[3])})"
    if kind == "sma":
        return f"SMA({text(t[1])},{t[2]},{t[3]})"
    if kind == "sar":
        return f"SAR({t[1]},{t[2]!r},{t[3]!r})"
    return f"CROSS({text(t[1])},{text(t[2])})"


def _series(v, n):
    return np.array(np.broadcast_to(v, (n,)), dtype=np.float64)


def value(t, data, n):
    """The direct chain: each function called as a user calls it on 1-D arrays."""
    kind = t[0]
    if kind == "field":
        return data[FIELDS[t[1]]]
    if kind == "num":
        return np.float64(t[1])
    if kind == "neg":
        return np.negative(value(t[1], data, n))
    if kind == "op":
        a, b = value(t[2], data, n), value(t[3], data, n)
        o = t[1]
        with np.errstate(all="ignore"):
            if o in "+-*/":
                return {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide}[o](a, b)
            if o == "<>":
                r = np.less(a, b) | np.greater(a, b)
            elif o == "AND":
                r = truth(a) & truth(b)
            elif o == "OR":
                r = truth(a) | truth(b)
            else:
                r = {
                    ">": np.greater,
                    "<": np.less,
                    ">=": np.greater_equal,
                    "<=": np.less_equal,
                    "=": np.equal,
                }[o](a, b)
        return np.float64(r) if np.ndim(r) == 0 else r.astype(np.float64)
    if kind == "call":
        return getattr(vexa, t[1])(_series(value(t[2], data, n), n), t[3])
    if kind == "calla":
        periods = value(t[3], data, n) + 1
        return getattr(vexa, PER_BAR[t[1]])(_series(value(t[2], data, n), n), periods)
    if kind == "bars":
        return vexa.BARSLAST(_series(truth(value(t[1], data, n)), n).astype(np.uint8))
    if kind == "if":
        c = _series(truth(value(t[1], data, n)), n).astype(np.uint8)
        return vexa.FIF(c, _series(value(t[2], data, n), n), _series(value(t[3], data, n), n))
    if kind == "sma":
        return vexa.SMA(_series(value(t[1], data, n), n), t[2], t[3])
    if kind == "sar":
        return _native.SAR(data["high"], data["low"], *t[1:])
    return vexa.CROSS(_series(value(t[1], data, n), n), _series(value(t[2], data, n), n))


def data(rng, n):
    """Prices in cents, so that equal values (ties of comparisons, flat windows) occur:
    the open equals the close on about a third of the bars."""
    c = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.02, n))), 2)
    o = np.where(rng.random(n) < 0.3, c, np.round(c * (1 + rng.normal(0, 0.005, n)), 2))
    c[rng.random(n) < 0.03] = np.nan
    return {
        "close": c,
        "open": o,
        "high": np.round(np.fmax(c, o) * 1.01, 2),
        "low": np.round(np.fmin(c, o) * 0.99, 2),
        "vol": rng.integers(0, 1000, n).astype(np.float64),
    }


# ---- mutations of formula text ---------------------------------------------------------

PIECES = [
    "(",
    ")",
    ",",
    ";",
    ":",
    ":=",
    "+",
    "-",
    "*",
    "/",
    "AND",
    "OR",
    "{",
    "}",
    "//",
    "'",
    "MA(",
    "IF(",
    "ZIG(3,",
    "C",
    "1",
    "1.5",
    "\n",
    " ",
    "COLORRED",
    "NODRAW",
    "INPUT:",
    "N(",
    "DRAWTEXT(",
    "STICKLINE(",
    "\x00",
    "；",
    "#",
    "$",
    "x" * 300,
    "9" * 80,
    "(" * 70,
    "-" * 70,
    "中文",
    "\ufeff",
]


def mutate(rng, s):
    """One to four random edits of s: deletions, insertions of grammar pieces or random
    characters, duplications and swaps of spans."""
    for _ in range(int(rng.integers(1, 5))):
        k = int(rng.integers(0, 5))
        i = int(rng.integers(0, len(s) + 1))
        j = min(len(s), i + int(rng.integers(0, 8)))
        if k == 0:
            s = s[:i] + s[j:]
        elif k == 1:
            s = s[:i] + str(rng.choice(PIECES)) + s[i:]
        elif k == 2:
            s = s[:i] + chr(int(rng.integers(0, 0x3000))) + s[i:]
        elif k == 3:
            s = s[:i] + s[i:j] * int(rng.integers(2, 4)) + s[j:]
        else:
            m = int(rng.integers(0, len(s) + 1))
            s = s[:i] + s[m : m + 5] + s[i:]
    return s
