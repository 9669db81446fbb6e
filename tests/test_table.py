"""The function table as Python reads it (the view the build wrote), and every row's forms:
a row has a stream, a lane kernel and a plain-Python model, or the table says it lacks
them (its EXEMPT column), and says so of nothing it has."""

import importlib.util
from pathlib import Path

import model_lang
import pytest
from support import ROOT, models

import vexa.stream
from vexa import _native, _rows
from vexa.table import ALL

DEF = ROOT / "quorix" / "include" / "quorix_functions.def"


def test_the_view_is_the_table_of_the_tree():
    tool = ROOT / "tools" / "gen_table.py"
    if not tool.is_file() or not DEF.is_file():
        pytest.skip("the view's generator reads the source tree (tests run from a copy)")
    spec = importlib.util.spec_from_file_location("gen_table", tool)
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    built = Path(_rows.__file__).read_text("utf-8")
    assert built == gen.render(DEF.read_text("utf-8")), (
        "vexa/_rows.py is stale: rebuild (pip install .) after changing the table"
    )


def _model(row):
    """The row's plain-Python twin: named after its kernel in a tests/model_*.py, or in
    model_lang.py after the kernel without its prefix (the language's kernels)."""
    return models().get(row.kernel) or getattr(model_lang, row.kernel[3:], None)


@pytest.mark.parametrize("row", ALL, ids=str)
def test_every_row_has_a_stream_and_a_model_or_is_exempt(row):
    has = {"stream": hasattr(vexa.stream, row.name), "model": _model(row) is not None}
    for form, present in has.items():
        assert present != (form in row.exempt), (
            f"{row.name}: {'has' if present else 'lacks'} its {form}, and the table's EXEMPT "
            f"column says {'otherwise' if present else 'nothing of it'}"
        )


@pytest.mark.skipif(not hasattr(_native, "_forms"), reason="vexa._native does not list its forms")
@pytest.mark.parametrize("row", ALL, ids=str)
def test_every_row_has_a_lane_kernel_or_is_exempt(row):
    forms = _native._forms()[row.name]
    assert forms["stream"] == hasattr(vexa.stream, row.name)
    assert forms["lane"] != ("lane" in row.exempt), (
        f"{row.name}: {'has' if forms['lane'] else 'lacks'} a lane kernel, and the table's "
        f"EXEMPT column says {'otherwise' if forms['lane'] else 'nothing of it'}"
    )
