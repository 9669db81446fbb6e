"""Timing: Python-level contenders timed from Python, native ones (the vexa
kernels through their exported C symbols, and the floor loops) timed by a loop inside
the floor library, so no Python call overhead enters their figures.

Every contender of one measurement takes one sample per round, in a freshly shuffled
order each round, and the median of the rounds is reported: on a shared machine a burst
of load then hits all contenders alike instead of one of them.
"""

import ctypes
import gc
import os
import platform
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build-bench"

P = ctypes.c_void_p
I32 = ctypes.c_int32


class Slot(ctypes.Structure):
    """One argument of a kernel call by parameter position (qx::table::Slot): an input's
    address and count, or an integer parameter's value, or a real parameter's value."""

    _fields_ = [("data", P), ("value", I32), ("real", ctypes.c_double)]


def cpu_model():
    """The processor's name as /proc/cpuinfo gives it, else what platform knows."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def slots(case, values):
    """The slots of a call of case's kernel with `values` in parameter order."""
    out = (Slot * len(values))()
    for slot, param, v in zip(out, case.row.params, values):
        if param.is_series:
            slot.data, slot.value = v.ctypes.data, v.size
        elif param.kind == "real":
            slot.real = v
        else:
            slot.value = v
    return out


# ---- the floor library -------------------------------------------------------------


def build_floor(verbose=False):
    """Builds libvexa_floor.so with the project's CMake flags (VEXA_BENCH_FLOOR=ON) and
    returns its path. $VEXA_FLOOR_LIB names a prebuilt one instead."""
    pre = os.environ.get("VEXA_FLOOR_LIB")
    if pre:
        return Path(pre)
    cmake = shutil.which("cmake")
    if cmake is None:
        raise SystemExit("bench: cmake is needed to build the floor loops (pip install cmake)")

    def run(cmd):
        done = subprocess.run(cmd, capture_output=not verbose, text=True)
        if done.returncode != 0:
            raise OSError(f"{' '.join(cmd)} failed:\n{done.stdout or ''}{done.stderr or ''}")

    if not (BUILD / "CMakeCache.txt").exists():
        cmd = [
            cmake,
            "-S",
            str(ROOT),
            "-B",
            str(BUILD),
            "-DVEXA_MODULE=OFF",
            "-DVEXA_BENCH_FLOOR=ON",
            "-DCMAKE_BUILD_TYPE=Release",
        ]
        if shutil.which("ninja"):
            cmd += ["-G", "Ninja"]
        run(cmd)
    run([cmake, "--build", str(BUILD), "--target", "vexa_floor"])
    return BUILD / "libvexa_floor.so"


def compiler_flags():
    """The compiler and the flags the floor library was built with (from CMake's cache)."""
    cache = BUILD / "CMakeCache.txt"
    info = {}
    if cache.exists():
        for line in cache.read_text().splitlines():
            for key in ("CMAKE_CXX_COMPILER:", "CMAKE_CXX_FLAGS_RELEASE:", "CMAKE_BUILD_TYPE:"):
                if line.startswith(key):
                    info[key.split(":")[0]] = line.split("=", 1)[1]
    cxx = info.get("CMAKE_CXX_COMPILER")
    if cxx:
        try:
            first = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout
            info["compiler"] = first.splitlines()[0]
        except OSError:
            pass
    return info


class Native:
    """The floor library and the vexa module's exported kernels."""

    def __init__(self, floor_path, module_path):
        self.floor = ctypes.CDLL(str(floor_path))
        self.module = ctypes.CDLL(str(module_path))
        f = self.floor
        f.vb_time.restype = ctypes.c_double
        f.vb_time.argtypes = [I32, P, P, P, I32, ctypes.c_int64]
        f.vb_call.restype = I32
        f.vb_call.argtypes = [I32, P, P, P, I32]
        f.vb_row_kernel.restype = ctypes.c_char_p
        f.vb_row_kernel.argtypes = [I32]
        f.vb_use_cpu_clock.argtypes = [I32]
        f.vb_use_cpu_clock.restype = None

    def check_rows(self, cases):
        """The floor library numbers the table's rows as the installed package does."""
        for case in cases:
            kernel = self.floor.vb_row_kernel(case.index)
            if kernel is None or kernel.decode() != case.kernel:
                raise OSError(
                    f"the floor library's row {case.index} is {kernel!r}, the package's "
                    f"{case.kernel}: rebuild it from the same tree"
                )

    def address(self, symbol):
        """Address of a kernel ('vx_...') or floor ('fl_...') symbol, or None."""
        lib = self.floor if symbol.startswith("fl_") else self.module
        try:
            return ctypes.cast(getattr(lib, symbol), P).value
        except AttributeError:
            return None

    def call(self, case, addr, values, out):
        """One call of the kernel or floor at addr; returns the status code."""
        return self.floor.vb_call(case.index, addr, slots(case, values), out.ctypes.data, out.size)

    def timer(self, case, addr, values, out):
        """A function calls -> mean ns of one call, timed inside the library."""
        fn, args = self.floor.vb_time, (case.index, addr, slots(case, values), out.ctypes.data)
        n = out.size
        return lambda calls: fn(*args, n, calls)


# ---- contenders ----------------------------------------------------------------------


class Contender:
    """One way of computing a function: sample(loops) gives ns per call."""

    def __init__(self, key, label, sample, keep=None):
        self.key = key
        self.label = label
        self.sample = sample
        self.keep = keep  # arrays the sample reads, kept alive
        self.loops = 1
        self.rounds = 0
        self.first = None  # ns of a first call, set by try_once
        self.samples = []

    def try_once(self):
        """One call (raises what the contender raises); its time is kept."""
        self.first = self.sample(1)

    def calibrate(self, target_ns):
        """Warm up once, then choose the calls per sample so one sample lasts about
        target_ns (one call when a call is longer)."""
        # A first call taken already (the check that the contender runs) is the
        # warm-up of a slow contender, so a call of a second or so is not repeated.
        one = self.first if self.first is not None else self.sample(1)
        self.first = None
        loops = 1
        while one * loops < target_ns / 5 and loops < 10**6:
            loops *= 10
            one = self.sample(loops)
        self.loops = max(1, int(target_ns / max(one, 1.0)))
        return one


# The clock of every sample: the thread's CPU time by default (time spent descheduled
# on a shared machine does not count), or wall time.
CLOCKS = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}
_clock = CLOCKS["cpu"]


def use_clock(name, native=None):
    global _clock
    _clock = CLOCKS[name]
    if native is not None:
        native.floor.vb_use_cpu_clock(1 if name == "cpu" else 0)


def py_contender(key, label, fn, args):
    def sample(loops, fn=fn, args=args):
        clock = _clock
        t0 = clock()
        for _ in range(loops):
            fn(*args)
        return (clock() - t0) / loops

    return Contender(key, label, sample, keep=args)


def native_contender(key, label, native, case, addr, values, n):
    out = np.zeros(n)
    timer = native.timer(case, addr, values, out)
    return Contender(key, label, lambda loops: timer(loops), keep=(values, out))


MIN_ROUNDS = 3


def measure(contenders, rounds, target_ns, rng, budget_ns=None):
    """Interleaved rounds; returns {key: stats} with the median ns per call. A contender
    whose rounds would take longer than budget_ns in all takes fewer rounds (at least
    MIN_ROUNDS): the slow peers, whose exact figure matters least."""
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for c in contenders:
            one = c.calibrate(target_ns)
            c.samples = []
            c.rounds = rounds
            if budget_ns is not None:
                per_round = one * c.loops
                c.rounds = min(rounds, max(MIN_ROUNDS, int(budget_ns / max(per_round, 1.0))))
        for r in range(rounds):
            for i in rng.permutation(len(contenders)):
                c = contenders[i]
                if r < c.rounds:
                    c.samples.append(c.sample(c.loops))
    finally:
        if gc_was:
            gc.enable()
    stats = {}
    for c in contenders:
        s = np.array(c.samples)
        med = float(np.median(s))
        q1, q3 = np.percentile(s, [25, 75])
        stats[c.key] = {
            "label": c.label,
            "ns_call": med,
            "min_ns_call": float(s.min()),
            "spread": float((q3 - q1) / med) if med > 0 else 0.0,
            "rounds": len(s),
            "loops": c.loops,
        }
    return stats
