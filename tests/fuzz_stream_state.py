#!/usr/bin/env python3
"""Fuzzes restored stream states for as long as asked (CI runs it for a bounded time).

    python tests/fuzz_stream_state.py SECONDS [SEED]

Each execution makes a stream of a random function (parameters around the window edges,
a random max_period), feeds it random bars, saves it and tampers with the saved state:

- accidental damage, the checksum left as saved: one byte changed, a few bytes changed,
  the state under another function's name, the head's row field relabelled, a head
  field edited, the state cut short or lengthened. Oracle: refused with a ValueError that
  says nothing was restored;
- a deliberate edit, the checksum made anew (tests/stream_state.py): a head field set to
  another value (parameters, history, capacity, counters, constants). Oracle: refused
  with that ValueError, or the restored stream runs the next bars without any other
  error, reports the parameters it computes with (its pickle restores to the same
  bytes), and gives, bar for bar, the untampered stream's values when the edit left the
  state as it was;
- a formula stream's pickle with one byte of its data changed (the formula's text, its
  parameters, the bars, the functions' states; not the pickle's own opcodes, which the
  pickle module reads as it reads any pickle). Oracle: refused (any exception) or
  continuing bit for bit as the untampered stream.

Any other outcome is a finding, printed once per kind with its case; the run exits 1 when
there was any. The counts, the executions per second and the time given are printed at
the end.
"""

import itertools
import pickle
import pickletools
import sys
import time
import traceback
from collections import Counter
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import formula_gen as gen
import stream_state as ss

import vexa.stream as vs
from vexa.formula import Formula
from vexa.table import ALL, COND, INT, PERIODS, REAL

STREAMED = [f for f in ALL if f.ahead != "always"]
SLOW = 2.0  # seconds: an execution slower than this is a finding
CASE = [""]  # the case in hand, for the report of a slow one
EDGES = [0, 1, 2, 3, 5, 9, -1, -3, 40]
REAL_EDGES = [0.0, -1.0, 0.5, 2.0, 7.5, 20.0, 100.0, 101.0, float("nan")]
TAMPER = ["byte", "bytes", "name", "row", "field", "short", "long"]
EDITED = [k for k in ss.FIELDS if k not in ("magic", "pad")]
FORMULAS = [
    "A:REF(C,1); B:EMA(C,N)+MA(C,3); D:REF(C+0,1);",
    "K:SMA((C-LLV(L,9))/(HHV(H,9)-LLV(L,9))*100,3,1); S:BARSCOUNT(C)+COUNT(C>O,N);",
    "X:MA(C,BARSLAST(C>O)+1)+SUM(V,0)+FILTER(C>O,N); Y:SQRT(C-100)+STD(C,N);",
]


class Finding(Exception):
    def __init__(self, kind, detail):
        super().__init__(f"{kind}: {detail}")
        self.kind = kind


def same(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and bool(
        ((a.view(np.uint64) == b.view(np.uint64)) | (np.isnan(a) & np.isnan(b))).all()
    )


def make(rng, f):
    """A stream of f with parameters its kernel accepts, or None."""
    ints = [p for p in f.params if p.kind == INT]
    kwargs = {p.name: int(rng.choice(EDGES)) for p in ints}
    kwargs.update((p.name, float(rng.choice(REAL_EDGES))) for p in f.params if p.kind == REAL)
    if f.name in vs._stream_history:
        kwargs["max_period"] = int(rng.choice([0, 1, 4, 30, 1000]))
    try:
        return getattr(vs, f.name)(**kwargs)
    except ValueError:
        return None


def bars(rng, f, n):
    """One array per array parameter: a walk with missing values, conditions, periods."""
    out = []
    for p in f.params:
        if not p.is_series:
            continue
        if p.kind == COND:
            out.append(rng.choice(np.array([0.0, 1.0, np.nan, 2.0]), n))
        elif p.kind == PERIODS:
            out.append(rng.integers(-2, 12, n).astype(np.float64))
        else:
            x = 100 + np.cumsum(rng.normal(0, 1, n))
            x[rng.random(n) < 0.1] = np.nan
            out.append(x)
    return out


def feed(s, arrays):
    """The values of the bars, NaN for a bar the stream refused (it takes it all the
    same: later bars stay exact)."""
    got = []
    for t in range(len(arrays[0]) if arrays else 0):
        try:
            got.append(s.update(*(a[t] for a in arrays)))
        except ValueError:
            got.append(np.nan)
    return got


def tampered(rng, name, state, how):
    """(name, bytes) of the saved state damaged as `how` says, its checksum as saved."""
    b = bytearray(state)
    if how == "byte":
        b[int(rng.integers(0, len(b)))] ^= int(rng.integers(1, 256))
    elif how == "bytes":
        for _ in range(int(rng.integers(2, 6))):
            b[int(rng.integers(0, len(b)))] ^= int(rng.integers(1, 256))
    elif how == "name":
        return str(rng.choice([f.name for f in STREAMED if f.name != name])), state
    elif how == "row":
        head, ring, check = ss.split(state)
        head["row"] = int(rng.integers(0, len(ALL)))
        return name, ss.join(head, ring, fix=False, check=check)
    elif how == "field":
        head, ring, check = ss.split(state)
        key = str(rng.choice(EDITED))
        head[key] = edited_value(rng, key, head[key])
        return name, ss.join(head, ring, fix=False, check=check)
    elif how == "short":
        return name, state[: int(rng.integers(0, len(state)))]
    else:
        return name, state + bytes(int(rng.integers(1, 24)))
    return name, bytes(b)


def edited_value(rng, key, old):
    if key.startswith("d"):
        return float(rng.choice([old * 2 + 1, -old, np.nan, 0.0, 1e300]))
    choices = [old + 1, old - 1, 0, -1, old * 2 + 1, 2**31 - 1, -(2**31)]
    if key not in ("row", "p0", "p1"):
        choices += [2**40, 2**62, -(2**62)]
    value = int(rng.choice(choices))
    bits = 32 if key in ("row", "p0", "p1") else 64
    lo, hi = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
    if key == "size":
        lo, hi = 0, 2**64 - 1
    return min(max(value, lo), hi)


def refused(call):
    try:
        call()
    except ValueError as e:
        if "nothing was restored" not in str(e):
            raise Finding("refused without saying so", str(e)) from None
        return True
    return False


def one_stream(rng, counts):
    f = STREAMED[int(rng.integers(0, len(STREAMED)))]
    s = make(rng, f)
    if s is None:
        return
    feed(s, bars(rng, f, int(rng.integers(0, 60))))
    restore, (name, state) = s.__reduce__()
    CASE[0] = f"{f.name} {s.params}"
    after = bars(rng, f, 20)
    twin = restore(name, state)
    want = feed(twin, after)
    if rng.random() < 0.6:
        how = TAMPER[int(rng.integers(0, len(TAMPER)))]
        bad_name, bad = tampered(rng, name, state, how)
        counts[f"accidental: {how}"] += 1
        if (bad_name, bad) == (name, state):
            return
        if not refused(lambda: restore(bad_name, bad)):
            raise Finding(f"accepted after accidental damage ({how})", f"{f.name} {s.params}")
        return
    # A deliberate edit: the checksum made anew.
    key = str(rng.choice(EDITED))
    head = ss.split(state)[0]
    value = edited_value(rng, key, head[key])
    bad = ss.edit(state, **{key: value})
    counts["deliberate"] += 1
    CASE[0] = f"{f.name} {s.params} {key}={value}"
    got = None
    try:
        got = restore(name, bad)
    except ValueError as e:
        if "nothing was restored" not in str(e):
            raise Finding("refused without saying so", str(e)) from None
        counts["deliberate, refused"] += 1
        return
    counts["deliberate, accepted"] += 1
    if got.params != getattr(vs, f.name)(**got.params).params:
        raise Finding("reports parameters no stream has", f"{f.name} {got.params}")
    if pickle.loads(pickle.dumps(got)).__reduce__()[1][1] != got.__reduce__()[1][1]:
        raise Finding("a restored state does not restore again", f.name)
    values = feed(got, after)
    if bad == state and not same(values, want):
        raise Finding("an unchanged state continues otherwise", f.name)


# The opcodes whose argument is data of the stream (text, numbers, state bytes), and the
# bytes of their length prefix.
DATA_OPS = {
    "SHORT_BINUNICODE": 1,
    "BINUNICODE": 4,
    "SHORT_BINBYTES": 1,
    "BINBYTES": 4,
    "BININT": 0,
    "BININT1": 0,
    "BININT2": 0,
    "LONG1": 1,
    "BINFLOAT": 0,
}


def payloads(data):
    """(start, end) of the data in a pickle: its strings, bytes and numbers, without
    their opcodes and length prefixes (pickle's own framing is the pickle module's to
    read; a pickle from an untrusted source is unsafe whatever the data)."""
    ops = list(pickletools.genops(data))
    spans = []
    for (op, _, pos), (_, _, after) in itertools.pairwise(ops):
        if op.name in DATA_OPS and after > pos + 1 + DATA_OPS[op.name]:
            spans.append((pos + 1 + DATA_OPS[op.name], after))
    return spans


def one_formula(rng, counts):
    f = Formula(FORMULAS[int(rng.integers(0, len(FORMULAS)))], N=int(rng.integers(1, 6)))
    data = gen.data(rng, int(rng.integers(1, 40)))
    rows = [{k: float(v[i]) for k, v in data.items()} for i in range(len(data["close"]))]
    s = f.stream()
    half = len(rows) // 2
    for r in rows[:half]:
        s.update(r)
    saved = bytearray(pickle.dumps(s))
    want = [s.update(r) for r in rows[half:]]
    spans = payloads(bytes(saved))
    start, end = spans[int(rng.integers(0, len(spans)))]
    at, flip = int(rng.integers(start, end)), int(rng.integers(1, 256))
    CASE[0] = f"{f.text!r} N={f.params}, byte {at} of the pickle ^ {flip}"
    saved[at] ^= flip
    counts["formula stream pickles"] += 1
    try:
        t = pickle.loads(bytes(saved))
        got = [t.update(r) for r in rows[half:]]
    except Exception:  # refused, in whatever way unpickling fails
        counts["formula stream pickles, refused"] += 1
        return
    for a, b in zip(got, want):
        if a.keys() != b.keys() or not all(same(a[k], b[k]) for k in a):
            raise Finding("a damaged formula stream continues otherwise", f.text)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    rng = np.random.default_rng(seed)
    counts, kinds = Counter(), Counter()
    started = time.monotonic()
    slowest = 0.0
    while time.monotonic() < started + seconds:
        t0 = time.perf_counter()
        try:
            if rng.random() < 0.9:
                one_stream(rng, counts)
            else:
                one_formula(rng, counts)
            took = time.perf_counter() - t0
            slowest = max(slowest, took)
            if took > SLOW:
                raise Finding("slow", f"{took:.1f} s: {CASE[0]}")
        except Exception as e:  # anything else is a finding
            kind = e.kind if isinstance(e, Finding) else f"{type(e).__name__}: {e}"[:80]
            kinds[kind] += 1
            if kinds[kind] == 1:
                print(f"FINDING [{kind}]\n{traceback.format_exc(limit=-3)}", flush=True)
        counts["executions"] += 1
    spent = time.monotonic() - started
    print(
        f"seed {seed}: {counts['executions']:,} executions in {spent:.0f} s "
        f"({counts['executions'] / spent:.0f} per second); "
        + ", ".join(f"{k}: {v:,}" for k, v in sorted(counts.items()) if k != "executions")
        + f"; slowest {slowest:.3f} s"
    )
    for kind, k in kinds.most_common():
        print(f"  {k:6,} x {kind}")
    print(f"findings: {sum(kinds.values())} of {len(kinds)} kinds")
    return 1 if kinds else 0


if __name__ == "__main__":
    sys.exit(main())
