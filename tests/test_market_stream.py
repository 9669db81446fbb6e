"""Market streams: one bar of every symbol per update. The per-function form
(vexa.stream.NAME(..., symbols=...)) over every function that streams, against the panel
function and against each symbol's own stream over the bars it had (present= masks,
pickled mid-way); its refusals, saved form and limits.
"""

import pickle
import zlib

import numpy as np
import pytest
from test_stream import REALS, STREAMED, batch, history_kw, inputs, same

import vexa._native as native
import vexa.stream as vs
from vexa.table import COND, INT, REAL

IDS = [f.name for f in STREAMED]


def params_of(f, n):
    """A few integer (and real) parameters the kernel takes: short, long and beyond n."""
    ints = [p for p in f.params if p.kind == INT]
    out = []
    for v in (3, n + 2):
        kw = {p.name: max(v - k, p.least) for k, p in enumerate(ints)}
        if f.name == "LAST":
            kw = {"A": v, "B": 1}
        out.append({**kw, **REALS.get(f.name, ({},))[0]})
    return out


@pytest.mark.parametrize("f", STREAMED, ids=IDS)
def test_each_symbol_is_its_own_stream_and_the_panel_function(f):
    rng = np.random.default_rng(zlib.crc32(f.name.encode()))
    n, k = 24, 5
    for kw in params_of(f, n):
        kw = {**kw, **history_kw(f, n)}
        series = [inputs(rng, f, n) for _ in range(k)]  # per symbol, one array per input
        cols = [np.column_stack([s[j] for s in series]) for j in range(len(series[0]))]
        # Every symbol has every bar: the panel function, column by column.
        m = getattr(vs, f.name)(**kw, symbols=k)
        got = np.array([m.update(*(c[t] for c in cols)) for t in range(n)])
        if m.delay == 0:
            assert same(got, batch(f, cols, kw))
        # Some symbols miss some bars: each symbol's own stream over the bars it had.
        present = rng.random((n, k)) < 0.7
        present[0] = True
        m = getattr(vs, f.name)(**kw, symbols=[f"S{i}" for i in range(k)])
        singles = [getattr(vs, f.name)(**kw) for _ in range(k)]
        for t in range(n):
            if t == n // 2:
                m = pickle.loads(pickle.dumps(m))
                assert m.symbols == tuple(f"S{i}" for i in range(k))
            out = m.update(*(c[t] for c in cols), present=present[t])
            assert out.dtype == np.float64 and out.shape == (k,)
            want = [
                singles[i].update(*(c[t, i] for c in cols)) if present[t, i] else np.nan
                for i in range(k)
            ]
            assert same(out, want), (kw, t)
        assert m.bars.tolist() == present.sum(0).tolist()
        assert m.params == singles[0].params and m.delay == singles[0].delay


def test_a_refused_bar_is_taken_by_every_symbol_and_named():
    m = vs.MA_A(max_period=4, symbols=["A", "B", "C"])
    x = np.array([1.0, 2.0, 3.0])
    one = vs.MA_A(max_period=4)
    for _ in range(6):
        m.update(x, np.array([2.0, 2.0, 2.0]))
        one.update(1.0, 2.0)
    with pytest.raises(ValueError, match=r"symbol 'B' \(bar 6\) and of 1 other .* max_period = 4"):
        m.update(x, np.array([2.0, 5.0, 6.0]))
    assert m.bars.tolist() == [7, 7, 7]
    with pytest.raises(ValueError):
        one.update(1.0, 5.0)
    assert same(m.update(x, np.full(3, 2.0))[0], one.update(1.0, 2.0))


def test_wrong_arguments_leave_the_market_as_it_was():
    m = vs.SMA(N=3, M=1, symbols=3)
    m.update(np.array([1.0, 2.0, 3.0]))
    before = pickle.dumps(m)
    for args, kw, err, text in [
        (
            (np.ones(2),),
            {},
            ValueError,
            r"SMA.update: a has shape \(2,\); expected one value per symbol",
        ),
        ((np.ones((3, 1)),), {}, ValueError, r"shape \(3, 1\)"),
        ((np.array(["a", "b", "c"]),), {}, TypeError, "a"),
        ((np.ones(3), np.ones(3)), {}, TypeError, r"takes 1 argument \(a\), 2 given"),
        ((np.ones(3),), {"present": np.ones(3)}, ValueError, "present must be a boolean array"),
        ((np.ones(3),), {"present": np.ones(2, bool)}, ValueError, r"shape \(3,\)"),
        ((np.ones(3),), {"when": 1}, TypeError, "when"),
    ]:
        with pytest.raises(err, match=text):
            m.update(*args, **kw)
    assert pickle.dumps(m) == before
    # A condition is read as its truth, a masked value as missing, the caller's kind kept.
    cond = [f for f in STREAMED if COND in f.kinds]
    assert cond
    for f in cond:
        c = getattr(vs, f.name)(**params_of(f, 3)[0], **history_kw(f, 3), symbols=4)
        x = np.array([0.5, np.nan, -0.0, 2.0])
        args = [
            x if p.kind == COND else np.full(4, 1.0) for p in f.params if p.kind not in (INT, REAL)
        ]
        one = [getattr(vs, f.name)(**params_of(f, 3)[0], **history_kw(f, 3)) for _ in x]
        want = [s.update(*(a[i] for a in args)) for i, s in enumerate(one)]
        assert same(c.update(*args), want), f.name
    got = vs.MA(N=1, symbols=2).update(np.ma.array([1.0, 2.0], mask=[0, 1]))
    assert type(got) is np.ma.MaskedArray and got.mask.tolist() == [False, True]


def test_symbols_and_parameters_are_checked_when_made():
    with pytest.raises(ValueError, match="symbols names 'A' twice"):
        vs.EMA(N=3, symbols=["A", "B", "A"])
    with pytest.raises(TypeError, match=r"symbols\[1\] must be a name"):
        vs.EMA(N=3, symbols=["A", 2])
    for bad in ("AB", 2.0, True):
        with pytest.raises(TypeError, match="symbols must be a count"):
            vs.EMA(N=3, symbols=bad)
    with pytest.raises(ValueError, match="symbols = -1 is out of range"):
        vs.EMA(N=3, symbols=-1)
    with pytest.raises(ValueError) as single:
        vs.LAST(A=1, B=2)
    with pytest.raises(ValueError) as market:
        vs.LAST(A=1, B=2, symbols=4)
    assert str(market.value) == str(single.value)
    empty = vs.EMA(N=3, symbols=0)
    assert len(empty) == 0 and empty.update(np.ones(0)).shape == (0,)
    assert pickle.loads(pickle.dumps(empty)).params == {}


def test_the_memory_of_every_symbol_is_refused_when_made():
    try:
        native._stream_memory(2**30)
        vs.MA(N=2**20, symbols=100)  # 0.8 GiB
        with pytest.raises(ValueError, match=r"stream\.MA\(symbols=200.* needs .*1\.6 GiB"):
            vs.MA(N=2**20, symbols=200)
        saved = pickle.dumps(vs.MA(N=2**20, symbols=100))
        native._stream_memory(2**28)
        with pytest.raises(ValueError, match=r"needs 0\.8 GiB, more than the memory"):
            pickle.loads(saved)
    finally:
        native._stream_memory(None)


def test_a_changed_byte_or_another_market_is_refused():
    m = vs.LLV(N=4, symbols=["A", "B"])
    for t in range(6):
        m.update(np.array([t, -t], float), present=np.array([True, t % 2 == 0]))
    restore, (name, symbols, saved) = m.__reduce__()
    assert same(restore(name, symbols, saved).update(np.ones(2)), m.update(np.ones(2)))
    for i in range(0, len(saved), 7):
        bad = bytearray(saved)
        bad[i] ^= 0x10
        with pytest.raises(ValueError, match="nothing was restored"):
            restore(name, symbols, bytes(bad))
    for args in [
        (name, symbols, saved[:-8]),
        (name, ["A"], saved),
        (name, 3, saved),
        ("HHV", symbols, saved),
    ]:
        with pytest.raises(ValueError, match="nothing was restored"):
            restore(*args)
