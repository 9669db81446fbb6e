"""Digest of the installed package's outputs on fixed inputs, for comparing builds for
different processors (CI runs it with an x86-64 wheel and with the aarch64 wheel under
qemu, and compares the lines).

Covers every function of the table three ways: its kernel through the C interface of
the module file (status codes and canaries count), the everyday function on a series,
and the everyday function on a panel of bars x symbols (the panel drivers); then every
formula of examples/ over fixed panels of bars. Numbers count to the last bit; a NaN
counts as NaN whatever its sign and payload (those of a NaN made by arithmetic are the
processor's choice), except in the results of the kernels that copy their inputs, whose
NaN payloads must survive. An error counts by its type.

The inputs come from numpy's PCG64 generator seeded by the function's name (the same
stream on every platform): random walks of several scales, NaN with payloads of both
signs, signalling NaN, infinities, signed zeros, subnormals, extremes and ties; periods
of every kind (fractions, negatives, NaN, beyond int32); integer parameters at their
edges. Prints one line per function and formula, then the digest of them all.

Usage: python tests/digest.py   (from a directory holding tests/ and examples/)
"""

import hashlib
import sys
import zlib
from pathlib import Path

import numpy as np
from support import COPYING, INT32_MAX, canary, load_library, ptr

import vexa
import vexa._vexa
from vexa.table import FUNCTIONS

LENGTHS = [0, 1, 2, 3, 7, 61, 250, 1009, 4096]
SYMBOLS = 5  # columns of a panel
QUIET = np.uint64(0x7FF8000000000000)


def special(rng, k):
    """k special values: NaN of both signs with payloads, signalling NaN, infinities,
    signed zeros, subnormals, the largest and the smallest normal, 2^53 + 1."""
    payload = rng.integers(1, 2**51, k, dtype=np.uint64)
    words = [
        QUIET | payload,
        np.uint64(0xFFF8000000000000) | payload,
        np.uint64(0x7FF0000000000000) | payload,  # signalling
        np.uint64(0x000FFFFFFFFFFFFF) & payload,  # subnormal
    ]
    pick = rng.integers(0, 4, k)
    out = np.choose(pick, words).view(np.float64).copy()
    other = [
        np.inf,
        -np.inf,
        0.0,
        -0.0,
        1.7976931348623157e308,
        -2.2250738585072014e-308,
        2.0**53 + 1,
    ]
    swap = rng.random(k) < 0.5
    out[swap] = rng.choice(other, int(swap.sum()))
    return out


def series(rng, family, n):
    scale = 10.0 ** rng.integers(-3, 7)
    walk = np.cumsum(rng.random(n) - 0.5) * scale
    if family == 1:  # with specials
        at = rng.random(n) < 0.3
        walk[at] = special(rng, int(at.sum()))
    elif family == 2:  # ties
        walk = np.trunc(walk * 4) / 4
    elif family == 3:  # a missing stretch, then values
        walk[: n // 3] = np.nan
    return walk


def periods(rng, n):
    odd = [np.nan, np.inf, -np.inf, 2.0**31, -(2.0**31) - 1, 2**31 - 1, 1e300, -0.0]
    odd += [n, n + 1, -n, 0.5, -0.5, -1.0, -3.0]
    k = rng.random(n)
    p = rng.integers(0, 40, n).astype(np.float64)
    p[k >= 0.6] = rng.random(int((k >= 0.6).sum())) * 40
    p[k >= 0.8] = rng.choice(np.array(odd, dtype=np.float64), int((k >= 0.8).sum()))
    return p


def conds(rng, n):
    return np.where(rng.random(n) < 1 / rng.integers(1, 8), rng.choice([1, 2, 255], n), 0).astype(
        np.uint8
    )


def int_choices(rng, count, n):
    edges = [-1, 0, 1, 2, 3, 5, n - 1, n, n + 1, INT32_MAX] if n <= 1009 else [0, 1, 2, 20, 250]
    if count == 0:
        return [()]
    if count == 1:
        return [(p,) for p in edges]
    return [(int(a), int(b)) for a, b in zip(rng.choice(edges, 8), rng.choice([1, 2, 3, 20], 8))]


def words(values, copying):
    """The words a result counts by: its bits, every NaN as one unless copying."""
    w = np.ascontiguousarray(values, dtype=np.float64).view(np.uint64).copy()
    if not copying:
        w[np.isnan(np.asarray(values, dtype=np.float64))] = QUIET
    return w.tobytes()


def everyday(fn, args, h, copying):
    try:
        h.update(words(fn(*args), copying))
    except Exception as e:  # an error counts by its type
        h.update(type(e).__name__.encode())


def digest_function(lib, row):
    h = hashlib.blake2b(digest_size=8)
    rng = np.random.default_rng(zlib.crc32(row.name.encode()))
    kinds = [p.kind for p in row.params]
    copying = row.kernel in COPYING
    fn = getattr(vexa, row.name)
    calls = 0
    for n in LENGTHS:
        for family in range(4):
            # Array inputs, each with a panel of SYMBOLS columns whose first is the series.
            arrays = []
            for j, kind in enumerate(kinds):
                if kind == "int":
                    continue
                columns = []
                for _ in range(SYMBOLS):
                    if kind == "series":  # a second series takes the next family
                        columns.append(series(rng, (family + j) % 4, n))
                    elif kind == "periods":
                        columns.append(periods(rng, n))
                    else:
                        columns.append(conds(rng, n))
                arrays.append(np.stack(columns, axis=1))
            for ints in int_choices(rng, kinds.count("int"), n):
                args, panel, a, i = [], [], iter(arrays), iter(ints)
                for kind in kinds:
                    if kind == "int":
                        args.append(next(i))
                        panel.append(args[-1])
                    else:
                        p = next(a)
                        args.append(np.ascontiguousarray(p[:, 0]))
                        panel.append(p)
                # The kernel through the module file's C interface.
                out = canary(n)
                c_args = [0]
                for x, kind in zip(args, kinds):
                    c_args += [x] if kind == "int" else [ptr(x), n]
                status = getattr(lib, row.kernel)(*c_args, ptr(out), n)
                h.update(np.int32(status).tobytes() + words(out, copying))
                # The everyday function, on the series and on the panel.
                everyday(fn, args, h, copying)
                everyday(fn, panel, h, copying)
                calls += 1
    return h.hexdigest(), calls


def digest_formulas(root):
    rng = np.random.default_rng(zlib.crc32(b"formulas"))
    lines = []
    for n in (1, 61, 1009):
        close = 50 + np.cumsum(rng.standard_normal((n, SYMBOLS)), axis=0)
        close[rng.random((n, SYMBOLS)) < 0.02] = np.nan
        spread = rng.random((n, SYMBOLS))
        data = {
            "open": close + rng.standard_normal((n, SYMBOLS)) * 0.3,
            "high": close + spread,
            "low": close - spread,
            "close": close,
            "volume": np.round(rng.random((n, SYMBOLS)) * 1e6),
        }
        for path in sorted((root / "examples").glob("*.txt")):
            h = hashlib.blake2b(digest_size=8)
            formula = vexa.Formula(path.read_text())
            out = formula(data)
            for name in formula.outputs:
                if name in out:
                    h.update(name.encode() + words(out[name], False))
            lines.append(f"formula {path.stem} n={n} {h.hexdigest()}")
    return lines


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path.cwd()
    lib = load_library(vexa._vexa.__file__)
    lines = []
    for row in FUNCTIONS:
        d, calls = digest_function(lib, row)
        lines.append(f"{row.name} {d} calls={calls}")
    lines += digest_formulas(root)
    total = hashlib.blake2b("\n".join(lines).encode(), digest_size=8).hexdigest()
    print("\n".join(lines))
    print(f"all {total}: {len(FUNCTIONS)} functions, {len(lines) - len(FUNCTIONS)} formula runs")


if __name__ == "__main__":
    main()
