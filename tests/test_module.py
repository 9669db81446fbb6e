"""The module layer: namespace, lifecycle, argument binding, buffer checks, error texts."""

import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np
import pytest

import vexa
import vexa._vexa as vx


def run_python(code):
    """Runs code in a fresh interpreter; returns its stdout (fails on a non-zero exit)."""
    # Run outside the source tree, so that the installed package is the one imported.
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=tempfile.gettempdir(),
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def frames(exc):
    """(co_filename, co_name) of the code of each traceback entry's frame, outermost
    first: the module's own entries are read as a tool reading tracebacks reads them."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        found.append((tb.tb_frame.f_code.co_filename, tb.tb_frame.f_code.co_name))
        tb = tb.tb_next
    return found


# Every traceback entry of the module names this source file.
SOURCE = "vexa/vexa"


def raises(exc_type, text, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert str(info.value) == text
    return info.value


# ---- namespace and lifecycle -------------------------------------------------------


def test_namespace():
    names = [
        k
        for k in vars(vx)
        if k
        not in (
            "__name__",
            "__doc__",
            "__package__",
            "__loader__",
            "__spec__",
            "__file__",
            "__path__",
            "__cached__",
        )
    ]
    assert names[:2] == ["__builtins__", "np"] and names[-1] == "__test__"
    assert vx.np is np and vx.__test__ == {} and vx.__doc__ is None
    assert vx.__builtins__ is __import__("builtins")
    for name in names[2:-1]:
        fn = getattr(vx, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__module__ == "vexa._vexa" and fn.__doc__ is None and fn.__self__ is None
        # The module gives none; from 3.13 the interpreter derives one for one-argument
        # functions from the calling convention alone.
        derived = "($self, object, /)" if sys.version_info >= (3, 13) else None
        assert fn.__text_signature__ in (None, derived)
        assert getattr(vexa, name).__name__ == name  # the package's own function of the name
    assert names[2:4] == ["MA", "MA_A"]


def test_reimport_gives_the_same_module():
    out = run_python("""
        import sys, importlib
        import vexa._vexa as first
        del sys.modules["vexa._vexa"]
        second = importlib.import_module("vexa._vexa")
        print(first is second, second.MA is first.MA, sys.modules["vexa._vexa"] is first)
    """)
    assert out.split() == ["True", "True", "True"]


# Loads the module file of vexa._vexa directly, so that the package (and its other
# extension) do not stand in front of the module's own refusal.
SUBINTERPRETER = (
    "import importlib.util, os\n"
    "spec = importlib.util.spec_from_file_location('vexa._vexa', PATH)\n"
    "try:\n"
    "    importlib.util.module_from_spec(spec)\n"
    "    result = 'imported'\n"
    "except ImportError as e:\n"
    "    result = str(e)\n"
    "os.write(1, (result + '\\n').encode())\n"
)


def test_second_interpreter_is_refused():
    out = run_python(f"""
        import vexa._vexa
        try:
            import _interpreters as ip           # 3.13
            iid = ip.create("legacy")
        except ImportError:
            try:
                import _xxsubinterpreters as ip  # 3.10 to 3.12
            except ImportError:
                print("unsupported")
                raise SystemExit
            try:
                iid = ip.create(isolated=False)
            except TypeError:
                iid = ip.create()
        ip.run_string(iid, "PATH = " + repr(vexa._vexa.__file__) + chr(10) + {SUBINTERPRETER!r})
    """)
    if out.strip() == "unsupported":
        pytest.skip("this interpreter offers no subinterpreters")
    assert out.splitlines()[0] == (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


def test_failed_execution_leaves_a_clean_retry():
    out = run_python("""
        import sys
        import vexa                          # the package (and vexa._native) load first
        sys.modules["numpy"] = None          # makes the numpy import of module execution fail
        try:
            import vexa._vexa
        except ImportError as e:
            tb, entries = e.__traceback__, []
            while tb is not None:
                code = tb.tb_frame.f_code
                if code.co_name == "init vexa._vexa":
                    entries.append(code.co_filename)
                tb = tb.tb_next
            print("failed", entries == ["vexa/vexa"])
        del sys.modules["numpy"]
        sys.modules.pop("vexa._vexa", None); sys.modules.pop("vexa", None)
        import numpy as np
        import vexa._vexa as vx
        print(vx.np is np, vx.MA(np.arange(4.0), 2)[1])
    """)
    assert out.split() == ["failed", "True", "True", "0.5"]


def test_reinitialisation_with_another_module_object_is_refused():
    out = run_python("""
        import ctypes, types
        import vexa._vexa as vx
        lib = ctypes.PyDLL(vx.__file__)
        lib.PyInit__vexa.restype = ctypes.c_void_p
        definition = lib.PyInit__vexa()
        ctypes.pythonapi.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            ctypes.pythonapi.PyModule_ExecDef(types.ModuleType("other"), definition)
        except RuntimeError as e:
            print(e)
        print(ctypes.pythonapi.PyModule_ExecDef(vx, definition))
    """)
    assert out.splitlines() == [
        "Module '_vexa' has already been imported. Re-initialisation is not supported.",
        "0",
    ]


def test_np_is_looked_up_at_every_call():
    out = run_python("""
        import builtins, numpy
        import vexa._vexa as vx
        a = numpy.arange(3.0)
        del vx.np
        try:
            vx.MA(a, 2)
        except NameError as e:
            print(e)
        builtins.np = numpy                  # the builtins are the fallback
        print(vx.MA(a, 2)[2])
        class Fake:
            float64 = numpy.float64
            def zeros(self, n, dtype):
                print("fake zeros", n, dtype is numpy.float64)
                return numpy.zeros(n, dtype)
        vx.np = Fake()
        print(vx.MA(a, 2)[2])
        vx.np = numpy
        print(vx.MA(a, 2)[2])
        real = numpy.zeros                   # an attribute of numpy rebound between calls
        numpy.zeros = lambda n, dtype: print("patched zeros") or real(n, dtype=dtype)
        print(vx.MA(a, 2)[2])
        numpy.zeros = real
        print(vx.MA(a, 2)[2])
        real = numpy.uint8                   # ... and deleted between calls
        print(vx.BARSLAST(a > 0)[2])
        del numpy.uint8
        try:
            vx.BARSLAST(a > 0)
        except AttributeError as e:
            print("no uint8")
        numpy.uint8 = real
        del vx.np                            # np of the builtins, rebound and deleted
        builtins.np = Fake()
        print(vx.MA(a, 2)[2])
        del builtins.np
        try:
            vx.MA(a, 2)
        except NameError as e:
            print(e)
        vx.np = numpy
        print(vx.BARSLAST(a > 0)[2])
    """)
    assert out.splitlines() == [
        "name 'np' is not defined",
        "1.5",
        "fake zeros 3 True",
        "1.5",
        "1.5",
        "patched zeros",
        "1.5",
        "1.5",
        "1.0",
        "no uint8",
        "fake zeros 3 True",
        "1.5",
        "name 'np' is not defined",
        "1.0",
    ]


# ---- traceback entries -------------------------------------------------------------


def test_traceback_entries_name_the_module_file():
    """Every kind of error that the module reports gets one entry of its own, named
    after the function, in the source file vexa/vexa (for the import's entry see
    test_failed_execution_leaves_a_clean_retry)."""
    cases = [
        ("MA", TypeError, lambda: vx.MA(A, 2, N=2)),  # argument binding
        ("MA", TypeError, lambda: vx.MA(A)),
        ("MA", TypeError, lambda: vx.MA(None, 2)),  # len() in result creation
        ("MA", TypeError, lambda: vx.MA([1.0, 2.0], 2)),  # buffer request
        ("MA", IndexError, lambda: vx.MA(np.zeros(0), 2)),  # buffer checks
        ("SMA", OverflowError, lambda: vx.SMA(A, 2, 2**31)),  # integer conversion
        ("BARSLAST", AttributeError, lambda: vx.BARSLAST([1, 0])),  # single form, astype
        ("CURRBARSCOUNT", ValueError, lambda: vx.CURRBARSCOUNT(np.zeros(3, bool))),
    ]
    for name, exc_type, fn in cases:
        with pytest.raises(exc_type) as info:
            fn()
        assert frames(info.value)[-1] == (SOURCE, f"vexa._vexa.{name}"), name
    saved = vx.np
    del vx.np  # the lookup of np
    try:
        with pytest.raises(NameError) as info:
            vx.FIF(A > 2, A, A)
    finally:
        vx.np = saved
    assert frames(info.value)[-1] == (SOURCE, "vexa._vexa.FIF")


# ---- argument binding --------------------------------------------------------------

A = np.arange(1.0, 6.0)


def test_keywords():
    want = vx.MA(A, 2)
    np.testing.assert_array_equal(vx.MA(a=A, N=2), want)
    np.testing.assert_array_equal(vx.MA(N=2, a=A), want)
    np.testing.assert_array_equal(vx.MA(A, N=2), want)
    e = raises(TypeError, "MA() got multiple values for keyword argument 'N'", vx.MA, A, 2, N=2)
    assert frames(e)[-1] == (SOURCE, "vexa._vexa.MA")
    raises(TypeError, "MA() got an unexpected keyword argument 'M'", vx.MA, A, 2, M=2)
    raises(TypeError, "MA() takes exactly 2 positional arguments (1 given)", vx.MA, A, M=2)
    raises(TypeError, "MA() takes exactly 2 positional arguments (1 given)", vx.MA, A, n=2)
    raises(TypeError, "MA() takes exactly 2 positional arguments (1 given)", vx.MA, A)
    raises(TypeError, "MA() takes exactly 2 positional arguments (3 given)", vx.MA, A, 2, 3)
    raises(TypeError, "MA() takes exactly 2 positional arguments (3 given)", vx.MA, A, 2, 3, N=1)
    raises(TypeError, "MA() takes exactly 2 positional arguments (0 given)", vx.MA, N=2)
    raises(TypeError, "MA_A() got an unexpected keyword argument 'x'", vx.MA_A, a=A, N=A, x=1)


@pytest.mark.parametrize(
    "N, tname", [(True, "bool"), (np.int64(5), "numpy.int64"), (5.0, "float"), ("5", "str")]
)
def test_integer_type_test(N, tname):
    e = raises(
        TypeError, f"Argument 'N' has incorrect type (expected int, got {tname})", vx.MA, A, N
    )
    assert (SOURCE, "vexa._vexa.MA") not in frames(e)


def test_integer_conversion():
    raises(TypeError, "an integer is required", vx.MA, A, None)
    raises(IndexError, "Out of bounds on buffer access (axis 0)", vx.MA, np.zeros(0), None)
    raises(OverflowError, "value too large to convert to int", vx.MA, A, 2**31)
    raises(OverflowError, "value too large to convert to int", vx.MA, A, -(2**31) - 1)
    with pytest.raises(OverflowError):
        vx.MA(A, 2**70)
    # Rejected periods reach the kernel, which leaves the zero-filled result.
    for N in (0, -1, -(2**31)):
        r = vx.MA(A, N)
        assert r.dtype == np.float64 and r.tolist() == [0.0] * 5
    assert vx.MA(A, 2**31 - 1).tolist() != [0.0] * 5


# ---- buffer views ------------------------------------------------------------------


def mismatch(got):
    return f"Buffer dtype mismatch, expected 'double' but got {got}"


@pytest.mark.parametrize(
    "a, exc, text",
    [
        (np.zeros(0), IndexError, "Out of bounds on buffer access (axis 0)"),
        (np.zeros(3, np.float32), ValueError, mismatch("'float'")),
        (np.zeros(3, np.int64), ValueError, mismatch("'long'")),
        (np.zeros(3, bool), ValueError, mismatch("'bool'")),
        (np.zeros(3, np.uint8), ValueError, mismatch("'unsigned char'")),
        (np.zeros(3, np.int8), ValueError, mismatch("'signed char'")),
        (np.zeros(3, np.int16), ValueError, mismatch("'short'")),
        (np.zeros(3, np.int32), ValueError, mismatch("'int'")),
        (np.zeros(3, np.uint16), ValueError, mismatch("'unsigned short'")),
        (np.zeros(3, np.uint32), ValueError, mismatch("'unsigned int'")),
        (np.zeros(3, np.uint64), ValueError, mismatch("'unsigned long'")),
        (np.zeros(3, np.longdouble), ValueError, mismatch("'long double'")),
        (np.zeros(3, np.complex64), ValueError, mismatch("'complex float'")),
        (np.zeros(3, np.complex128), ValueError, mismatch("'complex double'")),
        (np.zeros(3, object), ValueError, mismatch("Python object")),
        (np.zeros(3, "S4"), ValueError, mismatch("a string")),
        (np.zeros(3, [("x", "f8")]), ValueError, mismatch("a struct")),
        (np.zeros(3, np.float16), ValueError, "Unexpected format string character: 'e'"),
        (
            np.zeros(3, ">f8"),
            ValueError,
            "Big-endian buffer not supported on little-endian compiler",
        ),
        (np.zeros((2, 2)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (memoryview(bytearray(8)).cast("B"), ValueError, mismatch("'unsigned char'")),
        (memoryview(np.zeros(3)).cast("B").cast("q"), ValueError, mismatch("'long long'")),
    ],
)
def test_series_buffer_checks(a, exc, text):
    e = raises(exc, text, vx.MA, a, 2)
    assert frames(e)[-1] == (SOURCE, "vexa._vexa.MA")


def test_buffer_request_errors_propagate():
    ro = np.zeros(3)
    ro.flags.writeable = False
    for bad in (ro, np.zeros(6)[::2], [1.0, 2.0], b"12345678", bytearray(8)):
        with pytest.raises((TypeError, ValueError, BufferError)):
            vx.MA(bad, 2)
    raises(TypeError, "object of type 'NoneType' has no len()", vx.MA, None, 2)
    raises(IndexError, "Out of bounds on buffer access (axis 0)", vx.MA_A, A, None)
    raises(ValueError, mismatch("'long'"), vx.MA_A, A, np.ones(5, np.int64))


def test_a_len_that_lies_is_rejected():
    class Liar(np.ndarray):
        size_by_len = 0

        def __len__(self):
            return self.size_by_len

    a = np.arange(3.0).view(Liar)
    for n in (10, 2, 1):
        a.size_by_len = n
        raises(
            ValueError,
            f"Argument 'N' has len() {n} but its buffer holds 3 elements",
            vx.MA_A,
            np.arange(3.0),
            a,
        )
    a.size_by_len = 2**31
    raises(
        OverflowError,
        "Argument 'N' has 2147483648 elements; at most 2147483647 are supported",
        vx.MA_A,
        np.arange(3.0),
        a,
    )


def test_results_are_new_arrays_and_inputs_stay():
    a = np.array([1.0, np.nan, -0.0, 4.0, 5.0])
    p = np.array([1.0, 2.0, np.nan, 2.5, -1.0])
    before = a.copy(), p.copy()
    r1, r2 = vx.MA(a, 2), vx.MA(a, 2)
    r3 = vx.MA_A(a, p)
    assert r1 is not r2 and not np.shares_memory(r1, a)
    for r in (r1, r3):
        assert r.dtype == np.float64 and r.shape == (5,) and r.flags.c_contiguous
    np.testing.assert_array_equal(a.view(np.uint64), before[0].view(np.uint64))
    np.testing.assert_array_equal(p.view(np.uint64), before[1].view(np.uint64))
    assert vx.MA_A(a, np.ones(4)).tolist() == [0.0] * 5  # unequal counts: kernel declines


def test_command_runs_as_a_module():
    # python -m vexa is the vexa command; also from the root of the source tree, as the
    # README runs it after pip install .
    root = Path(__file__).resolve().parent.parent
    proc = subprocess.run(
        [sys.executable, "-m", "vexa", "functions", "MA"],
        capture_output=True,
        text=True,
        cwd=root,
    )
    assert proc.returncode == 0, proc.stderr
    assert "MA(a, N)" in proc.stdout


def test_version_from_one_place():
    """vexa.__version__ is the installed distribution's, and pyproject.toml beside the
    tests (the source tree's, or its copy beside an installed wheel) states the same."""
    from importlib.metadata import version

    assert vexa.__version__ == version("vexa")
    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    if not pyproject.is_file():
        pytest.skip("no pyproject.toml beside the tests")
    text = pyproject.read_text("utf-8")
    try:
        import tomllib

        stated = tomllib.loads(text)["project"]["version"]
    except ImportError:  # CPython 3.10
        import re

        table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)[1]
        stated = re.search(r'^version\s*=\s*"([^"]+)"', table, re.M)[1]
    assert vexa.__version__ == stated
