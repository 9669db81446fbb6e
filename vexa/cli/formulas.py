"""The FORMULA argument (a formula file or the text itself) and the -p parameters."""

from __future__ import annotations

import os
from pathlib import Path

from ..formula import Formula, FormulaError
from ..formula.lexer import decode, fold
from .common import EXIT_USAGE, Failure, clip, say

ENCODING_HELP = (
    "the formula file's encoding (default: UTF-8 or UTF-16 by their byte-order mark, UTF-16 "
    "by its NUL bytes, else UTF-8, else GBK)"
)
# A FORMULA argument that names a file: one of these endings, or a path with no
# character a formula needs (';', ':', '(', ...).
FORMULA_SUFFIXES = (".txt", ".tdx", ".fml")
FORMULA_CHARACTERS = set(";:(),'\"{}=<>\n\t ")


def looks_like_a_file(spec):
    if spec.lower().endswith(FORMULA_SUFFIXES):
        return True
    seps = {"/", os.sep} | ({os.altsep} if os.altsep else set())
    return any(c in spec for c in seps) and not any(c in FORMULA_CHARACTERS for c in spec)


def load_formula(spec, params=(), encoding=None, complete=False):
    """(the compiled formula, {name: value} of the -p parameters, a label for messages)
    from FORMULA (a file or the text) and the -p items; with `complete`, every parameter
    must have a value."""
    path = Path(spec)
    label = "formula"
    try:
        is_file = len(spec) < 4096 and "\n" not in spec and path.is_file()
    except (OSError, ValueError):
        is_file = False
    if is_file:
        try:
            text = path.read_bytes()
        except OSError as e:
            raise Failure(f"cannot read {spec}: {e.strerror}", EXIT_USAGE) from None
        label = path.name
    elif looks_like_a_file(spec):
        raise Failure(
            f"no formula file {clip(spec, 300)} (a formula given as text needs a ';' or "
            "':', "
            "as in 'X:MA(C,5);')",
            EXIT_USAGE,
        )
    else:
        if encoding is not None:
            raise Failure("--encoding goes with a formula file", EXIT_USAGE)
        text = spec
    values = param_items(params)
    try:
        formula = Formula(decode(text, encoding) if isinstance(text, bytes) else text)
    except FormulaError as e:
        raise Failure(f"{label}: {e}", EXIT_USAGE) from None
    # Values given with -p override the defaults; unknown names are refused.
    try:
        formula._param_values(values, complete=complete)
        formula.lookahead_with(**values)
    except FormulaError as e:
        raise Failure(str(e), EXIT_USAGE) from None
    return formula, values, label


def param_items(items):
    """{name: value} of -p NAME=VALUE items."""
    values = {}
    for item in items:
        name, sep, value = item.partition("=")
        name = name.strip()
        if not sep or not name:
            raise Failure(f"-p {clip(item)}: write NAME=VALUE", EXIT_USAGE)
        try:
            number = float(value)
        except ValueError:
            raise Failure(f"-p {clip(item)}: {clip(value)!r} is not a number", EXIT_USAGE) from None
        if any(fold(name) == fold(k) for k in values):
            raise Failure(f"-p {clip(name)} is given twice", EXIT_USAGE)
        values[name] = number
    return values


def warn_lookahead(formula, values):
    ahead = formula.lookahead_with(**values)
    for a in ahead:
        say(f"vexa: warning: {a}: a backtest on this formula is wrong")
    return ahead
