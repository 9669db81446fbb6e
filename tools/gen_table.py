#!/usr/bin/env python3
"""Writes the Python view of the function table: vexa/_rows.py, from
quorix/include/quorix_functions.def. The build runs it (CMakeLists.txt) and installs the
result beside the extension modules, so that `import vexa` reads plain Python data and
never parses the table; tests/test_table.py checks that the view installed is what this
script makes of the table in the tree.

    python tools/gen_table.py quorix/include/quorix_functions.def OUT.py
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# The spellings of the table, as the view names them.
KINDS = {
    "QX_SERIES": ("series", False),
    "QX_PRICE": ("series", True),  # a series that a number 0 to 3 may name in formulas
    "QX_PERIODS": ("periods", False),
    "QX_COND": ("cond", False),
    "QX_INT": ("int", False),
    "QX_REAL": ("real", False),
}
FORMS = {"KEYWORDS": "keywords", "SINGLE": "single"}
AHEAD = {"NEVER": None, "NEGATIVE_N": "negative", "POSITIVE_N": "positive", "ALWAYS": "always"}
SIGNS = {"SIGNED": False, "NONNEG": True}
WRITES = {"ALL": 0, "FROM_BAR_1": 1}
EXEMPT = {"STREAM": "stream", "LANE": "lane", "MODEL": "model"}

_ROW = re.compile(r"^QX_(FUNCTION|EXTRA)\((.*)\)\s*$")
# One field of a row: a quoted string, a macro call with its parenthesised arguments,
# or a bare word (EXEMPT's words joined by | included).
_ARG = re.compile(r'\s*("(?:[^"\\]|\\.)*"|\w+\([^()]*\)|[^,]+)\s*(?:,|$)')
_PARAM = re.compile(r"^(QX_\w+)\((\w+)(?:,\s*(ANY|-?\d+))?\)$")


def _param(text):
    """(name, kind, least, price) of one parameter."""
    m = _PARAM.match(text)
    kind, price = KINDS[m.group(1)]
    if (kind == "int") != (m.group(3) is not None):
        raise ValueError("an integer parameter, and only one, gives its least value")
    least = None
    if kind == "int":
        least = INT32_MIN if m.group(3) == "ANY" else int(m.group(3))
        if not INT32_MIN <= least <= INT32_MAX:
            raise ValueError("the least value is not a 32-bit integer")
    return (m.group(2), kind, least, price)


def _exempt(text):
    if text == "NONE":
        return ()
    words = [w.strip() for w in text.split("|")]
    return tuple(EXEMPT[w] for w in words)


def parse(text):
    """The rows of a table file, in order, each a tuple of plain values: (name, kernel,
    form, ahead, nonneg, first_written, exempt, summary, params, extra)."""
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        m = _ROW.match(line)
        if m is None:
            continue
        fields = [a.strip() for a in _ARG.findall(m.group(2))]
        try:
            name, kernel, form, ahead, sign, writes, exempt, summary, *params = fields
            if not (summary.startswith('"') and summary.endswith('"')) or not params:
                raise ValueError("the summary is a quoted text followed by the parameters")
            rows.append(
                (
                    name,
                    kernel,
                    FORMS[form],
                    AHEAD[ahead],
                    SIGNS[sign],
                    WRITES[writes],
                    _exempt(exempt),
                    summary[1:-1],
                    tuple(_param(p) for p in params),
                    m.group(1) == "EXTRA",
                )
            )
        except (ValueError, KeyError, AttributeError) as e:
            raise ValueError(f"quorix_functions.def line {number}: malformed row: {line}") from e
    return tuple(rows)


def render(text):
    """The view's source for the table file's text."""
    lines = [
        "# Written by tools/gen_table.py from quorix_functions.def when vexa is built: do not",
        "# edit. Each row: (name, kernel, form, ahead, nonneg, first_written, exempt, summary,",
        "# params, extra); each parameter: (name, kind, least, price).",
        "ROWS = (",
    ]
    lines += [f"    {row!r}," for row in parse(text)]
    lines.append(")")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    source, out = Path(argv[1]), Path(argv[2])
    text = render(source.read_text("utf-8"))
    out.parent.mkdir(parents=True, exist_ok=True)
    if not out.is_file() or out.read_text("utf-8") != text:
        out.write_text(text, "utf-8")


if __name__ == "__main__":
    main(sys.argv)
