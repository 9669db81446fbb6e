"""The function table: one row per function, as vexa was built from quorix_functions.def.

The same file is compiled into the extension modules (through quorix_table.h), and the
build writes its rows as plain Python data beside them (vexa/_rows.py, made by
tools/gen_table.py), so what Python sees here is what the native code was built from,
read without parsing anything. Every Python-side consumer (the everyday functions, the
formula language's catalogue, the docs, the tests and the benchmark) takes the
functions, their parameters and kinds, and the facts the table records about each
(look-ahead, the sign of its values, the forms it lacks) from `ALL`.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property
from pathlib import Path

from . import _rows

__all__ = [
    "ALL",
    "BY_NAME",
    "EXTRA",
    "FUNCTIONS",
    "KIND_LABELS",
    "Function",
    "Param",
    "include_dir",
]

# Parameter kinds, as the table names them, and what each is in a reader's words.
SERIES, PERIODS, COND, INT, REAL = "series", "periods", "cond", "int", "real"
KIND_LABELS = {
    SERIES: "series",
    PERIODS: "per-bar periods",
    COND: "condition",
    INT: "integer (period)",
    REAL: "number",
}

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


@dataclass(frozen=True)
class Param:
    name: str
    kind: str  # "series", "periods" (a per-bar period series), "cond", "int" or "real"
    least: int | None = None  # an integer parameter: the least value its kernel accepts
    price: bool = False  # a series that a formula may also name by 0 to 3 (OPEN ... CLOSE)

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
    nonneg: bool = False  # no value of the result is below zero (NaN may be among them)
    first_written: int = 0  # the first bar its kernel writes (1: bar 0 reads +0.0)
    exempt: frozenset[str] = frozenset()  # the forms it lacks: "stream", "lane", "model"

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
    # A source checkout imports this file from the tree while the compiled parts, the
    # installed headers and the table's view sit in site-packages.
    built = Path(_rows.__file__).resolve().parent
    for candidate in (here / "include", here.parent / "quorix" / "include", built / "include"):
        if (candidate / "quorix_functions.def").is_file():
            return candidate
    raise FileNotFoundError("quorix_functions.def not found beside the vexa package")


def _function(row) -> Function:
    name, kernel, form, ahead, nonneg, first, exempt, summary, params, extra = row
    return Function(
        name,
        kernel,
        form,
        ahead,
        summary,
        tuple(Param(*p) for p in params),
        extra,
        nonneg,
        first,
        frozenset(exempt),
    )


# ALL: every row; FUNCTIONS: those of vexa._vexa, in its order; EXTRA: the formula
# language's own.
ALL: tuple[Function, ...] = tuple(_function(row) for row in _rows.ROWS)
FUNCTIONS: tuple[Function, ...] = tuple(f for f in ALL if not f.extra)
EXTRA: tuple[Function, ...] = tuple(f for f in ALL if f.extra)
BY_NAME: dict[str, Function] = {f.name: f for f in ALL}
