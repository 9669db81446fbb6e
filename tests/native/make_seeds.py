#!/usr/bin/env python3
"""Writes the seed corpus of the kernel fuzzer into a directory.

Usage: make_seeds.py DIR

One group of seeds per kernel of the function table, the formula language's included
(in row order, as the fuzzer indexes them), in the fuzzer's input layout
(fuzz_kernels.cpp): lengths 0, 1, 2, 3, 17 and 100; each integer parameter and the
context argument at every edge value; real parameters at valid and special values; series
of special values, finite values, missing values and a leading missing run; per-bar
periods at the special values and around n; condition bytes 0, 1 and 255; counts off
by one, at INT32_MIN and negative.
"""

import os
import runpy
import sys

# The function table's rows, read from the source tree by the writer of its Python view
# (vexa need not be built).
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(ROOT, "quorix", "include", "quorix_functions.def"), encoding="utf-8") as _f:
    ROWS = runpy.run_path(os.path.join(ROOT, "tools", "gen_table.py"))["parse"](_f.read())
# The harness's kind letters (harness.h).
LETTERS = {"series": "S", "periods": "P", "cond": "C", "int": "I", "real": "R"}
# Real selector bytes (fuzz_kernels.cpp): 2.0 and 20.0, valid for every real parameter.
REAL_2, REAL_20 = 36, 72

EDGES = 12  # int selector bytes below this pick an edge value
N_PLUS_1, N_MINUS_1, MINUS_1 = 248, 246, 111


def length_bytes(n):
    return bytes([n]) if n < 250 else bytes([250, (n - 250) & 255, (n - 250) >> 8])


def series(pattern, n):
    if pattern == 0:  # every special value in turn
        return bytes(i % 32 for i in range(n))
    if pattern == 1:  # finite values (-55.5 .. 55.5 in halves), repeats for ties
        return bytes(32 + (i * 37) % 223 for i in range(n))
    if pattern == 2:  # missing everywhere
        return bytes(n)
    return bytes(0 if i < n // 2 else 143 + (i % 9) for i in range(n))  # leading missing run


def periods(pattern, n):
    if pattern == 0:
        return bytes(i % 32 for i in range(n))  # special periods
    if pattern == 1:
        return bytes(32 + (i % 32) for i in range(n))  # n - 16 .. n + 15
    if pattern == 2:
        return bytes(72 + i % 6 for i in range(n))  # 0 .. 5
    return bytes(min(72 + i, 254) for i in range(n))  # i: the longest full window


def conditions(pattern, n):
    if pattern < 3:
        return bytes([(0, 1, 255)[pattern]] * n)  # all false, all 1, all 255
    return bytes((0, 1, 255)[i % 3] for i in range(n))


def inputs(kinds, pattern, n):
    out = b""
    for j, kind in enumerate(kinds):
        p = (pattern + j) % 4
        out += periods(p, n) if kind == "P" else conditions(p, n) if kind == "C" else series(p, n)
    return out


def main():
    target = sys.argv[1]
    os.makedirs(target, exist_ok=True)
    # Every row in the fuzzer's order (qx::table::row_at): vexa._vexa's, then the language's.
    kernels = [row for row in ROWS if not row[-1]] + [row for row in ROWS if row[-1]]
    count = 0
    for index, (_, name, *_, params, _extra) in enumerate(kernels):
        kinds_all = "".join(LETTERS[kind] for _, kind, _, _ in params)
        kinds = kinds_all.replace("I", "").replace("R", "")
        m = kinds_all.count("I")
        r = kinds_all.count("R")
        seeds = []
        for n in (0, 1, 2, 3, 17, 100):
            for sel in range(EDGES if m or r or n in (1, 17) else 1):
                ctx = bytes([(sel * 5) % EDGES])
                ints = bytes([sel] + [(sel + 3 * i) % EDGES for i in range(1, m)])[:m]
                # Odd selectors: the special reals; even ones: valid values.
                reals = bytes(
                    (sel + 5 * i) % 16 if sel % 2 else (REAL_2, REAL_20)[i % 2] for i in range(r)
                )
                body = inputs(kinds, sel, n)
                seeds.append(bytes([index, 0]) + length_bytes(n) + ctx + ints + reals + body)
            # Counts: each one off by one or at INT32_MIN; all agreeing at -1.
            ints = bytes([7] * m) + bytes((REAL_2, REAL_20)[i % 2] for i in range(r))
            for slot in range(len(kinds) + 1):
                for wrong in (N_PLUS_1, N_MINUS_1, 0):
                    seeds.append(
                        bytes([index, 1])
                        + length_bytes(n)
                        + bytes([3])
                        + ints
                        + bytes([slot, wrong])
                        + inputs(kinds, slot, n)
                    )
            seeds.append(bytes([index, 2]) + length_bytes(n) + bytes([3]) + ints + bytes([MINUS_1]))
        for i, s in enumerate(seeds):
            with open(os.path.join(target, f"{name}-{i:03d}"), "wb") as f:
                f.write(s)
        count += len(seeds)
    print(f"{count} seeds for {len(kernels)} kernels in {target}")


if __name__ == "__main__":
    main()
