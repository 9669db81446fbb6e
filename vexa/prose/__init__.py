"""The prose of every function of the table, one source for all of it: what each computes,
its parameters, its warm-up, how a missing value flows, and an example that runs as a
doctest. Each family of functions has its module here, as its kernels have their folder.

vexa._docs makes the docstrings (`help(vexa.MA)`, the stubs) from these and the table;
the formula language's catalogue takes each table function's definition (`computes`) for
`vexa functions NAME` and for the tables of docs/formula-language.md (tools/gen_docs.py).
"""

from __future__ import annotations

from . import averages, counters, dispersion, extremes, refs, sar, signals, sums, windows, zig
from .common import Doc

__all__ = ["DOCS", "Doc"]


def _gather(*families):
    docs = {}
    for family in families:
        for name, doc in family.DOCS.items():
            if name in docs:
                raise ValueError(f"{name} has its prose in two families")
            docs[name] = doc
    return docs


DOCS: dict[str, Doc] = _gather(
    averages, sums, refs, extremes, counters, signals, dispersion, windows, zig, sar
)
