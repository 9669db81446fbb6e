#!/usr/bin/env python3
"""Fuzzes the formula parser and evaluator for as long as asked (run by hand).

    python tests/fuzz_formula.py SECONDS [SEED]

Each execution compiles one text (a grammar-aware mutation of a seed formula, a random
formula from the grammar, or random bytes) and evaluates it over a small table when it
compiles. Anything but a FormulaError, or an execution slower than 5 s, is a finding:
it is printed with its text and the run exits 1. Prints the counts at the end.
"""

import sys
import time
import traceback
from collections import Counter
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import formula_gen as gen
from test_formula_props import SEEDS

from vexa.formula import Formula, FormulaError


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    rng = np.random.default_rng(seed)
    data = gen.data(rng, 50)
    counts, findings = Counter(), 0
    corpus = list(SEEDS)
    end = time.monotonic() + seconds
    slowest = 0.0
    while time.monotonic() < end:
        r = rng.random()
        if r < 0.6:
            text = gen.mutate(rng, corpus[int(rng.integers(0, len(corpus)))])
        elif r < 0.85:
            text = f"X:{gen.text(gen.tree(rng))};"
        else:
            text = rng.integers(0, 256, int(rng.integers(0, 400)), dtype=np.uint8).tobytes()
        t0 = time.perf_counter()
        try:
            f = Formula(text)
            counts["compiled"] += 1
            f(data)
            counts["evaluated"] += 1
            if isinstance(text, str) and len(corpus) < 2000:
                corpus.append(text)  # texts that run feed later mutations
        except FormulaError:
            counts["formula error"] += 1
        except Exception:
            findings += 1
            print(f"FINDING: {text!r}\n{traceback.format_exc()}")
        took = time.perf_counter() - t0
        slowest = max(slowest, took)
        if took > 5.0:
            findings += 1
            print(f"FINDING (slow, {took:.1f} s): {text!r}")
        counts["executions"] += 1
    print(
        ", ".join(f"{k}: {v:,}" for k, v in counts.items()),
        f"slowest: {slowest:.3f} s",
        f"findings: {findings}",
    )
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
