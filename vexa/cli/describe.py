"""`vexa check FORMULA` and `vexa functions [NAME]`: what a formula is, what a function is."""

from __future__ import annotations

import difflib

from ..formula import catalogue as cat
from ..formula.chains import SERIES_PERIODS
from ..formula.func import CATEGORIES, KIND_LABELS
from ..formula.lexer import fold
from .common import EXIT_USAGE, Failure
from .formulas import load_formula


def check(args):
    formula, values, label = load_formula(args.formula, args.param, args.encoding)
    params = formula._param_values(values, complete=False)
    print(f"{label}: compiles")
    for o in formula._program.outputs:
        extras = [
            x
            for x in (
                o.style if o.style != "line" else None,
                o.color,
                f"width {o.width}" if o.width is not None else None,
                None if o.drawn else "not drawn",
            )
            if x
        ]
        print(f"  output {o.name} (line {o.line})" + (f": {', '.join(extras)}" if extras else ""))
    for d in formula.drawings:
        print(f"  drawing {d.kind} (line {d.line})")
    shown = [f"{k}={_num(v)}" for k, v in params.items() if v is not None]
    print("  parameters: " + (", ".join(shown) or "none"))
    missing = [k for k, v in params.items() if v is None]
    if missing:
        hints = formula._program.free
        print(
            "  without a value (give -p NAME=VALUE): "
            + ", ".join(
                f"{k} (did you mean {' or '.join(hints[k][1])}?)"
                if k in hints and hints[k][1]
                else k
                for k in missing
            )
        )
    print("  inputs: " + (", ".join(formula.inputs) or "none"))
    ahead = formula.lookahead_with(**values)
    if ahead:
        for a in ahead:
            print(f"  looks ahead: {a}")
    else:
        print("  looks ahead: no")
    for note in formula.notes:
        print(f"  note: {note}")
    return 0


def _num(v):
    return str(int(v)) if float(v).is_integer() else repr(v)


def functions(args):
    funcs = cat.FUNCTIONS
    if args.name is None:
        for category, title in CATEGORIES.items():
            print(f"{title}:")
            for f in funcs.values():
                if f.category == category:
                    ahead = "  [looks ahead]" if f.ahead == "always" else ""
                    print(f"  {f.call:<28} {f.summary}{ahead}")
            print()
        return 0
    f = funcs.get(fold(args.name))
    if f is None:
        close = difflib.get_close_matches(fold(args.name), list(funcs), n=3)
        hint = f"; did you mean {' or '.join(close)}?" if close else ""
        raise Failure(f"no function {args.name}{hint}", EXIT_USAGE)
    print(f.call)
    print(f"  {f.summary}")
    if f.definition:
        print(f"  {f.definition}")
    if f.params and not f.variadic:
        print("  parameters: " + ", ".join(f"{p} {KIND_LABELS[k]}" for p, k in f.params))
    if f.category == "table" and f.row is not None and f.row.per_bar is not None:
        print(f"  a series period selects {f.row.per_bar.name}")
    if f.category == "rewrite":
        print(f"  written as {f.impl}")
    if f.name in SERIES_PERIODS:
        print(f"  {SERIES_PERIODS[f.name][1]}")
    if f.library:
        print(f"  differs from vexa.{f.name}: {f.library}")
    ahead = {"always": "always", "negative": "when N < 0", "positive": "when N > 0"}.get(
        f.ahead or ""
    )
    if ahead:
        print(f"  looks ahead: {ahead}")
    return 0
