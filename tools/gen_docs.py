#!/usr/bin/env python3
"""Writes the tables of docs/formula-language.md that list the functions and the data
fields, from the function table, the functions' prose (vexa.prose) and the formula
language's catalogue: each table between the markers

    <!-- NAME: written by tools/gen_docs.py -->  ...  <!-- end of NAME -->

tests/test_api_docs.py checks that the committed file is what this script writes; run it
after changing a row, a function's prose or a function of the language:

    python tools/gen_docs.py
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOC = ROOT / "docs" / "formula-language.md"

_AHEAD = {
    "always": "Looks ahead.",
    "negative": "Looks ahead when N < 0.",
    "positive": "Looks ahead when N > 0.",
}
_HEAD = "| Call | What it computes | Definition |\n|---|---|---|"


def _cell(text):
    return " ".join(text.split()).replace("|", "\\|")


def _row(*cells):
    return "| " + " | ".join(_cell(c) for c in cells) + " |"


def _defined(f):
    """A function's definition, with when it reads later bars."""
    note = _AHEAD.get(f.ahead or "")
    if note and "Looks ahead" not in f.definition:
        return f"{f.definition} {note}".strip()
    return f.definition


def _functions():
    from vexa.formula.catalogue import FUNCTIONS
    from vexa.formula.chains import SERIES_PERIODS
    from vexa.table import ALL

    out = [
        "### Functions of vexa._vexa (the function table)",
        "",
        "Each is the everyday function of the same name: its definition, warm-up and handling",
        "of missing values are those of the library's reference (`help(vexa.NAME)`,",
        "`vexa functions NAME`).",
        "",
        _HEAD,
    ]
    for row in ALL:
        if row.extra:
            continue
        f = FUNCTIONS[row.name]
        if f.category == "mapped":  # the language's meaning differs
            call = f"{row.name}({', '.join(row.names)})"
            out.append(
                _row(
                    f"`{call}`",
                    f"{row.summary} (the library's)",
                    f"The library's {row.name}; the language's differs (below: Names that "
                    "differ from the library).",
                )
            )
        else:
            out.append(_row(f"`{f.call}`", f.summary, _defined(f)))
    out += [
        "",
        "### The language's own kernels (QX_EXTRA rows of the table)",
        "",
        "Each is also a function of `vexa._native` (`help(vexa._native.NAME)`) and, but for the",
        "zigzag family, of `vexa.stream`.",
        "",
        _HEAD,
    ]
    out += [
        _row(f"`{FUNCTIONS[r.name].call}`", FUNCTIONS[r.name].summary, _defined(FUNCTIONS[r.name]))
        for r in ALL
        if r.extra
    ]
    rows = {r.name for r in ALL}
    sections = (
        ("numpy", "### Element-wise and per-symbol functions (numpy)", ()),
        (
            "mapped",
            "### The terminals' functions, built from library calls",
            (
                "Each is an exact chain of the functions above (the table's, through the everyday",
                "functions) and the element-wise ones, so a formula that uses them still "
                "equals the",
                "chain of direct calls bit for bit.",
                "",
            ),
        ),
    )
    for category, title, intro in sections:
        out += ["", title, "", *intro, _HEAD]
        out += [
            _row(f"`{f.call}`", f.summary, _defined(f))
            for f in FUNCTIONS.values()
            if f.category == category
        ]
    out += [
        "",
        "### Names that differ from the library",
        "",
        "The everyday functions (`vexa.NAME`) and `vexa._vexa` keep the library's definitions;",
        "in formulas these names follow the terminals' manuals, through these exact mappings",
        "onto library calls (`vexa functions NAME` shows them). What the terminals give before",
        "the first true bar (no value) is NaN.",
        "",
        "| Name | In formulas | Exact mapping onto the library |",
        "|---|---|---|",
    ]
    out += [_row(f"`{f.name}`", f.definition, f.library) for f in FUNCTIONS.values() if f.library]
    out += [
        _row(f"`{name}` with a series period", f"the terminals' {name} with N read per bar", text)
        for name, (_, text) in SERIES_PERIODS.items()
    ]
    out += ["", "### Other spellings", "", _HEAD]
    out += [
        _row(f"`{f.call}`", f.summary, _defined(f))
        for f in FUNCTIONS.values()
        if f.category == "rewrite" and f.name not in rows
    ]
    return "\n".join(out)


def _fields():
    from vexa.formula.fields import FIELDS_TABLE

    out = ["| Field | Also | Column names matched (any case) |", "|---|---|---|"]
    out += [_row(f.name, ", ".join(f.spellings), ", ".join(f.columns)) for f in FIELDS_TABLE]
    return "\n".join(out)


def render(text):
    """The document `text` with every generated table written afresh."""
    for name, make in (("fields", _fields), ("functions", _functions)):
        begin = f"<!-- {name}: written by tools/gen_docs.py -->\n"
        end = f"<!-- end of {name} -->"
        if text.count(begin) != 1 or text.count(end) != 1 or text.index(end) < text.index(begin):
            raise ValueError(f"{DOC.name}: the markers of {name} are missing or repeated")
        head, rest = text.split(begin)
        text = head + begin + make() + "\n" + end + rest.split(end)[1]
    return text


def main():
    sys.path.insert(0, str(ROOT))  # the source tree's vexa
    DOC.write_text(render(DOC.read_text("utf-8")), "utf-8")
    print(f"wrote {DOC.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
