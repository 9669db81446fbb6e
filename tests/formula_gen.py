"""Random formulas for the property tests and the fuzzer: expression trees drawn from
the grammar, their text, and their value computed by direct calls of the everyday
functions (the chain a user would write by hand; the terminals' counters and functions
through their documented mappings onto those calls), plus mutations of formula text."""

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
MIN_PERIOD = {"MA": 1, "EMA": 1, "WMA": 1, "STD": 1, "STDP": 1, "AVEDEV": 1}
# The language's functions without arguments, and their values over n bars (the
# close and open for the ISUP family).
BARE = ("CURRBARSCOUNT", "BARPOS", "ISUP", "ISDOWN", "ISEQUAL")
OPS = ["+", "-", "*", "/", ">", "<", ">=", "<=", "=", "<>", "AND", "OR"]


def truth(x):
    return np.greater(np.abs(x), 0.0)


def tree(rng, depth=0):
    """A random expression: ("field", k) | ("num", v) | ("op", o, a, b) | ("neg", a) |
    ("call", name, a, N) | ("calla", name, a, periods) | ("if", c, a, b) | ("bars", c)
    | ("since", c) | ("sma", a, N, M) | ("cross", a, b) | ("bare", name) |
    ("nday", name, a, M) | ("expmema", a, N) | ("emas", a, c) | ("smas", a, c, M) |
    ("filterx", a, N) | ("backset", c, N) | ("sar", N, STEP, MAX)."""
    r = rng.random()
    if r < 0.08:  # the close against the open: equal on a third of the bars (ties)
        return ("op", rng.choice(OPS[4:]), ("field", "C"), ("field", "O"))
    if depth >= 4 or r < 0.25:
        if rng.random() < 0.1:
            return ("bare", str(rng.choice(BARE)))
        u = rng.random()
        if u < 0.65:
            return ("field", rng.choice(list(FIELDS)))
        if u < 0.7:  # SAR reads HIGH and LOW itself
            step = float(rng.choice([1, 2, 2.5]))
            return ("sar", int(rng.integers(1, 12)), step, float(rng.choice([step, 20])))
        return ("num", float(rng.choice([0, 1, 2, 0.5, 3.25, 100])))
    if r < 0.3:
        k = int(rng.integers(0, 7))
        a = tree(rng, depth + 1)
        if k == 0:
            return ("since", a)
        if k == 1:
            return ("nday", str(rng.choice(["UPNDAY", "DOWNNDAY"])), a, int(rng.integers(1, 5)))
        if k == 2:
            return ("expmema", a, int(rng.integers(1, 8)))
        if k == 3:
            return ("emas", a, tree(rng, depth + 2))
        if k == 4:
            return ("smas", a, tree(rng, depth + 2), int(rng.integers(1, 4)))
        if k == 5:
            return ("filterx", a, int(rng.integers(0, 5)))
        return ("backset", a, int(rng.integers(1, 5)))
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
    if kind == "since":
        return f"BARSSINCE({text(t[1])})"
    if kind == "if":
        return f"IF({text(t[1])},{text(t[2])},{text(t[3])})"
    if kind == "sma":
        return f"SMA({text(t[1])},{t[2]},{min(t[3], t[2])})"
    if kind == "bare":
        return t[1] if len(t[1]) % 2 else f"{t[1]}()"  # with and without parentheses
    if kind == "nday":
        return f"{t[1]}({text(t[2])},{t[3]})"
    if kind == "expmema":
        return f"EXPMEMA({text(t[1])},{t[2]})"
    if kind == "emas":
        return f"EMA({text(t[1])},BARSLASTCOUNT({text(t[2])})+1)"
    if kind == "smas":
        return f"SMA({text(t[1])},BARSLASTCOUNT({text(t[2])})+{t[3]},{t[3]})"
    if kind == "filterx":
        return f"FILTERX({text(t[1])},{t[2]})"
    if kind == "backset":
        return f"BACKSET({text(t[1])},{t[2]})"
    if kind == "sar":
        return f"SAR({t[1]},{t[2]!r},{t[3]!r})"
    return f"CROSS({text(t[1])},{text(t[2])})"


def _series(v, n):
    return np.array(np.broadcast_to(v, (n,)), dtype=np.float64)


def _cond(v, n):
    return _series(truth(v), n).astype(np.uint8)


def from_zero(counts):
    """The terminals' count from the library's: BARSLAST(X) = vexa.BARSLAST(X) - 1 where
    positive, NaN where 0 (no true bar yet)."""
    return np.where(counts > 0.0, counts - 1.0, np.nan)


def filter_window(N):
    """The library's window for the terminals' FILTER(X, N): N + 1 bars (0 past int32)."""
    return 0 if N + 1 > 2**31 - 1 else N + 1


def barscount(x):
    valid = ~np.isnan(x)
    if not valid.any():
        return np.full(len(x), np.nan)
    bars = np.arange(len(x), dtype=np.float64) - int(valid.argmax()) + 1.0
    return np.where(bars >= 1.0, bars, np.nan)


def _bare(name, data, n):
    index = vexa.CURRBARSCOUNT(np.zeros(n))
    if name == "CURRBARSCOUNT":
        return np.subtract(np.float64(n), index)
    if name == "BARPOS":
        return index + 1.0
    op = {"ISUP": np.greater, "ISDOWN": np.less, "ISEQUAL": np.equal}[name]
    return op(data["close"], data["open"]).astype(np.float64)


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
    if kind == "call" and t[1] == "FILTER":
        return vexa.FILTER(_series(value(t[2], data, n), n), filter_window(t[3]))
    if kind == "call":
        return getattr(vexa, t[1])(_series(value(t[2], data, n), n), t[3])
    if kind == "calla":
        periods = value(t[3], data, n) + 1
        return getattr(vexa, PER_BAR[t[1]])(_series(value(t[2], data, n), n), periods)
    if kind == "bars":
        return from_zero(vexa.BARSLAST(_cond(value(t[1], data, n), n)))
    if kind == "since":
        return from_zero(vexa.BARSINCE(_cond(value(t[1], data, n), n)))
    if kind == "if":
        c = _cond(value(t[1], data, n), n)
        return vexa.FIF(c, _series(value(t[2], data, n), n), _series(value(t[3], data, n), n))
    if kind == "sma":
        return vexa.SMA(_series(value(t[1], data, n), n), t[2], min(t[3], t[2]))
    if kind == "bare":
        return _bare(t[1], data, n)
    if kind == "nday":
        a = _series(value(t[2], data, n), n)
        with np.errstate(invalid="ignore"):
            moved = (np.greater if t[1] == "UPNDAY" else np.less)(a, vexa.REF(a, 1))
        return _native.EVERY(moved.astype(np.uint8), t[3])
    if kind == "expmema":
        a, N = _series(value(t[1], data, n), n), t[2]
        ma = vexa.MA(a, N)
        k = barscount(ma)
        later = vexa.FIF((k > 1.0).astype(np.uint8), a, np.full(n, np.nan))
        return vexa.EMA(vexa.FIF((k == 1.0).astype(np.uint8), ma, later), N)
    if kind in ("emas", "smas"):
        a = _series(value(t[1], data, n), n)
        runs = vexa.BACKCOUNT(_cond(value(t[2], data, n), n))
        if kind == "emas":
            return vexa.DMA(a, np.divide(2.0, np.trunc(runs + 1.0) + 1.0))
        M = float(t[3])
        return vexa.DMA(a, np.divide(np.trunc(M), np.trunc(runs + M)))
    if kind == "filterx":
        a = _series(value(t[1], data, n), n)
        return vexa.FILTER(a[::-1], filter_window(t[2]))[::-1]
    if kind == "backset":
        since = vexa.BARSLAST(_cond(value(t[1], data, n), n)[::-1])
        return ((since >= 1.0) & (since <= t[2])).astype(np.float64)[::-1]
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


# ---- the fuzzer's wider vocabulary ----------------------------------------------------

# Pieces the fuzzer adds to PIECES: digits and letters that are not ASCII (superscript,
# full-width, Arabic-Indic digits; dotless i, long s), numbers past every range, bare
# names and attributes.
MORE_PIECES = [
    "²",
    "１２",
    "٣",
    "ı",
    "ſ",
    ",LINETHICK²",
    ",LINETHICK٣",
    "BARSCOUNT(C)",
    "1e400",
    "99999999999999999999",
    "-2147483649",
    "0.5",
    "N",
    "M1",
    "SELF",
    "DRAWICON(",
    "REF(C,-1)",
    "ZIG(C,",
    "FILTER(",
    "SUMBARS(V,",
]

# Parameter values a caller may pass: beyond the 32-bit range, beyond floats, not finite.
HOSTILE_VALUES = [0, -1, 2**31, 10**400, float("nan"), float("inf"), -1e308, 0.5, 2.0**53 + 1]


def mutate_wide(rng, s):
    """mutate, with MORE_PIECES inserted too."""
    if rng.random() < 0.5:
        i = int(rng.integers(0, len(s) + 1))
        s = s[:i] + str(rng.choice(MORE_PIECES)) + s[i:]
    return mutate(rng, s)


def _argument(rng, kind, depth):
    if kind in ("int", "real"):
        return str(rng.choice([-3, -1, 0, 1, 2, 3, 5, 12, 250, 2147483647, 2147483648, "N"]))
    if depth > 1 or rng.random() < 0.5:
        return str(rng.choice(list(FIELDS) + ["0", "1", "-1.5", "C>O"]))
    return catalogue_call(rng, depth + 1)


def catalogue_call(rng, depth=0):
    """A call of any function of the language's catalogue, its arguments drawn by kind
    (periods around and past their ranges, series from fields or further calls)."""
    from vexa.formula.catalogue import FUNCTIONS

    names = sorted(FUNCTIONS)
    f = FUNCTIONS[names[int(rng.integers(0, len(names)))]]
    if f.bare and rng.random() < 0.5:
        return f.name
    if f.variadic:
        kinds = ["series"] * int(rng.integers(0, 5))
    else:
        kinds = [k for _, k in f.params]
    args = ",".join(_argument(rng, k, depth) for k in kinds)
    return f"{f.name}({args})"
