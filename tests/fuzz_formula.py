#!/usr/bin/env python3
"""Fuzzes the formula parser and evaluator for as long as asked (CI runs it for a bounded
time; by hand for longer).

    python tests/fuzz_formula.py SECONDS [SEED]

Each execution compiles one text (a grammar-aware mutation of a seed formula or of an
earlier text that ran, calls of any function of the catalogue with arguments around and
past their ranges, a random formula of several statements from the grammar, or random
bytes) and, when it compiles, evaluates it over a panel of a few symbols of 0 to 60 bars
(sometimes with a parameter given a hostile value: past 32 bits, past floats, NaN). The
oracles:

- errors: only FormulaError and DataError escape, from compiling, evaluating,
  streaming or pickling;
- panel: every symbol of the panel equals the formula run on that symbol alone;
- long table: a long table of the symbols (rows interleaved, codes as text, dates),
  evaluated with by=, equals the single runs, row by row;
- stream: a formula that does not look ahead and streams gives, bar by bar, the single
  run's values, through a pickle of the stream half-way;
- pickle: a pickled and restored formula gives the same values;
- time: no execution takes more than 5 s.

Values compare bit for bit, a NaN equal to any NaN. Each finding is printed once per kind
(the exception's type and the first words of its message, or the oracle) with its text,
and the run exits 1 when there was any. The counts, the executions per second and the
time given are printed at the end.
"""

import pickle
import re
import sys
import time
import traceback
import warnings
from collections import Counter
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import formula_gen as gen
from test_formula_props import SEEDS

import vexa
from vexa.formula import DataError, Formula, FormulaError

# Random series have gaps: the warning that says so is expected, not a finding.
warnings.simplefilter("ignore", vexa.MissingDataWarning)

SLOW = 5.0  # seconds: an execution slower than this is a finding
SYMBOLS = 3


def same(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    if a.shape != b.shape:
        return False
    return bool(((a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))).all())


class Finding(Exception):
    """An oracle's violation: `kind` groups findings, `detail` says what differs."""

    def __init__(self, kind, detail):
        super().__init__(f"{kind}: {detail}")
        self.kind = kind


def market(rng, n):
    """SYMBOLS symbols of n bars: {field: (n, SYMBOLS) panel} and the single ones."""
    singles = [gen.data(rng, n) for _ in range(SYMBOLS)]
    panel = {k: np.column_stack([s[k] for s in singles]) for k in singles[0]}
    return panel, singles


def long_table(singles, rng):
    """The symbols as a long pandas table (codes as text, one date per bar), its rows
    interleaved or one symbol after another."""
    import pandas as pd

    n = len(next(iter(singles[0].values())))
    frames = []
    for j, s in enumerate(singles):
        frame = pd.DataFrame(s)
        frame.insert(0, "date", pd.date_range("2020-01-01", periods=n, freq="D"))
        frame.insert(0, "symbol", f"{j:06d}")
        frames.append(frame)
    table = pd.concat(frames, ignore_index=True)
    if rng.random() < 0.5:
        table = table.sort_values(["date", "symbol"], kind="stable", ignore_index=True)
    return table


CALL = [""]  # the parameters given to the formula in hand, for a finding's report


def check(f, panel, singles, rng, counts):
    """Runs every oracle over a formula that compiled."""
    CALL[0] = ""
    if f.params and rng.random() < 0.2:
        value = gen.HOSTILE_VALUES[int(rng.integers(0, len(gen.HOSTILE_VALUES)))]
        hostile = {str(rng.choice(list(f.params))): value}
        counts["hostile parameters"] += 1
        shown = repr(value) if len(repr(value)) < 30 else f"10**{len(str(value)) - 1}"
        CALL[0] = f" with {next(iter(hostile))}={shown}"
        if rng.random() < 0.5:
            f(panel, **hostile)
        else:
            Formula(f.text, **hostile)(panel)
    out = f(panel)
    counts["evaluated"] += 1
    alone = [f(s) for s in singles]
    for j, a in enumerate(alone):
        for name in f.outputs:
            if not same(out[name][:, j], a[name]):
                raise Finding("panel differs from a symbol alone", f"{name}, symbol {j}")
    restored = pickle.loads(pickle.dumps(f))
    again = restored(singles[0])
    for name in f.outputs:
        if not same(again[name], alone[0][name]):
            raise Finding("a pickled formula differs", name)
    if _pandas is not None and rng.random() < 0.25:
        table = long_table(singles, rng)
        got = f(table, by="symbol")
        for j, a in enumerate(alone):
            rows = (table["symbol"] == f"{j:06d}").to_numpy()
            for name in f.outputs:
                if not same(got[name].to_numpy()[rows], a[name]):
                    raise Finding("long table differs from a symbol alone", f"{name}, {j}")
        counts["long tables"] += 1
    if not f.looks_ahead:
        stream(f, singles[0], alone[0], counts)


def stream(f, data, want, counts):
    try:
        s = f.stream(max_period=len(next(iter(data.values()))) + 1)
    except FormulaError as e:
        if "no stream for" in str(e):
            return  # a function without a stream: refused as documented
        raise
    n = len(data["close"])
    names = {"close": "close", "open": "Open", "high": "HIGH", "low": "low", "vol": "VOL"}
    got = {k: [] for k in f.outputs}
    for i in range(n):
        if i == n // 2:
            s = pickle.loads(pickle.dumps(s))
        values = s.update({names[k]: float(v[i]) for k, v in data.items()})
        for k, v in values.items():
            got[k].append(v)
    for k in f.outputs:
        if not same(got[k], np.broadcast_to(want[k], (n,))):
            first = next(i for i in range(n) if not same(got[k][i], want[k][i]))
            raise Finding("stream differs from the batch run", f"{k} at bar {first} of {n}")
    counts["streamed"] += 1


def text_of(rng, corpus):
    r = rng.random()
    if r < 0.5:
        return gen.mutate_wide(rng, corpus[int(rng.integers(0, len(corpus)))])
    # A parameter N, used by the catalogue's calls and given values at the call.
    params = "INPUT:N(5);" if rng.random() < 0.4 else ""
    if r < 0.65:
        calls = [gen.catalogue_call(rng) for _ in range(int(rng.integers(1, 4)))]
        return params + "".join(f"X{k}:{c};" for k, c in enumerate(calls))
    if r < 0.85:
        lines = [f"X{k}:{gen.text(gen.tree(rng))};" for k in range(int(rng.integers(1, 4)))]
        if rng.random() < 0.3:
            lines.insert(0, f"T:={gen.text(gen.tree(rng))};")
            lines.append("Y:T*N;")
        return params + "\n".join(lines)
    return rng.integers(0, 256, int(rng.integers(0, 400)), dtype=np.uint8).tobytes()


def kind_of(e):
    if isinstance(e, Finding):
        return e.kind
    words = re.sub(r"\d+", "#", str(e)).split()[:6]
    return f"{type(e).__name__}: {' '.join(words)}"


try:
    import pandas as _pandas
except ImportError:  # the long-table oracle needs pandas
    _pandas = None


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    rng = np.random.default_rng(seed)
    counts, kinds = Counter(), Counter()
    corpus = list(SEEDS)
    started = time.monotonic()
    end = started + seconds
    slowest = 0.0
    with np.errstate(all="raise"):  # the evaluator must set its own settings
        while time.monotonic() < end:
            n = int(rng.choice([0, 1, 2, 7, 40, 60]))
            panel, singles = market(rng, n)
            text = text_of(rng, corpus)
            CALL[0] = ""
            t0 = time.perf_counter()
            try:
                f = Formula(text)
                counts["compiled"] += 1
                check(f, panel, singles, rng, counts)
                if isinstance(text, str) and len(corpus) < 2000:
                    corpus.append(text)  # texts that run feed later mutations
            except (FormulaError, DataError):
                counts["refused"] += 1
            except Exception as e:  # anything else is a finding
                kind = kind_of(e)
                kinds[kind] += 1
                if kinds[kind] == 1:
                    shown = traceback.format_exc(limit=-3)
                    print(f"FINDING [{kind}] {text!r}{CALL[0]} over {n} bars\n{shown}", flush=True)
            took = time.perf_counter() - t0
            slowest = max(slowest, took)
            if took > SLOW:
                kind = "slow"
                kinds[kind] += 1
                print(f"FINDING [slow, {took:.1f} s] {text!r} over {n} bars", flush=True)
            counts["executions"] += 1
    spent = time.monotonic() - started
    print(
        f"seed {seed}: {counts['executions']:,} executions in {spent:.0f} s "
        f"({counts['executions'] / spent:.0f} per second); "
        + ", ".join(f"{k}: {v:,}" for k, v in counts.items() if k != "executions")
        + f"; slowest {slowest:.3f} s"
    )
    for kind, k in kinds.most_common():
        print(f"  {k:6,} x {kind}")
    print(f"findings: {sum(kinds.values())} of {len(kinds)} kinds")
    return 1 if kinds else 0


if __name__ == "__main__":
    sys.exit(main())
