"""Native kernel and floor figures for every instruction-set variant of the kernels.

    python3 bench/variants.py [--functions MA_A,CROSS|all] [--n 10000] [--periods 5,250]
                              [--modes random] [--datasets walk,real] [--rounds 15]
                              [--isa sse2,avx2,avx512] [--count] [--json FILE]

Builds libquorix.so with QUORIX_FORCE_ISA and the floor loops in build-variants/, then
for each variant the CPU has runs a child process with QUORIX_ISA set (the dispatch
reads it once, when the kernels are bound). The child times each kernel against its
floor loop natively, in interleaved rounds (bench/timing.py), on the benchmark's own
inputs (bench/cases.py, bench/data.py), and the parent prints the median ns per bar of
kernel and floor and their ratio, one column group per variant. With --count the child
runs under callgrind instead, calls each kernel and floor once more after a first call,
and the figures are instructions per bar (repeatable to the instruction; valgrind has no
AVX-512, so that variant is left out). The installed module is not used.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build-variants"
ISAS = ("sse2", "avx2", "avx512")
sys.path.insert(0, str(HERE))

import cases  # noqa: E402


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--functions", default="MA_A,SUM_A,LLV_A,HHV_A,REF_A,CROSS,REFIF,HHV,LLV")
    ap.add_argument("--n", type=int, default=10**4)
    ap.add_argument("--periods", default="5,250")
    ap.add_argument("--modes", default="random")
    ap.add_argument("--datasets", default="walk,real")
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--target-ns", type=float, default=2e6, help="length of one sample")
    ap.add_argument("--isa", default=",".join(ISAS))
    ap.add_argument("--count", action="store_true", help="instructions under callgrind")
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--build", help="build directory (default: build-variants/ in the clone)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def build():
    """Configures (once) and builds libquorix.so and the floor loops in BUILD."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise SystemExit("bench: cmake is needed (pip install cmake)")
    if not (BUILD / "CMakeCache.txt").exists():
        cmd = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release"]
        cmd += ["-DVEXA_MODULE=OFF", "-DQUORIX_SHARED=ON", "-DQUORIX_FORCE_ISA=ON"]
        cmd += ["-DVEXA_BENCH_FLOOR=ON"]
        subprocess.run(cmd, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(BUILD), "-j", "2"], check=True, capture_output=True)
    return BUILD / "libquorix.so", BUILD / "libvexa_floor.so"


def plan(args):
    names = args.functions.upper().split(",")
    if names == ["ALL"]:
        names = [c.name for c in cases.CASES]
    out = []
    for name in names:
        case = cases.CASE_BY_NAME[name]
        for ds in args.datasets.split(","):
            if case.kind == "plain":
                out.append((name, ds, None, None))
                continue
            for N in (int(v) for v in args.periods.split(",")):
                for mode in args.modes.split(",") if case.kind == "per_bar" else (None,):
                    out.append((name, ds, N, mode))
    return out


def child(args):
    """Runs in a process whose QUORIX_ISA is set: one JSON line per measurement. Under
    callgrind every native call is one dump of its own (see count()), so this makes
    no native call but quorix_isa() and the kernel and floor calls, in a fixed order."""
    import ctypes

    import data
    import timing

    native = timing.Native(BUILD / "libvexa_floor.so", BUILD / "libquorix.so")
    native.module.quorix_isa.restype = ctypes.c_int32
    got = ISAS[native.module.quorix_isa()]
    if got != args.child:
        raise SystemExit(f"asked for {args.child}, the dispatch picked {got}")
    if not args.count:
        timing.use_clock("cpu", native)
    cache = data.DataCache(args.n)
    rng = np.random.default_rng(1)
    for name, ds, N, mode in plan(args):
        case = cases.CASE_BY_NAME[name]
        d = cache.get(ds, args.n)
        p = data.period_series(args.n, N, mode) if case.kind == "per_bar" else None
        inputs, ints = case.native(d, N if N is not None else 5, p)
        row = {"isa": got, "function": name, "dataset": ds, "N": N, "mode": mode}
        outs, cons = [], []
        for key, sym in (("kernel", case.kernel), ("floor", case.floor)):
            # The address without ctypes.cast, which is itself a native call.
            lib = native.floor if sym.startswith("fl_") else native.module
            addr = ctypes.c_void_p.from_address(ctypes.addressof(getattr(lib, sym))).value
            out = np.zeros(args.n)
            # Twice under callgrind: the second call's dump is the figure.
            for _ in range(2 if args.count else 1):
                native.call(case.sig, addr, inputs, ints, out)
            outs.append(out)
            if not args.count:
                cons.append(
                    timing.native_contender(key, sym, native, case.sig, addr, inputs, ints, d.n)
                )
        row["same_bits"] = bool(np.array_equal(outs[0].view(np.uint64), outs[1].view(np.uint64)))
        if not args.count:
            stats = timing.measure(cons, args.rounds, args.target_ns, rng)
            row["kernel"] = stats["kernel"]["ns_call"] / args.n
            row["floor"] = stats["floor"]["ns_call"] / args.n
            row["spread"] = max(stats["kernel"]["spread"], stats["floor"]["spread"])
        print(json.dumps(row), flush=True)


def run_child(isa, argv, count):
    env = dict(os.environ, QUORIX_ISA=isa)
    cmd = [sys.executable, str(Path(__file__).resolve()), *argv, "--child", isa]
    if not count:
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        return done, None
    tmp = tempfile.mkdtemp(prefix="qx-count-")
    out = Path(tmp) / "cg.out"
    grind = [
        "valgrind",
        "--tool=callgrind",
        "--collect-atstart=no",
        "--toggle-collect=ffi_call",
        "--dump-after=ffi_call",
        f"--callgrind-out-file={out}",
    ]
    done = subprocess.run(grind + cmd, env=env, capture_output=True, text=True)
    totals = []
    for k in range(1, 10**6):
        f = Path(f"{out}.{k}")
        if not f.exists():
            break
        line = next(x for x in f.read_text().splitlines() if x.startswith("totals:"))
        totals.append(int(line.split()[1]))
    shutil.rmtree(tmp)
    return done, totals


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    args = parse_args(argv)
    if args.build:
        global BUILD
        BUILD = Path(args.build).resolve()
    if args.child:
        return child(args)
    build()
    isas = [i for i in args.isa.split(",") if not (args.count and i == "avx512")]
    rows = []
    for isa in isas:
        done, totals = run_child(isa, argv, args.count)
        got = [json.loads(x) for x in done.stdout.splitlines() if x.startswith("{")]
        if done.returncode != 0 or not got:
            print(f"{isa}: {done.stderr.strip().splitlines()[-1] if done.stderr else 'failed'}")
            continue
        if args.count:
            # Dump 1 is quorix_isa(); then kernel, kernel, floor, floor per measurement.
            for j, r in enumerate(got):
                r["kernel"] = totals[1 + 4 * j + 1] / args.n
                r["floor"] = totals[1 + 4 * j + 3] / args.n
        rows += got
    show(rows, "Ir/bar" if args.count else "ns/bar")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1) + "\n")


def show(rows, unit):
    isas = [i for i in ISAS if any(r["isa"] == i for r in rows)]
    print(f"{'function':13} {'data':5} {'N':>4} {'mode':6}", end="")
    print("".join(f" | {i:>6} {unit:>7}   floor ratio" for i in isas))
    index = {(r["isa"], r["function"], r["dataset"], r["N"], r["mode"]): r for r in rows}
    keys = list(dict.fromkeys(k[1:] for k in index))
    for k in keys:
        line = f"{k[0]:13} {k[1]:5} {k[2] or '':>4} {k[3] or '':6}"
        for i in isas:
            r = index.get((i, *k))
            if r is None:
                line += " | " + " " * 28
                continue
            mark = " " if r["same_bits"] else "*"
            ratio = r["kernel"] / r["floor"]
            line += f" | {r['kernel']:14.3f} {r['floor']:7.3f} {ratio:5.2f}{mark}"
        print(line)
    print("(* the floor's bits differ from the kernel's: expected where the data has gaps)")


if __name__ == "__main__":
    main()
