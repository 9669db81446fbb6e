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
        got = np.full((n, k), np.nan)
        for t in range(n):
            if t == n // 2:
                m = pickle.loads(pickle.dumps(m))
                assert m.symbols == tuple(f"S{i}" for i in range(k))
            out = got[t] = m.update(*(c[t] for c in cols), present=present[t])
            assert out.dtype == np.float64 and out.shape == (k,)
            want = [
                singles[i].update(*(c[t, i] for c in cols)) if present[t, i] else np.nan
                for i in range(k)
            ]
            assert same(out, want), (kw, t)
        assert m.bars.tolist() == present.sum(0).tolist()
        assert m.params == singles[0].params and m.delay == singles[0].delay
        if m.delay == 0:  # each symbol's values: the batch function over the bars it had
            for i in range(k):
                mine = present[:, i]
                assert same(got[mine, i], batch(f, [c[mine, i] for c in cols], kw)), (kw, i)


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
    pd = pytest.importorskip("pandas")
    named = vs.MA(N=1, symbols=["A", "B"])
    got = named.update(pd.Series([1.0, 2.0], index=["A", "B"]))
    assert type(got) is pd.Series and got.tolist() == [1.0, 2.0]
    with pytest.raises(ValueError, match=r"reindex\(market.symbols\)"):
        named.update(pd.Series([1.0, 2.0], index=["B", "A"]))
    with pytest.raises(ValueError, match="index is not the market's symbols"):
        vs.MA(N=1, symbols=2).update(pd.Series([1.0, 2.0], index=[1, 0]))
    assert named.bars.tolist() == [1, 1]
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


# ---- formula market streams --------------------------------------------------------

TEN_LINES = """
MID := MA(CLOSE, N);
UP : MID + 2 * STD(CLOSE, N);
DIF := EMA(CLOSE, 12) - EMA(CLOSE, 26);
DEA := EMA(DIF, 9);
RSV := (CLOSE - LLV(LOW, 9)) / (HHV(HIGH, 9) - LLV(LOW, 9)) * 100;
K : SMA(RSV, 3, 1);
J : 3 * K - 2 * SMA(K, 3, 1) + ABS(MAX(K, 50)) + BARSCOUNT(CLOSE) / 0 + SQRT(C - 100);
BUY : CROSS(DIF, DEA) + COUNT(CLOSE > UP, 5) + 7;
"""


def market_data(rng, n, k):
    """k symbols' bars (each as formula_gen draws one symbol's) as {field: (n, k)}, the
    bars each symbol has (present) and the field names as a feed spells them."""
    import formula_gen as gen

    per = [gen.data(rng, n) for _ in range(k)]
    data = {f: np.column_stack([d[f] for d in per]) for f in per[0]}
    present = rng.random((n, k)) < 0.75
    present[:, 0] = True  # one symbol with every bar
    present[:, 1] = False  # one symbol without any
    return data, present


def check_market(f, data, present, n, k, **kw):
    """The market stream of f over the bars, pickled mid-way, against the formula over
    each symbol's own bars."""
    spelled = {"close": "Close", "open": "OPEN", "high": "high", "low": "Low", "vol": "volume"}
    s = f.stream(symbols=[f"S{i}" for i in range(k)], max_period=n, **kw)
    got = {o: np.full((n, k), np.nan) for o in f.outputs}
    for t in range(n):
        if t == n // 2:
            s = pickle.loads(pickle.dumps(s))
        out = s.update({spelled[q]: v[t] for q, v in data.items()}, present=present[t])
        for o, v in out.items():
            got[o][t] = v
    assert s.bars.tolist() == present.sum(0).tolist()
    for i in range(k):
        mine = present[:, i]
        if not mine.any():
            assert all(np.isnan(got[o][:, i]).all() for o in f.outputs)
            continue
        whole = f({q: v[mine, i] for q, v in data.items()}, **kw)
        for o in f.outputs:
            assert np.isnan(got[o][~mine, i]).all()
            assert same(got[o][mine, i], np.broadcast_to(whole[o], (mine.sum(),))), (o, i)


@pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")
@pytest.mark.parametrize("seed", range(16))
def test_random_formula_markets_are_each_symbols_batch_run(seed):
    import formula_gen as gen

    from vexa.formula import Formula

    rng = np.random.default_rng(1000 + seed)
    n, k = 40, 5
    data, present = market_data(rng, n, k)
    while True:  # formulas that read later bars have no stream: drawn again
        f = Formula("\n".join(f"OUT{j} : {gen.text(gen.tree(rng))};" for j in range(4)))
        if not f.looks_ahead:
            break
    check_market(f, data, present, n, k)


@pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")
def test_numpys_functions_over_a_market_are_the_batch_ones():
    """The platform's math over 37 symbols (no multiple of any vector width) gives each
    symbol what its batch run gives."""
    from vexa.formula import Formula

    rng = np.random.default_rng(5)
    data, present = market_data(rng, 50, 37)
    f = Formula(
        "A: SIN(C) + COS(H) + TAN(L); B: EXP(C/50) + LN(C) + LOG(C) + SQRT(C);"
        "D: ATAN(C) + ASIN(C/1000) + ACOS(L/1000) + POW(C, 0.3) + MOD(C, 7) + FRACPART(C);"
    )
    check_market(f, data, present, 50, 37)


@pytest.mark.filterwarnings("ignore::vexa.MissingDataWarning")
def test_a_ten_line_formula_market_and_its_screen():
    from vexa.formula import Formula, FormulaError

    rng = np.random.default_rng(3)
    n, k = 120, 6
    data, present = market_data(rng, n, k)
    f = Formula(TEN_LINES, N=20)
    with np.errstate(all="raise"):
        check_market(f, data, present, n, k, N=10)
    s = f.stream(symbols=k, N=10)
    for t in range(n - 1):
        s.update({q: v[t] for q, v in data.items()})
    with pytest.raises(ValueError, match=r"when = 'SELL' is not an output .* UP, K, J, BUY"):
        s.screen({q: v[-1] for q, v in data.items()}, when="SELL")
    assert s.bars.tolist() == [n - 1] * k  # refused before the bar was taken
    twin = pickle.loads(pickle.dumps(s))
    last = {q: v[-1] for q, v in data.items()}
    hits = s.screen(last, when="K")
    out = twin.update(last)
    true = np.flatnonzero((out["K"] != 0) & ~np.isnan(out["K"]))
    assert hits.index.tolist() == true.tolist() and list(hits.columns) == list(f.outputs)
    for o in f.outputs:
        assert same(hits[o].to_numpy(), out[o][true])
    for bad, err, text in [
        ({"close": np.ones(k)}, FormulaError, "the bar lacks low, high"),
        ({**last, "close": np.ones(k + 1)}, ValueError, r"bar\['close'\] has shape \(7,\)"),
        ({**last, "close": np.array(["x"] * k)}, TypeError, r"bar\['close'\] must hold numbers"),
    ]:
        with pytest.raises(err, match=text):
            s.update(bad)
    with pytest.raises(ValueError, match="present must be a boolean array"):
        s.update(last, present=np.ones(k))
    assert s.bars.tolist() == [n] * k


def test_values_by_symbol_name_must_be_in_the_streams_order():
    pd = pytest.importorskip("pandas")
    from vexa.formula import Formula

    s = Formula("X : MA(C, 2);").stream(symbols=["A", "B"])
    s.update({"close": pd.Series([1.0, 2.0], index=["A", "B"])})
    with pytest.raises(ValueError, match=r"series.reindex\(stream.symbols\)"):
        s.update({"close": pd.Series([1.0, 2.0], index=["B", "A"])})
    got = s.update({"close": np.ma.array([3.0, 4.0], mask=[0, 1])})
    assert same(got["X"], [2.0, np.nan])


def test_a_refused_bar_breaks_a_formula_market_for_good():
    from vexa.formula import Formula, FormulaError

    s = Formula("X : MA(C, BARSLAST(C > 100) + 1) + EMA(C, 3);").stream(symbols=2, max_period=2)
    with pytest.raises(FormulaError, match="stopped at update 3"):
        for c in (99.0, 101.0, 98.0, 97.0, 96.0):
            s.update({"close": np.array([c, 50.0])})
    with pytest.raises(FormulaError, match="stopped at update 3"):
        s.update({"close": np.array([1.0, 1.0])})
    with pytest.raises(FormulaError, match="stopped"):
        pickle.dumps(s)


class Interrupting:
    """A market function's state that raises `error` at its next bar, before or after
    taking it."""

    def __init__(self, inner, error, after):
        self.inner, self.error, self.after, self.params = inner, error, after, None

    @property
    def bars(self):
        return self.inner.bars

    def update(self, *values, present=None):
        if self.after:
            self.inner.update(*values, present=present)
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
def test_an_interrupted_market_update_leaves_it_as_it_was_or_broken(error):
    from vexa.formula import Formula, FormulaError

    f = Formula("A:EMA(C,3); B:MA(C,2)+BARSCOUNT(C); D:REF(C,1);")
    bars = [np.array([10.0, 11.0]), np.array([12.5, np.nan]), np.array([12.0, 13.0])]
    fresh = f.stream(symbols=2)
    want = [fresh.update({"close": c}) for c in bars][-1]
    for k in range(len(f.stream(symbols=2)._streams)):
        for after in (False, True):
            s = f.stream(symbols=2)
            s.update({"close": bars[0]})
            kept = s._streams[k]
            s._streams[k] = Interrupting(kept, error(), after)
            s._link()
            with pytest.raises(error):
                s.update({"close": bars[1]}, present=np.array([True, False]))
            s._streams[k] = kept
            s._link()
            if k == 0 and not after:
                assert s.bars.tolist() == [1, 1]
                got = [s.update({"close": c}) for c in bars[1:]][-1]
                assert all(same(got[o], want[o]) for o in f.outputs)
            else:
                with pytest.raises(FormulaError, match="stopped at update 1 .*" + error.__name__):
                    s.update({"close": bars[1]})


def test_a_market_shared_among_threads_takes_each_bar_whole():
    import sys
    import threading

    from vexa.formula import Formula

    s = Formula("A:REF(C,1); D:REF(C+0,1); S:SUM(C,0);").stream(symbols=3)
    differ = []

    def feed(k):
        for i in range(1_000):
            out = s.update({"close": np.full(3, 1.0 + k + i % 7)})
            if not same(out["A"], out["D"]):
                differ.append(out)

    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=feed, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(before)
    total = sum(1.0 + k + i % 7 for k in range(4) for i in range(1_000))
    assert not differ and s.bars.tolist() == [4_000] * 3
    assert s.update({"close": np.zeros(3)})["S"].tolist() == [total] * 3


def test_a_formula_streams_bars_of_every_spelling_and_kind_alike():
    """The single stream finds a bar's fields once per spelling of its keys: bars whose
    keys change spelling or order, ints, numpy numbers and a pandas Series give what
    plain floats give; a value that is no number is refused, naming its key."""
    from vexa.formula import Formula, FormulaError

    f = Formula("A : MA(C, 3) - L; B : EMA(H, 2);")
    closes = [10.0, 11.0, 12.5, 12.0, 13.0, 9.0]
    plain = f.stream()
    want = [plain.update({"close": c, "low": c - 1, "high": c + 1}) for c in closes]
    s = f.stream()
    kinds = [
        lambda c: {"close": c, "low": c - 1, "high": c + 1},
        lambda c: {"HIGH": np.float64(c + 1), "L": c - 1, "Close": c},
        lambda c: {"close": int(c) if c == int(c) else c, "low": c - 1, "high": c + 1, "x": "?"},
        lambda c: __import__("pandas").Series({"close": c, "low": c - 1, "high": c + 1}),
        lambda c: {"close": np.float32(c), "low": c - 1, "high": c + 1},
        lambda c: {"close": c, "low": c - 1, "high": c + 1},
    ]
    got = [s.update(k(c)) for k, c in zip(kinds, closes)]
    assert all(same([g[o] for g in got], [w[o] for w in want]) for o in f.outputs)
    for bad, err, text in [
        ({"close": True, "low": 1.0, "high": 1.0}, TypeError, r"bar\['close'\] must be a number"),
        ({"close": 1.0, "low": "1", "high": 1.0}, TypeError, r"bar\['low'\] must be a number"),
        ({"close": 1.0, "hi": 1.0}, FormulaError, "the bar lacks low, high"),
    ]:
        with pytest.raises(err, match=text):
            s.update(bad)
    assert s.bars == len(closes)


def test_a_formula_market_checks_its_symbols_as_a_functions_market():
    from vexa.formula import Formula

    f = Formula("X : C * 2;")
    for bad, err in [
        ("AB", TypeError),
        ({"A", "B"}, TypeError),
        (-1, ValueError),
        (["A", "A"], ValueError),
        ([1], TypeError),
    ]:
        with pytest.raises(err) as formula:
            f.stream(symbols=bad)
        with pytest.raises(err) as function:
            vs.EMA(N=2, symbols=bad)
        assert str(formula.value) == str(function.value).removeprefix("stream.EMA: ")
    s = f.stream(symbols=2)
    c = np.array([1.0, 2.0])
    out = s.update({"close": c})
    assert out["X"].tolist() == [2.0, 4.0] and s.symbols == range(2) and len(s) == 2
    out = Formula("X : C; Y : C;").stream(symbols=2).update({"close": c})
    assert out["X"] is not c and out["X"] is not out["Y"]


def test_screen_without_pandas_gives_a_dict_of_arrays(monkeypatch):
    from vexa.formula import Formula

    s = Formula("BUY : C > O; GAP : C - O;").stream(symbols=["A", "B", "C"])
    monkeypatch.setitem(__import__("sys").modules, "pandas", None)
    got = s.screen({"close": np.array([2.0, 1.0, np.nan]), "open": np.ones(3)}, when="BUY")
    assert set(got) == {"symbol", "BUY", "GAP"} and got["symbol"].tolist() == ["A"]
    assert got["BUY"].tolist() == [1.0] and got["GAP"].tolist() == [1.0]
