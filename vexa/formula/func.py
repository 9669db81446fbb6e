"""A function that a formula can call (`Func`), and the kinds of its arguments.

The argument kinds are the table's (series, per-bar periods, condition, integer, number)
and three that only the language has: a price series that a number may name (ZIG's K),
a quoted text (DRAWTEXT) and an argument of a drawing statement that is not drawn.
"""

from __future__ import annotations

from dataclasses import dataclass

from .. import table

SERIES, COND, INT, REAL, PERIODS = table.SERIES, table.COND, table.INT, table.REAL, table.PERIODS
PRICE = "price"  # a series, or 0 to 3 for OPEN, HIGH, LOW, CLOSE (the table's price series)
TEXT = "text"  # a quoted text (DRAWTEXT)
ANY = "any"  # an argument of a drawing statement that is not drawn

KIND_LABELS = {
    **table.KIND_LABELS,
    PRICE: "price (0-3) or series",
    TEXT: "quoted text",
    ANY: "any",
}

# What a function is, for the checker and for `vexa functions`, in this order.
CATEGORIES = {
    "table": "Functions of the table (vexa._vexa and the language's own kernels)",
    "mapped": "The terminals' functions, each a chain of the library's calls",
    "numpy": "Element-wise and per-symbol functions",
    "rewrite": "Other spellings",
    "draw": "Drawing statements",
    "nodraw": "Drawing statements parsed but not drawn",
}


@dataclass(frozen=True)
class Func:
    name: str
    params: tuple[tuple[str, str], ...]  # (name, kind)
    summary: str
    category: str  # one of CATEGORIES
    ahead: str | None = None  # None, "always", "negative" / "positive" (sign of param 1)
    row: table.Function | None = None  # the table row ("table")
    impl: object = None  # numpy: f(block, *args); rewrite: the target's name; mapped: the
    # builder f(b, *args) of its nodes (b: the compiler's Builder)
    # rewrite: the target's arguments by our position, or a data field read implicitly
    order: tuple[int | str, ...] = ()
    negate: tuple[int, ...] = ()  # rewrite: arguments to negate
    variadic: bool = False
    bare: bool = False  # may be written without parentheses (ISLASTBAR)
    elementwise: bool = False  # numpy: bar by bar, scalars in give a scalar out
    definition: str = ""
    library: str = ""  # how the language's meaning relates to the library function of
    # the same name, where the two differ
    checks: tuple = ()  # rules on the values of number parameters (rules.check_rules)
    nonneg: bool = False  # its values are never negative (counts, 0/1 signals)

    @property
    def arity(self):
        return len(self.params)

    @property
    def call(self):
        """How a formula writes it: MA(X, N), ISLASTBAR, DRAWLINE(...)."""
        if self.variadic:
            return f"{self.name}(...)"
        if self.bare:
            return self.name
        return f"{self.name}({', '.join(p for p, _ in self.params)})"
