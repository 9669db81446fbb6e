"""What a user reads: every function's docstring (with a doctest that runs), the type
stubs written from the table, the README's examples, and the native callers' header."""

import ctypes
import doctest
import importlib.util
import inspect
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import vexa
import vexa._vexa as vx
from vexa import _native
from vexa._docs import DOCS
from vexa.table import ALL

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("f", ALL, ids=str)
def test_every_function_is_documented_and_its_example_runs(f):
    """Every row of the table, vexa._vexa's and the language's own (in vexa._native)."""
    doc = DOCS[f.name]
    assert set(doc.params) == set(f.names)
    fn = getattr(_native if f.extra else vexa, f.name)
    assert fn.__module__ == "vexa" and fn.__name__ == f.name
    names = list(inspect.signature(fn).parameters)
    assert names == [*f.names, "axis"]
    for part in ("Parameters", "Warm-up", "Missing values", "Example", *f.names):
        assert part in fn.__doc__
    test = doctest.DocTestParser().get_doctest(fn.__doc__, {}, f.name, None, 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0


def test_stubs_are_written_from_the_table():
    installed = Path(vexa.__file__).parent
    assert (installed / "py.typed").is_file() and (installed / "__init__.pyi").is_file()
    if not (ROOT / "vexa" / "__init__.py").is_file():
        pytest.skip("the stubs' generator reads the source tree (tests run from a copy)")
    spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "tools" / "gen_stubs.py")
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    assert (ROOT / "vexa" / "__init__.pyi").read_text() == gen.render(), (
        "vexa/__init__.pyi is stale: run python tools/gen_stubs.py"
    )


def test_docs_tables_are_written_from_the_table():
    """The tables of functions and fields in docs/formula-language.md are what
    tools/gen_docs.py writes from the table, the prose and the catalogue."""
    tool = ROOT / "tools" / "gen_docs.py"
    doc = ROOT / "docs" / "formula-language.md"
    if not tool.is_file() or not (ROOT / "vexa" / "__init__.py").is_file():
        pytest.skip("the docs' generator reads the source tree (tests run from a copy)")
    spec = importlib.util.spec_from_file_location("gen_docs", tool)
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    text = doc.read_text("utf-8")
    assert text == gen.render(text), (
        "docs/formula-language.md is stale: run python tools/gen_docs.py"
    )


def test_get_include_holds_the_header():
    include = Path(vexa.get_include())
    for name in ("quorix.h", "quorix_table.h", "quorix_functions.def"):
        assert (include / name).is_file()


def readme_blocks(language):
    text = (ROOT / "README.md").read_text()
    return re.findall(rf"```{language}\n(.*?)```", text, re.S)


@pytest.mark.parametrize("block", readme_blocks("python"), ids=lambda b: b.split("\n")[0][:30])
def test_readme_examples_run(block, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # what an example writes goes to a temporary folder
    for package in re.findall(r"^\s*(?:import|from) ([\w.]+)", block, re.M):
        if package.split(".")[0] != "vexa":
            pytest.importorskip(package)
    exec(compile(block, "README.md", "exec"), {})


def test_readme_native_example(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        pytest.skip("no C compiler")
    (block,) = [b for b in readme_blocks("c") if "moving_average" in b]
    (tmp_path / "ext.c").write_text(block)
    lib = tmp_path / "ext.so"
    cmd = [cc, "-shared", "-fPIC", "-I", vexa.get_include(), str(tmp_path / "ext.c"), "-o"]
    subprocess.run([*cmd, str(lib), "-ldl"], check=True)
    ext = ctypes.CDLL(str(lib))
    dp = ctypes.POINTER(ctypes.c_double)
    ext.moving_average.argtypes = [ctypes.c_char_p, dp, ctypes.c_int32, ctypes.c_int32, dp]
    ext.moving_average.restype = ctypes.c_int32
    a = np.cumsum(np.random.default_rng(1).normal(size=50))
    out = np.zeros(50)
    status = ext.moving_average(
        vx.__file__.encode(), a.ctypes.data_as(dp), 50, 5, out.ctypes.data_as(dp)
    )
    assert status == 0
    assert out.tobytes() == vexa.MA(a, 5).tobytes()
