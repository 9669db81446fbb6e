"""The functions a formula can call, by name: one registry built from

- the rows of the function table (vexa.table: the 31 functions of vexa._vexa and the
  formula language's own kernels), evaluated through the everyday functions (LIBRARY),
  each defined by its prose (vexa.prose);
- the language's functions over numpy (numpy_functions.py);
- the terminals' functions that are chains of library calls (chains.py);
- names that the language spells differently (IF, IFF, IFN, REFX, BARSLASTCOUNT, SAR),
  each rewritten into a table function (here);
- the drawing statements (drawing.py), kept for the chart and never computed with.
"""

from __future__ import annotations

from .. import table
from ..prose import DOCS
from .chains import MAPPED
from .drawing import DRAWING
from .func import COND, INT, PRICE, REAL, SERIES, Func
from .numpy_functions import ELEMENTWISE, PER_SYMBOL


def _library():
    """{name: Func} of the table's rows, as the library defines them."""
    funcs = {}
    for row in table.ALL:
        params = tuple((p.name, PRICE if p.price else p.kind) for p in row.params)
        funcs[row.name] = Func(
            row.name,
            params,
            row.summary,
            "table",
            ahead=row.ahead,
            row=row,
            definition=DOCS[row.name].computes,
            nonneg=row.nonneg,
        )
    return funcs


def _rewrites():
    """The language's other spellings of table functions."""
    ifs = [
        Func(
            alias,
            (("X", COND), ("A", SERIES), ("B", SERIES)),
            "A where X is true (non-zero, not NaN), else B",
            "rewrite",
            impl="FIF",
            order=(0, 1, 2),
            definition="FIF(X, A, B).",
        )
        for alias in ("IF", "IFF")
    ]
    return [
        *ifs,
        Func(
            "IFN",
            (("X", COND), ("A", SERIES), ("B", SERIES)),
            "B where X is true, else A",
            "rewrite",
            impl="FIF",
            order=(0, 2, 1),
            definition="FIF(X, B, A).",
        ),
        Func(
            "REFX",
            (("X", SERIES), ("N", INT)),
            "Value of X N bars ahead (looks ahead for N > 0)",
            "rewrite",
            ahead="positive",
            impl="REF",
            order=(0, 1),
            negate=(1,),
            definition="REF(X, -N): NaN where bar i + N does not exist; a series N reads "
            "REF_A(X, -N).",
        ),
        Func(
            "BARSLASTCOUNT",
            (("X", COND),),
            "Length of the run of bars where X holds that ends at each bar",
            "rewrite",
            impl="BACKCOUNT",
            order=(0,),
            definition="BACKCOUNT(X).",
        ),
        Func(
            "SAR",
            (("N", INT), ("STEP", REAL), ("MAX", REAL)),
            "Parabolic stop and reverse of HIGH and LOW (STEP and MAX in percent)",
            "rewrite",
            impl="SAR",
            order=("HIGH", "LOW", 0, 1, 2),
            definition="SAR(HIGH, LOW, N, STEP, MAX) of the table, over the data's HIGH and LOW "
            "(read without being written). " + DOCS["SAR"].computes,
        ),
    ]


# The functions of the table by name, also where the language gives the name another
# form (SAR(N, STEP, MAX) reads HIGH and LOW itself): what a rewrite names.
LIBRARY: dict[str, Func] = _library()
FUNCTIONS: dict[str, Func] = dict(LIBRARY)
for _f in (*ELEMENTWISE, *PER_SYMBOL, *MAPPED, *_rewrites(), *DRAWING):
    FUNCTIONS[_f.name] = _f
del _f
