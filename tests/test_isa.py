"""The instruction-set variants of the kernels against each other, bit for bit.

Needs a test build of libquorix.so (CMake options QUORIX_SHARED and QUORIX_FORCE_ISA;
tests/isa/run.sh makes one) in $QUORIX_LIB, and is skipped without one. The library
is loaded once per instruction set that the CPU has, each time from its own copy of
the file with QUORIX_ISA set while its symbols are bound, so that the load-time
dispatch of each copy picks that variant; every kernel then runs on the same large
random inputs in every copy, and each result must equal the SSE2 one. The check for
fused multiply-adds runs on any build.
"""

import ctypes
import os
import platform
import re
import shutil
import subprocess

import numpy as np
import pytest
from support import (
    COPYING,
    ELF,
    HEADER,
    INT32_MAX,
    INT32_MIN,
    KERNELS,
    LANG_HEADER,
    assert_same_bits,
    assert_same_values,
    declarations,
    library_path,
    load_library,
    random_periods,
    random_series,
    run_kernel,
)

ISAS = ["sse2", "avx2", "avx512"]
# The formula language's kernels built per instruction set, beside the table's.
LANG_VARIANTS = [d for d in declarations(LANG_HEADER) if d[0] in ("vx_var", "vx_varp", "vx_devsq")]


def forced_build():
    path = os.environ.get("QUORIX_LIB")
    if not path:
        return None
    return path if hasattr(ctypes.CDLL(path), "quorix_isa") else None


needs_forced_build = pytest.mark.skipif(
    forced_build() is None, reason="needs $QUORIX_LIB built with QUORIX_FORCE_ISA"
)


def load_as(path, tmp_dir, isa):
    """A fresh copy of the library whose symbols are bound with QUORIX_ISA=isa (None:
    unset), so that its resolvers run under that setting."""
    copy = tmp_dir / f"libquorix-{isa or 'best'}.so"
    shutil.copyfile(path, copy)
    saved = os.environ.pop("QUORIX_ISA", None)
    try:
        if isa is not None:
            os.environ["QUORIX_ISA"] = isa
        lib = load_library(str(copy), (HEADER, LANG_HEADER))  # binds every kernel now
        lib.quorix_isa.restype = ctypes.c_int32
        lib.quorix_isa.argtypes = []
        lib.quorix_isa()
    finally:
        os.environ.pop("QUORIX_ISA", None)
        if saved is not None:
            os.environ["QUORIX_ISA"] = saved
    return lib


@pytest.fixture(scope="module")
def variants(tmp_path_factory):
    """{isa: library} for every instruction set the CPU supports."""
    tmp = tmp_path_factory.mktemp("isa")
    path = library_path()
    best = load_as(path, tmp, None).quorix_isa()
    libs = {isa: load_as(path, tmp, isa) for isa in ISAS[: best + 1]}
    for level, (isa, lib) in enumerate(libs.items()):
        assert lib.quorix_isa() == level, isa
    return libs


@needs_forced_build
def test_forced_isa_is_honoured(lib, variants):
    """The library the other test files use runs the variant QUORIX_ISA asks for, capped
    at what the CPU has; an unknown name leaves the best one."""
    best = len(variants) - 1
    want = os.environ.get("QUORIX_ISA")
    level = ISAS.index(want) if want in ISAS else best
    lib.quorix_isa.restype = ctypes.c_int32
    assert lib.quorix_isa() == min(level, best)


# Fused multiply-add mnemonics: x86 (FMA3, FMA4, AVX-512) and aarch64 (scalar, vector,
# SVE; .ci/arm64.sh searches a cross-built library for the same).
FUSED = re.compile(
    r"^\s*[0-9a-f]+:\s+(v?f(?:n?m(?:add|sub)|maddsub|msubadd)\w*|fn?ml[as]\w*|fn?ma?d\b|fn?msb\b)",
    re.M,
)


@pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump is not installed")
def test_no_fused_multiply_add():
    """No variant contracts a product and a sum into one rounding (any build: the
    extension module holds every variant too)."""
    text = subprocess.run(
        ["objdump", "-d", "--no-show-raw-insn", library_path()],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert re.search(r"^\s*[0-9a-f]+:\s+\w", text, re.M), "objdump shows no instructions"
    fused = FUSED.findall(text)
    assert not fused, sorted(set(fused))


@pytest.mark.skipif(not ELF or shutil.which("nm") is None, reason="needs nm on an ELF system")
def test_normal_build_reads_no_environment():
    """Only a forced test build may consult QUORIX_ISA: a normal build imports no
    getenv at all."""
    path = library_path()
    if hasattr(ctypes.CDLL(path), "quorix_isa"):
        pytest.skip("a forced test build")
    out = subprocess.run(
        ["nm", "-D", "--undefined-only", path], capture_output=True, text=True, check=True
    ).stdout
    assert not re.search(r"\b(secure_)?getenv\b", out)


def bound_code(path, kernel):
    """The disassembly of the function that `kernel` is bound to in the library at
    `path` once loaded (for an indirect function: the variant its resolver chose),
    bounded by the function's unwind entry, which a stripped library keeps too."""
    lib = ctypes.CDLL(path)
    addr = ctypes.cast(getattr(lib, kernel), ctypes.c_void_p).value

    class DlInfo(ctypes.Structure):
        _fields_ = [
            ("fname", ctypes.c_char_p),
            ("fbase", ctypes.c_void_p),
            ("sname", ctypes.c_char_p),
            ("saddr", ctypes.c_void_p),
        ]

    try:
        dladdr = ctypes.CDLL(None).dladdr  # glibc 2.34 and later, musl
    except AttributeError:
        dladdr = ctypes.CDLL("libdl.so.2").dladdr
    info = DlInfo()
    assert dladdr(ctypes.c_void_p(addr), ctypes.byref(info))
    offset = addr - info.fbase
    frames = subprocess.run(
        ["objdump", "--dwarf=frames", path], capture_output=True, text=True, check=True
    ).stdout
    spans = [
        (int(a, 16), int(b, 16))
        for a, b in re.findall(r"FDE cie=\w+ pc=([0-9a-f]+)\.\.([0-9a-f]+)", frames)
    ]
    start, stop = next((a, b) for a, b in spans if a <= offset < b)
    return subprocess.run(
        [
            "objdump",
            "-d",
            "--no-show-raw-insn",
            f"--start-address={start}",
            f"--stop-address={stop}",
            path,
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout


def cpu_flags():
    with open("/proc/cpuinfo") as f:
        return next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), [])


@pytest.mark.skipif(
    not ELF or platform.machine() != "x86_64" or shutil.which("objdump") is None,
    reason="needs x86-64 Linux and objdump",
)
def test_dispatch_binds_the_widest_variant():
    """Unforced, the loader binds each kernel to the variant of the widest instruction
    set the CPU offers (the same bits as any other, so only the code shows a dispatch
    that reads the CPU wrong): these kernels' AVX-512 variants work in zmm registers,
    their AVX2 ones in ymm registers."""
    path = library_path()
    if hasattr(ctypes.CDLL(path), "quorix_isa"):
        pytest.skip("a forced test build (test_forced_isa_is_honoured)")
    flags = cpu_flags()
    want = "zmm" if "avx512f" in flags else "ymm" if "avx2" in flags else None
    for kernel in ["vx_ref", "vx_filter", "vx_cross", "vx_slope"]:
        code = bound_code(path, kernel)
        assert re.search(r"^\s*[0-9a-f]+:\s+\w", code, re.M), f"{kernel}: no instructions"
        used = {r for r in ("xmm", "ymm", "zmm") if f"%{r}" in code}
        widest = "zmm" if "zmm" in used else "ymm" if "ymm" in used else None
        assert widest == want, f"{kernel} is bound to code using {sorted(used)}; CPU: {want}"


def make_input(rng, ctype, name, n):
    if "uint8_t" in ctype:
        return rng.choice(np.array([0, 0, 0, 1, 2, 255], dtype=np.uint8), n)
    if name == "N":  # a period series, kept short so that per-bar scans stay cheap
        return random_periods(rng, n, hi=300)
    if name == "A":
        w = rng.uniform(-0.5, 1.5, n)
        w[rng.random(n) < 0.05] = np.nan
        return w
    return random_series(rng, n, nan=rng.choice([0.0, 0.01, 0.2]), inf=rng.choice([0.0, 0.005]))


def int_params(rng, count, n):
    """Combinations of integer parameters: short, long, edge and invalid periods."""
    picks = [0, 1, 2, 3, 5, 20, 250, n - 1, n, n + 1, INT32_MAX, -1, INT32_MIN]
    if count == 0:
        return [()]
    if count == 1:
        return [(p,) for p in picks]
    return [(int(a), int(b)) for a, b in zip(rng.choice(picks, 12), rng.choice([1, 2, 3, 20], 12))]


@needs_forced_build
@pytest.mark.parametrize("kernel", [k for k, _, _ in KERNELS + LANG_VARIANTS])
def test_variants_agree(variants, kernel):
    args = {k: a for k, _, a in KERNELS + LANG_VARIANTS}[kernel]
    inputs = [(t, p) for t, p in args[1:-2] if t.endswith("*")]
    nint = len(args[1:-2]) - 2 * len(inputs)
    rng = np.random.default_rng(sum(map(ord, kernel)))
    # One long series for the vector loops, short ones for their heads and tails.
    for n in [100_003] + [int(v) for v in rng.integers(1, 40, 4)]:
        data = [make_input(rng, t, p, n) for t, p in inputs]
        for params in int_params(rng, nint, n):
            ref = None
            for isa, lib in variants.items():
                st, got = run_kernel(lib, kernel, data, params)
                if ref is None:
                    ref = (st, got)
                    continue
                assert st == ref[0], (isa, n, params)
                try:
                    (assert_same_bits if kernel in COPYING else assert_same_values)(got, ref[1])
                except AssertionError as e:
                    raise AssertionError(f"{isa} against sse2, n={n}, params={params}: {e}") from e
