#!/usr/bin/env python3
"""Writes vexa/__init__.pyi, the type stubs of the package, from the function table and
the docstrings (vexa._docs, made from vexa/prose/). tests/test_api_docs.py checks that
the committed file is what this script writes; run it after changing a row or its prose:

    python tools/gen_stubs.py
"""

import ast
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "vexa" / "__init__.pyi"

HEADER = '''\
# Written by tools/gen_stubs.py from the function table and vexa/prose/: do not edit.
"""{doc}"""

from collections.abc import Sequence
from contextlib import AbstractContextManager
from typing import Any, SupportsIndex, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import chart as chart
from . import stream as stream
from .data import sample as sample
from .formula import Formula as Formula
from .formula import MissingDataWarning as MissingDataWarning

__version__: str
__all__: list[str]

# numpy arrays, lists and tuples give a numpy array; any other kind of input (a pandas or
# polars Series or DataFrame) gives a result of its own kind.
_Numbers = NDArray[Any] | Sequence[float] | Sequence[Sequence[float]]
_Kind = TypeVar("_Kind")
_Result = NDArray[np.float64]

def get_include() -> str:
    """{get_include}"""

def thread_limit(n: SupportsIndex) -> AbstractContextManager[None]:
    """{thread_limit}"""
'''


def _annotation(f, i):
    from vexa.table import INT, REAL

    p = f.params[i]
    if p.kind == INT:
        return "SupportsIndex | ArrayLike" if f.per_bar is not None and i == 1 else "SupportsIndex"
    if p.kind == REAL:
        return "float"
    return "ArrayLike"


def _function(f):
    from vexa._docs import docstring

    params = [f"{p.name}: {_annotation(f, i)}" for i, p in enumerate(f.params)]
    rest = ", ".join(params[1:])
    sep = ", /" if f.form == "single" else ""
    tail = (", " + rest if rest else "") + sep + ", *, axis: SupportsIndex = 0"
    first = f.params[0].name
    doc = docstring(f.name).replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    body = "\n".join("    " + line if line else "" for line in doc.splitlines())
    return (
        f"@overload\n"
        f"def {f.name}({first}: _Numbers{tail}) -> _Result:\n"
        f'    """{body.lstrip()}\n    """\n\n'
        f"@overload\n"
        f"def {f.name}({first}: _Kind{tail}) -> _Kind: ...\n"
    )


def render() -> str:
    sys.path.insert(0, str(ROOT))  # the source tree's vexa/_docs.py and vexa/table.py
    try:
        import vexa._docs
        import vexa.table
    finally:
        sys.path.pop(0)
    tree = ast.parse((ROOT / "vexa" / "__init__.py").read_text())
    docs = {
        node.name: ast.get_docstring(node).replace("\n", "\n    ")
        for node in tree.body
        if getattr(node, "name", None) in ("get_include", "thread_limit")
    }
    out = [HEADER.format(doc=ast.get_docstring(tree) + "\n", **docs)]
    out += [_function(f) for f in vexa.table.FUNCTIONS]
    return "\n".join(out[:2]) + "".join(out[2:])


def main():
    STUBS.write_text(render())
    print(f"wrote {STUBS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
