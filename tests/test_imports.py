"""No import cycle among the modules of vexa/ and bench/ (python tools/import_cycles.py),
imports inside functions included; and the check finds a cycle where there is one."""

import importlib.util

import pytest
from support import ROOT


def _tool():
    path = ROOT / "tools" / "import_cycles.py"
    if not path.is_file() or not (ROOT / "vexa" / "__init__.py").is_file():
        pytest.skip("the check reads the source tree (tests run from a copy)")
    spec = importlib.util.spec_from_file_location("import_cycles", path)
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


def test_no_import_cycle_in_vexa_or_bench():
    found = _tool().find([ROOT / "vexa", ROOT / "bench"])
    assert not found, [" -> ".join(cycle) for cycle, _ in found]


def test_a_cycle_through_a_function_is_found(tmp_path):
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("from .a import f\n")
    (pkg / "a.py").write_text("def f():\n    from .b import g\n    return g\n")
    (pkg / "b.py").write_text("from . import a\n\ng = a\n")
    # An import for type checkers alone never runs, and ties nothing.
    (pkg / "c.py").write_text("import typing\n\nif typing.TYPE_CHECKING:\n    from . import d\n")
    (pkg / "d.py").write_text("from . import c\n")
    tool = _tool()
    assert [cycle for cycle, _ in tool.find([pkg])] == [["pkg.a", "pkg.b", "pkg.a"]]
    (pkg / "b.py").write_text("g = 1\n")
    assert tool.find([pkg]) == []


def _include_tool():
    path = ROOT / "tools" / "include_cycles.py"
    if not path.is_file() or not (ROOT / "quorix" / "include").is_dir():
        pytest.skip("the check reads the source tree (tests run from a copy)")
    spec = importlib.util.spec_from_file_location("include_cycles", path)
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


def test_no_include_cycle_in_the_native_sources(tmp_path):
    tool = _include_tool()
    found = tool.find([ROOT / "quorix", ROOT / "vexa" / "src", ROOT / "tests" / "native"])
    assert not found, [" -> ".join(map(str, cycle)) for cycle in found]
    # The check finds one where there is one, through a file beside the includer.
    (tmp_path / "a.h").write_text('#include "b.h"\n#include <vector>\n')
    (tmp_path / "b.h").write_text('#ifdef X\n#include "a.h"\n#endif\n')
    assert [[p.name for p in c] for c in tool.find([tmp_path])] == [["a.h", "b.h", "a.h"]]
