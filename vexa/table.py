"""The function table: one row per function, read from quorix_functions.def.

The same file is compiled into the extension modules (through quorix_table.h), so what
Python sees here is what the native code was built from. Every Python-side consumer
(the everyday functions, the formula language's catalogue, the docs, the tests and the
benchmark) takes the functions, their parameters and kinds from `FUNCTIONS`.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path

__all__ = ["ALL", "BY_NAME", "EXTRA", "FUNCTIONS", "Function", "Param", "include_dir"]

# Parameter kinds, as the table names them.
SERIES, PERIODS, COND, INT, REAL = "series", "periods", "cond", "int", "real"
_KINDS = {
    "QX_SERIES": SERIES,
    "QX_PERIODS": PERIODS,
    "QX_COND": COND,
    "QX_INT": INT,
    "QX_REAL": REAL,
}
_FORMS = {"KEYWORDS": "keywords", "SINGLE": "single"}
_AHEAD = {
    "NEVER": None,
    "NEGATIVE_N": "negative",
    "POSITIVE_N": "positive",
    "ALWAYS": "always",
}


INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


@dataclass(frozen=True)
class Param:
    name: str
    kind: str  # "series", "periods" (a per-bar period series), "cond", "int" or "real"
    least: int | None = None  # an integer parameter: the least value its kernel accepts

    @property
    def is_series(self) -> bool:
        """True for every array parameter (series, period series, condition)."""
        return self.kind in (SERIES, PERIODS, COND)


@dataclass(frozen=True)
class Function:
    name: str  # "MA"
    kernel: str  # "vx_ma"
    form: str  # "keywords" or "single"
    ahead: str | None  # None, "negative" / "positive" (the sign of N that reads later bars)
    # or "always"
    summary: str
    params: tuple[Param, ...]
    extra: bool = False  # a function the formula language adds, not one of vexa._vexa

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(p.name for p in self.params)

    @property
    def kinds(self) -> tuple[str, ...]:
        return tuple(p.kind for p in self.params)

    @cached_property
    def per_bar(self) -> Function | None:
        """The variant that reads its period per bar (MA -> MA_A), if there is one."""
        alt = BY_NAME.get(self.name + "_A")
        return alt if alt is not None and alt.kinds[1:] == (PERIODS,) else None

    def __str__(self):
        return self.name


def include_dir() -> Path:
    """The folder of quorix.h and the table: installed beside the package, or the
    source tree's quorix/include when run from a checkout."""
    here = Path(__file__).resolve().parent
    for candidate in (here / "include", here.parent / "quorix" / "include"):
        if (candidate / "quorix_functions.def").is_file():
            return candidate
    # A source checkout run from its root imports this file from the tree while the
    # compiled parts (and the installed headers) sit in site-packages.
    import vexa

    for folder in getattr(vexa, "__path__", ()):
        candidate = Path(folder) / "include"
        if (candidate / "quorix_functions.def").is_file():
            return candidate
    raise FileNotFoundError("quorix_functions.def not found beside the vexa package")


_ROW = re.compile(r"^QX_(FUNCTION|EXTRA)\((.*)\)\s*$")
# One field of a row: a quoted string, a macro call with its parenthesised arguments,
# or a bare word.
_ARG = re.compile(r'\s*("(?:[^"\\]|\\.)*"|\w+\([^()]*\)|[^,]+)\s*(?:,|$)')
_PARAM = re.compile(r"^(QX_\w+)\((\w+)(?:,\s*(ANY|-?\d+))?\)$")


def _param(text: str) -> Param:
    m = _PARAM.match(text)
    kind = _KINDS[m.group(1)]
    if (kind == INT) != (m.group(3) is not None):
        raise ValueError("an integer parameter, and only one, gives its least value")
    least = None
    if kind == INT:
        least = INT32_MIN if m.group(3) == "ANY" else int(m.group(3))
        if not INT32_MIN <= least <= INT32_MAX:
            raise ValueError("the least value is not a 32-bit integer")
    return Param(m.group(2), kind, least)


def parse(text: str) -> tuple[Function, ...]:
    """The rows of a table file, in order."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        m = _ROW.match(line)
        if m is None:
            continue
        fields = [a.strip() for a in _ARG.findall(m.group(2))]
        try:
            name, kernel, form, ahead, summary, *params = fields
            parsed = [_param(p) for p in params]
            extra = m.group(1) == "EXTRA"
            rows.append(
                Function(
                    name, kernel, _FORMS[form], _AHEAD[ahead], summary[1:-1], tuple(parsed), extra
                )
            )
        except (ValueError, KeyError, AttributeError) as e:
            raise ValueError(f"quorix_functions.def line {number}: malformed row: {line}") from e
    return tuple(rows)


# ALL: every row; FUNCTIONS: those of vexa._vexa, in its order; EXTRA: the formula
# language's own.
ALL: tuple[Function, ...] = parse((include_dir() / "quorix_functions.def").read_text("utf-8"))
FUNCTIONS: tuple[Function, ...] = tuple(f for f in ALL if not f.extra)
EXTRA: tuple[Function, ...] = tuple(f for f in ALL if f.extra)
BY_NAME: dict[str, Function] = {f.name: f for f in ALL}
