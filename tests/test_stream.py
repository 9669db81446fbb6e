"""vexa.stream against the batch functions, over every row of the function table (the
formula language's own included): each bar's value equal to the batch function over the
bars so far at that bar (and over the whole series), update_many equal to update, pickled
streams resuming exactly, refusals only where a bar reaches past the bars kept or ahead,
and clear errors.
"""

import math
import pickle
import zlib

import numpy as np
import pytest
from support import random_periods, random_series

import vexa
import vexa._native as native
import vexa.stream as vs
from vexa.table import ALL, COND, INT, PERIODS, REAL

# Every function streams but those that read later bars at every bar (the zigzag family).
STREAMED = [f for f in ALL if f.ahead != "always"]
IDS = [f.name for f in STREAMED]


def same(got, want):
    """The same number to the last bit, or both missing (which NaN an operation on two
    NaNs gives is the instruction's choice, promised by neither side)."""
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    both_nan = np.isnan(got) & np.isnan(want)
    return bool(((got.view(np.uint64) == want.view(np.uint64)) | both_nan).all())


def inputs(rng, f, n):
    """One array per array parameter of f, with missing runs at the start and middle."""
    out = []
    for p in f.params:
        if p.kind == PERIODS:
            per = random_periods(rng, n, hi=n // 2 + 3)
            if f.ahead:  # a negative period within int32 reads ahead: tested on its own
                per = np.where((per <= -1) & (per > -(2.0**31) - 1), -per, per)
            out.append(per)
        elif p.kind == COND:
            out.append(rng.choice(np.array([0.0, 1.0, 0.5, -0.0, np.nan, 2.0]), n))
        elif p.kind not in (INT, REAL):
            x = random_series(rng, n)
            x[: rng.integers(0, 4)] = np.nan
            m = rng.integers(0, n)
            x[m : m + rng.integers(0, 3)] = np.nan
            out.append(x)
    return out


# Real parameters the kernel accepts, for the rows that have them.
REALS = {"SAR": ({"STEP": 2.0, "MAX": 20.0}, {"STEP": 7.5, "MAX": 7.5})}


def int_choices(f, n):
    """Integer parameters around the window edges and beyond the length, the kernel's
    least value included; with each choice of the real parameters."""
    return [{**i, **r} for i in _int_choices(f, n) for r in REALS.get(f.name, ({},))]


def _int_choices(f, n):
    ints = [p for p in f.params if p.kind == INT]
    edges = [0, 1, 2, 3, n - 1, n, n + 1, -1, -3, -n - 1]
    if not ints:
        return [{}]
    if len(ints) == 1:
        return [{ints[0].name: v} for v in edges if v >= ints[0].least]
    return [
        {ints[0].name: a, ints[1].name: b}
        for a in edges
        if a >= ints[0].least
        for b in (-2, 0, 1, 3, a + 1)
        if b >= ints[1].least and (f.name != "LAST" or a == 0 or a >= b)
    ]


def batch(f, arrays, ints):
    args, k = [], 0
    for p in f.params:
        if p.kind in (INT, REAL):
            args.append(ints[p.name])
        else:
            args.append(arrays[k])
            k += 1
    return getattr(native, f.name)(*args)


def history_kw(f, n):
    return {"max_period": n} if f.name in vs._stream_history else {}


def test_which_functions_stream():
    assert set(vs.__all__) == {"Stream", *IDS}
    assert vs._stream_history == {f.name for f in ALL if PERIODS in f.kinds} | {"SUMBARS"}


@pytest.mark.parametrize("f", STREAMED, ids=IDS)
def test_each_bar_equals_the_batch_function_over_the_bars_so_far(f):
    rng = np.random.default_rng(zlib.crc32(f.name.encode()))
    for n in (1, 5, 23):
        for ints in int_choices(f, n):
            arrays = inputs(rng, f, n)
            s = getattr(vs, f.name)(**ints, **history_kw(f, n))
            whole = batch(f, arrays, ints)
            d = s.delay
            assert d == (-ints["N"] if f.ahead == "negative" and ints.get("N", 0) < 0 else 0) or (
                f.ahead == "positive" and d == ints["N"] > 0
            )
            got = []
            for t in range(n):
                v = s.update(*(a[t] for a in arrays))
                assert type(v) is float
                got.append(v)
                if t < d:
                    assert math.isnan(v)
                    continue
                prefix = batch(f, [a[: t + 1] for a in arrays], ints)
                assert same(v, prefix[t - d]), (f.name, ints, t, v, prefix[t - d])
                assert same(v, whole[t - d]), (f.name, ints, t, v, whole[t - d])
            assert s.bars == n
            # Many bars at once give the same; a pickled copy resumes exactly.
            many = getattr(vs, f.name)(**ints, **history_kw(f, n))
            half = n // 2
            first = many.update_many(*(a[:half] for a in arrays))
            copy = pickle.loads(pickle.dumps(many))
            assert copy.bars == half and copy.params == many.params
            rest = copy.update_many(*(a[half:] for a in arrays))
            assert same(np.concatenate([first, rest]), got)
            assert pickle.dumps(copy) == pickle.dumps(s)


@pytest.mark.parametrize("f", [f for f in ALL if PERIODS in f.kinds], ids=str)
def test_per_bar_periods_beyond_max_period_are_refused_and_later_bars_stay_exact(f):
    rng = np.random.default_rng(7)
    n, keep = 40, 3
    arrays = inputs(rng, f, n)
    low = -1 if f.ahead else 0
    arrays[1] = np.where(rng.random(n) < 0.3, 9.0, rng.integers(low, 4, n))
    whole = batch(f, arrays, {})
    s = getattr(vs, f.name)(max_period=keep)
    refused = 0
    for t in range(n):
        p = int(arrays[1][t])
        try:
            v = s.update(arrays[0][t], arrays[1][t])
        except ValueError as e:
            refused += 1
            assert "later bar" in str(e) if p < 0 else f"max_period = {keep}" in str(e)
            assert p < 0 or (keep < p <= t)
            continue
        assert not (p < 0 and f.name == "REF_A")
        assert same(v, whole[t])
    assert refused > 0 and s.bars == n
    with pytest.raises(ValueError, match=r"element \d+ of this call"):
        getattr(vs, f.name)(max_period=keep).update_many(*arrays)


def test_sumbars_refuses_a_sum_that_reaches_past_max_period():
    rng = np.random.default_rng(11)
    n, keep = 60, 4
    x = rng.uniform(0.0, 2.0, n)
    x[rng.random(n) < 0.1] = np.nan
    target = rng.uniform(0.0, 12.0, n)
    whole = native.SUMBARS(x, target)
    s = vs.SUMBARS(max_period=keep)
    refused = 0
    for t in range(n):
        try:
            v = s.update(x[t], target[t])
        except ValueError as e:
            refused += 1
            assert f"max_period = {keep}" in str(e)
            assert t > keep and not whole[t] <= keep + 1  # missing, or beyond the bars kept
            continue
        assert same(v, whole[t])
    assert refused > 0


def test_conditions_follow_the_everyday_rule():
    # True where non-zero and not NaN, as the batch functions read a condition.
    x = np.array([0.0, 0.5, np.nan, -0.0, True, 3.0, 0.0])
    s = vs.BARSLAST()
    got = [s.update(v) for v in x]
    assert same(got, vexa.BARSLAST(x))
    assert same(vs.BACKCOUNT().update_many(x.astype(bool)), vexa.BACKCOUNT(x.astype(bool)))


def test_errors_name_the_stream_and_the_argument():
    with pytest.raises(ValueError, match=r"stream\.MA: N = 0 is out of range"):
        vs.MA(N=0)
    with pytest.raises(TypeError, match=r"stream\.EMA: N must be an integer"):
        vs.EMA(N=2.5)
    with pytest.raises(TypeError, match="missing required argument 'M'"):
        vs.SMA(N=5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'max_period'"):
        vs.MA(N=5, max_period=10)
    with pytest.raises(ValueError, match="max_period = -1 is out of range"):
        vs.MA_A(max_period=-1)
    with pytest.raises(TypeError, match=r"update\(\) takes 2 arguments \(x, y\), 1 given"):
        vs.CROSS().update(1.0)
    with pytest.raises(TypeError, match="a must be a number"):
        vs.MA(N=2).update("1")
    with pytest.raises(ValueError, match="A has 2 bars but a has 3"):
        vs.DMA().update_many([1, 2, 3], [0.5, 0.5])
    with pytest.raises(ValueError, match="LAST: the parameters A = 1, B = 3 do not go together"):
        vs.LAST(A=1, B=3)
    with pytest.raises(ValueError, match="LAST: the parameters A = 1, B = 3 do not go together"):
        native.LAST([True, False], 1, 3)  # the batch function says the same
    with pytest.raises(TypeError, match="base of the streams"):
        vs.Stream()
    assert vs.SMA(5, 1).params == {"N": 5, "M": 1}
    assert repr(vs.HHV_A(max_period=20)) == "vexa.stream.HHV_A(max_period=20)"


def test_a_damaged_or_foreign_state_is_refused():
    s = vs.MA(N=3)
    s.update_many([1.0, 2.0, 3.0, 4.0])
    restore, (name, state) = s.__reduce__()
    for bad in (state[:-8], state + b"\0" * 8, bytes([state[0] ^ 1]) + state[1:]):
        with pytest.raises(ValueError, match="nothing was restored"):
            restore(name, bad)
    with pytest.raises(ValueError, match="nothing was restored"):
        restore("EMA", state)
    # Flipped bytes anywhere are refused or give a stream that runs without a fault.
    rng = np.random.default_rng(3)
    for _ in range(200):
        b = bytearray(state)
        b[rng.integers(0, len(b))] ^= 1 << rng.integers(0, 8)
        try:
            t = restore(name, bytes(b))
        except ValueError:
            continue
        t.update_many(np.arange(50.0))


def test_reset_and_large_windows():
    s = vs.SUM(N=2)
    s.update_many([1.0, 2.0])
    s.reset()
    assert s.bars == 0 and math.isnan(s.update(5.0))
    # A long window's memory is taken as bars come, not when the stream is made.
    big = vs.SUM(N=2**27)
    assert same(big.update_many([1.0, 2.0]), [np.nan, np.nan])


def test_streams_leak_nothing():
    # States come from the Python allocator, so tracemalloc sees a leak of them.
    import tracemalloc

    def churn():
        for _ in range(2000):
            s = vs.MA_A(max_period=1)
            s.update_many([1.0, 2.0, 3.0], [1.0, 1.0, 1.0])
            t = pickle.loads(pickle.dumps(s))
            t.update(4.0, 1.0)
            with pytest.raises(ValueError):
                t.update(5.0, 2.0)

    churn()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    churn()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 20_000, grown
