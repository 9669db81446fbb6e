"""Shared test tools: the native library through ctypes, series generators, bit checks.

The ctypes prototypes are read from quorix.h, so every kernel and helper declared there
is callable here without a second list.
"""

import ctypes
import functools
import importlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent


def _header(name="quorix.h"):
    """A header of the source tree these tests sit in, else the one installed with vexa
    (the tests run from a copy beside an installed wheel)."""
    tree = ROOT / "quorix" / "include" / name
    if tree.is_file():
        return tree
    from vexa.table import include_dir

    return include_dir() / name


HEADER = _header()
LANG_HEADER = _header("quorix_lang.h")
# The kernels export their C names from an ELF shared object here (nm -D reads them).
ELF = sys.platform.startswith("linux")

MISSING_BITS = 0x7FF8000000000000
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# Kernels whose results are input values copied unchanged: NaN payloads and the signs
# of zeros must survive.
COPYING = {
    "vx_ref",
    "vx_ref_a",
    "vx_refif",
    "vx_refxv",
    "vx_fif",
    "vx_filter",
    "vx_llv",
    "vx_hhv",
    "vx_llv_a",
    "vx_hhv_a",
}

_CTYPES = {
    "int32_t": ctypes.c_int32,
    "int": ctypes.c_int,
    "double": ctypes.c_double,
    "const double *": ctypes.POINTER(ctypes.c_double),
    "double *": ctypes.POINTER(ctypes.c_double),
    "const uint8_t *": ctypes.POINTER(ctypes.c_uint8),
    "const char *": ctypes.c_char_p,
}

_DECL = re.compile(r"QX_API\s+([\w\s\*]+?)\s*(\b\w+)\s*\(([^)]*)\)\s*;", re.S)


def declarations(header=HEADER):
    """[(name, restype, [(ctype text, param name), ...])] for every exported function."""
    text = header.read_text()
    out = []
    for m in _DECL.finditer(text):
        ret, name, params = m.group(1).strip(), m.group(2), m.group(3)
        args = []
        for p in params.split(","):
            p = " ".join(p.split())
            star = "*" in p
            base = re.sub(r"\s*\*?\s*\w+$", "", p).strip()
            pname = re.search(r"(\w+)$", p).group(1)
            args.append((base + (" *" if star else ""), pname))
        out.append((name, ret.replace(" *", "").strip() + (" *" if "*" in ret else ""), args))
    return out


KERNELS = [d for d in declarations() if d[0].startswith("vx_")]


@functools.cache
def models():
    """{kernel name: its slow twin} from every tests/model_*.py."""
    found = {}
    for path in sorted(Path(__file__).parent.glob("model_*.py")):
        module = importlib.import_module(path.stem)
        found.update({k: v for k, v in vars(module).items() if k.startswith("vx_")})
    return found


def library_path():
    """The native library under test: $QUORIX_LIB if set, else the extension module."""
    path = os.environ.get("QUORIX_LIB")
    if path:
        return path
    import vexa._vexa

    return vexa._vexa.__file__


def load_library(path=None, header=HEADER):
    """The library with the prototypes of `header` (or of each header of a tuple)."""
    lib = ctypes.CDLL(path or library_path())
    headers = header if isinstance(header, tuple) else (header,)
    for name, ret, args in [d for h in headers for d in declarations(h)]:
        # A symbol the library lacks stays absent; the export test reports it.
        fn = getattr(lib, name, None)
        if fn is None:
            continue
        fn.restype = ctypes.c_void_p if ret.endswith("*") else _CTYPES[ret]
        fn.argtypes = [_CTYPES[t] for t, _ in args]
    return lib


def c_runtime():
    """The C runtime the library allocates from and prints with: the process's own on
    POSIX, the universal C runtime on Windows."""
    return ctypes.CDLL("ucrtbase" if sys.platform == "win32" else None)


def ptr(arr):
    """ctypes pointer to the first element of a C-contiguous array."""
    if arr.dtype == np.uint8:
        return arr.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))
    return arr.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


def kernel_params(name):
    for kname, _, args in KERNELS:
        if kname == name:
            return args
    raise KeyError(name)


def run_kernel(lib, name, inputs, params=(), out=None, ctx=0, counts=None):
    """Calls kernel `name` with `inputs` (arrays, in order) and integer `params`.

    `out` defaults to a fresh array of canaries as long as the first input. `counts`
    overrides the count passed for each input and for the output, in that order.
    Returns (status, out).
    """
    inputs = [np.ascontiguousarray(x) for x in inputs]
    n = len(inputs[0])
    if out is None:
        out = canary(n)
    cnts = list(counts) if counts is not None else [len(x) for x in inputs] + [len(out)]
    args = [ctx]
    for x, c in zip(inputs, cnts):
        args += [ptr(x), c]
    args += list(params)
    args += [ptr(out), cnts[-1]]
    return getattr(lib, name)(*args), out


CANARY_BITS = 0x7FF4DEADBEEF0001  # a signalling-NaN pattern no kernel produces


def canary(n):
    return np.full(n, CANARY_BITS, dtype=np.uint64).view(np.float64)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_same_bits(got, want):
    """Exact equality of every bit: for values copied from inputs and stored missing values."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    diff = np.nonzero(bits(got) != bits(want))[0]
    assert diff.size == 0, (
        f"first difference at {diff[0]}: got {got[diff[0]]!r}, want {want[diff[0]]!r}"
    )


def assert_same_values(got, want):
    """Exact bits for every number; NaN wherever the model has NaN (any NaN).

    For arithmetic results: the sign and payload of a NaN produced by arithmetic depend
    on operand order inside an instruction, which the results do not promise.
    """
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    gn, wn = np.isnan(got), np.isnan(want)
    bad = (gn != wn) | (~wn & (bits(got) != bits(want)))
    diff = np.nonzero(bad)[0]
    assert diff.size == 0, (
        f"first difference at {diff[0]}: got {got[diff[0]]!r}, want {want[diff[0]]!r}"
    )


def random_series(rng, n, nan=0.1, inf=0.02, zeros=0.05, scale=None):
    """A float64 series with NaN, infinities and signed zeros mixed in."""
    if scale is None:
        scale = 10.0 ** rng.integers(-3, 6)
    x = np.cumsum(rng.standard_normal(n)) * scale + rng.standard_normal() * scale
    u = rng.random(n)
    x[u < nan] = np.nan
    x[(u >= nan) & (u < nan + inf)] = np.inf
    x[(u >= nan + inf) & (u < nan + 2 * inf)] = -np.inf
    z = (u >= nan + 2 * inf) & (u < nan + 2 * inf + zeros)
    x[z] = np.where(rng.random(z.sum()) < 0.5, 0.0, -0.0)
    return x


def random_periods(rng, n, hi=None):
    """A period series: mostly small fractional periods, with NaN, infinities, negatives,
    zeros and values at and beyond the ends of the int32 range."""
    hi = hi or max(n, 2)
    p = rng.uniform(-2, hi, n)
    specials = np.array(
        [
            np.nan,
            np.inf,
            -np.inf,
            0.0,
            -0.0,
            -0.5,
            0.5,
            2.9,
            1e300,
            -1e300,
            2.0**31,
            -(2.0**31),
            2.0**31 - 1,
            -(2.0**31 - 1),
            3e9,
            -1.5,
        ]
    )
    pick = rng.random(n) < 0.15
    p[pick] = rng.choice(specials, pick.sum())
    return p


def bar_period(p):
    """Truncation of a per-bar period toward zero; None when NaN or beyond int32."""
    if p != p or not (-2147483649.0 < p < 2147483648.0):
        return None
    return int(p)


def _has_lang(path):
    try:
        return hasattr(ctypes.CDLL(path), "vx_zig")
    except OSError:
        return False


def lang_library_path():
    """A library with the language's kernels (quorix_lang.h): $QUORIX_LIB when it holds
    them, else vexa._native when it exports them, else a libquorix.so built here once
    (CMake, -DQUORIX_SHARED=ON) under build/lang-kernels; a skip when none can be had."""
    import pytest

    path = os.environ.get("QUORIX_LIB")
    if path and _has_lang(path):
        return path
    try:
        from vexa import _native

        if _has_lang(_native.__file__):
            return _native.__file__
    except ImportError:
        pass
    if shutil.which("cmake") is None or not (ROOT / "quorix").is_dir():
        pytest.skip("no library with the language's kernels, and no cmake or sources to build one")
    if not any(shutil.which(c) for c in ("c++", "g++", "clang++")):
        pytest.skip("no library with the language's kernels, and no compiler to build one")
    build = ROOT / "build" / "lang-kernels"
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-DVEXA_MODULE=OFF",
            "-DQUORIX_SHARED=ON",
            "-DCMAKE_BUILD_TYPE=Release",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(["cmake", "--build", str(build), "-j", "2"], check=True, capture_output=True)
    return str(build / "libquorix.so")
