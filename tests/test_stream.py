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
import stream_state as ss
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


# ---- saved states, memory, threads, masked values ----------------------------------


def made(f, big):
    """A stream of f whose window (or max_period) is `big` bars where it has one."""
    ints = {p.name: max(p.least, 1) for p in f.params if p.kind == INT}
    for k in ints:
        ints[k] = big if f.name != "LAST" or k == "A" else 1
    if f.name in vs._stream_history:
        ints["max_period"] = big
    return getattr(vs, f.name)(**ints, **REALS.get(f.name, ({},))[0])


@pytest.mark.parametrize("f", STREAMED, ids=IDS)
def test_a_pickle_holds_the_bars_kept_and_any_changed_byte_is_refused(f):
    """A window of a million bars that has seen five is saved with five; every single
    changed byte of the saved state, a state under another function's name and one cut
    short are refused, and nothing else is needed to restore it exactly."""
    rng = np.random.default_rng(zlib.crc32(f.name.encode()))
    s = made(f, 10**6)
    arrays = [np.abs(a) for a in inputs(rng, f, 5)]
    s.update_many(*arrays)
    restore, (name, state) = s.__reduce__()
    kept = 8 * 13 if f.name == "SAR" else 16 * 5  # SAR's ring is its own state of 13 words
    assert len(state) <= ss.HEAD.size + kept + 8
    assert len(pickle.dumps(s)) < len(state) + 120
    assert pickle.dumps(pickle.loads(pickle.dumps(s))) == pickle.dumps(s)
    for at in range(len(state)):
        for flip in (0x01, 0x80):
            b = bytearray(state)
            b[at] ^= flip
            with pytest.raises(ValueError, match="nothing was restored"):
                restore(name, bytes(b))
    other = "MA" if name != "MA" else "EMA"
    with pytest.raises(ValueError, match=f"holds the state of a {name} stream instead"):
        restore(other, state)
    head, ring, check = ss.split(state)
    head["row"] = ss.split(getattr(vs, other)(N=3).__reduce__()[1][1])[0]["row"]
    with pytest.raises(ValueError, match="nothing was restored"):
        restore(other, ss.join(head, ring, fix=False, check=check))
    with pytest.raises(ValueError, match="not one this version of vexa made"):
        restore(name, state[:-1])


def test_edited_parameters_are_refused_where_the_state_holds_their_constants():
    """Edited with the checksum made anew (a deliberate edit): a head reporting N = 1000
    over EMA(3)'s weights is refused, as is any parameter whose ring or constants it
    does not fit; the function's own refusal too."""
    for s, field, value in (
        (vs.EMA(N=3), "p0", 1000),
        (vs.SMA(N=5, M=1), "p1", 2),
        (vs.WMA(N=4), "p0", 5),
        (vs.SLOPE(N=6), "p0", 7),
        (vs.FORCAST(N=6), "p0", 9),
        (vs.MA(N=5), "p0", 6),
        (vs.LLV(N=5), "cap", 6),
        (vs.MA(N=5), "p0", 0),
    ):
        s.update_many(np.arange(1.0, 9.0))
        restore, (name, state) = s.__reduce__()
        with pytest.raises(ValueError, match="not one this version of vexa made"):
            restore(name, ss.edit(state, **{field: value}))
        assert restore(name, ss.edit(state)).params == s.params


def test_a_state_larger_than_this_machine_is_refused_when_made():
    limit = native._stream_memory()
    assert limit > 2**28  # the machine's memory, found once
    try:
        native._stream_memory(2**30)
        text = r" needs a state of {} once its window is full .* \(1\.0 GiB\); use a shorter"
        with pytest.raises(ValueError, match=r"stream\.MA\(N=200000000\)" + text.format("1.5 GiB")):
            vs.MA(N=200_000_000)
        with pytest.raises(ValueError, match=r"stream\.LLV\(N=67108864\)" + text.format("1.0 GiB")):
            vs.LLV(N=2**26)  # a value and a bar number per slot
        with pytest.raises(ValueError, match=r"stream\.MA_A\(max_period=134217728\) "):
            vs.MA_A(max_period=2**27)
        with pytest.raises(ValueError, match="A = 1, B = 2147483647 do not go together"):
            vs.LAST(A=1, B=2**31 - 1)
        big = vs.MA(N=2**26)  # half the limit
        saved = pickle.dumps(big)
        native._stream_memory(2**28)
        with pytest.raises(ValueError, match=r"needs 0\.5 GiB, more than the memory .* restored"):
            pickle.loads(saved)
    finally:
        native._stream_memory(None)
    assert native._stream_memory() == limit
    # The longest window of LLV keeps 32 GiB: refused unless this machine has as much.
    if 136 + 16 * (2**31 - 1) > limit:
        with pytest.raises(ValueError, match="more than the memory of this machine"):
            vs.LLV(N=2**31 - 1)


def test_a_stream_shared_among_threads_takes_each_call_whole():
    """Each update, update_many and pickle holds the interpreter lock from start to end:
    four threads feeding one stream lose no bar and a pickle taken meanwhile is whole."""
    import threading

    s = vs.SUM(N=0)
    chunk = np.arange(1.0, 50_001.0)
    pickles = []

    def feed():
        for _ in range(20):
            s.update_many(chunk)
            pickles.append(pickle.dumps(s))

    threads = [threading.Thread(target=feed) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert s.bars == 80 * len(chunk) and s.update(0.0) == 80 * chunk.sum()
    for p in pickles:
        t = pickle.loads(p)
        assert t.update(0.0) == t.bars // len(chunk) * chunk.sum()


def test_masked_values_are_missing_values():
    x = np.ma.array([1.0, 2.0, 3.0, 4.0, 5.0], mask=[0, 1, 0, 0, 0])
    got = vs.SUM(N=0).update_many(x)
    assert type(got) is np.ma.MaskedArray and got.tolist() == [1.0, 1.0, 4.0, 8.0, 13.0]
    got = vs.MA(N=2).update_many(x)
    assert np.ma.getmaskarray(got).all()  # a missing value stops MA's running total
    s = vs.BARSLAST()
    assert [s.update(v) for v in (1.0, np.ma.masked, 0.0)] == [1.0, 2.0, 3.0]
    assert math.isnan(vs.REF(N=0).update(np.ma.masked))
    with pytest.raises(TypeError, match="a must be a number"):
        vs.MA(N=2).update(np.ma.array([1.0, 2.0]))
