"""The docstrings of the functions of vexa: each function's prose (vexa.prose) with what
every function shares (the kinds of input, `axis`, the result) from the function table,
so the table and the prose together make the docstrings, the type stubs
(vexa/__init__.pyi) and `help(vexa.NAME)`. vexa._native takes its functions' docstrings
from `native_docs`.
"""

from __future__ import annotations

from .prose import DOCS, Doc
from .table import (
    ALL,
    BY_NAME,
    COND,
    INT,
    INT32_MAX,
    INT32_MIN,
    KIND_LABELS,
    PERIODS,
    REAL,
    SERIES,
    Function,
)

__all__ = ["DOCS", "docstring", "native_docs", "signature"]


def signature(f: Function) -> str:
    """The Python signature: `(a, N, *, axis=0)`, or `(x, /, *, axis=0)` for the
    functions that take one positional argument."""
    names = ", ".join(f.names)
    if f.form == "single":
        return f"({names}, /, *, axis=0)"
    return f"({names}, *, axis=0)"


def _range(p) -> str:
    if p.least == INT32_MIN:
        return "any 32-bit integer"
    return f"an integer from {p.least} to {INT32_MAX}"


def _param_type(f: Function, i: int) -> str:
    p = f.params[i]
    if p.kind == INT:
        if f.per_bar is not None and i == 1:
            return "int, or a series of per-bar periods"
        return "int"
    if p.kind == REAL:
        return "float"
    first = "array-like (a series, or a panel of bars x columns)"
    if p.kind == COND:
        label = KIND_LABELS[COND]
        return f"{first}, {label}" if i == 0 else f"array-like or scalar, {label}"
    if p.kind == PERIODS:
        return f"array-like or scalar, {KIND_LABELS[PERIODS]}"
    return first if i == 0 else "array-like or scalar"


def _param_text(f: Function, i: int, doc: Doc) -> str:
    p = f.params[i]
    text = doc.params[p.name]
    extra = []
    if p.kind == INT:
        extra.append(f"Accepted: {_range(p)} (another integer raises ValueError).")
        if f.per_bar is not None and i == 1:
            extra.append(
                f"A series here reads the period of every bar from it: "
                f"{f.name}(a, periods) is {f.per_bar.name}(a, periods)."
            )
    elif p.kind == COND:
        extra.append(
            "True where the value is non-zero and not NaN (vexa._vexa converts with "
            "astype(uint8) instead, which makes 0.5 and 256.0 false)."
        )
    elif p.kind == PERIODS:
        extra.append(
            "Each bar's period is its value truncated toward zero; a NaN, infinite or "
            "out-of-range period gives NaN at that bar only."
        )
    if i > 0 and p.kind in (SERIES, PERIODS, COND):
        extra.append(
            "A scalar applies to every bar; a 1-D series of the bars' length applies to "
            "every column of a panel."
        )
    return " ".join(s for s in (text, *extra) if s)


def _indent(text: str, by: str = "    ") -> str:
    return "\n".join(by + line if line else line for line in text.splitlines())


def _fill(text: str, width: int) -> str:
    """Greedy line filling at spaces (textwrap's, without its cost at import)."""
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return "\n".join([*lines, line])


def _wrap(text: str, width: int = 84) -> str:
    return "\n".join(
        _fill(par, width) if not par.startswith(">>>") else par for par in text.split("\n\n")
    )


def docstring(name: str) -> str:
    """The docstring of vexa.NAME (without the signature line)."""
    f = BY_NAME[name]
    doc = DOCS[name]
    out = [f.summary + ".", "", _wrap(doc.computes), "", "Parameters", "----------"]
    for i, p in enumerate(f.params):
        out.append(f"{p.name} : {_param_type(f, i)}")
        out.append(_indent(_wrap(_param_text(f, i, doc), 80)))
    first = f.params[0].name
    out.append("axis : int, default 0")
    out.append(
        _indent(
            _wrap(
                f"When {first} is a panel (2-D): the axis along which the bars run. 0 (rows "
                "are bars, columns are symbols, as in a DataFrame of symbols) or 1. Every "
                "column is computed as its own series.",
                80,
            )
        )
    )
    out += ["", "Returns", "-------"]
    out.append(f"float64 values of {first}'s shape, in {first}'s kind")
    out.append(
        _indent(
            _wrap(
                "A numpy array (also for lists), or a pandas Series or DataFrame with the "
                "same index, name and columns, or a polars Series or DataFrame.",
                80,
            )
        )
    )
    out += ["", "Warm-up", "-------", _wrap(doc.warmup)]
    out += ["", "Missing values", "--------------", _wrap(doc.missing)]
    for note in doc.notes:
        out += ["", _wrap(note)]
    out += ["", "Example", "-------", ">>> import vexa", doc.example.strip("\n")]
    return "\n".join(out)


def native_docs() -> dict[str, str]:
    """Each function's docstring with its signature line, as vexa._native builds its
    functions from them."""
    return {f.name: f"{f.name}{signature(f)}\n--\n\n{docstring(f.name)}" for f in ALL}
